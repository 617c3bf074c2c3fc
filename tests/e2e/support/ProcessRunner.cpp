#include "tests/e2e/support/ProcessRunner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

ScratchDir::ScratchDir(const std::string& prefix)
{
  std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
  if (!::mkdtemp(tmpl.data()))
    throw std::runtime_error("mkdtemp failed");
  m_path = tmpl;
}

ScratchDir::~ScratchDir()
{
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& outputFile, ChildInput input)
  : m_outputFile(outputFile)
{
  int pipeEnds[2] = {-1, -1};
  if (input == ChildInput::Pipe && ::pipe2(pipeEnds, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot make a pipe for " + program);
  std::vector<std::string> argStore{program};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<std::string> envStore = env;
  bool hasPath = false;
  for (const auto& e : envStore)
    hasPath = hasPath || e.rfind("PATH=", 0) == 0;
  if (!hasPath)
    envStore.push_back("PATH=/usr/sbin:/usr/bin:/sbin:/bin");
  std::vector<char*> argv, envp;
  for (auto& a : argStore)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envStore)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (input == ChildInput::Pipe)
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], 0);
  // The test runner may block signals; the child starts with none blocked.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  const int rc = posix_spawn(&m_pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (input == ChildInput::Pipe)
    ::close(pipeEnds[0]);
  if (rc != 0) {
    if (input == ChildInput::Pipe)
      ::close(pipeEnds[1]);
    throw std::runtime_error("cannot start " + program);
  }
  m_input = pipeEnds[1];
}

ChildProcess::~ChildProcess()
{
  if (Running()) {
    ::kill(m_pid, SIGKILL);
    Wait(std::chrono::seconds(5));
  }
  if (m_input >= 0)
    ::close(m_input);
}

void ChildProcess::Write(const std::string& text)
{
  if (m_input < 0)
    throw std::logic_error("the child's standard input is not a pipe");
  // A child that is gone must fail the test, not end it with SIGPIPE.
  sigset_t pipeSignal, previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  const ssize_t written = ::write(m_input, text.data(), text.size());
  if (written < 0) {
    // Take the pending SIGPIPE before unblocking it.
    const timespec none{0, 0};
    sigtimedwait(&pipeSignal, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (written != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("cannot write to the child's standard input");
}

std::string ChildProcess::Output() const { return ReadFile(m_outputFile); }

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout, int count) const
{
  return WaitForText(m_outputFile, text, timeout, count);
}

std::vector<std::string> CurrentEnvironment()
{
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e)
    env.emplace_back(*e);
  return env;
}

void ChildProcess::Signal(int sig) const { ::kill(m_pid, sig); }

bool ChildProcess::Running()
{
  if (m_status >= 0)
    return false;
  int status = 0;
  const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid) {
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return r == 0;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout)
{
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() > end)
      return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return m_status;
}

int Run(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
        const std::string& outputFile, std::string& output, std::chrono::milliseconds timeout)
{
  int code = -1;
  {
    ChildProcess child(program, args, env, outputFile);
    code = child.Wait(timeout);
  }
  output = ReadFile(outputFile);
  return code;
}

std::string ReadFile(const std::string& path)
{
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

int CountOf(const std::string& text, const std::string& what)
{
  int n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + what.size()))
    ++n;
  return n;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

bool WaitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout, int count)
{
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (CountOf(ReadFile(path), text) >= count)
      return true;
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int FreeLoopbackPort()
{
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  if (port == 0)
    throw std::runtime_error("no free loopback port");
  return port;
}

bool LoopbackPortOpen(int port)
{
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return open;
}

void WriteServiceRegistry(const ScratchDir& dir, const std::string& database)
{
  WriteFile(dir / "registry.reg",
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools]\n"
            "\"ServerLocation\"=\".\"\n\"DatabaseInstance\"=\"\"\n"
            "\"DatabaseName\"=\"" + database + "\"\n"
            "\"MessagingDirectory\"=\"" + dir / "messaging" + "\"\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]\n"
            "\"ConsoleSocket\"=\"" + dir / "console.sock" + "\"\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service\\Private]\n"
            "\"Messaging\"=\"" + dir / "messaging" + "\"\n");
}

}  // namespace e2e
