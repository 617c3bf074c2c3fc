#pragma once
// CManagementServiceModule: the process. Parses the command line, registers and unregisters the
// COM classes and the service, runs as a service under the service manager or as a local server,
// and owns the start-up and shutdown order of every long-lived part of the system.
#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "messaging/ClientLibrary.h"
#include "platform/com/ClassTable.h"
#include "platform/com/Guid.h"
#include "platform/service/ServiceControl.h"

constexpr GUID APPID_ManagementService = MakeGuid("{E0992E08-C43F-4419-BDD8-E60F19CB0AA3}");
constexpr GUID LIBID_ManagementService = MakeGuid("{233739DD-ECF7-4803-AE70-7647A67B44D3}");

// The service's key under HKEY_LOCAL_MACHINE, and its messaging library's private key.
inline const std::wstring kServiceKey = std::wstring(L"SOFTWARE\\Corvex\\KT") + L"\\Management Tools\\Management Service";
inline const std::wstring kPrivateKey = kServiceKey + L"\\" + L"Private";
// The Linux group whose members may use the console endpoint, and where it can be configured.
inline const std::wstring kConsoleGroupValue = L"ConsoleAdministratorsGroup";
inline const std::wstring kDefaultConsoleGroup = L"corvex-console-admins";

// One COM class of the server: its registration script and, once the class exists, its factory.
struct ObjectMapEntry
{
  CLSID clsid;
  unsigned registryResource;
  IUnknown* (*createClassObject)();  // null: the class is registered but has no class object yet
};

class Receiver;
class CPTLSession;
class DiscoveryEngine;

class CManagementServiceModule
{
public:
  CManagementServiceModule();
  ~CManagementServiceModule();
  CManagementServiceModule(const CManagementServiceModule&) = delete;
  CManagementServiceModule& operator=(const CManagementServiceModule&) = delete;

  // The module's entry: the command line, then start. Returns the process's exit code.
  int WinMain(const std::vector<std::string>& args);

  // Registration.
  HRESULT RegisterAppId(bool service);
  HRESULT UnregisterAppId();
  HRESULT RegisterServer();
  HRESULT UnregisterServer();
  bool Install();
  bool Uninstall();
  bool IsInstalled() const;

  // Running.
  int Start();
  void ServiceMain();
  void Handler(DWORD control);
  HRESULT Run();
  HRESULT PreMessageLoop();
  HRESULT PostMessageLoop();
  HRESULT InitializeSecurity();
  // The stop step: report stop-pending and post the quit message to the main thread.
  void OnStop();
  // The service pattern's simple event logger (service) or standard output (local server).
  void LogEvent(const std::wstring& text);

  const std::wstring& ServiceName() const { return m_szServiceName; }
  bool IsService() const { return m_bService; }
  const SERVICE_STATUS& Status() const { return m_status; }
  const std::vector<std::string>& Arguments() const { return m_args; }

  static CManagementServiceModule* Instance() { return s_instance; }
  // The messaging connection, once connected (start-up step 14); null before and after.
  ZiriviridUrurezArevudUza::IConnection* Connection() const { return m_connection.load(); }
  // The service's database session (start-up step 5 to shutdown step 6).
  CPTLSession* Session() const { return m_session.get(); }
  // Computer discovery, from start-up step 3 to the module's end.
  DiscoveryEngine* Discovery() const { return m_discovery.get(); }

private:
  HRESULT BasePreMessageLoop();
  HRESULT BasePostMessageLoop();
  HRESULT RegisterClassObjects();
  void RevokeClassObjects();
  void SetServiceStatus(DWORD state);
  void MessageBox(const std::wstring& text) const;
  std::string ModulePath() const;

  std::wstring m_szServiceName;
  SERVICE_STATUS m_status{};
  SERVICE_STATUS_HANDLE m_hServiceStatus = nullptr;
  bool m_bService = false;
  DWORD m_dwThreadID = 0;
  std::vector<DWORD> m_classCookies;
  ZiriviridUrurezArevudUza::IClientLibrary* m_clientLibrary = nullptr;
  std::atomic<ZiriviridUrurezArevudUza::IConnection*> m_connection{nullptr};
  std::unique_ptr<Receiver> m_receiver;
  std::unique_ptr<CPTLSession> m_session;
  std::unique_ptr<DiscoveryEngine> m_discovery;
  std::vector<std::string> m_args;

  static CManagementServiceModule* s_instance;
};

// The server's classes, in registration order.
const std::vector<ObjectMapEntry>& ObjectMap();
// The executable's own path, as the registration scripts write it.
std::string ExecutablePath();
// What start-up does with the exception that ended it: the trace and the event of its kind
// (out of memory, run-time error, COM error, anything else), and the HRESULT start-up answers.
HRESULT ReportStartUpFailure(std::exception_ptr failure);
