// The network calls and the details threads against a real Samba server and a host that answers
// late: queries of several computers run side by side, a refused logon is refused without
// spoiling the anonymous queries that follow, an unreachable host is a missing network path,
// and a domain's servers are listed.
//
// Needs root: the server runs in namespaces of its own (see SambaNamespace).
// The late host is a relay on a second address of the server's namespace: it holds each
// connection for a while before passing it on to the server, and counts how many it holds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "managementservice/discovery/ComputerDiscovery.h"
#include "managementservice/discovery/NetworkEnumeration.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/e2e/discovery/SambaNamespace.h"
#include "tests/e2e/support/ProcessRunner.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kWorkgroup[] = "CVXNETGRP";
constexpr char kServer[] = "CVXFILES";
constexpr char kComment[] = "Corvex network test server";
constexpr char kServerAddress[] = "10.231.78.1";
constexpr char kClientAddress[] = "10.231.78.2";
constexpr char kLateAddress[] = "10.231.78.3";
constexpr char kGoneAddress[] = "10.231.78.9";  // on the link, but nobody has it
constexpr auto kLateBy = 3s;

sockaddr_in Address(const char* ip, int port)
{
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

bool PortOpen(const char* ip, int port)
{
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = Address(ip, port);
  const bool open = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return open;
}

// Listens on the late address inside the server's namespace; each connection waits kLateBy,
// then is passed on to the server. Counts the connections it holds back at once.
class LateRelay
{
public:
  explicit LateRelay(const std::string& netnsPath)
  {
    std::promise<bool> ready;
    auto started = ready.get_future();
    m_listener = std::thread([this, netnsPath, &ready] {
      // A network namespace is a property of the thread: only this one moves.
      const int ns = ::open(netnsPath.c_str(), O_RDONLY | O_CLOEXEC);
      const bool joined = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
      if (ns >= 0)
        ::close(ns);
      m_fd = joined ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
      const int one = 1;
      ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      const sockaddr_in a = Address(kLateAddress, 445);
      const bool listening =
        m_fd >= 0 && ::bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 && ::listen(m_fd, 16) == 0;
      ready.set_value(listening);
      while (listening && !m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
          continue;
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
          continue;
        std::lock_guard lock(m_mutex);
        m_connections.emplace_back([this, client] { Pass(client); });
      }
    });
    m_ok = started.get();
  }
  ~LateRelay()
  {
    m_stop = true;
    m_listener.join();
    std::lock_guard lock(m_mutex);
    for (auto& t : m_connections)
      t.join();
    if (m_fd >= 0)
      ::close(m_fd);
  }
  bool Listening() const { return m_ok; }
  int MostHeld() const { return m_mostHeld; }
  int Accepted() const { return m_accepted; }
  Clock::time_point FirstRelease()
  {
    std::lock_guard lock(m_mutex);
    return m_firstRelease;
  }

private:
  // On a thread the listener started, so in the server's namespace as well.
  void Pass(int client)
  {
    ++m_accepted;
    const int held = ++m_held;
    for (int seen = m_mostHeld.load(); held > seen && !m_mostHeld.compare_exchange_weak(seen, held);) {
    }
    for (auto until = Clock::now() + kLateBy; Clock::now() < until && !m_stop;)
      std::this_thread::sleep_for(20ms);
    --m_held;
    {
      std::lock_guard lock(m_mutex);
      if (m_firstRelease == Clock::time_point())
        m_firstRelease = Clock::now();
    }
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Address(kServerAddress, 445);
    if (server >= 0 && ::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      char buf[65536];
      for (bool open = true; open && !m_stop;) {
        if (::poll(p, 2, 50) <= 0)
          continue;
        for (int i = 0; i < 2 && open; ++i) {
          if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
          const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
          open = n > 0 && ::send(p[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
        }
      }
    }
    if (server >= 0)
      ::close(server);
    ::close(client);
  }

  std::thread m_listener;
  std::mutex m_mutex;
  std::vector<std::thread> m_connections;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_held{0}, m_mostHeld{0}, m_accepted{0};
  Clock::time_point m_firstRelease{};
  int m_fd = -1;
  bool m_ok = false;
};

class SambaNetwork : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root: the test makes network and mount namespaces and runs a Samba server";
    if (const std::string missing =
          e2e::SambaNamespace::Missing({"ip", "unshare", "nsenter", "smbd", "nmbd", "samba-dcerpcd", "smbpasswd"});
        !missing.empty())
      GTEST_SKIP() << missing << " is not installed (scripts/install-deps.sh installs it)";
    ASSERT_NO_FATAL_FAILURE(m_samba.Enter({"cvxnc", "cvxns", kClientAddress, {kServerAddress, kLateAddress}}));
    WriteConfigurations();
    m_samba.StartDaemon("dcerpcd", e2e::FindProgram("samba-dcerpcd"), "--libexec-rpcds");
    m_samba.StartDaemon("nmbd", e2e::FindProgram("nmbd"), "--no-process-group");
    // A known account of the server: a unix account the machine has, with a password of the
    // server's own (its account database is the scratch folder's).
    {
      std::string out;
      ASSERT_EQ(e2e::Run("/bin/sh", {"-c", "printf 'right\\nright\\n' | " + e2e::FindProgram("smbpasswd") + " -c " + m_dir / "server.conf" +
                                              " -s -a daemon"},
                         {}, m_dir / "smbpasswd.out", out),
                0)
        << out;
    }
    StartSmbd();
    ASSERT_TRUE(WaitUntilServing()) << e2e::ReadFile(m_dir / "log/log.smbd");
    m_relay = std::make_unique<LateRelay>(m_samba.NetnsPath());
    ASSERT_TRUE(m_relay->Listening());
  }

  void TearDown() override
  {
    m_relay.reset();
    m_samba.Stop();
  }

  void WriteConfigurations()
  {
    std::filesystem::create_directories(m_dir / "log");
    std::filesystem::create_directories(m_dir / "share");
    // The server binds its own address only: the late host's is the relay's. An unknown account
    // is the guest; a known one with a wrong password is refused.
    e2e::WriteFile(m_dir / "server.conf",
                   std::string("[global]\n  workgroup = ") + kWorkgroup + "\n  netbios name = " + kServer +
                     "\n  server string = " + kComment + "\n  interfaces = " + kServerAddress +
                     "/24\n  bind interfaces only = yes\n  server min protocol = NT1\n  local master = yes\n"
                     "  preferred master = yes\n  domain master = yes\n  os level = 65\n"
                     "  name resolve order = lmhosts wins bcast\n  map to guest = bad user\n"
                     "  disable spoolss = yes\n  load printers = no\n[pub]\n  path = " +
                     m_dir / "share" + "\n  read only = yes\n");
    e2e::WriteFile("/etc/samba/smb.conf", std::string("[global]\n  workgroup = ") + kWorkgroup +
                                            "\n  netbios name = CVXNETCLIENT\n  interfaces = cvxnc\n  bind interfaces only = yes\n"
                                            "  name resolve order = lmhosts\n");
    // Names without broadcasts, each of one type: a name of no type would also stand for a
    // workgroup's master browser (#1D), and smb://NAME would then list a workgroup. The five late
    // computers are all the relay.
    std::string hosts = std::string(kServerAddress) + " " + kServer + "#20\n" + kServerAddress + " " + kWorkgroup +
                        "#1D\n" + kGoneAddress + " CVXGONE#20\n";
    for (int i = 1; i <= 5; ++i)
      hosts += std::string(kLateAddress) + " CVXLATE" + std::to_string(i) + "#20\n";
    e2e::WriteFile("/etc/samba/lmhosts", hosts);
  }

  void StartSmbd()
  {
    m_samba.StartDaemon("smbd", e2e::FindProgram("smbd"), "--no-process-group");
    for (int i = 0; i < 200 && !PortOpen(kServerAddress, 445); ++i)
      std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(PortOpen(kServerAddress, 445)) << e2e::ReadFile(m_dir / "log/log.smbd");
  }

  // A server that just started takes a moment before it serves its RPC pipes. True once it
  // answers an anonymous query.
  bool WaitUntilServing()
  {
    for (int i = 0; i < 40; ++i) {
      if (Query(L"CVXFILES").known)
        return true;
      std::this_thread::sleep_for(250ms);
    }
    return false;
  }

  struct Answer
  {
    bool known = false;
    PTLDB::OperatingSystem os = PTLDB::OS_UNKNOWN;
    std::wstring comment;
    Clock::time_point done;
  };
  static Answer Query(const std::wstring& computer, const wchar_t* user = L"", const wchar_t* password = L"")
  {
    Answer a;
    a.known = GetComputerDescriptionAndOS(computer, a.comment, a.os, user, password);
    a.done = Clock::now();
    return a;
  }

  e2e::ScratchDir m_dir{"corvex-e2e-network"};
  e2e::SambaNamespace m_samba{m_dir};
  std::unique_ptr<LateRelay> m_relay;
};

const std::wstring kWideComment = L"Corvex network test server";

}  // namespace

TEST_F(SambaNetwork, QueriesOfALateHostRunSideBySideAndDoNotHoldUpTheServer)
{
  // Four late computers first; the server once they are all held.
  std::vector<Answer> late(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&late, i] { late[i] = Query(L"CVXLATE" + std::to_wstring(i + 1)); });
  for (int i = 0; i < 200 && m_relay->MostHeld() < 4; ++i)
    std::this_thread::sleep_for(10ms);
  const Answer server = Query(L"\\\\CVXFILES");
  for (auto& t : threads)
    t.join();

  EXPECT_GE(m_relay->MostHeld(), 4) << "the late computers' queries did not wait side by side";
  ASSERT_TRUE(server.known);
  EXPECT_EQ(server.os, PTLDB::OS_UNIX);
  EXPECT_EQ(server.comment, kWideComment);
  EXPECT_LT(server.done, m_relay->FirstRelease()) << "the server's query waited for the late computers";
  for (const Answer& a : late) {
    EXPECT_TRUE(a.known);  // late, within the time-out
    EXPECT_EQ(a.os, PTLDB::OS_UNIX);
    EXPECT_EQ(a.comment, kWideComment);
  }
}

TEST_F(SambaNetwork, ARefusedLogonIsAccessDeniedAndAnonymousQueriesStillWork)
{
  testsupport::TraceCapture traces;
  // Discovery's second try: the account impersonated, no explicit credentials. A wrong password
  // is refused, both for the connection and for the query.
  {
    const ScopedNetworkIdentity identity(L"CVXNETGRP\\daemon", L"wrong");
    EXPECT_FALSE(Query(L"CVXFILES", nullptr, nullptr).known);
  }
  EXPECT_TRUE(traces.Has(2, "Failed to establish connection as user NULL to computer \\\\CVXFILES, error: 5"));
  EXPECT_TRUE(traces.Has(2, "Access denied to \\\\CVXFILES"));

  // The right password, then anonymous, then the wrong one again: no session of one identity
  // serves the next.
  {
    const ScopedNetworkIdentity identity(L"CVXNETGRP\\daemon", L"right");
    const Answer account = Query(L"CVXFILES", nullptr, nullptr);
    EXPECT_TRUE(account.known);
    EXPECT_EQ(account.comment, kWideComment);
  }
  const Answer anonymous = Query(L"CVXFILES");
  EXPECT_TRUE(anonymous.known);
  EXPECT_EQ(anonymous.os, PTLDB::OS_UNIX);
  {
    const ScopedNetworkIdentity identity(L"daemon", L"wrong");
    NETRESOURCEW resource;
    std::wstring target = L"\\\\CVXFILES";
    resource.lpRemoteName = target.data();
    EXPECT_EQ(WNetAddConnection2W(&resource, nullptr, nullptr, 0), 5u);
    BYTE* raw = nullptr;
    EXPECT_EQ(NetServerGetInfo(target.c_str(), 101, &raw), 5u);
    EXPECT_EQ(raw, nullptr);
  }

  // Explicit credentials that are refused leave the query to the thread's own identity, as a
  // connection that cannot be made does: here anonymous, which the server answers.
  std::wstring comment;
  PTLDB::OperatingSystem os = PTLDB::OS_UNKNOWN;
  EXPECT_TRUE(GetComputerDescriptionAndOS(L"CVXFILES", comment, os, L"daemon", L"wrong"));
  EXPECT_TRUE(traces.Has(2, "Failed to establish connection as user daemon to computer \\\\CVXFILES, error: 5"));
  EXPECT_EQ(os, PTLDB::OS_UNIX);

  // A server that restarted drops every session: the next query needs a new one.
  m_samba.StopDaemon("smbd");
  StartSmbd();
  EXPECT_TRUE(WaitUntilServing()) << "a session of the server's previous life is still used";
}

TEST_F(SambaNetwork, AnUnreachableHostIsAMissingPathAndDoesNotHoldUpOthers)
{
  testsupport::TraceCapture traces;
  Answer gone, server;
  std::thread goneThread([&gone] { gone = Query(L"CVXGONE"); });
  std::this_thread::sleep_for(200ms);  // the unreachable query is on its way first
  server = Query(L"CVXFILES");
  goneThread.join();
  EXPECT_TRUE(server.known);
  EXPECT_LT(server.done, gone.done);
  EXPECT_FALSE(gone.known);
  EXPECT_TRUE(traces.Has(2, "Failed to establish connection as user  to computer \\\\CVXGONE, error: 53"));
  EXPECT_TRUE(traces.Has(0, "Network path not found"));

  // The server query after a connection that found no path does not ask again.
  NETRESOURCEW resource;
  std::wstring target = L"\\\\CVXGONE";
  resource.lpRemoteName = target.data();
  EXPECT_EQ(WNetAddConnection2W(&resource, L"", L"", 0), 53u);
  BYTE* raw = nullptr;
  const auto asked = Clock::now();
  EXPECT_EQ(NetServerGetInfo(target.c_str(), 101, &raw), 53u);
  EXPECT_LT(Clock::now() - asked, 1s);
}

TEST_F(SambaNetwork, TheWorkgroupListsItsServerAndAnUnknownOneFails)
{
  // Children are appended to what the caller has.
  std::vector<std::wstring> children{L"(before)"};
  bool found = false;
  for (int i = 0; i < 40 && !found; ++i) {
    children.resize(1);
    const HRESULT hr = NetworkGetChildEntities(L"CVXNETGRP", children);
    found = hr == S_OK && std::find(children.begin(), children.end(), L"\\\\CVXFILES") != children.end();
    if (!found)
      std::this_thread::sleep_for(1s);
  }
  ASSERT_TRUE(found) << e2e::ReadFile(m_dir / "log/log.nmbd");
  EXPECT_EQ(children.front(), L"(before)");

  children = {L"(before)"};
  const HRESULT hr = NetworkGetChildEntities(L"CVXNOSUCHGRP", children);
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_EQ((hr & 0xFFFF0000u), 0x80070000u) << std::hex << hr;
  EXPECT_EQ(children, std::vector<std::wstring>{L"(before)"});
}

// The details threads with the real network: five computers that answer late are queried at
// once, and each is entered with what it answered.
TEST_F(SambaNetwork, FiveDetailsThreadsQueryFiveLateComputersAtOnce)
{
  testsupport::TempRegistry registry;
  testsupport::TestDatabase db;
  testsupport::TestClocks clocks;
  registry.SetLocation(L".", L"", db.WideName());
  RenewDatabaseConnection();
  {
    DiscoveryEngine engine;
    for (int i = 0; i < 4; ++i)
      engine.discovery.AddDetailsHandler();
    engine.discovery.Start();
    engine.state.IncreaseDomainsFound(1);
    engine.state.IncreaseDomainsBrowsed(1);
    engine.state.IncreaseComputersFound(5);
    for (int i = 1; i <= 5; ++i)
      engine.detailsQueue.push(
        DetailComputerInfo{CComputer::CreateComputer(L"CVXLATE" + std::to_wstring(i), L"CVXNETGRP"), AccountCredentials()});
    for (int i = 0; i < 3000 && engine.state.GetComputersKnown() < 5 &&
                    db.Exec("SELECT count(*) FROM dbo.\"Computers\" WHERE \"OperatingSystem\" = 13").Text(0, 0) != "5";
         ++i)
      std::this_thread::sleep_for(10ms);
    engine.discovery.Stop();
  }
  EXPECT_GE(m_relay->MostHeld(), 5) << "the details threads did not query side by side";
  EXPECT_EQ(db.Exec("SELECT string_agg(\"ComputerName\" || '|' || \"OperatingSystem\" || '|' || \"Description\", ',' "
                    "ORDER BY \"ComputerName\") FROM dbo.\"Computers\"")
              .Text(0, 0),
            "CVXLATE1|13|Corvex network test server,CVXLATE2|13|Corvex network test server,CVXLATE3|13|Corvex network test "
            "server,CVXLATE4|13|Corvex network test server,CVXLATE5|13|Corvex network test server");
}
