#include "businesslogic/exceptions/EntityExceptions.h"

namespace vrn::Exceptions {

InvalidCompanyNameLength::InvalidCompanyNameLength(const std::wstring& companyName)
  : BusinessExceptionBase(L"Invalid company name", L"InvalidCompanyNameLength"), m_name(companyName)
{
}

PurgeFailed::PurgeFailed() : BusinessExceptionBase(L"Alert Purge Failed", L"PurgeFailed") {}

UnrecognisedEntity::UnrecognisedEntity(const std::wstring& entityName)
  : BusinessExceptionBase(L"Unrecognised Entity :" + entityName, L"UnrecognisedEntity"), m_name(entityName)
{
}

TzLibraryServerDoesNotExist::TzLibraryServerDoesNotExist(const CComputer& computer)
  : BusinessExceptionBase(L"This computer is not an TzLibraryServer", L"TzLibraryServerDoesNotExist"), m_computer(computer)
{
}

}  // namespace vrn::Exceptions
