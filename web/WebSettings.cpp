#include "web/WebSettings.h"

#include <stdexcept>

#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace corvexweb {
namespace {

void ReadText(const CRegKey& key, const wchar_t* name, std::string& value)
{
  std::wstring text;
  const LONG rc = key.QueryStringValue(name, text);
  if (rc == ERROR_SUCCESS) {
    if (text.empty())
      throw std::runtime_error("registry value \"" + ToUtf8(name) + "\" is empty");
    value = ToUtf8(text);
  } else if (rc != ERROR_FILE_NOT_FOUND) {
    throw std::runtime_error("registry value \"" + ToUtf8(name) + "\" is not text");
  }
}

void ReadNumber(const CRegKey& key, const wchar_t* name, int low, int high, int& value)
{
  DWORD number = 0;
  const LONG rc = key.QueryDWORDValue(name, number);
  if (rc == ERROR_FILE_NOT_FOUND)
    return;
  if (rc != ERROR_SUCCESS || number < static_cast<DWORD>(low) || number > static_cast<DWORD>(high))
    throw std::runtime_error("registry value \"" + ToUtf8(name) + "\" must be a DWORD from " + std::to_string(low) + " to " +
                             std::to_string(high));
  value = static_cast<int>(number);
}

}  // namespace

WebSettings WebSettings::FromRegistry()
{
  WebSettings s;
  CRegKey web;
  if (web.Open(HKEY_LOCAL_MACHINE, kWebConsoleKey, KEY_READ) == ERROR_SUCCESS) {
    ReadText(web, L"ListenAddress", s.listenAddress);
    ReadNumber(web, L"Port", 1, 65535, s.port);
    ReadText(web, L"CertificateFile", s.certificateFile);
    ReadText(web, L"KeyFile", s.keyFile);
    ReadText(web, L"PamService", s.pamService);
    ReadNumber(web, L"SessionIdleMinutes", 1, 24 * 60, s.sessionIdleMinutes);
    ReadNumber(web, L"Workers", 1, 256, s.workers);
    ReadNumber(web, L"ConnectionsPerAddress", 1, 100000, s.connectionsPerAddress);
    ReadNumber(web, L"Connections", 1, 100000, s.connections);
    ReadNumber(web, L"RequestDeadlineSeconds", 1, 3600, s.requestDeadlineSeconds);
    ReadNumber(web, L"KeepAliveSeconds", 1, 3600, s.keepAliveSeconds);
    ReadNumber(web, L"LoginAttempts", 1, 1000, s.loginAttempts);
    ReadNumber(web, L"LoginAccountAttempts", 1, 100000, s.loginAccountAttempts);
    ReadNumber(web, L"LoginLockoutSeconds", 1, 24 * 3600, s.loginLockoutSeconds);
    ReadNumber(web, L"OutbreakComputers", 2, 100000, s.outbreak.computers);
    ReadNumber(web, L"OutbreakMinutes", 1, 7 * 24 * 60, s.outbreak.minutes);
    ReadNumber(web, L"OutbreakCheckSeconds", 5, 3600, s.outbreak.checkSeconds);
  }
  CRegKey service;
  if (service.Open(HKEY_LOCAL_MACHINE, kServiceKey, KEY_READ) == ERROR_SUCCESS) {
    ReadText(service, L"ConsoleAdministratorsGroup", s.administratorsGroup);
    ReadText(service, L"ConsoleViewersGroup", s.viewersGroup);
  }
  return s;
}

}  // namespace corvexweb
