#include "businesslogic/exceptions/GroupExceptions.h"

namespace vrn::Exceptions {

GroupNameAlreayExists::GroupNameAlreayExists(const std::wstring& name)
  : BusinessExceptionBase(L"Group name already exists: " + name, L"GroupNameAlreayExists"), m_name(name)
{
}

GroupNotFound::GroupNotFound(const CGroup& group) : BusinessExceptionBase(L"Group not found", L"GroupNotFound"), m_group(group) {}

InvalidGroupName::InvalidGroupName(const std::wstring& name, const wchar_t* typeName)
  : BusinessExceptionBase(L"Invalid group name", typeName), m_name(name)
{
}

InvalidGroupNameChars::InvalidGroupNameChars(const std::wstring& name) : InvalidGroupName(name, L"InvalidGroupNameChars") {}

InvalidGroupNameLength::InvalidGroupNameLength(const std::wstring& name) : InvalidGroupName(name, L"InvalidGroupNameLength") {}

OperationNotSupported::OperationNotSupported(const std::wstring& operation, const CGroup& group)
  : BusinessExceptionBase(L"The operation \"" + operation + L"\" is not supported", L"OperationNotSupported"),
    m_operation(operation),
    m_group(group)
{
}

}  // namespace vrn::Exceptions
