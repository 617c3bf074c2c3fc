#include "tests/e2e/messaging/Process.h"

#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

Process::Process(std::vector<std::string> argv)
{
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  // The test process blocks no signals its children should see, but be explicit.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (auto& a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  const int rc = posix_spawn(&m_pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
  m_stdin = in[1];
  m_stdout = out[0];
  m_reader = std::thread([this] { Read(); });
}

Process::~Process()
{
  if (Wait(std::chrono::milliseconds(0)) == -1) {
    Signal(SIGKILL);
    Wait();
  }
  if (m_stdin >= 0)
    close(m_stdin);
  m_reader.join();
  close(m_stdout);
}

void Process::Read()
{
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(m_stdout, buffer, sizeof buffer);
    if (n <= 0)
      break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::lock_guard lock(m_mutex);
      m_lines.push_back(pending.substr(0, newline));
      pending.erase(0, newline + 1);
      m_changed.notify_all();
    }
  }
}

std::size_t Process::Count(const std::string& needle)
{
  std::lock_guard lock(m_mutex);
  std::size_t n = 0;
  for (const auto& line : m_lines)
    n += line.find(needle) != std::string::npos;
  return n;
}

bool Process::WaitFor(const std::string& needle, std::size_t count, std::chrono::milliseconds timeout)
{
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] {
    std::size_t n = 0;
    for (const auto& line : m_lines)
      n += line.find(needle) != std::string::npos;
    return n >= count;
  });
}

std::vector<std::string> Process::Lines()
{
  std::lock_guard lock(m_mutex);
  return m_lines;
}

void Process::Write(const std::string& text)
{
  if (::write(m_stdin, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("cannot write to the child");
}

void Process::Signal(int signal)
{
  if (!m_exited)
    kill(m_pid, signal);
}

int Process::Wait(std::chrono::milliseconds timeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!m_exited) {
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      m_exited = true;
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return m_status;
}

}  // namespace e2e
