#include "businesslogic/SystemEnviroment.h"

#include <unistd.h>

#include <climits>

#include "businesslogic/TraceComponent.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

std::wstring LocalComputerName()
{
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0)
    return L"localhost";
  return FromUtf8(name);
}

CSystemEnviroment::CSystemEnviroment() : CSystemEnviroment(std::wstring()) {}

CSystemEnviroment::CSystemEnviroment(const std::wstring& server) : m_server(server)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CSystemEnviroment::CSystemEnviroment");
  const LONG r = m_key.Create(HKEY_LOCAL_MACHINE, kManagementToolsKey, KEY_READ);
  if (r != ERROR_SUCCESS)
    throw WinRuntimeError::FromWin32(r, "HKLM\\" + ToUtf8(kManagementToolsKey));
}

void CSystemEnviroment::QueryKey(const wchar_t* name, std::wstring& value)
{
  const LONG r = m_key.QueryStringValue(name, value);
  if (r != ERROR_SUCCESS) {
    value.clear();
    throw WinRuntimeError::FromWin32(r, "Registry value \"" + ToUtf8(name) + "\"");
  }
}

void CSystemEnviroment::QueryKey(const wchar_t* name, _bstr_t& value)
{
  std::wstring text;
  QueryKey(name, text);
  value = _bstr_t(std::wstring_view(text));
}

void CSystemEnviroment::GetDatabaseName(std::wstring& name) { QueryKey(L"DatabaseName", name); }

void CSystemEnviroment::GetDataSource(std::wstring& dataSource)
{
  std::wstring location, instance;
  QueryKey(L"ServerLocation", location);
  QueryKey(L"DatabaseInstance", instance);
  dataSource = location + instance;
}

void CSystemEnviroment::GetServerLocation(std::wstring& location)
{
  QueryKey(L"ServerLocation", location);
  if (location == L".")
    location = LocalComputerName();
}
