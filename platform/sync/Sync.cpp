#include "platform/sync/Sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

namespace {

std::int64_t NowMs()
{
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Polls the descriptors until one is readable or the deadline passes; -1 means no deadline.
int PollReadable(pollfd* fds, int n, std::int64_t deadline)
{
  for (;;) {
    int timeout = -1;
    if (deadline >= 0) {
      const std::int64_t left = deadline - NowMs();
      timeout = left > 0 ? static_cast<int>(std::min<std::int64_t>(left, 1 << 30)) : 0;
    }
    const int r = ::poll(fds, static_cast<nfds_t>(n), timeout);
    if (r >= 0)
      return r;
    if (errno != EINTR)
      throw std::system_error(errno, std::generic_category(), "poll");
  }
}

}  // namespace

Event::Event(bool manualReset, bool initialState) : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_manual(manualReset)
{
  if (m_fd < 0)
    throw std::system_error(errno, std::generic_category(), "eventfd");
  if (initialState)
    Set();
}

Event::~Event() { ::close(m_fd); }

void Event::Set()
{
  const std::uint64_t one = 1;
  // The counter only ever holds "signalled or not": reading it empties it whatever its value,
  // and a counter too full to add to is signalled already.
  if (::write(m_fd, &one, sizeof one) < 0 && errno != EAGAIN && errno != EINTR)
    throw std::system_error(errno, std::generic_category(), "Event::Set");
}

void Event::Reset()
{
  std::uint64_t v;
  [[maybe_unused]] ssize_t r = ::read(m_fd, &v, sizeof v);
}

bool Event::TryConsume()
{
  if (m_manual) {
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
  }
  std::uint64_t v;
  return ::read(m_fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

DWORD Event::Wait(DWORD milliseconds)
{
  const std::int64_t deadline = milliseconds == INFINITE ? -1 : NowMs() + milliseconds;
  for (;;) {
    if (TryConsume())
      return WAIT_OBJECT_0;
    pollfd p{m_fd, POLLIN, 0};
    if (PollReadable(&p, 1, deadline) == 0)
      return TryConsume() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    // Readable: another waiter of an auto-reset event may take it first, so try again.
  }
}

DWORD WaitForEither(Event& first, Event& second, DWORD milliseconds)
{
  const std::int64_t deadline = milliseconds == INFINITE ? -1 : NowMs() + milliseconds;
  for (;;) {
    if (first.TryConsume())
      return WAIT_OBJECT_0;
    if (second.TryConsume())
      return WAIT_OBJECT_0 + 1;
    pollfd p[2] = {{first.m_fd, POLLIN, 0}, {second.m_fd, POLLIN, 0}};
    if (PollReadable(p, 2, deadline) == 0) {
      if (first.TryConsume())
        return WAIT_OBJECT_0;
      if (second.TryConsume())
        return WAIT_OBJECT_0 + 1;
      return WAIT_TIMEOUT;
    }
  }
}

DWORD GetTickCount() { return static_cast<DWORD>(static_cast<std::uint64_t>(NowMs())); }

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
