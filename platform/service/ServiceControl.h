#pragma once
// The service control manager on systemd. A service is a unit file
// "<name, lower-case, spaces as dashes>.service" in $CORVEX_SYSTEMD_UNIT_DIR (default
// /etc/systemd/system): Type=notify, Restart=on-failure. A running service reports its state
// through the sd_notify protocol on $NOTIFY_SOCKET; SIGTERM (and SIGINT) is the stop control.
#include <functional>
#include <string>

#include "platform/com/WinTypes.h"

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;

constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;

struct SERVICE_STATUS
{
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

// ---- Service control manager: installation --------------------------------------------------
struct ScManager;
using SC_HANDLE = ScManager*;

std::string ServiceUnitName(const std::wstring& serviceName);
std::string ServiceUnitDirectory();
// The unit CreateService writes (and the packages ship): the service under its own account,
// fed by a watchdog, restarted on failure, with the file system read-only but for its own
// folders. binaryPath is the quoted executable; registryPath, when not empty, is passed on
// as CORVEX_REGISTRY.
std::string ServiceUnitText(const std::wstring& displayName, const std::wstring& binaryPath, const std::wstring& dependency,
                            const std::string& registryPath);

// Null with the last error set (ERROR_ACCESS_DENIED when the unit directory cannot be written).
SC_HANDLE OpenSCManager();
// Writes the unit; ERROR_SERVICE_EXISTS when it is there already. binaryPath is the quoted path.
SC_HANDLE CreateService(SC_HANDLE scm, const std::wstring& name, const std::wstring& displayName,
                        const std::wstring& binaryPath, const std::wstring& dependency);
// Null with ERROR_SERVICE_DOES_NOT_EXIST when there is no unit.
SC_HANDLE OpenService(SC_HANDLE scm, const std::wstring& name);
// Stops the running unit through systemd; false with ERROR_SERVICE_NOT_ACTIVE when it is not running.
bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
bool DeleteService(SC_HANDLE service);
bool CloseServiceHandle(SC_HANDLE h);

// ---- A running service ----------------------------------------------------------------------
using LPHANDLER_FUNCTION = std::function<void(DWORD control)>;
using LPSERVICE_MAIN_FUNCTION = std::function<void()>;
struct ServiceStatusHandleTag;
using SERVICE_STATUS_HANDLE = ServiceStatusHandleTag*;

// Runs serviceMain on a new thread and dispatches controls (SIGTERM/SIGINT: stop) on the calling
// thread until the service reports SERVICE_STOPPED. Fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
// when the process was not started by the service manager (no $NOTIFY_SOCKET).
bool StartServiceCtrlDispatcher(const std::wstring& name, LPSERVICE_MAIN_FUNCTION serviceMain);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::wstring& name, LPHANDLER_FUNCTION handler);
// Reports the state to systemd: start-pending (with the wait hint as EXTEND_TIMEOUT_USEC),
// running (READY=1), stop-pending (STOPPING=1), stopped (with the exit code).
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// Sends one sd_notify message; false when there is no $NOTIFY_SOCKET or sending failed.
bool SdNotify(const std::string& state);

// Tells systemd's watchdog that the calling thread is making progress (WATCHDOG=1), at most
// once per quarter of $WATCHDOG_USEC; nothing when no watchdog is set for this process. The
// thread whose stall should restart the service is the one that calls it.
void FeedWatchdog();

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and every thread it starts later;
// call first thing in main so that only the control thread receives them.
void BlockControlSignals();
// Starts a thread that calls onStop on the first SIGTERM or SIGINT (for a process that is not a
// service, whose stop is the same as a service's). The thread ends with the process.
void WatchStopSignals(std::function<void()> onStop);

// ---- The thread message loop ----------------------------------------------------------------
constexpr DWORD WM_QUIT = 0x0012;
constexpr DWORD WM_USER = 0x0400;

bool PostThreadMessage(DWORD threadId, DWORD message);
// Pumps the calling thread's messages until WM_QUIT; returns the number of other messages seen.
DWORD RunThreadMessageLoop();
