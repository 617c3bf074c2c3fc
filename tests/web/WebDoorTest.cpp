// The web console's door under attack, through a server on loopback with an authenticator of
// the test's own (no PAM, no database): slow clients, clients past the connection limits,
// requests past their size, guesses sent in parallel, an account under attack. Clients come
// from addresses of their own in 127.0.0.0/8.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/eventlog/EventLog.h"
#include "platform/text/Unicode.h"
#include "tests/web/WebTestSupport.h"
#include "web/WebServer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

const char* const kAdmin = "admin";
const char* const kPassword = "the right one";

// A TCP connection from a chosen loopback address, with TLS on top when asked for.
class Client
{
public:
  // `receiveBuffer`: a small one makes a client that reads slowly.
  Client(int port, const std::string& from, int receiveBuffer = 0)
  {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
      ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      return;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    timeval t{10, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
  }
  ~Client()
  {
    if (m_ssl)
      SSL_free(m_ssl);
    if (m_context)
      SSL_CTX_free(m_context);
    ::close(m_fd);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return m_connected; }

  bool Handshake()
  {
    m_context = SSL_CTX_new(TLS_client_method());
    m_ssl = SSL_new(m_context);
    SSL_set_fd(m_ssl, m_fd);
    const bool done = SSL_connect(m_ssl) == 1;
    ERR_clear_error();
    return done;
  }
  // Bytes as they are (no TLS) or through TLS once there is a session.
  bool Send(const std::string& bytes)
  {
    if (m_ssl) {
      std::size_t n = 0;
      const bool sent = SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &n) == 1;
      ERR_clear_error();
      return sent;
    }
    return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Everything until the server closes the connection (or 10 seconds without a byte).
  std::string ReadToEnd()
  {
    std::string text;
    char buffer[4096];
    for (;;) {
      std::size_t n = 0;
      if (m_ssl) {
        const int rc = SSL_read_ex(m_ssl, buffer, sizeof buffer, &n);
        ERR_clear_error();
        if (rc != 1)
          break;
      } else {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0)
          break;
        n = static_cast<std::size_t>(got);
      }
      text.append(buffer, n);
    }
    return text;
  }
  // What arrives next (empty when the connection ends).
  std::string ReadSome()
  {
    char buffer[4096];
    std::size_t n = 0;
    const int rc = SSL_read_ex(m_ssl, buffer, sizeof buffer, &n);
    ERR_clear_error();
    return rc == 1 ? std::string(buffer, n) : std::string();
  }
  // Whether the server has closed the connection, without waiting.
  // What the server sent is skipped (a TLS session is of no use after this).
  bool ClosedByServer()
  {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0)
        return true;
      if (n < 0)
        return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    }
  }
  // A whole request, answered on a connection of its own: the status line's code, 0 for none.
  static int Status(const std::string& answer)
  {
    int status = 0;
    return std::sscanf(answer.c_str(), "HTTP/1.1 %d", &status) == 1 ? status : 0;
  }

private:
  int m_fd = -1;
  bool m_connected = false;
  SSL_CTX* m_context = nullptr;
  SSL* m_ssl = nullptr;
};

std::string LoginRequest(const std::string& user, const std::string& password)
{
  const std::string body = json{{"user", user}, {"password", password}}.dump();
  return "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nConnection: close\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

const char* const kPageRequest = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

class WebDoor : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_dir = std::filesystem::temp_directory_path() / ("corvex-webdoor-" + std::to_string(::getpid()));
    std::filesystem::create_directories(m_dir);
    m_settings = webtest::LoopbackSettings(m_dir.string());
  }
  void Start()
  {
    m_port = m_server.Start(m_settings, m_data, [this](const std::string& user, const std::string& password, std::string& reason) {
      ++m_checks;
      std::this_thread::sleep_for(m_checkTime);
      if (user == kAdmin && password == kPassword)
        return true;
      reason = "wrong password";
      return false;
    });
  }
  void TearDown() override
  {
    m_server.Stop();
    std::filesystem::remove_all(m_dir);
  }

  // Events of the door's refusals whose text holds `part`.
  int Refusals(const std::wstring& part)
  {
    const std::vector<EventRecord> events = m_events.All();
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const EventRecord& e) {
      return e.id == corvexweb::kEventClientRefused && e.text.find(part) != std::wstring::npos;
    }));
  }
  // Waits up to 10 seconds for the door to have accepted `n` connections.
  bool AcceptedReaches(unsigned long long n)
  {
    const auto end = Clock::now() + 10s;
    while (m_server->Connections().accepted < n && Clock::now() < end)
      std::this_thread::sleep_for(10ms);
    return m_server->Connections().accepted >= n;
  }
  static bool ClosedWithin(Client& c, std::chrono::milliseconds limit)
  {
    const auto end = Clock::now() + limit;
    while (!c.ClosedByServer()) {
      if (Clock::now() > end)
        return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  std::filesystem::path m_dir;
  corvexweb::WebSettings m_settings;
  corvexweb::ConsoleData m_data;
  std::atomic<int> m_checks{0};
  std::chrono::milliseconds m_checkTime{0};
  webtest::CapturedEvents m_events;
  webtest::RunningServer m_server;
  int m_port = 0;
};

TEST_F(WebDoor, AHundredSlowClientsDoNotStopAnAdministrator)
{
  // Deadlines far off, so that it is the door that keeps the workers free and not the deadlines.
  m_settings.requestDeadlineSeconds = 120;
  Start();
  httplib::SSLClient admin("127.0.0.1", m_port);
  admin.enable_server_certificate_verification(false);
  admin.set_connection_timeout(10);
  admin.set_read_timeout(10);
  const std::string body = json{{"user", kAdmin}, {"password", kPassword}}.dump();
  const auto login = admin.Post("/api/login", body, "application/json");
  ASSERT_TRUE(login);
  ASSERT_EQ(login->status, 200);
  const std::string cookie = login->get_header_value("Set-Cookie").substr(0, login->get_header_value("Set-Cookie").find(';'));
  // Twenty requests, each on a new TLS connection: their median and slowest, in ms.
  const auto measure = [&](std::vector<double>& latencies) {
    for (int i = 0; i < 20; ++i) {
      const auto start = Clock::now();
      const auto r = admin.Get("/api/session", {{"Cookie", cookie}});
      ASSERT_TRUE(r) << "request " << i << " got no answer";
      EXPECT_EQ(r->status, 200);
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
  };
  std::vector<double> alone, beside;
  measure(alone);

  // Half stall in the TLS handshake (a record header that announces bytes never sent); half
  // finish it and send their headers a byte at a time.
  std::vector<std::unique_ptr<Client>> slow;
  for (int i = 0; i < 100; ++i) {
    slow.push_back(std::make_unique<Client>(m_port, "127.0.1." + std::to_string(i + 1)));
    ASSERT_TRUE(slow.back()->Connected());
    if (i % 2 == 0) {
      ASSERT_TRUE(slow.back()->Send(std::string("\x16\x03\x01\x02\x00", 5)));
    } else {
      ASSERT_TRUE(slow.back()->Handshake());
      ASSERT_TRUE(slow.back()->Send("GET /api/session HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    }
  }
  ASSERT_TRUE(AcceptedReaches(100 + 21));
  std::atomic<bool> dribbling{true};
  std::thread dribbler([&] {
    while (dribbling) {
      for (std::size_t i = 0; i < slow.size(); ++i)
        slow[i]->Send(i % 2 == 0 ? std::string(1, '\0') : std::string("X"));
      std::this_thread::sleep_for(200ms);
    }
  });
  measure(beside);
  // A page on a connection of its own each time: a handshake through the same door.
  for (int i = 0; i < 5; ++i) {
    Client page(m_port, "127.0.0.1");
    ASSERT_TRUE(page.Handshake());
    ASSERT_TRUE(page.Send(kPageRequest));
    EXPECT_EQ(Client::Status(page.ReadToEnd()), 200);
  }
  dribbling = false;
  dribbler.join();

  // Every slow client still holds its connection: none was dropped to make room.
  int open = 0;
  for (auto& c : slow)
    open += c->ClosedByServer() ? 0 : 1;
  EXPECT_EQ(open, 100);
  EXPECT_EQ(m_server->Connections().deadlineMissed, 0u);
  ASSERT_EQ(beside.size(), 20u);
  std::printf("administrator's requests alone: median %.1f ms, slowest %.1f ms; with 100 slow clients attached: "
              "median %.1f ms, slowest %.1f ms\n",
              alone[10], alone.back(), beside[10], beside.back());
}

TEST_F(WebDoor, ARequestNotWholeByItsDeadlineIsRefusedThoughBytesKeepComing)
{
  m_settings.requestDeadlineSeconds = 1;
  Start();
  Client handshaking(m_port, "127.0.2.1");
  ASSERT_TRUE(handshaking.Send(std::string("\x16\x03\x01\x02\x00", 5)));
  Client dribbling(m_port, "127.0.2.2");
  ASSERT_TRUE(dribbling.Handshake());
  ASSERT_TRUE(dribbling.Send("GET / HTTP/1.1\r\n"));
  std::atomic<bool> going{true};
  std::thread dribbler([&] {
    while (going) {
      handshaking.Send(std::string(1, '\0'));
      dribbling.Send("X");
      std::this_thread::sleep_for(100ms);
    }
  });
  const std::string answer = dribbling.ReadToEnd();
  EXPECT_TRUE(ClosedWithin(handshaking, 5s));
  going = false;
  dribbler.join();
  EXPECT_EQ(Client::Status(answer), 408) << answer;
  EXPECT_NE(answer.find("no complete request within the deadline of 1 s"), std::string::npos) << answer;
  EXPECT_EQ(m_server->Connections().deadlineMissed, 2u);
  EXPECT_EQ(Refusals(L"127.0.2.1"), 1);
  EXPECT_EQ(Refusals(L"127.0.2.2"), 1);

  // An idle connection between requests is not a refusal; a prompt client is served as ever.
  Client prompt(m_port, "127.0.2.3");
  ASSERT_TRUE(prompt.Handshake());
  ASSERT_TRUE(prompt.Send(kPageRequest));
  EXPECT_EQ(Client::Status(prompt.ReadToEnd()), 200);
}

// The door alone, with answers of 200 KB: a client that takes none of them fills the socket
// buffers within a few dozen requests, and the rest of its answer waits in the door.
TEST(WebDoorAlone, ClientsThatDoNotReadTheirAnswersHoldNoWorker)
{
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("corvex-webdoor-alone-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  corvexweb::EnsureSelfSignedCertificate(cert, key);
  constexpr std::size_t kBody = 200 * 1024;
  corvexweb::FrontLimits limits;
  limits.workers = 2;
  limits.requestDeadline = 2s;
  std::mutex mutex;
  std::vector<std::string> reports;
  corvexweb::HttpsFront door(
    cert, key, limits,
    [](httplib::Stream& stream, bool closeConnection) {
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n";
      const std::string body(kBody, 'x');
      return stream.write(head.data(), head.size()) > 0 && stream.write(body.data(), body.size()) > 0 && !closeConnection;
    },
    [&](const std::string& address, const std::string& what) {
      std::lock_guard lock(mutex);
      reports.push_back(address + ": " + what);
    });
  const int port = door.Bind("127.0.0.1", 0);
  std::thread serving([&] { door.Serve(); });

  std::string pipelined;
  for (int i = 0; i < 100; ++i)
    pipelined += "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<std::unique_ptr<Client>> readers;
  for (int i = 0; i < 4; ++i) {
    readers.push_back(std::make_unique<Client>(port, "127.0.9." + std::to_string(i + 1), 4096));
    EXPECT_TRUE(readers.back()->Handshake());
    EXPECT_TRUE(readers.back()->Send(pipelined));
  }
  // Until the answers stop going out: every reader's buffers are full.
  unsigned long long answered = 0;
  for (const auto end = Clock::now() + 5s; Clock::now() < end;) {
    std::this_thread::sleep_for(300ms);
    if (door.Counters().requests == answered)
      break;
    answered = door.Counters().requests;
  }
  EXPECT_LT(answered, 400u);
  // Another client is answered in full while none of them has been cut off.
  Client prompt(port, "127.0.9.100");
  EXPECT_TRUE(prompt.Handshake());
  EXPECT_TRUE(prompt.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  std::string answer;
  for (std::string more; answer.size() < kBody + 40 && !(more = prompt.ReadSome()).empty();)
    answer += more;
  EXPECT_EQ(Client::Status(answer), 200);
  EXPECT_GE(answer.size(), kBody);
  EXPECT_EQ(door.Counters().deadlineMissed, 0u);
  // At the deadline they are cut off, each refusal reported.
  for (const auto end = Clock::now() + 5s; door.Counters().deadlineMissed < 4 && Clock::now() < end;)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(door.Counters().deadlineMissed, 4u);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                            [](const std::string& r) { return r.find("did not take its answer within the deadline of 2 s") != std::string::npos; }),
              4);
  }
  door.Stop();
  serving.join();
  std::filesystem::remove_all(dir);
}

TEST_F(WebDoor, ConnectionsAreLimitedPerAddressAndInAll)
{
  m_settings.connectionsPerAddress = 3;
  m_settings.connections = 6;
  Start();
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 3; ++i)
    held.push_back(std::make_unique<Client>(m_port, "127.0.3.1"));
  ASSERT_TRUE(AcceptedReaches(3));
  Client fourth(m_port, "127.0.3.1");
  EXPECT_TRUE(ClosedWithin(fourth, 5s));
  EXPECT_EQ(m_server->Connections().refusedPerAddress, 1u);
  EXPECT_EQ(Refusals(L"too many connections from this address (at most 3)"), 1);

  // Another address is served meanwhile; a place given back is taken again.
  {
    Client other(m_port, "127.0.3.2");
    ASSERT_TRUE(other.Handshake());
    ASSERT_TRUE(other.Send(kPageRequest));
    EXPECT_EQ(Client::Status(other.ReadToEnd()), 200);
  }
  held.pop_back();
  std::this_thread::sleep_for(200ms);
  Client again(m_port, "127.0.3.1");
  ASSERT_TRUE(again.Handshake());
  ASSERT_TRUE(again.Send(kPageRequest));
  EXPECT_EQ(Client::Status(again.ReadToEnd()), 200);

  // Six in all: 127.0.3.1 holds two, four more from elsewhere fill the door. A newcomer then
  // takes the place of the one that has waited longest without finishing a request.
  std::vector<std::unique_ptr<Client>> more;
  for (int i = 0; i < 4; ++i)
    more.push_back(std::make_unique<Client>(m_port, "127.0.3." + std::to_string(10 + i)));
  ASSERT_TRUE(AcceptedReaches(9));
  Client newcomer(m_port, "127.0.3.20");
  ASSERT_TRUE(newcomer.Handshake());
  ASSERT_TRUE(newcomer.Send(kPageRequest));
  EXPECT_EQ(Client::Status(newcomer.ReadToEnd()), 200);
  EXPECT_TRUE(ClosedWithin(*held.front(), 5s));
  EXPECT_FALSE(held.back()->ClosedByServer());
  for (auto& c : more)
    EXPECT_FALSE(c->ClosedByServer());
  EXPECT_EQ(m_server->Connections().madeRoom, 1u);
  EXPECT_EQ(Refusals(L"dropped to make room"), 1);
  EXPECT_EQ(m_server->Connections().refusedFull, 0u);
}

TEST_F(WebDoor, OversizeAndMalformedRequestsAreRefusedBeforeAWorkerSeesThem)
{
  Start();
  const auto refusal = [&](const std::string& request) {
    Client c(m_port, "127.0.4.1");
    EXPECT_TRUE(c.Handshake());
    c.Send(request);
    return c.ReadToEnd();
  };
  // A body announced larger than allowed is refused before it is sent.
  std::string answer = refusal("POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Length: 70000\r\n\r\n");
  EXPECT_EQ(Client::Status(answer), 413) << answer;
  answer = refusal("GET / HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(17000, 'a') + "\r\n\r\n");
  EXPECT_EQ(Client::Status(answer), 431) << answer;
  answer = refusal("POST /api/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
  EXPECT_EQ(Client::Status(answer), 501) << answer;
  for (const char* bad : {"POST /api/login HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
                          "POST /api/login HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "nonsense\r\n\r\n",
                          "GET / HTTP/1.1\r\nno colon here\r\n\r\n"}) {
    answer = refusal(bad);
    EXPECT_EQ(Client::Status(answer), 400) << bad << "\n" << answer;
  }
  EXPECT_EQ(m_server->Connections().oversize, 2u);
  EXPECT_EQ(m_server->Connections().malformed, 5u);
  EXPECT_EQ(m_server->Connections().requests, 0u);
  EXPECT_EQ(m_checks, 0);

  // Two requests in one write on a kept connection are both answered, in order.
  Client pipelined(m_port, "127.0.4.2");
  ASSERT_TRUE(pipelined.Handshake());
  ASSERT_TRUE(pipelined.Send("GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n" + std::string(kPageRequest)));
  answer = pipelined.ReadToEnd();
  EXPECT_EQ(Client::Status(answer), 404) << answer;
  EXPECT_NE(answer.find("HTTP/1.1 200", 12), std::string::npos) << answer;
}

TEST_F(WebDoor, ParallelWrongPasswordsReachTheCheckOnlyAsOftenAsTheLimit)
{
  m_settings.connectionsPerAddress = 64;
  m_settings.workers = 16;  // room for every admitted check at once
  m_checkTime = 100ms;  // as slow as a real password check, so that the guesses overlap
  Start();
  std::atomic<int> refused{0}, throttled{0}, other{0};
  std::vector<std::thread> guessers;
  for (int i = 0; i < 40; ++i)
    guessers.emplace_back([&, i] {
      Client c(m_port, "127.0.5.1");
      if (!c.Handshake() || !c.Send(LoginRequest(kAdmin, "guess " + std::to_string(i))))
        return;
      const int status = Client::Status(c.ReadToEnd());
      ++(status == 401 ? refused : status == 429 ? throttled : other);
    });
  for (std::thread& t : guessers)
    t.join();
  EXPECT_EQ(m_checks, 5);
  EXPECT_EQ(refused, 5);
  EXPECT_EQ(throttled, 35);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(m_server->Logins().refused, 5u);
  EXPECT_EQ(m_server->Logins().throttled, 35u);

  // That address is shut out even with the right password; the administrator elsewhere is not.
  Client same(m_port, "127.0.5.1");
  ASSERT_TRUE(same.Handshake());
  same.Send(LoginRequest(kAdmin, kPassword));
  const std::string shut = same.ReadToEnd();
  EXPECT_EQ(Client::Status(shut), 429);
  EXPECT_NE(shut.find("Retry-After"), std::string::npos);
  Client elsewhere(m_port, "127.0.5.2");
  ASSERT_TRUE(elsewhere.Handshake());
  elsewhere.Send(LoginRequest(kAdmin, kPassword));
  EXPECT_EQ(Client::Status(elsewhere.ReadToEnd()), 200);
}

TEST_F(WebDoor, AGuesserWithManyAddressesGetsOneTryEachAndCannotLockTheAdministratorOut)
{
  m_settings.loginAttempts = 3;
  m_settings.loginAccountAttempts = 8;
  Start();
  const auto login = [&](const std::string& from, const std::string& password) {
    Client c(m_port, from);
    EXPECT_TRUE(c.Handshake());
    c.Send(LoginRequest(kAdmin, password));
    return Client::Status(c.ReadToEnd());
  };
  // Four addresses with two guesses each put the account under attack.
  for (int a = 1; a <= 4; ++a)
    for (int g = 0; g < 2; ++g)
      EXPECT_EQ(login("127.0.6." + std::to_string(a), "guess"), 401);
  // Now an address that has failed gets no more tries, though under its own limit of three,
  // and a fresh one gets exactly one.
  EXPECT_EQ(login("127.0.6.1", "guess"), 429);
  EXPECT_EQ(login("127.0.6.50", "guess"), 401);
  EXPECT_EQ(login("127.0.6.50", "guess"), 429);
  // The administrator from an address of their own still gets in, every time.
  EXPECT_EQ(login("127.0.6.200", kPassword), 200);
  EXPECT_EQ(login("127.0.6.200", kPassword), 200);
  EXPECT_EQ(m_checks, 11);
}

TEST_F(WebDoor, PasswordChecksTakeHalfTheWorkersAtMostAndABusyRefusalCostsNoAttempt)
{
  m_settings.workers = 2;
  m_settings.loginAttempts = 1;
  m_checkTime = 2500ms;
  Start();
  std::thread slowCheck([&] {
    Client c(m_port, "127.0.7.1");
    ASSERT_TRUE(c.Handshake());
    c.Send(LoginRequest(kAdmin, "guess"));
    EXPECT_EQ(Client::Status(c.ReadToEnd()), 401);
  });
  const auto end = Clock::now() + 5s;
  while (m_checks == 0 && Clock::now() < end)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(m_checks, 1);
  // The one check allowed is under way: a second log-in is refused at once, and a page is
  // served by the other worker.
  Client second(m_port, "127.0.7.2");
  ASSERT_TRUE(second.Handshake());
  second.Send(LoginRequest(kAdmin, kPassword));
  const std::string busy = second.ReadToEnd();
  EXPECT_EQ(Client::Status(busy), 503) << busy;
  EXPECT_NE(busy.find("\"busy\""), std::string::npos);
  Client page(m_port, "127.0.7.3");
  ASSERT_TRUE(page.Handshake());
  page.Send(kPageRequest);
  EXPECT_EQ(Client::Status(page.ReadToEnd()), 200);
  EXPECT_EQ(m_checks, 1);
  slowCheck.join();
  EXPECT_EQ(m_server->Logins().busy, 1u);
  EXPECT_EQ(m_events.WithId(corvexweb::kEventLoginBusy).size(), 1u);
  // The refused attempt was not counted: with a limit of one, that address still has its try.
  Client again(m_port, "127.0.7.2");
  ASSERT_TRUE(again.Handshake());
  again.Send(LoginRequest(kAdmin, kPassword));
  EXPECT_EQ(Client::Status(again.ReadToEnd()), 200);
}

TEST_F(WebDoor, ProgressStreamsTakeHalfTheWorkersAtMostAndEndWhenTheServerStops)
{
  m_settings.workers = 4;
  Start();
  Client login(m_port, "127.0.8.1");
  ASSERT_TRUE(login.Handshake());
  login.Send(LoginRequest(kAdmin, kPassword));
  const std::string answer = login.ReadToEnd();
  const std::size_t at = answer.find("corvex_session=");
  ASSERT_NE(at, std::string::npos) << answer;
  const std::string cookie = answer.substr(at, answer.find(';', at) - at);
  const std::string request = "GET /api/search/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n";

  // Two streams hold two workers, each having sent its first event.
  std::vector<std::unique_ptr<Client>> streams;
  for (int i = 0; i < 2; ++i) {
    streams.push_back(std::make_unique<Client>(m_port, "127.0.8.2"));
    ASSERT_TRUE(streams.back()->Handshake());
    streams.back()->Send(request);
    std::string head;
    while (head.find("data: ") == std::string::npos) {
      const std::string more = streams.back()->ReadSome();
      ASSERT_FALSE(more.empty()) << head;
      head += more;
    }
  }
  // A third is refused; requests are answered by the workers left.
  Client third(m_port, "127.0.8.3");
  ASSERT_TRUE(third.Handshake());
  third.Send(request.substr(0, request.size() - 2) + "Connection: close\r\n\r\n");
  EXPECT_EQ(Client::Status(third.ReadToEnd()), 503);
  for (int i = 0; i < 3; ++i) {
    Client page(m_port, "127.0.8.4");
    ASSERT_TRUE(page.Handshake());
    page.Send(kPageRequest);
    EXPECT_EQ(Client::Status(page.ReadToEnd()), 200);
  }
  // Stopping ends the streams at once rather than at their next event.
  const auto start = Clock::now();
  m_server.Stop();
  EXPECT_LT(Clock::now() - start, 5s);
  for (auto& c : streams)
    EXPECT_TRUE(ClosedWithin(*c, 1s));
}

}  // namespace
