#include "managementservice/install/ComputerInstallTask.h"

#include "managementservice/TraceComponent.h"
#include "managementservice/install/ProtectComputerException.h"
#include "platform/errortext/ErrorText.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/sync/Sync.h"
#include "platform/trace/Trace.h"
#include "security/Wipe.h"

namespace {

constexpr HRESULT kFileExists = MakeHr(0x80070050);
constexpr HRESULT kTimeoutHr = MakeHr(0x800705B4);

[[noreturn]] void ThrowWin(const char* prefix, HRESULT hr)
{
  throw WinRuntimeError::FromHResult(hr, std::string(prefix) + ErrorText(hr));
}

}  // namespace

std::wstring CComputerInstallTask::TargetOf(const std::wstring& computerName)
{
  return computerName.rfind(L"\\\\", 0) == 0 ? computerName : L"\\\\" + computerName;
}

CComputerInstallTask::CComputerInstallTask(const std::wstring& computerName, const std::wstring& username,
                                           const std::wstring& password)
    : m_computerName(computerName), m_username(username), m_password(password), m_impersonate(username, password),
      m_settings(remotetask::Settings::FromRegistry())
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, L"CComputerInstallTask::CComputerInstallTask(%ls,%ls)", computerName,
                              username);
  m_connection = std::make_unique<remotetask::SshConnection>(m_settings);
  m_spTaskScheduler = std::make_unique<remotetask::TaskScheduler>(*m_connection, m_settings);
  SetTargetComputer();
}

CComputerInstallTask::~CComputerInstallTask()
{
  m_spTaskScheduler.reset();
  m_connection.reset();
  LanternSecurity::Wipe(m_password);
}

void CComputerInstallTask::SetTargetComputer()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::SetTargetComputer()");
  const HRESULT hr = m_connection->Connect(TargetOf(m_computerName));
  if (FAILED(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "m_spTaskScheduler->SetTargetComputer failed hr: 0x%08X", hr);
    throw CProtectComputerException(ProtectStep::SetTargetComputer, hr);
  }
  // The target is reached before the account can be logged on there.
  m_impersonate.LogonAt(*m_connection);
}

void CComputerInstallTask::Install(const std::wstring& setupPath, const std::wstring& parameters)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, L"CComputerInstallTask::Install(bootstrap=%ls)", setupPath);
  CreateTask(setupPath, parameters, m_username, m_password);
  RunTask();
}

void CComputerInstallTask::CreateTask(const std::wstring& applicationPath, const std::wstring& parameters,
                                      const std::wstring& username, const std::wstring& /*password*/)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::CreateTask()");
  remotetask::WorkItem item;
  HRESULT hr = m_spTaskScheduler->NewWorkItem(m_taskName, item);
  if (hr == kFileExists || hr == 0x50) {
    // A task left on the computer by an earlier attempt.
    const HRESULT deleted = m_spTaskScheduler->Delete(m_taskName);
    if (FAILED(deleted))
      ThrowWin("Delete failed: ", deleted);
    hr = m_spTaskScheduler->NewWorkItem(m_taskName, item);
  }
  if (FAILED(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "m_spTaskScheduler->NewWorkItem failed hr: 0x%08X", hr);
    throw CProtectComputerException(ProtectStep::NewWorkItem, hr);
  }
  item.applicationName = L"\"" + applicationPath + L"\"";
  item.parameters = parameters;
  // The task runs as the account that logged on; its password is never stored with the task.
  item.accountName = username;
  hr = m_spTaskScheduler->Save(m_taskName, item);
  if (FAILED(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "spPersistFile->Save failed hr: 0x%08X", hr);
    throw CProtectComputerException(ProtectStep::TaskSave, hr);
  }
}

std::unique_ptr<remotetask::ActivatedTask> CComputerInstallTask::Activate(const char* failurePrefix)
{
  std::unique_ptr<remotetask::ActivatedTask> task;
  const HRESULT hr = m_spTaskScheduler->Activate(m_taskName, task);
  if (FAILED(hr))
    ThrowWin(failurePrefix, hr);
  return task;
}

void CComputerInstallTask::RunTask()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::RunTask()");
  bool visible = false;
  for (int i = 0; i < 100 && !visible && !(m_cancel && m_cancel()); ++i) {
    Sleep(100);
    std::unique_ptr<remotetask::ActivatedTask> task;
    if (SUCCEEDED(m_spTaskScheduler->Activate(m_taskName, task)) && task)
      visible = !task->ApplicationName().empty();
  }
  if (!visible) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1,
                 "Task Scheduler did not manage to save the task file on the target computer, run() can not be called.");
    throw CProtectComputerException(ProtectStep::TaskSave, kTimeoutHr);
  }
  Activate("Activate(2) failed: ");
  const HRESULT hr = m_spTaskScheduler->Run(m_taskName);
  if (FAILED(hr))
    ThrowWin("Run failed: ", hr);
}

void CComputerInstallTask::DeleteTask()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::DeleteTask()");
  const HRESULT hr = m_spTaskScheduler->Delete(m_taskName);
  if (FAILED(hr))
    ThrowWin("DeleteTask failed: ", hr);
}

HRESULT CComputerInstallTask::GetExitCode(DWORD& code)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::GetExitCode()");
  return Activate("Activate failed: ")->GetExitCode(code);
}

void CComputerInstallTask::GetTaskStatus(HRESULT& status)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::GetTaskStatus()");
  status = Activate("Activate failed: ")->GetStatus();
}

void CComputerInstallTask::GetTaskLastRunTime(std::time_t& when)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::GetTaskLastRunTime");
  when = 0;
  const HRESULT hr = Activate("Activate failed: ")->GetMostRecentRunTime(when);
  if (FAILED(hr))
    ThrowWin("GetMostRecentRunTime failed: ", hr);
}

bool CComputerInstallTask::WaitTaskStarted()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::WaitTaskStarted()");
  DWORD code = 0;
  HRESULT hr = GetExitCode(code);
  for (int retry = 0; hr == remotetask::SCHED_S_TASK_HAS_NOT_RUN && retry < 19; ++retry) {
    Sleep(1000);
    hr = GetExitCode(code);
  }
  if (FAILED(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "GetExitCode failed: 0x%08X", hr);
    return false;
  }
  return hr != remotetask::SCHED_S_TASK_HAS_NOT_RUN;
}

bool CComputerInstallTask::WaitTaskFinished()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerInstallTask::WaitTaskFinished()");
  HRESULT status = E_FAIL;
  GetTaskStatus(status);
  for (int retry = 0; status == remotetask::SCHED_S_TASK_RUNNING && retry < 19; ++retry) {
    Sleep(1000);
    GetTaskStatus(status);
  }
  return status != remotetask::SCHED_S_TASK_RUNNING;
}
