#include "managementservice/install/InstallTaskQueue.h"

#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/install/ComputerInstallTask.h"
#include "managementservice/install/InstallTargets.h"
#include "managementservice/install/ScopedImpersonate.h"
#include "platform/com/ClassTable.h"
#include "platform/com/ComError.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/remotetask/SshConnection.h"
#include "platform/text/Unicode.h"
#include "metrics/ServiceMetrics.h"
#include "platform/trace/Trace.h"
#include "security/Obscurer.h"

namespace {

bool Is9xClass(LONG os) { return os == 1 || os == 2 || os == 3 || os == 12; }
bool IsNtClass(LONG os) { return os >= 4 && os <= 9; }

bool OneOf(LONG value, std::initializer_list<std::uint32_t> values)
{
  for (auto v : values)
    if (static_cast<std::uint32_t>(value) == v)
      return true;
  return false;
}

// Clears the pending flag when an attempt ends by any path, unless the computer was queued again.
class ScopedInstallCheck
{
public:
  ScopedInstallCheck(InstallTaskQueue& queue, const InstallTaskEntry& entry) : m_queue(queue), m_entry(entry) {}
  ~ScopedInstallCheck()
  {
    try {
      m_queue.UpdateDatabase(m_entry);
    } catch (const std::exception& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "ScopedInstallCheck::~ScopedInstallCheck(): Caught std exception(%hs)", e.what());
    }
  }

private:
  InstallTaskQueue& m_queue;
  const InstallTaskEntry& m_entry;
};

}  // namespace

const wchar_t* InstallPlatform(LONG operatingSystem, bool& known)
{
  known = operatingSystem >= 0 && operatingSystem <= 13;
  switch (operatingSystem) {
    case 1: case 2: case 3: case 12: return L"DEX95";
    case 4: case 5: return L"DEXNT";
    case 6: case 7: case 8: case 9: return L"Tandem";
    default: return nullptr;
  }
}

bool IsUncPath(const std::wstring& location)
{
  if (location.size() < 5 || location.compare(0, 2, L"\\\\") != 0)
    return false;
  const auto shareAt = location.find(L'\\', 2);
  return shareAt != std::wstring::npos && shareAt > 2 && shareAt + 1 < location.size() && location[shareAt + 1] != L'\\';
}

std::wstring BuildSetupParameters(const std::wstring& cidLocation, const std::wstring& obscuredUsername,
                                  const std::wstring& obscuredPassword)
{
  std::wstring p;
  p += L"-updp \"";
  p += cidLocation;
  p += L"\" ";
  p += L"-ouser \"";
  p += obscuredUsername;
  p += L"\" ";
  p += L"-opwd \"";
  p += obscuredPassword;
  p += L"\" ";
  p += L"-mng yes -s";
  return p;
}

std::wstring MakeSetupParameters(const InstallTaskEntry& entry)
{
  std::string obscuredUser;
  std::string obscuredPassword;
  Obscurity::Obscurer obscurer;
  // The password is obscured only along with a user name: without one both stay empty.
  if (!entry.cidUsername.empty()) {
    obscuredUser = obscurer.obscure(entry.cidUsername);
    if (!entry.cidPassword.empty())
      obscuredPassword = obscurer.obscure(entry.cidPassword);
  }
  std::wstring parameters = BuildSetupParameters(entry.cidLocation, FromUtf8(obscuredUser), FromUtf8(obscuredPassword));
  LanternSecurity::Wipe(obscuredUser);
  LanternSecurity::Wipe(obscuredPassword);
  return parameters;
}

int CheckRemoteServices(const InstallTaskEntry& entry)
{
  if (!IsNtClass(entry.operatingSystem))
    return 3;
  const remotetask::Settings settings = remotetask::Settings::FromRegistry();
  // The remote registry's place: the SSH port.
  bool listening = false;
  if (FAILED(remotetask::SshConnection::ProbePort(entry.computerName, settings, listening)))
    return 3;
  if (!listening)
    return 0;
  // The scheduler's place: the task shell of the account.
  remotetask::SshConnection connection(settings);
  if (FAILED(connection.Connect(entry.computerName)))
    return 3;
  const HRESULT hr = connection.Logon(ScopedImpersonate::UserPart(entry.username), entry.password);
  if (SUCCEEDED(hr))
    return 2;
  return hr == HRESULT_FROM_WIN32(remotetask::ERROR_ACCOUNT_RESTRICTION) ? 1 : 3;
}

DiagnosisProbes SystemDiagnosisProbes() { return {&CheckRemoteServices}; }

LONG DiagnoseInstallFailure(const CProtectComputerException& e, const InstallTaskEntry& entry, const DiagnosisProbes& probes)
{
  const LONG v = e.Error();
  const LONG os = entry.operatingSystem;
  const bool emptyPassword = entry.password.empty();
  const LONG byDefault = HRESULT_FROM_WIN32(v);
  // The unreachable-target rows: 9x computers have no services to ask about.
  auto servicesOr = [&](LONG bothRunning, LONG otherOs) -> LONG {
    if (Is9xClass(os))
      return 50;
    if (!IsNtClass(os))
      return otherOs;
    switch (probes.remoteServices(entry)) {
      case 0: return 47;
      case 1: return 48;
      default: return bothRunning;
    }
  };
  switch (e.Step()) {
    case ProtectStep::LogonUser:
      if (OneOf(v, {1327, 0x8007052F}))
        return emptyPassword ? 45 : byDefault;
      if (OneOf(v, {1380, 0x80070564, 1385, 0x80070569}))
        return 57;
      if (OneOf(v, {0x80070005}))
        return 55;
      return byDefault;
    case ProtectStep::SetTargetComputer:
      if (v == remotetask::HOST_KEY_NOT_TRUSTED)
        return InstallTaskQueue::kResultHostKeyNotTrusted;
      if (OneOf(v, {53, 0x80070035}))
        return servicesOr(46, byDefault);
      if (OneOf(v, {0x80070005})) {
        if (Is9xClass(os))
          return 50;
        if (os == 8)
          return emptyPassword ? 51 : 59;
        return emptyPassword ? 56 : 43;
      }
      if (OneOf(v, {1717, 0x800706B5}))
        return servicesOr(byDefault, byDefault);
      return byDefault;
    case ProtectStep::TaskSave:
      if (OneOf(v, {1717, 0x800706B5, 1722, 0x800706BA}))
        return servicesOr(46, 46);
      if (OneOf(v, {0x80070005}))
        return 58;
      return byDefault;
    case ProtectStep::NewWorkItem:
      if (OneOf(v, {67, 0x80070043, 53, 0x80070035}))
        return 49;
      if (OneOf(v, {0x80070005}))
        return emptyPassword ? 56 : 43;
      return byDefault;
    default:
      return byDefault;
  }
}

InstallTaskQueue::InstallTaskQueue(IInstallDatabase& database, InstallResultQueue& results)
    : InstallWorker("InstallTaskQueue"), m_database(database), m_results(results),
      m_interval(ReadInstallRegistryValue("InstallTaskQueue", L"InstallTimeInterval", 12000))
{
}

InstallTaskQueue::~InstallTaskQueue() { FinishWorker(); }

InstallTaskQueue& InstallTaskQueue::Instance()
{
  static InstallTaskQueue queue;
  return queue;
}

void InstallTaskQueue::AddComputers(ULONG count, const LONG* ids, const std::wstring& username, const std::wstring& password)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, L"InstallTaskQueue::AddComputers(%lu,%s,****)", count, username);
  if (count == 0)
    return;
  std::vector<LONG> requested(ids, ids + count);
  for (InstallGroup& group : GroupsOfRequestedComputers(requested))
    for (LONG id : group.computers)
      AddComputer(group.configuration, id, username, password);
}

void InstallTaskQueue::AddComputer(AUCoreHandler::AutoUpdateConfiguration& configuration, LONG computerID,
                                   const std::wstring& username, const std::wstring& password)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "InstallTaskQueue::AddComputer()");
  ComputerDetails details;
  CComputer(computerID).GetComputerDetails(details);
  InstallTaskEntry entry;
  entry.computerID = computerID;
  entry.computerName = details.name;
  entry.username = username;
  entry.password = password;
  entry.domainName = details.domainName;
  entry.operatingSystem = static_cast<LONG>(details.operatingSystem);
  std::wstring platform;
  if (BuildEntry(configuration, entry, platform))
    QueueEntry(entry, platform);
}

bool InstallTaskQueue::BuildEntry(AUCoreHandler::AutoUpdateConfiguration& configuration, InstallTaskEntry& entry,
                                  std::wstring& platformName)
{
  const wchar_t* name = entry.computerName.c_str();
  bool known = false;
  const wchar_t* platform = InstallPlatform(entry.operatingSystem, known);
  if (!platform) {
    if (known)
      trace::Trace(TRACE_MANAGEMENTSERVICE, 1, L"Computer %s (OS=%d), cannot be remotely installed", name,
                   static_cast<int>(entry.operatingSystem));
    else
      trace::Trace(TRACE_MANAGEMENTSERVICE, 1, L"Computer %s (OS=%d, unknown), cannot be remotely installed", name,
                   static_cast<int>(entry.operatingSystem));
    return false;
  }
  AUCoreHandler::IServer* server = nullptr;
  AUCoreHandler::IBootstrap* bootstrap = nullptr;
  try {
    AUCoreHandler::IAUConfig& config = configuration.GetConfig(platform);
    server = &config.GetPrimaryLocation().GetServer();
    bootstrap = &config.GetBootstrap();
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"Computer %s, could not get CID location", name);
    return false;
  }
  if (!server->GetAddress(entry.cidLocation)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"Computer %s, could not get CID location", name);
    return false;
  }
  if (entry.cidLocation.empty()) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"Computer %s, CID location cannot be empty", name);
    return false;
  }
  if (!server->GetUsername(entry.cidUsername)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"Computer %s, could not get CID username", name);
    return false;
  }
  if (!server->GetUserPassword(entry.cidPassword)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"Computer %s, could not get CID password", name);
    return false;
  }
  std::wstring location;
  if (!bootstrap->GetLocation(location)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"Computer %s, Unable to retrieve bootstrap location", name);
    return false;
  }
  if (!IsUncPath(location)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"Computer %s, non-UNC bootstrap is not supported: %s", name, location);
    return false;
  }
  entry.setupPath = location + L"\\setup.exe";
  platformName = platform;
  return true;
}

void InstallTaskQueue::QueueEntry(const InstallTaskEntry& entry, const std::wstring& platform)
{
  m_list.Replace(entry);
  metrics::InstallTask("queued");
  // Before the flag, whose clock tick then covers both.
  NoteInstallStage(m_database, entry.computerID, InstallStage::Queued);
  UpdateDatabase(entry);
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, L"Install pending for %s (%s)", entry.computerName, platform);
}

bool InstallTaskQueue::PopComputer(InstallTaskEntry& entry) { return m_list.Pop(entry); }

void InstallTaskQueue::RemoveAll()
{
  // The flags stay as they are (a later start clears them); the stages say the attempts will
  // not come, so that nobody watching waits for them.
  const std::vector<LONG> removed = m_list.Take();
  for (LONG id : removed)
    NoteInstallStage(m_database, id, InstallStage::Stopped);
  if (!removed.empty())
    m_database.TickComputerStateClock();
}

std::size_t InstallTaskQueue::GetQueueSize() const { return m_list.Size(); }

bool InstallTaskQueue::IsInQueue(const InstallTaskEntry& entry) const { return m_list.Contains(entry); }

void InstallTaskQueue::UpdateDatabase(const InstallTaskEntry& entry)
{
  const bool pending = IsInQueue(entry);
  const HRESULT hr = m_database.SetComputerInstallPendingFlag(entry.computerID, pending);
  if (FAILED(hr))
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "SetComputerInstallPendingFlag(%ld,%d) failed with hr=0x%08X",
                 static_cast<long>(entry.computerID), pending ? 1 : 0, hr);
  m_database.TickComputerStateClock();
}

void InstallTaskQueue::SetThreadTimeout(DWORD ms)
{
  std::lock_guard<std::mutex> lock(m_lock);
  m_interval = ms;
}

DWORD InstallTaskQueue::ThreadTimeout() const
{
  std::lock_guard<std::mutex> lock(m_lock);
  return m_interval;
}

void InstallTaskQueue::Start()
{
  if (IsRunning())
    return;
  const HRESULT hr = m_database.ClearComputerInstallFlags();
  if (FAILED(hr))
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "ClearComputerInstallFlags() failed with hr=0x%08X", hr);
  m_database.TickComputerStateClock();
  StartWorker();
}

void InstallTaskQueue::Stop() { StopWorker(); }

void InstallTaskQueue::WorkRound()
{
  InstallTaskEntry entry;
  if (PopComputer(entry))
    InstallComputer(entry);
}

void InstallTaskQueue::InstallComputer(const InstallTaskEntry& entry)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "InstallTaskQueue::InstallComputer()");
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, L"Install attempt starting for %s", entry.computerName);
  ScopedInstallCheck check(*this, entry);
  LONG result = 0;
  // The parameters hold the obscured update-server credentials: wiped however the attempt ends.
  std::wstring parameters;
  struct WipeOnExit
  {
    std::wstring& text;
    ~WipeOnExit() { LanternSecurity::Wipe(text); }
  } wipeParameters{parameters};
  try {
    parameters = MakeSetupParameters(entry);
    // The user name in clear: the obscured texts stay out of every trace.
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, L"Obfuscated Username %s", entry.cidUsername);
    {
      NoteInstallStage(m_database, entry.computerID, InstallStage::Connecting);
      m_database.TickComputerStateClock();
      CComputerInstallTask task(entry.computerName, entry.username, entry.password);
      NoteInstallStage(m_database, entry.computerID, InstallStage::Copying);
      m_database.TickComputerStateClock();
      task.SetCancel([this] { return StopRequested(); });
      task.Install(entry.setupPath, parameters);
    }
    InstallResultEntry started;
    started.computerID = entry.computerID;
    started.computerName = entry.computerName;
    started.username = entry.username;
    started.password = entry.password;
    m_results.AddComputer(started);
    metrics::InstallTask("started");
    return;
  } catch (const Obscurity::ObscurityException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerInstallTask::Install failed, Obfuscation failed reason : %hs", e.what());
    result = kResultObscuringFailed;
  } catch (const CProtectComputerException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerInstallTask::Install failed, 0x%08X, %hs",
                 static_cast<std::uint32_t>(e.Error()), e.what());
    result = DiagnoseInstallFailure(e, entry);
  } catch (const WinRuntimeError& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerInstallTask::Install failed, 0x%08X, %hs", e.hr(), e.what());
    result = e.hr();
  }
  m_results.RecordInstallResult(entry.computerID, result);
}
