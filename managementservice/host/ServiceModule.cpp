#include "managementservice/host/ServiceModule.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <new>
#include <stdexcept>

#include "idl/ManagementServiceInterfaces.h"
#include "businesslogic/PTLSession.h"
#include "businesslogic/SessionCommands.h"
#include "managementservice/console/ComputerActions.h"
#include "managementservice/console/ComputerActionsKT.h"
#include "managementservice/console/UpdateNowQueue.h"
#include "managementservice/host/Clocks.h"
#include "managementservice/host/InternalBroker.h"
#include "managementservice/host/EventLogger.h"
#include "managementservice/install/InstallResultQueue.h"
#include "managementservice/install/InstallTaskQueue.h"
#include "managementservice/install/KTComputerInstall.h"
#include "managementservice/messages/Receiver.h"
#include "managementservice/console/ComputerSearch.h"
#include "managementservice/discovery/ComputerDiscovery.h"
#include "metrics/Exporter.h"
#include "platform/dcom/Dcom.h"
#include "managementservice/TraceComponent.h"
#include "platform/com/ComError.h"
#include "platform/com/Registrar.h"
#include "platform/com/TypeLib.h"
#include "platform/errortext/ErrorText.h"
#include "platform/eventlog/EventLog.h"
#include "platform/registry/Registry.h"
#include "platform/sync/Sync.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "resources/EventMessages.h"
#include "resources/RegistryScripts.h"
#include "resources/StringTable.h"

CManagementServiceModule* CManagementServiceModule::s_instance = nullptr;

namespace {

constexpr DWORD kStartWaitHint = 120000;
// The database interface version this service works with.
constexpr LONG kRequiredInterfaceVersion = 8;

// Runs an undo step when a later start-up step fails, unless dismissed. Each undo is traced, so
// that what a failed start left behind can be read from the trace.
class UndoGuard
{
public:
  UndoGuard(const char* what, std::function<void()> undo) : m_what(what), m_undo(std::move(undo)) {}
  ~UndoGuard()
  {
    if (m_undo)
      try {
        trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Start-up rolled back: %hs", m_what);
        m_undo();
      } catch (...) {
        trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Undo step failed while rolling back start-up");
      }
  }
  void Dismiss() { m_undo = nullptr; }
  UndoGuard(const UndoGuard&) = delete;
  UndoGuard& operator=(const UndoGuard&) = delete;

private:
  const char* m_what;
  std::function<void()> m_undo;
};

std::map<std::wstring, std::wstring> Replacements()
{
  return {{L"MODULE", FromUtf8(ExecutablePath())}, {L"APPID", GuidToWString(APPID_ManagementService)}};
}

std::wstring AppIdKey() { return L"AppID\\" + GuidToWString(APPID_ManagementService); }

HRESULT RunScript(unsigned resource, bool doRegister)
{
  std::string error;
  const HRESULT hr = UpdateRegistryFromScript(LoadRegistryScript(resource), doRegister, Replacements(), &error);
  if (FAILED(hr))
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Registry script %u failed: %hs, hr=0x%p", resource, error, hr);
  return hr;
}

std::string TypeLibPath()
{
  // The executable carries no type library: the file of the same name with ".tlb" beside it.
  std::string p = ExecutablePath();
  const auto slash = p.rfind('/');
  const auto dot = p.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    p.erase(dot);
  return p + ".tlb";
}

bool IsSwitch(const std::string& arg, const char* name)
{
  return arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') && strcasecmp(arg.c_str() + 1, name) == 0;
}

}  // namespace

std::string ExecutablePath()
{
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("rudadiz");
}

const std::vector<ObjectMapEntry>& ObjectMap()
{
  static const std::vector<ObjectMapEntry> map = {
    {CLSID_ComputerActions, IDR_COMPUTERACTIONS,
     [] { return static_cast<IUnknown*>(new CComClassFactory<CComputerActions>); }},
    {CLSID_ComputerActionsKT, IDR_COMPUTERACTIONSKT,
     [] { return static_cast<IUnknown*>(new CComClassFactory<CComputerActionsKT>); }},
    {CLSID_KTComputerSearch, IDR_KTCOMPUTERSEARCH,
     [] { return static_cast<IUnknown*>(new CComClassFactory<CKTComputerSearchImpl>); }},
    {CLSID_KTComputerInstall, IDR_KTCOMPUTERINSTALL,
     [] { return static_cast<IUnknown*>(new CComClassFactory<CKTComputerInstallImpl>); }},
    {CLSID_Clocks, IDR_CLOCKS, [] { return static_cast<IUnknown*>(new CComClassFactory<CClocks>); }},
  };
  return map;
}

CManagementServiceModule::CManagementServiceModule() : m_szServiceName(LoadResourceString(IDS_SERVICENAME))
{
  if (m_szServiceName.size() > 256)
    m_szServiceName.resize(256);
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = SERVICE_STOPPED;
  m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  s_instance = this;
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "CManagementServiceModule constructed at 0x%p\n", static_cast<const void*>(this));
}

CManagementServiceModule::~CManagementServiceModule()
{
  if (s_instance == this)
    s_instance = nullptr;
}

void CManagementServiceModule::MessageBox(const std::wstring& text) const
{
  std::cerr << ToUtf8(m_szServiceName) << ": " << ToUtf8(text) << std::endl;
}

std::string CManagementServiceModule::ModulePath() const { return ExecutablePath(); }

int CManagementServiceModule::WinMain(const std::vector<std::string>& args)
{
  m_args = args;
  // "UnregServer" and "RegServer" are looked for first; the first of the two decides.
  for (const auto& a : args) {
    if (IsSwitch(a, "UnregServer")) {
      HRESULT hr = UnregisterServer();
      if (SUCCEEDED(hr))
        hr = UnregisterAppId();
      return hr;
    }
    if (IsSwitch(a, "RegServer")) {
      HRESULT hr = RegisterAppId(false);
      if (SUCCEEDED(hr))
        hr = RegisterServer();
      return hr;
    }
  }
  for (const auto& a : args) {
    if (IsSwitch(a, "Service")) {
      HRESULT hr = RegisterAppId(true);
      if (SUCCEEDED(hr))
        hr = RegisterServer();
      return hr;
    }
  }
  return Start();
}

HRESULT CManagementServiceModule::RegisterAppId(bool service)
{
  if (!Uninstall())
    return E_FAIL;
  HRESULT hr = RunScript(IDR_MANAGEMENTSERVICE, true);
  if (FAILED(hr))
    return hr;
  CRegKey key;
  LONG r = key.Open(HKEY_CLASSES_ROOT, AppIdKey().c_str(), KEY_WRITE);
  if (r != ERROR_SUCCESS)
    return HRESULT_FROM_WIN32(r);
  key.DeleteValue(L"LocalService");
  if (!service)
    return S_OK;
  r = key.SetStringValue(L"LocalService", m_szServiceName);
  if (r != ERROR_SUCCESS)
    return HRESULT_FROM_WIN32(r);
  if (!Install())
    return E_FAIL;
  return S_OK;
}

HRESULT CManagementServiceModule::UnregisterAppId()
{
  CRegKey key;
  if (key.Open(HKEY_CLASSES_ROOT, AppIdKey().c_str(), KEY_WRITE) == ERROR_SUCCESS)
    key.DeleteValue(L"LocalService");
  key.Close();
  if (!Uninstall())
    return E_FAIL;
  return RunScript(IDR_MANAGEMENTSERVICE, false);
}

HRESULT CManagementServiceModule::RegisterServer()
{
  for (const auto& e : ObjectMap()) {
    const HRESULT hr = RunScript(e.registryResource, true);
    if (FAILED(hr))
      return hr;
  }
  TypeLibInfo lib;
  HRESULT hr = LoadTypeLib(ModulePath(), lib);
  if (FAILED(hr))
    hr = LoadTypeLib(TypeLibPath(), lib);
  if (SUCCEEDED(hr) && lib.libid != LIBID_ManagementService)
    hr = TYPE_E_CANTLOADLIBRARY;
  if (FAILED(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Type library %hs could not be loaded, hr=0x%p", TypeLibPath(), hr);
    return hr;
  }
  return RegisterTypeLib(lib);
}

HRESULT CManagementServiceModule::UnregisterServer()
{
  for (const auto& e : ObjectMap()) {
    const HRESULT hr = RunScript(e.registryResource, false);
    if (FAILED(hr))
      return hr;
  }
  return UnRegisterTypeLib(LIBID_ManagementService, 1, 0);
}

bool CManagementServiceModule::IsInstalled() const
{
  SC_HANDLE scm = OpenSCManager();
  if (!scm)
    return false;
  SC_HANDLE svc = ::OpenService(scm, m_szServiceName);
  const bool installed = svc != nullptr;
  if (svc)
    CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return installed;
}

bool CManagementServiceModule::Install()
{
  if (IsInstalled())
    return true;  // an installed service is left untouched
  SC_HANDLE scm = OpenSCManager();
  if (!scm) {
    MessageBox(L"Could not open Service Manager");
    return false;
  }
  SC_HANDLE svc = ::CreateService(scm, m_szServiceName, m_szServiceName, L"\"" + FromUtf8(ModulePath()) + L"\"", L"RPCSS");
  if (!svc) {
    CloseServiceHandle(scm);
    MessageBox(L"Could not start service");
    return false;
  }
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return true;
}

bool CManagementServiceModule::Uninstall()
{
  if (!IsInstalled())
    return true;
  SC_HANDLE scm = OpenSCManager();
  if (!scm) {
    MessageBox(L"Could not open Service Manager");
    return false;
  }
  SC_HANDLE svc = ::OpenService(scm, m_szServiceName);
  if (!svc) {
    CloseServiceHandle(scm);
    MessageBox(L"Could not open service");
    return false;
  }
  SERVICE_STATUS status{};
  if (!ControlService(svc, SERVICE_CONTROL_STOP, &status)) {
    const DWORD err = GetLastError();
    if (err != static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE) &&
        !(err == static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL) && status.dwCurrentState == SERVICE_STOP_PENDING))
      MessageBox(L"Could not stop service");
  }
  const bool deleted = DeleteService(svc);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  if (!deleted)
    MessageBox(L"Could not delete service");
  return deleted;
}

int CManagementServiceModule::Start()
{
  CRegKey key;
  std::wstring value;
  m_bService = key.Open(HKEY_CLASSES_ROOT, AppIdKey().c_str(), KEY_READ) == ERROR_SUCCESS &&
               key.QueryStringValue(L"LocalService", value) == ERROR_SUCCESS;
  key.Close();
  if (m_bService) {
    if (!StartServiceCtrlDispatcher(m_szServiceName, [this] { ServiceMain(); }))
      m_status.dwWin32ExitCode = GetLastError();
    return static_cast<int>(m_status.dwWin32ExitCode);
  }
  // A local server stops on SIGTERM or SIGINT the way a service stops on its stop control.
  m_dwThreadID = GetCurrentThreadId();
  WatchStopSignals([this] { PostThreadMessage(m_dwThreadID, WM_QUIT); });
  m_status.dwWin32ExitCode = static_cast<DWORD>(Run());
  return static_cast<int>(m_status.dwWin32ExitCode);
}

void CManagementServiceModule::SetServiceStatus(DWORD state)
{
  m_status.dwCurrentState = state;
  if (m_hServiceStatus)
    ::SetServiceStatus(m_hServiceStatus, &m_status);
}

void CManagementServiceModule::ServiceMain()
{
  m_status.dwCurrentState = SERVICE_START_PENDING;
  m_hServiceStatus = RegisterServiceCtrlHandler(m_szServiceName, [this](DWORD c) { Handler(c); });
  if (!m_hServiceStatus) {
    LogEvent(L"Handler not installed");
    return;
  }
  m_status.dwWin32ExitCode = 0;
  m_status.dwCheckPoint = 0;
  m_status.dwWaitHint = 0;
  SetServiceStatus(SERVICE_START_PENDING);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  m_status.dwWin32ExitCode = static_cast<DWORD>(Run());
  if (m_bService)
    CoUninitialize();
  SetServiceStatus(SERVICE_STOPPED);
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "### Service stopped\n");
}

void CManagementServiceModule::Handler(DWORD control)
{
  switch (control) {
    case SERVICE_CONTROL_STOP: OnStop(); break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN: break;
    default: LogEvent(L"Bad service request"); break;
  }
}

void CManagementServiceModule::OnStop()
{
  SetServiceStatus(SERVICE_STOP_PENDING);
  PostThreadMessage(m_dwThreadID, WM_QUIT);
}

void CManagementServiceModule::LogEvent(const std::wstring& text)
{
  if (!m_bService) {
    std::cout << ToUtf8(text) << std::endl;
    return;
  }
  HEVENTSOURCE src = RegisterEventSource(nullptr, m_szServiceName.c_str());
  if (src) {
    ReportEvent(src, EVENTLOG_INFORMATION_TYPE, 0, EVMSG_GENERIC, nullptr, {text});
    DeregisterEventSource(src);
  }
}

HRESULT CManagementServiceModule::Run()
{
  HRESULT hr = PreMessageLoop();
  if (hr == S_OK) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "### Service started\n");
    if (m_bService)
      SetServiceStatus(SERVICE_RUNNING);
    RunThreadMessageLoop();
  }
  if (SUCCEEDED(hr))
    hr = PostMessageLoop();
  return hr;
}

HRESULT CManagementServiceModule::InitializeSecurity()
{
  try {
    std::wstring group = kDefaultConsoleGroup;
    CRegKey key;
    std::wstring configured;
    if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), KEY_READ) == ERROR_SUCCESS &&
        key.QueryStringValue(kConsoleGroupValue.c_str(), configured) == ERROR_SUCCESS && !configured.empty())
      group = configured;
    std::string groupSid;
    const LONG r = LookupAccountName(group, groupSid);
    if (r != ERROR_SUCCESS)
      AtlThrow(HRESULT_FROM_WIN32(r));
    SECURITY_DESCRIPTOR sd;
    sd.dacl = {{COM_RIGHTS_EXECUTE, groupSid}, {COM_RIGHTS_EXECUTE, SID_LOCAL_SYSTEM}};
    sd.owner = SID_BUILTIN_ADMINISTRATORS;
    sd.group = SID_BUILTIN_ADMINISTRATORS;
    return CoInitializeSecurity(&sd, -1, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IDENTIFY);
  } catch (const CAtlException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Failed hr = 0x%08x", e.m_hr);
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "    %hs", ErrorText(e.m_hr));
    return e.m_hr;
  } catch (const std::exception&) {
    return E_FAIL;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CManagementServiceModule::RegisterClassObjects()
{
  for (const auto& e : ObjectMap()) {
    if (!e.createClassObject)
      continue;
    CComPtr<IUnknown> factory(e.createClassObject());
    DWORD cookie = 0;
    const HRESULT hr = CoRegisterClassObject(e.clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
    if (FAILED(hr)) {
      RevokeClassObjects();
      return hr;
    }
    m_classCookies.push_back(cookie);
  }
  return CoResumeClassObjects();
}

void CManagementServiceModule::RevokeClassObjects()
{
  for (auto it = m_classCookies.rbegin(); it != m_classCookies.rend(); ++it)
    CoRevokeClassObject(*it);
  m_classCookies.clear();
}

HRESULT CManagementServiceModule::BasePreMessageLoop()
{
  m_dwThreadID = GetCurrentThreadId();
  if (m_bService) {
    const HRESULT hr = InitializeSecurity();
    if (FAILED(hr))
      return hr;
  }
  RegisterManagementServiceMarshallers();
  HRESULT hr = RegisterClassObjects();
  if (FAILED(hr))
    return hr;
  // The class objects are live: consoles may call in from here on.
  hr = StartConsoleEndpoint();
  if (FAILED(hr))
    RevokeClassObjects();
  return hr;
}

HRESULT CManagementServiceModule::BasePostMessageLoop()
{
  StopConsoleEndpoint();
  RevokeClassObjects();
  return S_OK;
}

HRESULT ReportStartUpFailure(std::exception_ptr failure)
{
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught bad_alloc(%hs)", e.what());
    g_EventLogger.Report(EVMSG_OUT_OF_MEMORY, EVENTLOG_ERROR_TYPE, FromUtf8(e.what()));
    return E_OUTOFMEMORY;
  } catch (const std::runtime_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught runtime_error(%hs)", e.what());
    g_EventLogger.Report(EVMSG_STARTUP_RUNTIME_ERROR, EVENTLOG_ERROR_TYPE, FromUtf8(e.what()));
    return E_FAIL;
  } catch (const _com_error& e) {
    const std::wstring description = e.Description().empty() ? FromUtf8(e.ErrorMessage()) : e.Description();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught COM error(%s)", description);
    g_EventLogger.Report(EVMSG_COM_ERROR, EVENTLOG_ERROR_TYPE, description);
    return e.Error();
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught unknown error");
    g_EventLogger.Report(EVMSG_STARTUP_UNKNOWN_ERROR, EVENTLOG_ERROR_TYPE, L"Caught unknown error");
    return E_UNEXPECTED;
  }
}

HRESULT CManagementServiceModule::PreMessageLoop()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CManagementServiceModule::PreMessageLoop");
  if (m_bService) {
    m_status.dwWaitHint = kStartWaitHint;
    SetServiceStatus(SERVICE_START_PENDING);
  }
  HRESULT hr = BasePreMessageLoop();
  if (FAILED(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Parent's PreMessageLoop failed: `%s`, hr=0x%p", ErrorText(hr), hr);
    return hr;
  }
  try {
    m_discovery = std::make_unique<DiscoveryEngine>();
    CServerBrokerRegistrar::SetBroker(CMSInternalBroker());

    m_session = std::make_unique<CPTLSession>(TRACE_MANAGEMENTSERVICE);
    UndoGuard closeSession("database session closed", [this] {
      m_session->Close();
      m_session.reset();
    });
    m_session->Open();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "PreMessageLoop: Session opened OK");

    {
      trace::CFunctionTrace check(TRACE_MANAGEMENTSERVICE, "Checking database version");
      CGetInterfaceVersion version;
      const HRESULT versionHr = version.Execute(*m_session);
      if (FAILED(versionHr)) {
        const std::wstring text = FromUtf8(ErrorText(versionHr));
        trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "GetInterfaceVersion failed with 0x%p (%ls)", versionHr, text);
        g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, text);
        return versionHr;
      }
      if (version.m_MajorVersion != kRequiredInterfaceVersion) {
        trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Wrong database interface version, got %ld, expected %ld",
                     static_cast<long>(version.m_MajorVersion), static_cast<long>(kRequiredInterfaceVersion));
        g_EventLogger.Report(EVMSG_WRONG_DATABASE_VERSION, EVENTLOG_ERROR_TYPE, std::to_wstring(version.m_MajorVersion),
                             std::to_wstring(kRequiredInterfaceVersion));
        return E_FAIL;
      }
    }

    InstallTaskQueue::Instance().Start();
    InstallResultQueue::Instance().Start();
    UpdateNowQueue::Instance().Start();

    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Adding computer details handlers\n");
    for (int i = 0; i < 4; ++i)
      m_discovery->discovery.AddDetailsHandler();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Added computer details handlers\n");
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Starting computer discovery handlers\n");
    UndoGuard stopDiscovery("computer discovery stopped", [this] { m_discovery->discovery.Stop(); });
    m_discovery->discovery.Start();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Started computer discovery handlers\n");

    m_clientLibrary = ZiriviridUrurezArevudUza::IClientLibrary::Instance();
    UndoGuard forgetLibrary("client library released", [this] { m_clientLibrary = nullptr; });
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Got MS client library instance\n");

    std::vector<std::string> narrow = m_args;
    narrow.insert(narrow.begin(), ExecutablePath());
    std::vector<char*> argv;
    for (auto& a : narrow)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    m_clientLibrary->InitORB(static_cast<int>(narrow.size()), argv.data());
    UndoGuard shutdownOrb("ORB shut down", [this] { m_clientLibrary->ShutdownORB(); });
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "InitORB done.");

    {
      trace::CFunctionTrace check(TRACE_MANAGEMENTSERVICE, "Checking write access to the registry key.");
      HKEY key = nullptr;
      LONG r = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kPrivateKey.c_str(), 0, KEY_READ | KEY_WRITE, &key);
      if (r == ERROR_SUCCESS)
        r = RegCloseKey(key);
      if (r != ERROR_SUCCESS)
        throw _com_error(HRESULT_FROM_WIN32(r));
    }

    const std::string privateKey = ToUtf8(kPrivateKey);
    m_clientLibrary->InitialiseClientLibraryLocal("Tz", privateKey.c_str(), "PTLManagementService.reg", 0, "", 0, 0);
    UndoGuard shutdownLocal("client library shut down", [this] { m_clientLibrary->ShutdownClientLibraryLocal(); });
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "InitialiseClientLibraryLocal done.");

    m_receiver = std::make_unique<Receiver>(true);
    UndoGuard deleteReceiver("receiver deleted", [this] { m_receiver.reset(); });

    m_connection = m_clientLibrary->Connect(m_receiver.get());
    UndoGuard releaseConnection("connection released", [this] {
      if (auto* c = m_connection.exchange(nullptr))
        c->Release();
    });
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Connect done.");
    // The receiver confirms each envelope only once what it caused is stored, so the router
    // delivers again whatever a crash of the service cut short.
    m_connection.load()->ConfirmExplicitly();
    m_connection.load()->Configure(0, 10);
    if (std::string why; !metrics::StartProcessExporter(kServiceKey, why))
      trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "No metrics exporter: %hs", why);

    releaseConnection.Dismiss();
    deleteReceiver.Dismiss();
    shutdownLocal.Dismiss();
    shutdownOrb.Dismiss();
    forgetLibrary.Dismiss();
    stopDiscovery.Dismiss();
    closeSession.Dismiss();
    hr = S_OK;
  } catch (...) {
    hr = ReportStartUpFailure(std::current_exception());
  }
  if (SUCCEEDED(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Fudging success to S_OK...\n");
    return S_OK;
  }
  return hr;
}

HRESULT CManagementServiceModule::PostMessageLoop()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CManagementServiceModule::PostMessageLoop");
  metrics::StopProcessExporter();
  if (auto* connection = m_connection.exchange(nullptr))
    connection->Release();
  m_receiver.reset();
  if (m_clientLibrary) {
    m_clientLibrary->ShutdownClientLibraryLocal();
    m_clientLibrary->ShutdownORB();
    m_clientLibrary = nullptr;
  }
  UpdateNowQueue::Instance().Stop();
  InstallTaskQueue::Instance().Stop();
  InstallResultQueue::Instance().Stop();

  if (m_discovery) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Stopping computer discovery handlers\n");
    m_discovery->discovery.Stop();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Stopped computer discovery handlers\n");
  }
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "### Closing database session.");
  if (m_session) {
    m_session->Close();
    m_session.reset();
  }
  m_discovery.reset();
  return BasePostMessageLoop();
}
