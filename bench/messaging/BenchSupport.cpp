#include "bench/messaging/BenchSupport.h"
#include "tests/e2e/support/ProcessRunner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "messaging/Enrolment.h"

namespace benchsupport {

namespace fs = std::filesystem;

namespace {

constexpr char kServerProgram[] = "/usr/sbin/nats-server";

// Children to kill from a signal handler: a fixed array of PIDs, 0 when free.
constexpr int kMaxChildren = 16;
std::atomic<pid_t> g_children[kMaxChildren];

void Register(pid_t pid)
{
  for (auto& slot : g_children) {
    pid_t expected = 0;
    if (slot.compare_exchange_strong(expected, pid))
      return;
  }
}

void Unregister(pid_t pid)
{
  for (auto& slot : g_children) {
    pid_t expected = pid;
    if (slot.compare_exchange_strong(expected, 0))
      return;
  }
}

extern "C" void KillChildrenAndExit(int sig)
{
  static const char said[] = "\nstopped by a signal; children killed\n";
  (void)!::write(2, said, sizeof said - 1);
  for (auto& slot : g_children) {
    const pid_t pid = slot.load();
    if (pid > 0)
      ::kill(pid, SIGKILL);
  }
  ::_exit(128 + sig);
}

}  // namespace

double Seconds(Clock::duration d)
{
  return std::chrono::duration<double>(d).count();
}

std::string Provenance()
{
  auto run = [](const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
      char buffer[256];
      while (std::fgets(buffer, sizeof buffer, p))
        out += buffer;
      ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
      out.pop_back();
    return out;
  };
  const std::string source = CORVEX_SOURCE_DIR;
  const std::string commit = run("git -C '" + source + "' log -1 --format=%h 2>/dev/null");
  const std::string changed = run("git -C '" + source + "' status --short -- messaging tools/relay 2>/dev/null | wc -l");
  std::string built = "unknown";
  std::error_code ec;
  const auto time = fs::last_write_time(CORVEX_RELAY_BIN, ec);
  if (!ec) {
    const auto system = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
        time - fs::file_time_type::clock::now() + std::chrono::system_clock::now());
    const std::time_t t = std::chrono::system_clock::to_time_t(system);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::gmtime(&t));
    built = text;
  }
  return "source at " + commit + " (" + changed + " changed files in messaging/ and tools/relay), relay built " + built +
         " UTC";
}

std::string LoadAverage()
{
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

ProcessSample Sample(pid_t pid)
{
  ProcessSample sample;
  const std::string base = pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
  {
    std::ifstream in(base + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VmRSS:", 0) == 0)
        sample.rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
      else if (line.rfind("VmHWM:", 0) == 0)
        sample.hwmKb = std::strtol(line.c_str() + 6, nullptr, 10);
      else if (line.rfind("Threads:", 0) == 0)
        sample.threads = std::strtol(line.c_str() + 8, nullptr, 10);
    }
  }
  {
    std::ifstream in(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis; utime and stime are the 14th and 15th.
    const auto close = text.rfind(')');
    if (close != std::string::npos) {
      std::istringstream fields(text.substr(close + 2));
      std::string field;
      unsigned long utime = 0, stime = 0;
      for (int i = 3; fields >> field; ++i) {
        if (i == 14)
          utime = std::strtoul(field.c_str(), nullptr, 10);
        if (i == 15) {
          stime = std::strtoul(field.c_str(), nullptr, 10);
          break;
        }
      }
      sample.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
  }
  return sample;
}

void InstallSignalCleanup()
{
  struct sigaction action {};
  action.sa_handler = KillChildrenAndExit;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    ::sigaction(sig, &action, nullptr);
}

Child::Child(const std::string& program, const std::vector<std::string>& args, const std::string& logFile)
  : m_log(logFile)
{
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  m_pid = ::fork();
  if (m_pid < 0)
    throw std::runtime_error("fork failed: " + std::string(std::strerror(errno)));
  if (m_pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
      ::_exit(127);
    const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
    }
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0)
      ::dup2(null, 0);
    // The children must not inherit the benchmark's blocked signals.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  Register(m_pid);
}

Child::~Child()
{
  if (!m_reaped && m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  Unregister(m_pid);
}

bool Child::Running()
{
  if (m_reaped)
    return false;
  int status = 0;
  if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
    m_reaped = true;
    Unregister(m_pid);
    return false;
  }
  return true;
}

int Child::Stop(int sig, std::chrono::milliseconds timeout)
{
  if (m_reaped)
    return 0;
  ::kill(m_pid, sig);
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid)
      break;
    if (Clock::now() > deadline) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  m_reaped = true;
  Unregister(m_pid);
  return status;
}

std::string Child::Log() const
{
  std::ifstream in(m_log);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Child::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const
{
  const auto deadline = Clock::now() + timeout;
  do {
    if (Log().find(text) != std::string::npos)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (Clock::now() < deadline);
  return false;
}

Scratch::Scratch(const std::string& prefix, bool keep) : m_keep(keep)
{
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("cannot make a scratch folder");
  m_path = pattern;
}

Scratch::~Scratch()
{
  if (m_keep) {
    std::cerr << "kept " << m_path << "\n";
    return;
  }
  std::error_code ignored;
  fs::remove_all(m_path, ignored);
}

Location::Location(const std::string& folder, const std::vector<std::string>& clients)
  : m_folder(folder), m_dir(folder + "/messaging"), m_port(e2e::FreeLoopbackPort())
{
  if (::access(kServerProgram, X_OK) != 0)
    throw std::runtime_error(std::string(kServerProgram) + " is not installed");
  messaging::enrolment::ServerSettings settings;
  settings.host = "127.0.0.1";
  settings.listen = "127.0.0.1";
  settings.port = m_port;
  messaging::enrolment::Init(m_dir, settings);
  std::vector<std::string> all{"PTLManagementService"};
  all.insert(all.end(), clients.begin(), clients.end());
  messaging::enrolment::Enrol(m_dir, all);
}

Location::~Location()
{
  if (m_relay)
    m_relay->Stop(SIGKILL);
  if (m_server)
    m_server->Stop(SIGTERM, std::chrono::seconds(10));
}

double Location::StartServer()
{
  const auto start = Clock::now();
  m_server = std::make_unique<Child>(kServerProgram,
                                     std::vector<std::string>{"-c", messaging::enrolment::ConfigFile(m_dir)},
                                     m_folder + "/server-" + std::to_string(++m_starts) + ".log");
  const auto deadline = start + std::chrono::seconds(300);
  while (!e2e::LoopbackPortOpen(m_port)) {
    if (!m_server->Running() || Clock::now() > deadline)
      throw std::runtime_error("nats-server did not open its port: " + m_server->Log());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Seconds(Clock::now() - start);
}

void Location::StopServer()
{
  if (m_server)
    m_server->Stop(SIGTERM);
  m_server.reset();
}

double Location::StartRelay(int logLevel)
{
  const auto start = Clock::now();
  m_relay = std::make_unique<Child>(CORVEX_RELAY_BIN,
                                    std::vector<std::string>{"--messaging", m_dir, "--log-level", std::to_string(logLevel)},
                                    m_folder + "/relay-" + std::to_string(++m_starts) + ".log");
  // "active on" is logged at level 2; below it the relay is ready when it answers a logon.
  if (logLevel >= 2) {
    if (!m_relay->WaitForLog("active on", std::chrono::seconds(600)))
      throw std::runtime_error("the relay did not start: " + m_relay->Log());
  }
  return Seconds(Clock::now() - start);
}

void Location::StopRelay()
{
  if (m_relay)
    m_relay->Stop(SIGTERM);
  m_relay.reset();
}

PlainConnection::SharedOptions::SharedOptions(const std::string& directory)
{
  // Any enrolled identity will do for the template: each connect sets its own.
  const auto location = messaging::ReadServerLocation(directory);
  messaging::NKeyIdentity relay(messaging::SeedFileOf(directory, messaging::wire::kDefaultRelayName));
  options = messaging::ClientOptions(location, relay, "template", 20).release();
}

PlainConnection::SharedOptions::~SharedOptions()
{
  natsOptions_Destroy(options);
}

PlainConnection::PlainConnection(const std::string& directory, const std::string& address, bool sendAsap,
                                 SharedOptions* shared)
  : m_identity(std::make_unique<messaging::NKeyIdentity>(messaging::SeedFileOf(directory, address)))
{
  natsStatus s = NATS_ERR;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (shared) {
      std::lock_guard lock(shared->mutex);
      const std::string inbox = messaging::wire::InboxPrefix(address);
      natsOptions_SetNKey(shared->options, m_identity->PublicKey().c_str(), &messaging::NKeyIdentity::SignNonce,
                          m_identity.get());
      natsOptions_SetName(shared->options, address.c_str());
      natsOptions_SetCustomInboxPrefix(shared->options, inbox.c_str());
      natsOptions_SetSendAsap(shared->options, sendAsap);
      s = natsConnection_Connect(&m_nc, shared->options);
    } else {
      const auto location = messaging::ReadServerLocation(directory);
      auto options = messaging::ClientOptions(location, *m_identity, address, 20);
      if (sendAsap)
        natsOptions_SetSendAsap(options.get(), true);
      s = natsConnection_Connect(&m_nc, options.get());
    }
    if (s == NATS_OK)
      return;
    m_nc = nullptr;
  }
  throw std::runtime_error("cannot connect as " + address + ": " + messaging::NatsError(s));
}

PlainConnection::~PlainConnection()
{
  if (m_js)
    jsCtx_Destroy(m_js);
  if (m_asyncJs)
    jsCtx_Destroy(m_asyncJs);
  if (m_nc) {
    natsConnection_Close(m_nc);
    natsConnection_Destroy(m_nc);
  }
}

jsCtx* PlainConnection::JetStream()
{
  if (!m_js) {
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = 10000;
    const natsStatus s = natsConnection_JetStream(&m_js, m_nc, &options);
    if (s != NATS_OK)
      throw std::runtime_error("JetStream: " + messaging::NatsError(s));
  }
  return m_js;
}

jsCtx* PlainConnection::PipelinedJetStream(int maxPending, jsPubAckHandler onAck, void* closure)
{
  if (m_asyncJs)
    return m_asyncJs;
  jsOptions options;
  jsOptions_Init(&options);
  options.Wait = 10000;
  options.PublishAsync.MaxPending = maxPending;
  options.PublishAsync.AckHandler = onAck;
  options.PublishAsync.AckHandlerClosure = closure;
  options.PublishAsync.StallWait = 10000;
  const natsStatus s = natsConnection_JetStream(&m_asyncJs, m_nc, &options);
  if (s != NATS_OK)
    throw std::runtime_error("JetStream: " + messaging::NatsError(s));
  return m_asyncJs;
}

double Percentile(std::vector<double>& values, double p)
{
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  const double rank = p / 100.0 * static_cast<double>(values.size() - 1);
  const auto low = static_cast<std::size_t>(std::floor(rank));
  const auto high = std::min(values.size() - 1, low + 1);
  return values[low] + (values[high] - values[low]) * (rank - static_cast<double>(low));
}

void PrintTable(const std::vector<std::vector<std::string>>& rows)
{
  std::vector<std::size_t> widths;
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (widths.size() <= i)
        widths.push_back(0);
      widths[i] = std::max(widths[i], row[i].size());
    }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string line = "|";
    for (std::size_t i = 0; i < widths.size(); ++i) {
      const std::string cell = i < rows[r].size() ? rows[r][i] : "";
      line += " " + cell + std::string(widths[i] - cell.size(), ' ') + " |";
    }
    std::cout << line << "\n";
    if (r == 0) {
      line = "|";
      for (const auto w : widths)
        line += std::string(w + 2, '-') + "|";
      std::cout << line << "\n";
    }
  }
  std::cout.flush();
}

std::string Fixed(double value, int decimals)
{
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace benchsupport
