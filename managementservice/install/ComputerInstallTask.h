#pragma once
// Runs a program on a remote computer as a one-off task of its scheduler, under the console's
// account: create, save and start the task; later read its status and exit code and delete it.
// Each failing step that the installer must tell apart raises CProtectComputerException with
// its step; every other failed call raises WinRuntimeError with a prefix naming the call.
//
// An object lives for one operation on one thread: constructed (logon at the target), used,
// destroyed (session closed, password wiped).
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "managementservice/install/InstallResultQueue.h"
#include "managementservice/install/ScopedImpersonate.h"
#include "platform/com/WinTypes.h"
#include "platform/remotetask/RemoteTask.h"
#include "platform/remotetask/SshConnection.h"

class CComputerInstallTask : public IInstallTaskReader
{
public:
  static constexpr const wchar_t* kTaskName = L"Corvex_InstTask";

  CComputerInstallTask(const std::wstring& computerName, const std::wstring& username, const std::wstring& password);
  ~CComputerInstallTask() override;
  CComputerInstallTask(const CComputerInstallTask&) = delete;
  CComputerInstallTask& operator=(const CComputerInstallTask&) = delete;

  // CreateTask, then RunTask.
  void Install(const std::wstring& setupPath, const std::wstring& parameters);
  void CreateTask(const std::wstring& applicationPath, const std::wstring& parameters, const std::wstring& username,
                  const std::wstring& password);
  void RunTask();
  void DeleteTask();
  // The scheduler's answer unchanged: SCHED_S_TASK_HAS_NOT_RUN is a success code, not an error.
  HRESULT GetExitCode(DWORD& code) override;
  void GetTaskStatus(HRESULT& status) override;
  void GetTaskLastRunTime(std::time_t& when);
  // Waits up to 20 s for the task to have run once / to stop running.
  bool WaitTaskStarted();
  bool WaitTaskFinished();

  // Asked between the tries of RunTask's wait for the saved task: true ends the wait early (as
  // if the task never showed), so a shutdown does not wait out a target that hangs.
  void SetCancel(std::function<bool()> cancel) { m_cancel = std::move(cancel); }

  // "\\" + the name unless it starts with two backslashes already.
  static std::wstring TargetOf(const std::wstring& computerName);

private:
  void SetTargetComputer();
  std::unique_ptr<remotetask::ActivatedTask> Activate(const char* failurePrefix);

  std::wstring m_computerName;
  std::wstring m_taskName = kTaskName;
  std::wstring m_username;
  std::wstring m_password;
  ScopedImpersonate m_impersonate;
  remotetask::Settings m_settings;
  std::unique_ptr<remotetask::SshConnection> m_connection;
  std::unique_ptr<remotetask::TaskScheduler> m_spTaskScheduler;
  std::function<bool()> m_cancel;
};
