#include "tests/e2e/scale/LinkProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace scale_test {

namespace {

sockaddr_in Loopback(int port)
{
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

LinkProxy::LinkProxy(int listenPort, int targetPort) : m_listenPort(listenPort), m_targetPort(targetPort)
{
  Restore();
}

LinkProxy::~LinkProxy()
{
  Cut();
}

void LinkProxy::Listen()
{
  m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  const sockaddr_in address = Loopback(m_listenPort);
  if (::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_listener, 16) != 0) {
    const std::string error = std::strerror(errno);
    ::close(m_listener);
    m_listener = -1;
    throw std::runtime_error("the link proxy cannot listen on port " + std::to_string(m_listenPort) + ": " + error);
  }
}

void LinkProxy::Restore()
{
  if (m_open)
    return;
  Listen();
  m_open = true;
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

void LinkProxy::Cut()
{
  if (!m_open.exchange(false))
    return;
  m_acceptor.join();
  ::close(m_listener);
  m_listener = -1;
  std::list<std::thread> pumps;
  {
    std::lock_guard lock(m_mutex);
    for (const int fd : m_sockets)
      ::shutdown(fd, SHUT_RDWR);
    pumps.swap(m_pumps);
  }
  for (auto& pump : pumps)
    pump.join();
}

void LinkProxy::AcceptLoop()
{
  while (m_open) {
    pollfd p{m_listener, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0)
      continue;
    const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
      continue;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = Loopback(m_targetPort);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
      ::close(server);
      ::close(client);
      continue;
    }
    ++m_accepted;
    std::lock_guard lock(m_mutex);
    m_sockets.push_back(client);
    m_sockets.push_back(server);
    m_pumps.emplace_back([this, client, server] { Pump(client, server); });
  }
}

// Both directions of one connection; ends when either side closes or the link is cut.
void LinkProxy::Pump(int a, int b)
{
  char buffer[16384];
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  bool done = false;
  while (!done && m_open) {
    if (::poll(fds, 2, 100) <= 0)
      continue;
    for (int i = 0; i < 2 && !done; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        done = true;
        break;
      }
      for (ssize_t sent = 0; sent < n;) {
        const ssize_t w = ::write(fds[1 - i].fd, buffer + sent, static_cast<std::size_t>(n - sent));
        if (w <= 0) {
          done = true;
          break;
        }
        sent += w;
      }
    }
  }
  std::lock_guard lock(m_mutex);
  ::shutdown(a, SHUT_RDWR);
  ::shutdown(b, SHUT_RDWR);
  ::close(a);
  ::close(b);
  m_sockets.remove(a);
  m_sockets.remove(b);
}

}  // namespace scale_test
