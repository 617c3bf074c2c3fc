#include "businesslogic/exceptions/DatabaseExceptions.h"

namespace vrn::Exceptions {

ConnectToDatabaseFailed::ConnectToDatabaseFailed(HRESULT hr, const std::wstring& errorText)
  : BusinessExceptionBase(errorText, L"ConnectToDatabaseFailed"), m_hr(hr)
{
}

IncompatableDatabaseVersion::IncompatableDatabaseVersion(const DatabaseVersion& expected, const DatabaseVersion& actual)
  : BusinessExceptionBase(L"Incompatible database schema expected: " + expected.ToString() + L" actual: " + actual.ToString(),
                          L"IncompatableDatabaseVersion"),
    m_expected(expected),
    m_actual(actual)
{
}

ConnectToServerFailed::ConnectToServerFailed(HRESULT hr, const std::wstring& errorText)
  : BusinessExceptionBase(errorText, L"ConnectToServerFailed"), m_hr(hr)
{
}

}  // namespace vrn::Exceptions
