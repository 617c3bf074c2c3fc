#pragma once
// CSystemEnviroment: the database location both database channels are built from, read from
// the registry key "Software\Corvex\KT\Management Tools".
#include <string>

#include "platform/com/Bstr.h"
#include "platform/registry/Registry.h"

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

private:
  CRegKey m_key;
  std::wstring m_server;
};

// The local computer's name.
std::wstring LocalComputerName();
