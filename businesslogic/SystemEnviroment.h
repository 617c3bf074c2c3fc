#pragma once
// CSystemEnviroment: the database location both database channels are built from, read from
// the registry key "Software\Corvex\KT\Management Tools".
#include <string>
#include <typeinfo>

#include "businesslogic/TraceComponent.h"
#include "platform/com/Bstr.h"
#include "platform/com/Memory.h"
#include "platform/com/ClassTable.h"
#include "platform/com/Unknown.h"
#include "platform/dcom/Dcom.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"

inline constexpr const wchar_t* kManagementToolsKey = L"Software\\Corvex\\KT\\Management Tools";

class CSystemEnviroment
{
public:
  // Opens (creating when absent) the key for reading; a failure throws WinRuntimeError.
  CSystemEnviroment();
  // The server whose objects are created on it; the registry key read is the local one.
  explicit CSystemEnviroment(const std::wstring& server);
  CSystemEnviroment(const CSystemEnviroment&) = delete;
  CSystemEnviroment& operator=(const CSystemEnviroment&) = delete;

  // Each read throws WinRuntimeError: a missing value (2), or one that is not text or not
  // terminated (13).
  void GetDatabaseName(std::wstring& name);
  // "ServerLocation" immediately followed by "DatabaseInstance".
  void GetDataSource(std::wstring& dataSource);
  // "ServerLocation"; "." is replaced by the local computer's name.
  void GetServerLocation(std::wstring& location);
  void QueryKey(const wchar_t* name, std::wstring& value);
  void QueryKey(const wchar_t* name, _bstr_t& value);

  const std::wstring& Server() const { return m_server; }

  // Creates the object on the database server's computer ("ServerLocation") by remote
  // activation over its console endpoint; ConnectToServerFailed on failure.
  IUnknown* CreateInstanceOnServer(const CLSID& clsid, const IID& iid);
  // The typed form; WinRuntimeError E_POINTER when out cannot take the pointer.
  template <class T>
  void CreateInstanceOnServer(const CLSID& clsid, T** out);

private:
  CRegKey m_key;
  std::wstring m_server;
};

template <class T>
void CSystemEnviroment::CreateInstanceOnServer(const CLSID& clsid, T** out)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CSystemEnviroment::CreateInstanceOnServer<%S>()", typeid(T).name());
  try {
    if (IsBadWritePtr(out, sizeof(T*))) {
      trace::Trace(TRACE_BUSINESSLOGIC, 0, "CSystemEnviroment::CreateInstanceOnServer passed a bad pointer");
      throw WinRuntimeError::FromHResult(E_POINTER);
    }
    *out = static_cast<T*>(CreateInstanceOnServer(clsid, T::iid));
  } catch (const WinRuntimeError& e) {
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "CSystemEnviroment::CreateInstanceOnServer Intercepted a %S exception: %S, error: 0x%x",
                 typeid(e).name(), e.what(), e.hr());
    throw;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "CSystemEnviroment::CreateInstanceOnServer Intercepted a %S exception: %S",
                 typeid(e).name(), e.what());
    throw;
  } catch (...) {
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "CSystemEnviroment::CreateInstanceOnServer Intercepted an exception");
    throw;
  }
}

// The object of the class on the server, held (one reference); throws as CreateInstanceOnServer.
template <class T>
CComPtr<T> CreateObjectOnServer(const CLSID& clsid)
{
  CComPtr<T> held;
  held.Attach(static_cast<T*>(CSystemEnviroment().CreateInstanceOnServer(clsid, T::iid)));
  return held;
}
