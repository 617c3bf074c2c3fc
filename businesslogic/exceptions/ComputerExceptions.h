#pragma once
// Exceptions of the computer operations: a computer the database does not know (or no longer
// has), one without a messaging-system address, an address that is too long or unknown, and a
// name that is already taken when a unique computer was asked for.
#include <optional>
#include <string>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/BusinessExceptionBase.h"

namespace vrn::Exceptions {

class ComputerDoesNotExist : public BusinessExceptionBase
{
public:
  // Without a computer: the lookup that failed had none to offer.
  explicit ComputerDoesNotExist(const std::wstring& message);
  ComputerDoesNotExist(const std::wstring& message, const CComputer& computer);
  const std::optional<CComputer>& Computer() const noexcept { return m_computer; }

private:
  std::optional<CComputer> m_computer;
};

class ComputerNotManaged : public BusinessExceptionBase
{
public:
  // "The computer is not managed".
  explicit ComputerNotManaged(const CComputer& computer);
  const CComputer& Computer() const noexcept { return m_computer; }

private:
  CComputer m_computer;
};

class ComputerAlreadyInAnotherGroup : public BusinessExceptionBase
{
public:
  // "The computer is already member of another group".
  explicit ComputerAlreadyInAnotherGroup(const std::wstring& computerName);
  const std::wstring& ComputerName() const noexcept { return m_name; }

private:
  std::wstring m_name;
};

class InvalidMessageSystemAddress : public BusinessExceptionBase
{
public:
  // "The address specified is too long it must be less than 255 chars address :<address>".
  explicit InvalidMessageSystemAddress(const std::string& address);
  const std::string& Address() const noexcept { return m_address; }

private:
  std::string m_address;
};

class UnknownMessageSystemAddress : public BusinessExceptionBase
{
public:
  // "The computer is not managed address :<address>".
  explicit UnknownMessageSystemAddress(const std::string& address);
  const std::string& Address() const noexcept { return m_address; }

private:
  std::string m_address;
};

}  // namespace vrn::Exceptions
