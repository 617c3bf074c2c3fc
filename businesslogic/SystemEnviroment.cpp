#include "businesslogic/SystemEnviroment.h"

#include <unistd.h>

#include <climits>

#include "businesslogic/TraceComponent.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/errortext/ErrorText.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

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

IUnknown* CSystemEnviroment::CreateInstanceOnServer(const CLSID& clsid, const IID& iid)
{
  std::wstring server = m_server;
  if (server.empty())
    GetServerLocation(server);
  trace::Trace(TRACE_BUSINESSLOGIC, 2, "Name of server is \"%s\"", server);
  COSERVERINFO info{server};
  MULTI_QI request{&iid, nullptr, S_OK};
  HRESULT hr = ::CoCreateInstanceEx(clsid, nullptr, CLSCTX_ALL, &info, 1, &request);
  if (SUCCEEDED(hr))
    hr = request.hr;
  if (FAILED(hr)) {
    if (request.pItf)
      request.pItf->Release();
    throw vrn::Exceptions::ConnectToServerFailed(hr, FromUtf8(ErrorText(hr)));
  }
  return request.pItf;
}
