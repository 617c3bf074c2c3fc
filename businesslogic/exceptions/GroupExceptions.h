#pragma once
// Exceptions of the group operations: a name that breaks the naming rules or is taken among the
// group's siblings, a group the database does not know, and an operation that the root or the
// unassigned group does not support.
#include <string>

#include "businesslogic/entities/Group.h"
#include "businesslogic/exceptions/BusinessExceptionBase.h"

namespace vrn::Exceptions {

class GroupNameAlreayExists : public BusinessExceptionBase
{
public:
  // "Group name already exists: <name>".
  explicit GroupNameAlreayExists(const std::wstring& name);
  const std::wstring& Name() const noexcept { return m_name; }

private:
  std::wstring m_name;
};

class GroupNotFound : public BusinessExceptionBase
{
public:
  // "Group not found".
  explicit GroupNotFound(const CGroup& group);
  const CGroup& Group() const noexcept { return m_group; }

private:
  CGroup m_group;
};

// Both naming errors say "Invalid group name" and carry the name.
class InvalidGroupName : public BusinessExceptionBase
{
public:
  const std::wstring& Name() const noexcept { return m_name; }

protected:
  InvalidGroupName(const std::wstring& name, const wchar_t* typeName);

private:
  std::wstring m_name;
};

class InvalidGroupNameChars : public InvalidGroupName
{
public:
  explicit InvalidGroupNameChars(const std::wstring& name);
};

class InvalidGroupNameLength : public InvalidGroupName
{
public:
  explicit InvalidGroupNameLength(const std::wstring& name);
};

class OperationNotSupported : public BusinessExceptionBase
{
public:
  // "The operation "<operation>" is not supported".
  OperationNotSupported(const std::wstring& operation, const CGroup& group);
  const std::wstring& Operation() const noexcept { return m_operation; }
  const CGroup& Group() const noexcept { return m_group; }

private:
  std::wstring m_operation;
  CGroup m_group;
};

}  // namespace vrn::Exceptions
