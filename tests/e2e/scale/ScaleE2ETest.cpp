// Past one server: a deployment written by corvex-nats plan runs on loopback. A site's server is a
// leaf node of the head office's and its link is cut while both sides send; the head office is a
// cluster of three whose nodes are killed while agents send. Every envelope must arrive once.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "messaging/ClientLibrary.h"
#include "messaging/Enrolment.h"
#include "messaging/NatsLink.h"
#include "tests/e2e/scale/LinkProxy.h"
#include "tests/e2e/support/MessagingLetters.h"
#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tests/messaging/TestSupport.h"
#include "tools/corvex-nats/Plan.h"

namespace {

using namespace messaging_test;
using namespace ZiriviridUrurezArevudUza;
using namespace std::chrono_literals;
using e2e::ChildProcess;
using e2e::Numbered;
using e2e::Sequence;
using e2e::WaitUntil;

const char* const SERVICE = "PTLManagementService";
const char* const NUMBERED = e2e::kNumberedType;
const char* const SERVER = "/usr/sbin/nats-server";

const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new e2e::OrbEnvironment("scale_e2e_tests"));

// One end of the conversation: a connection and what it received, numbered letters by sender.
struct Party
{
  std::string address;
  TestReceiver in;
  IConnection* c = nullptr;

  Party(const std::string& a, const std::string& dir) : address(a)
  {
    c = IClientLibrary::Instance()->ConnectAs(&in, address, dir);
    c->Configure(0, 1);
  }
  ~Party()
  {
    if (c)
      c->Release();
  }
  bool WaitConnected() { return in.WaitNotices(1, std::chrono::seconds(30)); }
  // The numbers from one sender in the order they came. A letter handed over again (the same
  // stored letter, as its delivery key shows) counts once: receivers are told to expect that, and
  // the service drops it by that key; a letter stored twice counts twice.
  std::vector<CORBA::Long> From(const std::string& sender)
  {
    std::vector<CORBA::Long> numbers;
    std::set<std::string> keys;
    for (const auto& e : in.Envelopes()) {
      CORBA::Long n = -1;
      if (std::string(e.client_info.type.in()) == NUMBERED && sender == e.originator.in() &&
          (e.client_info.custom_data >>= n) && keys.insert(IClientLibrary::Instance()->DeliveryKey(e)).second)
        numbers.push_back(n);
    }
    return numbers;
  }
  // Sends first..last to `to`; the numbers the messaging system did not accept.
  std::vector<CORBA::Long> Send(const std::string& to, CORBA::Long first, CORBA::Long last)
  {
    std::vector<CORBA::Long> refused;
    for (CORBA::Long n = first; n <= last; ++n)
      if (c->Send(Numbered(to, n)) == 0)
        refused.push_back(n);
    return refused;
  }
};

// The servers and relay of a planned deployment in a scratch folder, stopped by PID whatever
// happens.
class Deployment
{
public:
  explicit Deployment(const std::string& description)
    : m_root(std::filesystem::temp_directory_path() / ("corvex-scale-" + std::to_string(::getpid()) + "-" +
                                                       std::to_string(++s_count)))
  {
    std::filesystem::remove_all(m_root);
    m_plan = corvexnats::ParsePlan(description);
    corvexnats::WritePlan(m_plan, m_root.string());
  }
  ~Deployment()
  {
    m_relay.reset();
    m_servers.clear();
    if (!::testing::Test::HasFailure())
      std::filesystem::remove_all(m_root);
  }

  std::string Dir(const std::string& server) const { return (m_root / server).string(); }
  const corvexnats::Plan& Plan() const { return m_plan; }

  void Start(const std::string& server)
  {
    m_servers[server] = std::make_unique<ChildProcess>(
      SERVER, std::vector<std::string>{"-c", messaging::enrolment::ConfigFile(Dir(server))}, e2e::CurrentEnvironment(),
      Dir(server) + "/server-" + std::to_string(++m_starts) + ".log");
    int port = 0;
    for (const auto* list : {&m_plan.heads, &m_plan.sites})
      for (const auto& s : *list)
        if (s.name == server)
          port = s.port;
    if (!WaitUntil([&] { return e2e::LoopbackPortOpen(port); }, 20s))
      throw std::runtime_error(server + " did not open its port");
  }
  void Kill(const std::string& server)
  {
    auto& process = m_servers.at(server);
    process->Signal(SIGKILL);
    process->Wait(10s);
    process.reset();
  }
  std::string Log(const std::string& server) const
  {
    const auto it = m_servers.find(server);
    return it != m_servers.end() && it->second ? it->second->Output() : std::string();
  }
  void StartRelay(const std::string& server)
  {
    m_relay = std::make_unique<ChildProcess>(
      e2e::MessagingLocation::RelayProgram(),
      std::vector<std::string>{"--messaging", Dir(server), "--log-level", "2", "--redeliver", "3"},
      e2e::CurrentEnvironment(), Dir(server) + "/relay.log");
    if (!m_relay->WaitForOutput("active on", 30s))
      throw std::runtime_error("the relay did not start: " + m_relay->Output());
  }
  std::string RelayLog() const { return m_relay ? m_relay->Output() : std::string(); }

private:
  static inline int s_count = 0;
  std::filesystem::path m_root;
  corvexnats::Plan m_plan;
  std::map<std::string, std::unique_ptr<ChildProcess>> m_servers;
  std::unique_ptr<ChildProcess> m_relay;
  int m_starts = 0;
};

std::string Ports(const char* key, int port)
{
  return std::string(" ") + key + "=" + std::to_string(port);
}

// ---- a site behind a link that goes down ----

TEST(SiteLink, EnvelopesWaitOnTheirSideWhileTheLinkIsDownAndArriveOnceInOrder)
{
  if (!e2e::MessagingLocation::ServerInstalled())
    GTEST_SKIP() << "nats-server is not installed";
  const int leafPort = e2e::FreeLoopbackPort();
  const int proxyPort = e2e::FreeLoopbackPort();
  Deployment d("head hq host=127.0.0.1 listen=127.0.0.1" + Ports("port", e2e::FreeLoopbackPort()) +
               Ports("leaf-port", leafPort) + "\n" +
               "site paris host=127.0.0.1 listen=127.0.0.1" + Ports("port", e2e::FreeLoopbackPort()) + "\n");
  // The site reaches the head office through the proxy, which plays the network.
  {
    const std::string config = messaging::enrolment::ConfigFile(d.Dir("paris"));
    std::string text = e2e::ReadFile(config);
    const std::string from = ":" + std::to_string(leafPort) + "\"";
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at))
      text.replace(at, from.size(), ":" + std::to_string(proxyPort) + "\"");
    e2e::WriteFile(config, text);
    // The head office names its own leaf address to the sites that connect; through the proxy too.
    const std::string head = messaging::enrolment::ConfigFile(d.Dir("hq"));
    text = e2e::ReadFile(head);
    const std::string port = "  port: " + std::to_string(leafPort) + "\n";
    text.replace(text.find(port), port.size(), port + "  advertise: \"127.0.0.1:" + std::to_string(proxyPort) + "\"\n");
    e2e::WriteFile(head, text);
  }
  const std::vector<std::string> agents = {"PC1.Agent", "PC2.Agent"};
  const std::string leaving = "PC3.Agent";  // goes while the link is down
  messaging::enrolment::Enrol(d.Dir("hq"), {SERVICE});
  messaging::enrolment::Enrol(d.Dir("paris"), {agents[0], agents[1], leaving});
  scale_test::LinkProxy link(proxyPort, leafPort);
  d.Start("hq");
  d.Start("paris");
  ASSERT_TRUE(WaitUntil([&] { return link.Accepted() >= 2; }, 20s)) << d.Log("paris");
  d.StartRelay("hq");
  ASSERT_TRUE(WaitUntil([&] { return d.RelayLog().find("site paris: its outbox is ready") != std::string::npos; }, 30s))
    << d.RelayLog();

  Party service(SERVICE, d.Dir("hq"));
  ASSERT_TRUE(service.WaitConnected());
  std::vector<std::unique_ptr<Party>> parties;
  for (const auto& a : agents) {
    parties.push_back(std::make_unique<Party>(a, d.Dir("paris")));
    ASSERT_TRUE(parties.back()->WaitConnected()) << a << " did not log on through its site: " << d.RelayLog();
  }

  auto leaver = std::make_unique<Party>(leaving, d.Dir("paris"));
  ASSERT_TRUE(leaver->WaitConnected());

  // Both ways with the link up.
  for (auto& p : parties) {
    EXPECT_TRUE(p->Send(SERVICE, 1, 20).empty());
    EXPECT_TRUE(service.Send(p->address, 1, 20).empty());
  }
  for (auto& p : parties) {
    ASSERT_TRUE(WaitUntil([&] { return service.From(p->address).size() >= 20 && p->From(SERVICE).size() >= 20; }, 30s))
      << p->address << ": service has " << service.From(p->address).size() << ", agent has " << p->From(SERVICE).size();
  }
  std::this_thread::sleep_for(1500ms);  // the agents' confirmations reach the relay

  // The link goes down: the site keeps its agents' letters, the head office the service's.
  link.Cut();
  std::this_thread::sleep_for(1s);
  leaver.reset();  // its logoff cannot reach the relay
  for (auto& p : parties) {
    EXPECT_TRUE(p->Send(SERVICE, 21, 60).empty()) << "the site refused letters while its link was down";
    EXPECT_TRUE(service.Send(p->address, 21, 60).empty());
  }
  // CORVEX_SITE_CUT_SECONDS keeps the link down longer (a trial by hand; the test's own is short).
  const char* longer = std::getenv("CORVEX_SITE_CUT_SECONDS");
  std::this_thread::sleep_for(std::chrono::seconds(std::max(3, longer ? std::atoi(longer) : 0)));
  for (auto& p : parties) {
    EXPECT_EQ(service.From(p->address).size(), 20u) << "letters crossed a cut link";
    EXPECT_EQ(p->From(SERVICE).size(), 20u) << "letters crossed a cut link";
  }

  // Back up: both sides' letters flow, each once, in order.
  link.Restore();
  const auto restored = std::chrono::steady_clock::now();
  for (auto& p : parties) {
    EXPECT_TRUE(WaitUntil([&] { return service.From(p->address).size() >= 60 && p->From(SERVICE).size() >= 60; }, 60s))
      << p->address << ": service has " << service.From(p->address).size() << ", agent has " << p->From(SERVICE).size()
      << "\n" << d.RelayLog();
  }
  std::printf("every letter arrived %lld ms after the link came back\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - restored).count()));
  std::this_thread::sleep_for(2s);  // time for a duplicate to show
  for (auto& p : parties) {
    EXPECT_EQ(service.From(p->address), Sequence(1, 60)) << p->address << " to the service";
    EXPECT_EQ(p->From(SERVICE), Sequence(1, 60)) << "the service to " << p->address;
  }
  // The relay learns of the agent that went while it could not see the site.
  EXPECT_TRUE(WaitUntil([&] { return d.RelayLog().find(leaving + " logged off") != std::string::npos; }, 30s))
    << d.RelayLog();
  EXPECT_EQ(d.RelayLog().find(agents[0] + " logged off"), std::string::npos) << d.RelayLog();
}

// ---- a head office of three nodes, one killed while agents send ----

// The stream's replicas as the cluster reports them: "leader" and each follower current with no
// lag; empty when it cannot be asked.
struct StreamCopies
{
  std::string leader;
  int current = 0;
  int followers = 0;
};

StreamCopies CopiesOf(const std::string& dir, const char* stream)
{
  StreamCopies copies;
  const auto location = messaging::ReadServerLocation(dir);
  messaging::NKeyIdentity identity(messaging::SeedFileOf(dir, "corvex-relay"));
  auto options = messaging::ClientOptions(location, identity, "scale-test-observer", 1);
  natsOptions_SetAllowReconnect(options.get(), false);
  natsConnection* raw = nullptr;
  if (natsConnection_Connect(&raw, options.get()) != NATS_OK)
    return copies;
  messaging::NatsPtr<natsConnection> nc(raw);
  jsCtx* js = nullptr;
  if (natsConnection_JetStream(&js, nc.get(), nullptr) != NATS_OK)
    return copies;
  messaging::NatsPtr<jsCtx> owned(js);
  jsStreamInfo* info = nullptr;
  jsErrCode error = static_cast<jsErrCode>(0);
  if (js_GetStreamInfo(&info, js, stream, nullptr, &error) == NATS_OK && info->Cluster) {
    copies.leader = info->Cluster->Leader ? info->Cluster->Leader : "";
    copies.followers = info->Cluster->ReplicasLen;
    for (int i = 0; i < info->Cluster->ReplicasLen; ++i)
      if (info->Cluster->Replicas[i]->Current && info->Cluster->Replicas[i]->Lag == 0)
        ++copies.current;
  }
  jsStreamInfo_Destroy(info);
  natsConnection_Close(nc.get());
  return copies;
}

// Sends 1..count to `to` one after another, trying a refused letter again (as an agent's
// application does) until it is accepted, for a minute at most; records the longest wait for an
// acceptance (a figure, not a limit: the machine is shared).
struct Sender
{
  Party& from;
  std::string to;
  CORBA::Long count;
  std::set<CORBA::Long> retried;
  std::chrono::milliseconds longestGap{0};
  bool gaveUp = false;
  std::thread thread;

  // A test that ends early still waits for its senders (a minute at most).
  ~Sender()
  {
    if (thread.joinable())
      thread.join();
  }

  void Start()
  {
    thread = std::thread([this] {
      auto last = std::chrono::steady_clock::now();
      for (CORBA::Long n = 1; n <= count; ++n) {
        while (from.c->Send(Numbered(to, n)) == 0) {
          retried.insert(n);
          if (std::chrono::steady_clock::now() - last > 60s) {
            gaveUp = true;
            return;
          }
          std::this_thread::sleep_for(100ms);
        }
        const auto now = std::chrono::steady_clock::now();
        longestGap = std::max(longestGap, std::chrono::duration_cast<std::chrono::milliseconds>(now - last));
        last = now;
        std::this_thread::sleep_for(40ms);
      }
    });
  }
};

// Every number once in order; a number sent again after a refusal may come twice (the first
// try was kept after all), and only such a one.
void ExpectEachOnceInOrder(const std::vector<CORBA::Long>& got, const Sender& sender, const std::string& what)
{
  std::vector<CORBA::Long> firsts;
  std::set<CORBA::Long> seen;
  for (const CORBA::Long n : got) {
    if (seen.insert(n).second)
      firsts.push_back(n);
    else
      EXPECT_TRUE(sender.retried.count(n)) << what << ": " << n << " came twice and was sent once";
  }
  EXPECT_EQ(firsts, Sequence(1, sender.count)) << what;
}

TEST(HeadCluster, KillingAnyNodeLosesNothingAcceptedAndTheNodeCatchesUp)
{
  if (!e2e::MessagingLocation::ServerInstalled())
    GTEST_SKIP() << "nats-server is not installed";
  std::string description;
  for (const char* name : {"hq1", "hq2", "hq3"})
    description += std::string("head ") + name + " host=127.0.0.1 listen=127.0.0.1" +
                   Ports("port", e2e::FreeLoopbackPort()) + Ports("cluster-port", e2e::FreeLoopbackPort()) + "\n";
  Deployment d(description);
  const std::vector<std::string> agents = {"PC1.Agent", "PC2.Agent"};
  std::vector<std::string> clients = agents;
  clients.push_back(SERVICE);
  messaging::enrolment::Enrol(d.Dir("hq1"), clients);
  for (const char* node : {"hq2", "hq3"})
    corvexnats::ShareClients(d.Dir("hq1"), d.Dir(node));
  for (const char* node : {"hq1", "hq2", "hq3"})
    d.Start(node);
  ASSERT_TRUE(WaitUntil([&] { return d.Log("hq1").find("metadata leader") != std::string::npos; }, 30s)) << d.Log("hq1");
  d.StartRelay("hq1");
  ASSERT_EQ(CopiesOf(d.Dir("hq1"), "CVX_INBOX").followers, 2) << "the service's stream is not kept three times";
  ASSERT_EQ(CopiesOf(d.Dir("hq1"), "CVX_LETTERS").followers, 2) << "the agents' stream is not kept three times";

  Party service(SERVICE, d.Dir("hq1"));
  ASSERT_TRUE(service.WaitConnected());
  std::vector<std::unique_ptr<Party>> parties;
  for (const auto& a : agents) {
    parties.push_back(std::make_unique<Party>(a, d.Dir("hq2")));
    ASSERT_TRUE(parties.back()->WaitConnected()) << d.RelayLog();
  }
  const CORBA::Long count = 250;  // ten seconds of sending each
  std::vector<std::unique_ptr<Sender>> senders;
  for (auto& p : parties) {
    senders.push_back(std::unique_ptr<Sender>(new Sender{*p, SERVICE, count, {}, {}, false, {}}));
    senders.push_back(std::unique_ptr<Sender>(new Sender{service, p->address, count, {}, {}, false, {}}));
  }
  for (auto& s : senders)
    s->Start();

  // The node leading the service's stream goes, which is the hardest case; it comes back later.
  std::this_thread::sleep_for(3s);
  const std::string leader = CopiesOf(d.Dir("hq1"), "CVX_INBOX").leader;
  ASSERT_FALSE(leader.empty());
  d.Kill(leader);
  std::this_thread::sleep_for(4s);
  d.Start(leader);
  for (auto& s : senders)
    s->thread.join();
  for (auto& s : senders)
    ASSERT_FALSE(s->gaveUp) << s->from.address << " to " << s->to << ": the road did not come back within a minute\n"
                            << d.RelayLog();

  for (auto& p : parties) {
    EXPECT_TRUE(WaitUntil([&] { return service.From(p->address).size() >= count && p->From(SERVICE).size() >= count; },
                          60s))
      << p->address << ": service has " << service.From(p->address).size() << ", agent has "
      << p->From(SERVICE).size() << "\n" << d.RelayLog();
  }
  std::this_thread::sleep_for(2s);
  for (std::size_t i = 0; i < parties.size(); ++i) {
    ExpectEachOnceInOrder(service.From(parties[i]->address), *senders[2 * i], parties[i]->address + " to the service");
    ExpectEachOnceInOrder(parties[i]->From(SERVICE), *senders[2 * i + 1], "the service to " + parties[i]->address);
  }
  for (const auto& s : senders) {
    std::printf("%s to %s: longest wait for an acceptance %lld ms, %zu letter(s) sent again\n", s->from.address.c_str(),
                s->to.c_str(), static_cast<long long>(s->longestGap.count()), s->retried.size());
  }
  // The node that came back holds every letter again.
  for (const char* stream : {"CVX_INBOX", "CVX_LETTERS"})
    EXPECT_TRUE(WaitUntil([&] { return CopiesOf(d.Dir("hq1"), stream).current == 2; }, 30s))
      << stream << " has not caught up on " << leader;
}

}  // namespace
