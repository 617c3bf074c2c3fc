#pragma once
// The remote task scheduler stand-in: a scheduler bound to one target computer, whose work
// items (program, parameters, account) are saved, run detached, watched and deleted there.
// Every answer is an HRESULT or Win32 value of the scheduler it stands in for; the mapping from
// what the transport and the target's shell report happens here and nowhere else (README.md).
#include <ctime>
#include <memory>
#include <string>

#include "platform/com/WinTypes.h"
#include "platform/remotetask/TaskScripts.h"

namespace remotetask {

// Task states and results of the scheduler.
constexpr HRESULT SCHED_S_TASK_READY = 0x00041300;
constexpr HRESULT SCHED_S_TASK_RUNNING = 0x00041301;
constexpr HRESULT SCHED_S_TASK_HAS_NOT_RUN = 0x00041303;
constexpr HRESULT SCHED_S_TASK_NOT_SCHEDULED = 0x00041305;
constexpr HRESULT SCHED_S_TASK_NO_VALID_TRIGGERS = 0x00041307;

// Win32 values of the remote operations.
constexpr LONG ERROR_BAD_NETPATH = 53;
constexpr LONG ERROR_FILE_EXISTS = 80;
constexpr LONG ERROR_PROCESS_ABORTED = 1067;
constexpr LONG ERROR_LOGON_FAILURE = 1326;
constexpr LONG ERROR_ACCOUNT_RESTRICTION = 1327;
constexpr LONG ERROR_LOGON_TYPE_NOT_GRANTED = 1385;
constexpr LONG ERROR_TIMEOUT = 1460;
constexpr LONG RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr LONG ERROR_TRUST_FAILURE = 1790;

// The target presented a host key that nobody has recorded as its own: nothing is sent to it
// until an administrator records the key (corvexctl install trust).
constexpr HRESULT HOST_KEY_NOT_TRUSTED = HRESULT_FROM_WIN32(ERROR_TRUST_FAILURE);

// Where and how targets are reached: values under the service's registry key.
struct Settings
{
  unsigned port = 22;                 // "InstallSshPort"
  unsigned timeoutSeconds = 10;       // "InstallSshTimeoutSecs": connect, logon and each exec
  // "InstallAcceptNewHostKeys": record unknown keys on first use. Off unless set: a key taken on
  // first use would hand the console's password to whatever answers at the target's address.
  bool acceptNewHostKeys = false;
  std::string knownHostsFile;         // "InstallKnownHostsFile", default known_hosts beside the registry file
  std::string shareRoot = "/mnt/corvex-shares";  // "InstallShareRoot"

  static Settings FromRegistry();
};

// Where the target reads a UNC location: \\server\share\rest becomes <root>/server/share/rest.
// Any other text is taken as a path on the target already. False, with `path` empty, for a
// location that could leave the share root or name something odd: a "." or ".." component, an
// empty server or share, a control character.
bool MapBootstrapPath(const std::wstring& location, const std::string& shareRoot, std::string& path);

// Runs one script on the target: the fixed exec command with the script on its standard input.
struct ExecResult
{
  int exitStatus = -1;
  std::string out;
  std::string err;
};
class IExecutor
{
public:
  virtual ~IExecutor() = default;
  // RPC_S_SERVER_UNAVAILABLE (HRESULT form) when the script could not be run or its end not seen.
  virtual HRESULT Exec(const std::string& script, ExecResult& result) = 0;
};

// A one-off work item as it is set up before it is saved.
struct WorkItem
{
  std::wstring applicationName;
  std::wstring parameters;
  std::wstring accountName;
};

// A saved task as one activation reads it: its application name, status, exit code and last
// run time, all from a single exec.
class ActivatedTask
{
public:
  explicit ActivatedTask(const TaskSnapshot& snapshot) : m_snapshot(snapshot) {}
  const std::wstring ApplicationName() const;
  // SCHED_S_TASK_RUNNING while it runs, SCHED_S_TASK_NO_VALID_TRIGGERS otherwise (a task of
  // ours has no triggers: it runs only when started).
  HRESULT GetStatus() const;
  // S_OK with the exit code once it finished; SCHED_S_TASK_HAS_NOT_RUN before it ever started
  // (and while the first run goes on); ERROR_PROCESS_ABORTED when its run ended unrecorded.
  HRESULT GetExitCode(DWORD& code) const;
  // SCHED_S_TASK_HAS_NOT_RUN (time 0) when it never started.
  HRESULT GetMostRecentRunTime(std::time_t& when) const;

private:
  TaskSnapshot m_snapshot;
};

class TaskScheduler
{
public:
  TaskScheduler(IExecutor& executor, Settings settings);

  // ERROR_FILE_EXISTS when a task of that name is on the target.
  HRESULT NewWorkItem(const std::wstring& name, WorkItem& item);
  // Writes the task to the target: E_ACCESSDENIED when the target refuses the folder.
  HRESULT Save(const std::wstring& name, const WorkItem& item);
  // ERROR_FILE_NOT_FOUND when there is no such task.
  HRESULT Activate(const std::wstring& name, std::unique_ptr<ActivatedTask>& task);
  HRESULT Run(const std::wstring& name);
  // Stops what the task still runs (its whole process group) and removes it.
  HRESULT Delete(const std::wstring& name);

private:
  HRESULT ExecChecked(const std::string& script, ExecResult& result);
  IExecutor& m_executor;
  Settings m_settings;
};

}  // namespace remotetask
