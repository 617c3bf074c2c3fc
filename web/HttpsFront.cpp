#include "web/HttpsFront.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <openssl/err.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace corvexweb {

using Clock = std::chrono::steady_clock;

namespace {

// The connection a worker is answering, for RenewWriteDeadline.
thread_local Clock::time_point* t_writeDeadline = nullptr;
thread_local std::chrono::milliseconds t_writeAllowance{0};

std::string AddressText(const sockaddr_storage& a, int& port)
{
  char text[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
    // An IPv4 client of a dual-stack socket counts as its IPv4 address.
    if (std::strncmp(text, "::ffff:", 7) == 0 && std::strchr(text + 7, '.'))
      return text + 7;
  }
  return text;
}

// IPv6 clients are counted by their /64, the block one subscriber commonly holds whole, so that
// one client cannot take a fresh address for every connection.
std::string LimitKey(const sockaddr_storage& a, const std::string& address)
{
  if (a.ss_family != AF_INET6 || address.find(':') == std::string::npos)
    return address;
  in6_addr prefix = reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr;
  std::memset(prefix.s6_addr + 8, 0, 8);
  char text[INET6_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET6, &prefix, text, sizeof text);
  return std::string(text) + "/64";
}

bool EqualsNoCase(const char* a, std::size_t n, const char* b)
{
  if (std::strlen(b) != n)
    return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i])
      return false;
  return true;
}

std::string Trimmed(const char* begin, const char* end)
{
  while (begin < end && (*begin == ' ' || *begin == '\t'))
    ++begin;
  while (end > begin && (end[-1] == ' ' || end[-1] == '\t'))
    --end;
  return std::string(begin, end);
}

const char* StatusText(int status)
{
  switch (status) {
  case 400: return "Bad Request";
  case 408: return "Request Timeout";
  case 413: return "Payload Too Large";
  case 431: return "Request Header Fields Too Large";
  case 501: return "Not Implemented";
  default: return "Error";
  }
}

}  // namespace

struct HttpsFront::Connection
{
  enum class State { Handshake, Reading, Busy, Writing };
  int fd = -1;
  SSL* ssl = nullptr;
  std::string address;
  // What the connections per address are counted by.
  std::string limitKey;
  int port = 0;
  std::string localAddress;
  int localPort = 0;
  State state = State::Handshake;
  bool wantWrite = false;
  // Bytes read and not yet answered; a request ends at requestLength once complete.
  std::string in;
  std::size_t requestLength = 0;
  bool continueSent = false;
  // Whether the deadline is a request's (missing it is a refusal) or the keep-alive wait's.
  bool requestDeadline = true;
  Clock::time_point deadline;
  int requests = 0;
  bool close = false;
  // A worker gave up writing an answer the client did not take within the deadline.
  bool answerLate = false;
  // Answer bytes the client has not taken yet, from `sent` on.
  std::string out;
  std::size_t sent = 0;

  std::size_t Pending() const { return out.size() - sent; }
  // Writes what waits; 0 when all is written, SSL_ERROR_WANT_WRITE or SSL_ERROR_WANT_READ when
  // the client has to take (or send) something first, -1 when the connection is broken.
  int Flush()
  {
    while (sent < out.size()) {
      std::size_t n = 0;
      const int rc = SSL_write_ex(ssl, out.data() + sent, out.size() - sent, &n);
      if (rc != 1) {
        const int error = SSL_get_error(ssl, rc);
        ERR_clear_error();
        return error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ ? error : -1;
      }
      sent += n;
    }
    out.clear();
    sent = 0;
    return 0;
  }
};

namespace {
// The most of an answer that may wait for a client that reads slowly; a worker that has more
// to write waits (within the deadline) until the client takes it.
constexpr std::size_t kOutputBound = 256 * 1024;
}  // namespace

// A worker's view of a connection: the complete request to read, the TLS session to write to
// within the deadline.
class HttpsFront::RequestStream : public httplib::Stream
{
public:
  RequestStream(Connection& c, std::chrono::milliseconds allowance) : m_c(c), m_allowance(allowance) {}

  bool is_readable() const override { return m_read < m_c.requestLength; }
  bool is_writable() const override { return !m_broken; }
  ssize_t read(char* ptr, size_t size) override
  {
    const std::size_t n = std::min(size, m_c.requestLength - m_read);
    std::memcpy(ptr, m_c.in.data() + m_read, n);
    m_read += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override
  {
    if (m_broken)
      return -1;
    if (m_deadline == Clock::time_point{})
      m_deadline = Clock::now() + m_allowance;
    // What the client does not take at once is left to the door to send, so that a client that
    // reads slowly does not hold the worker.
    m_c.out.append(ptr, size);
    for (;;) {
      const int waiting = m_c.Flush();
      if (waiting == 0 || (waiting > 0 && m_c.Pending() <= kOutputBound))
        return static_cast<ssize_t>(size);
      const long left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
      if (waiting < 0 || left <= 0) {
        m_broken = true;
        m_c.answerLate = waiting > 0;
        return -1;
      }
      pollfd p{m_c.fd, static_cast<short>(waiting == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
      if (::poll(&p, 1, static_cast<int>(std::min(left, 1000L))) < 0 && errno != EINTR) {
        m_broken = true;
        return -1;
      }
    }
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override
  {
    ip = m_c.address;
    port = m_c.port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override
  {
    ip = m_c.localAddress;
    port = m_c.localPort;
  }
  socket_t socket() const override { return m_c.fd; }

  Clock::time_point& Deadline() { return m_deadline; }

private:
  Connection& m_c;
  std::chrono::milliseconds m_allowance;
  std::size_t m_read = 0;
  Clock::time_point m_deadline{};
  bool m_broken = false;
};

void HttpsFront::RenewWriteDeadline()
{
  if (t_writeDeadline)
    *t_writeDeadline = Clock::now() + t_writeAllowance;
}

HttpsFront::HttpsFront(const std::string& certificateFile, const std::string& keyFile, FrontLimits limits, Handler handler,
                       Reporter reporter)
  : m_limits(limits), m_handler(std::move(handler)), m_reporter(std::move(reporter))
{
  if (m_limits.workers < 1 || m_limits.connectionsPerAddress < 1 || m_limits.connections < 1 ||
      m_limits.requestDeadline.count() <= 0 || m_limits.keepAlive.count() <= 0)
    throw std::runtime_error("the web console's connection limits must be positive");
  m_context = SSL_CTX_new(TLS_server_method());
  if (!m_context)
    throw std::runtime_error("no TLS context for the web console");
  SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION);
  SSL_CTX_set_mode(m_context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_options(m_context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  if (SSL_CTX_use_certificate_chain_file(m_context, certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(m_context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(m_context) != 1) {
    ERR_clear_error();
    SSL_CTX_free(m_context);
    throw std::runtime_error("cannot use the certificate " + certificateFile + " with the key " + keyFile);
  }
  m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
  m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_epoll < 0 || m_wake < 0) {
    SSL_CTX_free(m_context);
    throw std::runtime_error(std::string("no event loop for the web console: ") + std::strerror(errno));
  }
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = m_wake;
  ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &e);
}

HttpsFront::~HttpsFront()
{
  Stop();
  for (auto& [fd, c] : m_connections) {
    SSL_free(c->ssl);
    ::close(fd);
  }
  if (m_listener >= 0)
    ::close(m_listener);
  ::close(m_wake);
  ::close(m_epoll);
  SSL_CTX_free(m_context);
}

int HttpsFront::Bind(const std::string& address, int port)
{
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string where = address + ":" + std::to_string(port);
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
    throw std::runtime_error("cannot listen on " + where + ": not a numeric address");
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int yes = 1;
  if (fd >= 0)
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  const bool bound = fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 1024) == 0;
  const int error = errno;
  ::freeaddrinfo(found);
  if (!bound) {
    if (fd >= 0)
      ::close(fd);
    throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(error));
  }
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  int boundPort = 0;
  AddressText(local, boundPort);
  m_listener = fd;
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = m_listener;
  ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &e);
  return boundPort;
}

void HttpsFront::Stop()
{
  m_stopping = true;
  const uint64_t one = 1;
  (void)!::write(m_wake, &one, sizeof one);
}

void HttpsFront::Serve()
{
  if (m_listener < 0)
    throw std::runtime_error("the web console serves only after Bind");
  {
    std::lock_guard lock(m_mutex);
    m_workersStop = false;
  }
  for (int i = 0; i < m_limits.workers; ++i)
    m_workers.emplace_back([this] { Work(); });

  std::vector<epoll_event> events(256);
  while (!m_stopping) {
    const int n = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), MillisecondsToNextDeadline());
    for (int i = 0; i < n && !m_stopping; ++i) {
      const int fd = events[i].data.fd;
      if (fd == m_listener) {
        Accept();
      } else if (fd == m_wake) {
        uint64_t count = 0;
        (void)!::read(m_wake, &count, sizeof count);
        TakeBack();
      } else if (const auto it = m_connections.find(fd); it != m_connections.end()) {
        Advance(*it->second);
      }
    }
    Expire();
  }

  // Wake workers that wait on a client, then wait for them; what they hand back is closed.
  for (auto& [fd, c] : m_connections)
    if (c->state == Connection::State::Busy)
      ::shutdown(fd, SHUT_RDWR);
  {
    std::lock_guard lock(m_mutex);
    m_workersStop = true;
  }
  m_ready.notify_all();
  for (std::thread& t : m_workers)
    t.join();
  m_workers.clear();
  {
    std::lock_guard lock(m_mutex);
    m_waiting.clear();
    m_done.clear();
  }
  while (!m_connections.empty())
    Close(*m_connections.begin()->second);
  ::close(m_listener);
  m_listener = -1;
}

int HttpsFront::MillisecondsToNextDeadline() const
{
  const Clock::time_point now = Clock::now();
  Clock::time_point next = now + std::chrono::seconds(1);
  if (m_acceptPausedUntil > now)
    next = std::min(next, m_acceptPausedUntil);
  for (const auto& [fd, c] : m_connections)
    if (c->state != Connection::State::Busy)
      next = std::min(next, c->deadline);
  return static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1));
}

void HttpsFront::Report(const std::string& address, const char* kind, const std::string& what)
{
  const Clock::time_point now = Clock::now();
  auto [it, added] = m_lastReported.emplace(std::string(kind) + " " + address, now);
  if (!added) {
    if (now - it->second < std::chrono::minutes(1))
      return;
    it->second = now;
  }
  // Addresses long quiet are forgotten, so that many addresses cannot grow the table forever.
  if (m_lastReported.size() > 10000)
    for (auto i = m_lastReported.begin(); i != m_lastReported.end();)
      i = now - i->second >= std::chrono::minutes(1) ? m_lastReported.erase(i) : std::next(i);
  if (m_reporter)
    m_reporter(address, what);
}

void HttpsFront::Accept()
{
  const Clock::time_point now = Clock::now();
  if (m_acceptPausedUntil > now)
    return;
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(m_listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: stop listening for a moment rather than spin on the ready listener.
        m_acceptPausedUntil = now + std::chrono::milliseconds(100);
        epoll_event e{};
        e.data.fd = m_listener;
        ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listener, &e);
        Report("", "accept", std::string("cannot accept connections: ") + std::strerror(errno));
      }
      return;
    }
    int port = 0;
    const std::string address = AddressText(peer, port);
    const std::string key = LimitKey(peer, address);
    if (m_perAddress.count(key) && m_perAddress[key] >= m_limits.connectionsPerAddress) {
      ++m_counters.refusedPerAddress;
      ::close(fd);
      Report(address, "address", "too many connections from this address (at most " + std::to_string(m_limits.connectionsPerAddress) + ")");
      continue;
    }
    if (static_cast<int>(m_connections.size()) >= m_limits.connections && !MakeRoom()) {
      ++m_counters.refusedFull;
      ::close(fd);
      Report(address, "full", "the console holds its most connections (" + std::to_string(m_limits.connections) + "), all busy");
      continue;
    }
    int& held = m_perAddress[key];
    ++held;
    ++m_counters.accepted;
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->address = address;
    c->limitKey = key;
    c->port = port;
    sockaddr_storage local{};
    length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    c->localAddress = AddressText(local, c->localPort);
    c->deadline = now + m_limits.requestDeadline;
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    c->ssl = SSL_new(m_context);
    if (!c->ssl || SSL_set_fd(c->ssl, fd) != 1) {
      SSL_free(c->ssl);
      ::close(fd);
      if (--held == 0)
        m_perAddress.erase(key);
      continue;
    }
    SSL_set_accept_state(c->ssl);
    Connection& ref = *c;
    m_connections.emplace(fd, std::move(c));
    Watch(ref, true);
  }
}

bool HttpsFront::MakeRoom()
{
  // The door is full: a connection waiting between requests goes first, else the one that has
  // taken longest over its request. A new client thus always gets in, and a crowd of slow ones
  // only pushes out each other.
  Connection* victim = nullptr;
  for (auto& [fd, c] : m_connections) {
    if (c->state == Connection::State::Busy)
      continue;
    const auto rank = [](const Connection& x) { return std::make_pair(x.requestDeadline, x.deadline); };
    if (!victim || rank(*c) < rank(*victim))
      victim = c.get();
  }
  if (!victim)
    return false;
  ++m_counters.madeRoom;
  if (victim->requestDeadline)
    Report(victim->address, "full", "its unfinished request was dropped to make room (the console holds at most " +
                              std::to_string(m_limits.connections) + " connections)");
  Close(*victim);
  return true;
}

void HttpsFront::Watch(Connection& c, bool add)
{
  epoll_event e{};
  e.events = c.wantWrite ? EPOLLOUT : EPOLLIN;
  e.data.fd = c.fd;
  ::epoll_ctl(m_epoll, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c.fd, &e);
}

void HttpsFront::Advance(Connection& c)
{
  if (c.state == Connection::State::Writing) {
    const int waiting = c.Flush();
    if (waiting < 0) {
      Close(c);
    } else if (waiting > 0) {
      const bool wantWrite = waiting == SSL_ERROR_WANT_WRITE;
      if (wantWrite != c.wantWrite) {
        c.wantWrite = wantWrite;
        Watch(c, false);
      }
    } else if (c.close) {
      Close(c);
    } else {
      Resume(c, false);
    }
    return;
  }
  if (c.state == Connection::State::Handshake) {
    const int rc = SSL_do_handshake(c.ssl);
    if (rc != 1) {
      const int error = SSL_get_error(c.ssl, rc);
      ERR_clear_error();
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        Close(c);
        return;
      }
      const bool wantWrite = error == SSL_ERROR_WANT_WRITE;
      if (wantWrite != c.wantWrite) {
        c.wantWrite = wantWrite;
        Watch(c, false);
      }
      return;
    }
    c.state = Connection::State::Reading;
  }
  ReadRequest(c);
}

void HttpsFront::ReadRequest(Connection& c)
{
  const std::size_t most = m_limits.headerBytes + m_limits.bodyBytes + 4;
  bool wantWrite = false;
  for (;;) {
    char buffer[16 * 1024];
    std::size_t n = 0;
    const int rc = SSL_read_ex(c.ssl, buffer, sizeof buffer, &n);
    if (rc == 1) {
      if (c.in.empty() && !c.requestDeadline) {
        c.requestDeadline = true;
        c.deadline = Clock::now() + m_limits.requestDeadline;
      }
      c.in.append(buffer, n);
      // A request may not be larger than its limits allow; what a client sends past that is
      // not kept.
      if (c.in.size() > most)
        break;
      continue;
    }
    const int error = SSL_get_error(c.ssl, rc);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ)
      break;
    if (error == SSL_ERROR_WANT_WRITE) {
      wantWrite = true;
      break;
    }
    // Closed by the client, or broken: a request it sent whole is still answered.
    c.close = true;
    break;
  }
  if (c.close && CheckRequest(c) != Check::Complete) {
    Close(c);
    return;
  }
  if (wantWrite != c.wantWrite) {
    c.wantWrite = wantWrite;
    Watch(c, false);
  }
  switch (CheckRequest(c)) {
  case Check::Incomplete:
    return;
  case Check::Complete:
    HandOff(c);
    return;
  case Check::Malformed:
    ++m_counters.malformed;
    Refuse(c, 400, "a malformed request");
    return;
  case Check::HeadersTooLarge:
    ++m_counters.oversize;
    Refuse(c, 431, ("request headers larger than " + std::to_string(m_limits.headerBytes) + " bytes").c_str());
    return;
  case Check::BodyTooLarge:
    ++m_counters.oversize;
    Refuse(c, 413, ("a request body larger than " + std::to_string(m_limits.bodyBytes) + " bytes").c_str());
    return;
  case Check::NotSupported:
    ++m_counters.malformed;
    Refuse(c, 501, "a request body without a length");
    return;
  }
}

HttpsFront::Check HttpsFront::CheckRequest(Connection& c)
{
  const std::size_t end = c.in.find("\r\n\r\n");
  if (end == std::string::npos)
    return c.in.size() > m_limits.headerBytes ? Check::HeadersTooLarge : Check::Incomplete;
  if (end + 4 > m_limits.headerBytes)
    return Check::HeadersTooLarge;
  // The length of the body is the front's to know, so that a worker never waits for bytes.
  const char* const text = c.in.data();
  const std::size_t firstLineEnd = c.in.find("\r\n");
  if (firstLineEnd == 0 || c.in.find(' ') > firstLineEnd)
    return Check::Malformed;
  long long length = -1;
  bool expectContinue = false;
  for (std::size_t line = firstLineEnd + 2; line < end + 2;) {
    const std::size_t lineEnd = c.in.find("\r\n", line);
    const char* colon = static_cast<const char*>(std::memchr(text + line, ':', lineEnd - line));
    if (!colon || colon == text + line)
      return Check::Malformed;
    const std::size_t nameLength = colon - (text + line);
    const std::string value = Trimmed(colon + 1, text + lineEnd);
    if (EqualsNoCase(text + line, nameLength, "content-length")) {
      if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
        return Check::Malformed;
      const long long v = std::stoll(value);
      if (length >= 0 && v != length)
        return Check::Malformed;
      length = v;
    } else if (EqualsNoCase(text + line, nameLength, "transfer-encoding")) {
      return Check::NotSupported;
    } else if (EqualsNoCase(text + line, nameLength, "expect")) {
      expectContinue = value.size() == 12 && EqualsNoCase(value.data(), 12, "100-continue");
    }
    line = lineEnd + 2;
  }
  if (length > static_cast<long long>(m_limits.bodyBytes))
    return Check::BodyTooLarge;
  const std::size_t total = end + 4 + static_cast<std::size_t>(std::max(length, 0LL));
  if (c.in.size() < total) {
    if (expectContinue && !c.continueSent) {
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      std::size_t n = 0;
      SSL_write_ex(c.ssl, kContinue, sizeof kContinue - 1, &n);
      ERR_clear_error();
      c.continueSent = true;
    }
    return Check::Incomplete;
  }
  c.requestLength = total;
  return Check::Complete;
}

void HttpsFront::Refuse(Connection& c, int status, const char* reason)
{
  // One try to tell the client, never a wait for it.
  const std::string body = std::string("{\"error\":{\"code\":\"bad_request\",\"message\":\"refused: ") + reason + "\"}}";
  const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) +
                             "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body;
  std::size_t n = 0;
  SSL_write_ex(c.ssl, answer.data(), answer.size(), &n);
  ERR_clear_error();
  Report(c.address, "request", std::string("refused ") + reason);
  Close(c);
}

void HttpsFront::HandOff(Connection& c)
{
  ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c.fd, nullptr);
  c.state = Connection::State::Busy;
  c.continueSent = false;
  {
    std::lock_guard lock(m_mutex);
    m_waiting.push_back(&c);
  }
  m_ready.notify_one();
}

void HttpsFront::Work()
{
  for (;;) {
    Connection* c = nullptr;
    {
      std::unique_lock lock(m_mutex);
      m_ready.wait(lock, [&] { return m_workersStop || !m_waiting.empty(); });
      if (m_workersStop)
        return;
      c = m_waiting.front();
      m_waiting.pop_front();
    }
    ++m_counters.requests;
    ++c->requests;
    RequestStream stream(*c, m_limits.requestDeadline);
    t_writeDeadline = &stream.Deadline();
    t_writeAllowance = m_limits.requestDeadline;
    bool keep = false;
    try {
      // A connection serves a hundred requests at most, so that no one client keeps one forever.
      keep = m_handler(stream, m_stopping || c->close || c->requests >= 100);
    } catch (...) {
      keep = false;
    }
    t_writeDeadline = nullptr;
    c->close = c->close || !keep || !stream.is_writable();
    c->in.erase(0, c->requestLength);
    c->requestLength = 0;
    {
      std::lock_guard lock(m_mutex);
      m_done.push_back(c);
    }
    const uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
  }
}

void HttpsFront::TakeBack()
{
  std::vector<Connection*> done;
  {
    std::lock_guard lock(m_mutex);
    done.swap(m_done);
  }
  const Clock::time_point now = Clock::now();
  for (Connection* c : done) {
    if (c->answerLate) {
      ++m_counters.deadlineMissed;
      Report(c->address, "request", "did not take its answer within the deadline of " + DeadlineText() + " s");
      Close(*c);
      continue;
    }
    if (c->Pending() > 0) {
      // The client has yet to take the end of its answer: the door sends it, within the deadline.
      c->state = Connection::State::Writing;
      c->wantWrite = c->Flush() != SSL_ERROR_WANT_READ;
      c->requestDeadline = true;
      c->deadline = now + m_limits.requestDeadline;
      Watch(*c, true);
      continue;
    }
    if (c->close) {
      Close(*c);
      continue;
    }
    Resume(*c, true);
  }
}

void HttpsFront::Resume(Connection& c, bool add)
{
  c.state = Connection::State::Reading;
  c.wantWrite = false;
  Watch(c, add);
  // A client may have sent its next request already.
  c.requestDeadline = !c.in.empty();
  c.deadline = Clock::now() + (c.requestDeadline ? m_limits.requestDeadline : m_limits.keepAlive);
  ReadRequest(c);
}

void HttpsFront::Expire()
{
  const Clock::time_point now = Clock::now();
  if (m_acceptPausedUntil != Clock::time_point{} && m_acceptPausedUntil <= now) {
    m_acceptPausedUntil = {};
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = m_listener;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listener, &e);
  }
  std::vector<Connection*> late;
  for (auto& [fd, c] : m_connections)
    if (c->state != Connection::State::Busy && c->deadline <= now)
      late.push_back(c.get());
  const std::string seconds = DeadlineText();
  for (Connection* c : late) {
    if (!c->requestDeadline) {
      Close(*c);  // an idle keep-alive connection ends quietly
    } else if (c->state == Connection::State::Writing) {
      ++m_counters.deadlineMissed;
      Report(c->address, "request", "did not take its answer within the deadline of " + seconds + " s");
      Close(*c);
    } else if (c->state == Connection::State::Handshake) {
      ++m_counters.deadlineMissed;
      Report(c->address, "request", "no TLS handshake and request within the deadline of " + seconds + " s");
      Close(*c);
    } else {
      ++m_counters.deadlineMissed;
      Refuse(*c, 408, ("no complete request within the deadline of " + seconds + " s").c_str());
    }
  }
}

std::string HttpsFront::DeadlineText() const
{
  const long long ms = m_limits.requestDeadline.count();
  return std::to_string(ms / 1000) + (ms % 1000 ? "." + std::to_string(ms % 1000 / 100) : "");
}

void HttpsFront::Close(Connection& c)
{
  if (c.state != Connection::State::Handshake) {
    SSL_shutdown(c.ssl);
    ERR_clear_error();
  }
  SSL_free(c.ssl);
  ::close(c.fd);  // leaves the epoll set with it
  const auto held = m_perAddress.find(c.limitKey);
  if (held != m_perAddress.end() && --held->second <= 0)
    m_perAddress.erase(held);
  m_connections.erase(c.fd);
}

}  // namespace corvexweb
