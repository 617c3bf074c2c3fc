#include "platform/service/ServiceControl.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/errortext/ErrorText.h"
#include "platform/sync/Sync.h"
#include "platform/text/Unicode.h"

extern char** environ;

struct ScManager
{
  bool isService;
  std::string unitPath;
  std::string unitName;
};

struct ServiceStatusHandleTag
{
};

namespace {

bool SystemdRunning()
{
  struct stat st{};
  return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs systemctl with the arguments; its exit status, or -1 when it could not run.
int Systemctl(const std::vector<std::string>& args)
{
  std::vector<char*> argv;
  std::string prog = "systemctl";
  argv.push_back(prog.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Unquote(const std::string& s)
{
  return s.size() >= 2 && s.front() == '"' && s.back() == '"' ? s.substr(1, s.size() - 2) : s;
}

struct Dispatcher
{
  std::mutex lock;
  LPHANDLER_FUNCTION handler;
  std::atomic<bool> stopped{false};
  ServiceStatusHandleTag handle;
};

Dispatcher& TheDispatcher()
{
  static Dispatcher* d = new Dispatcher;
  return *d;
}

sigset_t ControlSignals()
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

struct MessageQueues
{
  std::mutex lock;
  std::condition_variable changed;
  std::map<DWORD, std::deque<DWORD>> queues;
};

MessageQueues& TheQueues()
{
  static MessageQueues* q = new MessageQueues;
  return *q;
}

}  // namespace

std::string ServiceUnitName(const std::wstring& serviceName)
{
  std::string out;
  for (char c : ToUtf8(serviceName)) {
    if (std::isalnum(static_cast<unsigned char>(c)))
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    else if (!out.empty() && out.back() != '-')
      out += '-';
  }
  while (!out.empty() && out.back() == '-')
    out.pop_back();
  return out + ".service";
}

std::string ServiceUnitDirectory()
{
  const char* d = std::getenv("CORVEX_SYSTEMD_UNIT_DIR");
  return d && *d ? d : "/etc/systemd/system";
}

std::string ServiceUnitText(const std::wstring& displayName, const std::wstring& binaryPath, const std::wstring& dependency,
                            const std::string& registryPath)
{
  std::string t = "# Written by \"" + Unquote(ToUtf8(binaryPath)) + " -Service\"; removed by -UnregServer.\n";
  t += "[Unit]\nDescription=" + ToUtf8(displayName) + "\n";
  t += "# Platform dependency " + ToUtf8(dependency) + ": the network.\n";
  // The packages' messaging server and relay, where they are installed; PostgreSQL when local.
  t += "Wants=network-online.target corvex-messaging.service corvex-relay.service\n";
  t += "After=network-online.target postgresql.service corvex-messaging.service corvex-relay.service\n\n";
  t += "[Service]\nType=notify\nNotifyAccess=main\nExecStart=" + ToUtf8(binaryPath) + "\n";
  if (!registryPath.empty())
    t += "Environment=\"CORVEX_REGISTRY=" + registryPath + "\"\n";
  // The processing thread feeds the watchdog: a thread stuck for a minute gets the service
  // restarted. Start-up asks for more time itself while it waits for the database.
  t += "WatchdogSec=60\nRestart=on-failure\nRestartSec=5\nKillSignal=SIGTERM\nTimeoutStopSec=60\n";
  // Its own account; the console administrators' group so that it may give them the console
  // socket. Remote installation (SSH) and network browsing need no privilege.
  t += "User=corvex\nGroup=corvex\nSupplementaryGroups=corvex-console-admins\n";
  t += "RuntimeDirectory=corvex\nRuntimeDirectoryMode=0755\nRuntimeDirectoryPreserve=restart\n";
  t += "StateDirectory=corvex\nStateDirectoryMode=0750\nLogsDirectory=corvex\nLogsDirectoryMode=0750\n";
  t += "UMask=0027\n";
  // The registry file and the messaging credentials live in /etc/corvex and the service writes
  // its private keys there.
  t += "ReadWritePaths=/etc/corvex\n";
  t += "NoNewPrivileges=yes\nCapabilityBoundingSet=\nAmbientCapabilities=\n";
  t += "ProtectSystem=strict\nProtectHome=yes\nPrivateTmp=yes\nPrivateDevices=yes\nPrivateMounts=yes\nDevicePolicy=closed\n";
  t += "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\nProtectControlGroups=yes\n";
  t += "ProtectClock=yes\nProtectHostname=yes\nProtectProc=invisible\nProcSubset=pid\n";
  t += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\nRestrictNamespaces=yes\nRestrictRealtime=yes\n";
  t += "RestrictSUIDSGID=yes\nLockPersonality=yes\nMemoryDenyWriteExecute=yes\nRemoveIPC=yes\nKeyringMode=private\n";
  t += "SystemCallArchitectures=native\nSystemCallFilter=@system-service\nSystemCallFilter=~@privileged @resources\n";
  t += "SystemCallErrorNumber=EPERM\n\n[Install]\nWantedBy=multi-user.target\n";
  return t;
}

SC_HANDLE OpenSCManager()
{
  const std::string dir = ServiceUnitDirectory();
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0 && ::mkdir(dir.c_str(), 0755) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (::access(dir.c_str(), W_OK) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return new ScManager{false, dir, {}};
}

SC_HANDLE CreateService(SC_HANDLE scm, const std::wstring& name, const std::wstring& displayName,
                        const std::wstring& binaryPath, const std::wstring& dependency)
{
  if (!scm || scm->isService) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const std::string unit = ServiceUnitName(name);
  const std::string path = scm->unitPath + "/" + unit;
  if (::access(path.c_str(), F_OK) == 0) {
    SetLastError(ERROR_SERVICE_EXISTS);
    return nullptr;
  }
  const char* reg = std::getenv("CORVEX_REGISTRY");
  const std::string text = ServiceUnitText(displayName, binaryPath, dependency, reg ? reg : "");
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << text;
    if (!f.flush()) {
      SetLastError(ERROR_ACCESS_DENIED);
      ::unlink(tmp.c_str());
      return nullptr;
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    ::unlink(tmp.c_str());
    return nullptr;
  }
  if (SystemdRunning())
    Systemctl({"daemon-reload"});
  return new ScManager{true, path, unit};
}

SC_HANDLE OpenService(SC_HANDLE scm, const std::wstring& name)
{
  if (!scm || scm->isService) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const std::string unit = ServiceUnitName(name);
  const std::string path = scm->unitPath + "/" + unit;
  if (::access(path.c_str(), F_OK) != 0) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  return new ScManager{true, path, unit};
}

bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status)
{
  if (!service || !service->isService) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (status)
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  if (control != SERVICE_CONTROL_STOP) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!SystemdRunning() || Systemctl({"is-active", "--quiet", service->unitName}) != 0) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return false;
  }
  if (Systemctl({"stop", service->unitName}) != 0) {
    SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return false;
  }
  return true;
}

bool DeleteService(SC_HANDLE service)
{
  if (!service || !service->isService) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (::unlink(service->unitPath.c_str()) != 0) {
    SetLastError(errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST : ERROR_ACCESS_DENIED);
    return false;
  }
  if (SystemdRunning())
    Systemctl({"daemon-reload"});
  return true;
}

bool CloseServiceHandle(SC_HANDLE h)
{
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  delete h;
  return true;
}

bool SdNotify(const std::string& state)
{
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path)
    return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path)
    return false;
  std::memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@')
    addr.sun_path[0] = '\0';  // abstract namespace
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  const auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  const bool ok = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), addrLen) ==
                  static_cast<ssize_t>(state.size());
  ::close(fd);
  return ok;
}

void FeedWatchdog()
{
  // The interval is read once: systemd sets it before the process starts.
  static const std::int64_t interval = [] {
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (!usec || !*usec)
      return std::int64_t{0};
    if (pid && *pid && std::strtoll(pid, nullptr, 10) != static_cast<long long>(::getpid()))
      return std::int64_t{0};  // meant for another process of ours
    char* end = nullptr;
    const long long v = std::strtoll(usec, &end, 10);
    return *end == '\0' && v > 0 ? static_cast<std::int64_t>(v) : std::int64_t{0};
  }();
  if (interval == 0)
    return;
  static std::atomic<std::int64_t> last{0};
  const std::int64_t now =
    std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  std::int64_t before = last.load(std::memory_order_relaxed);
  if (before != 0 && now - before < interval / 4)
    return;
  if (last.compare_exchange_strong(before, now))
    SdNotify("WATCHDOG=1");
}

void BlockControlSignals()
{
  const sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WatchStopSignals(std::function<void()> onStop)
{
  std::thread([onStop = std::move(onStop)] {
    const sigset_t set = ControlSignals();
    bool done = false;
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0)
        continue;
      if ((sig == SIGTERM || sig == SIGINT) && !done) {
        done = true;
        onStop();
      }
    }
  }).detach();
}

bool StartServiceCtrlDispatcher(const std::wstring&, LPSERVICE_MAIN_FUNCTION serviceMain)
{
  if (!std::getenv("NOTIFY_SOCKET")) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }
  Dispatcher& d = TheDispatcher();
  d.stopped = false;
  std::atomic<bool> finished{false};
  std::thread main([&] {
    serviceMain();
    finished = true;
  });
  // The dispatcher thread: turns signals into controls until the service's thread is done.
  const sigset_t set = ControlSignals();
  while (!finished) {
    timespec wait{0, 200 * 1000 * 1000};
    const int sig = sigtimedwait(&set, nullptr, &wait);
    if (sig < 0)
      continue;
    LPHANDLER_FUNCTION handler;
    {
      std::lock_guard<std::mutex> lock(d.lock);
      handler = d.handler;
    }
    if (handler)
      handler(sig == SIGHUP ? SERVICE_CONTROL_INTERROGATE : SERVICE_CONTROL_STOP);
  }
  main.join();
  return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::wstring&, LPHANDLER_FUNCTION handler)
{
  Dispatcher& d = TheDispatcher();
  std::lock_guard<std::mutex> lock(d.lock);
  d.handler = std::move(handler);
  return &d.handle;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status)
{
  if (!handle || !status) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string msg;
  switch (status->dwCurrentState) {
    case SERVICE_START_PENDING:
      msg = "STATUS=Starting\n";
      if (status->dwWaitHint)
        msg += "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<unsigned long long>(status->dwWaitHint) * 1000) + "\n";
      break;
    case SERVICE_RUNNING: msg = "READY=1\nSTATUS=Running\n"; break;
    case SERVICE_STOP_PENDING: msg = "STOPPING=1\nSTATUS=Stopping\n"; break;
    case SERVICE_STOPPED:
      msg = "STATUS=Stopped\n";
      if (status->dwWin32ExitCode)
        msg += "ERRNO=" + std::to_string(status->dwWin32ExitCode & 0xFFFF) + "\n";
      break;
    default: msg = "STATUS=State " + std::to_string(status->dwCurrentState) + "\n"; break;
  }
  SdNotify(msg);
  return true;
}

bool PostThreadMessage(DWORD threadId, DWORD message)
{
  MessageQueues& q = TheQueues();
  {
    std::lock_guard<std::mutex> lock(q.lock);
    q.queues[threadId].push_back(message);
  }
  q.changed.notify_all();
  return true;
}

DWORD RunThreadMessageLoop()
{
  MessageQueues& q = TheQueues();
  const DWORD self = GetCurrentThreadId();
  DWORD others = 0;
  std::unique_lock<std::mutex> lock(q.lock);
  for (;;) {
    auto& mine = q.queues[self];
    q.changed.wait(lock, [&] { return !q.queues[self].empty(); });
    const DWORD msg = mine.front();
    mine.pop_front();
    if (msg == WM_QUIT)
      return others;
    ++others;
  }
}
