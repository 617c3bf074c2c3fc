#pragma once
// Exceptions of the alert settings and of the per-product registries: a company name that is too
// long, a purge the database could not carry out, an entity name no registry knows, and a
// computer that is asked for as a library server without being one.
#include <string>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/BusinessExceptionBase.h"

namespace vrn::Exceptions {

class InvalidCompanyNameLength : public BusinessExceptionBase
{
public:
  // "Invalid company name".
  explicit InvalidCompanyNameLength(const std::wstring& companyName);
  const std::wstring& CompanyName() const noexcept { return m_name; }

private:
  std::wstring m_name;
};

class PurgeFailed : public BusinessExceptionBase
{
public:
  // "Alert Purge Failed".
  PurgeFailed();
};

class UnrecognisedEntity : public BusinessExceptionBase
{
public:
  // "Unrecognised Entity :<name>".
  explicit UnrecognisedEntity(const std::wstring& entityName);
  const std::wstring& EntityName() const noexcept { return m_name; }

private:
  std::wstring m_name;
};

class TzLibraryServerDoesNotExist : public BusinessExceptionBase
{
public:
  // "This computer is not an TzLibraryServer".
  explicit TzLibraryServerDoesNotExist(const CComputer& computer);
  const CComputer& Computer() const noexcept { return m_computer; }

private:
  CComputer m_computer;
};

}  // namespace vrn::Exceptions
