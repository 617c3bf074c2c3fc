#include "managementservice/install/InstallResultQueue.h"

#include <typeinfo>

#include "managementservice/TraceComponent.h"
#include "managementservice/host/ServiceModule.h"
#include "managementservice/install/ComputerInstallTask.h"
#include "managementservice/install/ProtectComputerException.h"
#include "platform/com/ComError.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"
#include "metrics/ServiceMetrics.h"
#include "platform/trace/Trace.h"

DWORD ReadInstallRegistryValue(const char* owner, const wchar_t* name, DWORD defaultValue)
{
  DWORD value = defaultValue;
  CRegKey key;
  DWORD read = 0;
  if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), KEY_READ) == ERROR_SUCCESS &&
      key.QueryDWORDValue(name, read) == ERROR_SUCCESS)
    value = read;
  const std::wstring format = FromUtf8(owner) + L"::GetRegistryValue(%s) returning %d";
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, format.c_str(), name, static_cast<int>(value));
  return value;
}

// Refreshes the in-progress flag when the entry's handling ends, unless disarmed because the
// entry went back into the queue.
class InstallResultQueue::ScopedInstallCheck
{
public:
  ScopedInstallCheck(InstallResultQueue& queue, const InstallResultEntry& entry) : m_queue(queue), m_entry(entry) {}
  ~ScopedInstallCheck()
  {
    if (!m_armed)
      return;
    try {
      m_queue.UpdateDatabase(m_entry);
    } catch (const std::exception& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "ScopedInstallCheck::~ScopedInstallCheck(): Caught std exception(%hs)", e.what());
    }
  }
  void Disarm() { m_armed = false; }

private:
  InstallResultQueue& m_queue;
  InstallResultEntry m_entry;
  bool m_armed = true;
};

InstallResultQueue::InstallResultQueue(IInstallDatabase& database)
    : InstallWorker("InstallResultQueue"), m_database(database),
      m_interval(ReadInstallRegistryValue("InstallResultQueue", L"InstallResultTimeInterval", 12000)),
      m_installTimeout(ReadInstallRegistryValue("InstallResultQueue", L"MaximumInstallTimeInterval", 600000))
{
}

InstallResultQueue::~InstallResultQueue() { FinishWorker(); }

InstallResultQueue& InstallResultQueue::Instance()
{
  static InstallResultQueue queue;
  return queue;
}

void InstallResultQueue::AddComputer(const InstallResultEntry& entry)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, L"InstallResultQueue::AddComputer(%s)", entry.computerName);
  InstallResultEntry watched = entry;
  watched.startTick = watched.lastSeenTick = GetTickCount();
  m_list.Replace(watched);
  NoteInstallStage(m_database, entry.computerID, InstallStage::Running);
  UpdateDatabase(entry);
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, L"Install in progress for %s", entry.computerName);
}

bool InstallResultQueue::PopComputer(InstallResultEntry& entry) { return m_list.Pop(entry); }

void InstallResultQueue::RemoveAll() { m_list.Clear(); }

std::size_t InstallResultQueue::GetQueueSize() const { return m_list.Size(); }

bool InstallResultQueue::IsInQueue(const InstallResultEntry& entry) const { return m_list.Contains(entry); }

void InstallResultQueue::SetThreadTimeout(DWORD ms)
{
  std::lock_guard<std::mutex> lock(m_lock);
  m_interval = ms;
}

void InstallResultQueue::SetInstallTimeout(DWORD ms)
{
  std::lock_guard<std::mutex> lock(m_lock);
  m_installTimeout = ms;
}

DWORD InstallResultQueue::ThreadTimeout() const
{
  std::lock_guard<std::mutex> lock(m_lock);
  return m_interval;
}

DWORD InstallResultQueue::InstallTimeout() const
{
  std::lock_guard<std::mutex> lock(m_lock);
  return m_installTimeout;
}

void InstallResultQueue::UpdateDatabase(const InstallResultEntry& entry)
{
  const bool inProgress = IsInQueue(entry);
  const HRESULT hr = m_database.SetComputerInstallInProgressFlag(entry.computerID, inProgress);
  if (FAILED(hr))
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "SetComputerInstallInProgressFlag(%ld,%d) failed with hr=0x%08X",
                 static_cast<long>(entry.computerID), inProgress ? 1 : 0, hr);
  m_database.TickComputerStateClock();
}

void InstallResultQueue::RecordInstallResult(LONG computerID, LONG result)
{
  metrics::InstallTask(result == 0 ? "succeeded" : "failed");
  const HRESULT hr = m_database.ComputerSetInstallResult(computerID, result);
  if (FAILED(hr))
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "ComputerSetInstallResult(%ld,%d) failed with hr=0x%08X",
                 static_cast<long>(computerID), static_cast<int>(result), hr);
  NoteInstallStage(m_database, computerID, result == 0 ? InstallStage::Done : InstallStage::Failed, result);
  m_database.TickComputerStateClock();
}

void InstallResultQueue::Start() { StartWorker(); }

void InstallResultQueue::Stop() { StopWorker(); }

void InstallResultQueue::WorkRound()
{
  const DWORD passStart = GetTickCount();
  while (!StopRequested() && ProcessComputer(passStart)) {
  }
}

void InstallResultQueue::ReturnToQueue(InstallResultEntry entry, DWORD passStart, ScopedInstallCheck& check)
{
  entry.lastSeenTick = passStart;
  // Added again meanwhile: the newer entry stands, and the check refreshes the flag.
  if (m_list.AddIfAbsent(entry))
    check.Disarm();
}

bool InstallResultQueue::ProcessComputer(DWORD passStart)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "InstallResultQueue::ProcessComputer()");
  InstallResultEntry entry;
  if (!PopComputer(entry))
    return false;
  ScopedInstallCheck check(*this, entry);
  // Tick arithmetic that survives the counter's wrap: "not earlier than the pass start".
  if (static_cast<std::int32_t>(entry.lastSeenTick - passStart) >= 0) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "All entries in InstallResultQueue processed already");
    ReturnToQueue(entry, entry.lastSeenTick, check);
    return false;
  }
  LONG exitCode = 0;
  const int status = GetInstallStatus(entry, exitCode);
  const bool timedOut = static_cast<DWORD>(entry.startTick + InstallTimeout()) < passStart;
  const wchar_t* name = entry.computerName.c_str();
  switch (status) {
    case 0:
    case 1:
      if (!timedOut) {
        if (status == 0)
          trace::Trace(TRACE_MANAGEMENTSERVICE, 1, L"%s install status not available", name);
        else
          trace::Trace(TRACE_MANAGEMENTSERVICE, 2, L"%s install still in progress", name);
        ReturnToQueue(entry, passStart, check);
        return true;
      }
      trace::Trace(TRACE_MANAGEMENTSERVICE, 1, L"%s install timed out, assumption is that install failed", name);
      RecordInstallResult(entry.computerID, kResultTimedOut);
      break;
    case 2:
      trace::Trace(TRACE_MANAGEMENTSERVICE, 2, L"%s install succeeded (returned %d)", name, static_cast<int>(exitCode));
      RecordInstallResult(entry.computerID, 0);
      break;
    case 3:
      trace::Trace(TRACE_MANAGEMENTSERVICE, 1, L"%s install failed (returned %d)", name, static_cast<int>(exitCode));
      RecordInstallResult(entry.computerID, exitCode);
      break;
    default:
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "InstallResultQueue::ThreadWorker() got unknown result from GetInstallStatus()");
      RecordInstallResult(entry.computerID, kResultUnexpectedStatus);
      break;
  }
  DeleteRemoteTask(entry);
  return true;
}

int InstallStatusOf(const std::function<std::unique_ptr<IInstallTaskReader>()>& open, LONG& exitCode)
{
  try {
    const std::unique_ptr<IInstallTaskReader> task = open();
    HRESULT status = S_OK;
    task->GetTaskStatus(status);
    if (status == remotetask::SCHED_S_TASK_RUNNING)
      return 1;
    if (status != remotetask::SCHED_S_TASK_NOT_SCHEDULED && status != remotetask::SCHED_S_TASK_NO_VALID_TRIGGERS) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "InstallResultQueue::GetInstallStatus(): Got hr=0x%08X from GetTaskStatus()",
                   status);
      return 0;
    }
    DWORD code = 0;
    const HRESULT hr = task->GetExitCode(code);
    if (hr == remotetask::SCHED_S_TASK_HAS_NOT_RUN)
      return 1;
    if (SUCCEEDED(hr)) {
      exitCode = static_cast<LONG>(code);
    } else {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "InstallResultQueue::GetInstallStatus(): Got hr=0x%08X from GetExitCode()", hr);
      const auto u = static_cast<std::uint32_t>(hr);
      const bool accessOrPath = u == 0x80070005u || u == 3u || u == 0x80070003u || u == 71u || u == 0x80070047u ||
                                u == 0xC0000022u;
      exitCode = accessOrPath ? InstallResultQueue::kResultExitCodeUnreadable : static_cast<LONG>(hr);
    }
    return exitCode != 0 ? 3 : 2;
  } catch (const CProtectComputerException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerInstallTask::GetInstallStatus(): Caught CProtectComputerException 0x%08X, %hs",
                 static_cast<std::uint32_t>(e.Error()), e.what());
  } catch (const WinRuntimeError& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerInstallResult::GetInstallStatus(): Caught WinRuntimeError 0x%08X, %hs",
                 e.hr(), e.what());
  }
  return 0;
}

int InstallResultQueue::GetInstallStatus(const InstallResultEntry& entry, LONG& exitCode)
{
  return InstallStatusOf(
    [&entry]() -> std::unique_ptr<IInstallTaskReader> {
      return std::make_unique<CComputerInstallTask>(entry.computerName, entry.username, entry.password);
    },
    exitCode);
}

void InstallResultQueue::DeleteRemoteTask(const InstallResultEntry& entry)
{
  try {
    CComputerInstallTask task(entry.computerName, entry.username, entry.password);
    task.DeleteTask();
  } catch (const CProtectComputerException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerInstallTask::DeleteRemoteTask(): Caught CProtectComputerException 0x%08X, %hs",
                 static_cast<std::uint32_t>(e.Error()), e.what());
  } catch (const WinRuntimeError& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerInstallResult::DeleteRemoteTask(): Caught WinRuntimeError 0x%08X, %hs",
                 e.hr(), e.what());
  }
}
