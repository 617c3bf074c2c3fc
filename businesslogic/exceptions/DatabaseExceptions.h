#pragma once
// Exceptions of the database connection: a connection, preparation or execution that failed,
// a database of an interface version this service cannot use, and a failed creation of an
// object on the database server's computer.
#include <string>

#include "businesslogic/DatabaseVersion.h"
#include "businesslogic/exceptions/BusinessExceptionBase.h"
#include "platform/com/WinTypes.h"

namespace vrn::Exceptions {

class ConnectToDatabaseFailed : public BusinessExceptionBase
{
public:
  // The message is the error text.
  ConnectToDatabaseFailed(HRESULT hr, const std::wstring& errorText);
  HRESULT Error() const noexcept { return m_hr; }

private:
  HRESULT m_hr;
};

class IncompatableDatabaseVersion : public BusinessExceptionBase
{
public:
  // "Incompatible database schema expected: <expected> actual: <actual>".
  IncompatableDatabaseVersion(const DatabaseVersion& expected, const DatabaseVersion& actual);
  const DatabaseVersion& Expected() const noexcept { return m_expected; }
  const DatabaseVersion& Actual() const noexcept { return m_actual; }

private:
  DatabaseVersion m_expected;
  DatabaseVersion m_actual;
};

class ConnectToServerFailed : public BusinessExceptionBase
{
public:
  // The message is the COM error text.
  ConnectToServerFailed(HRESULT hr, const std::wstring& errorText);
  HRESULT Error() const noexcept { return m_hr; }

private:
  HRESULT m_hr;
};

}  // namespace vrn::Exceptions
