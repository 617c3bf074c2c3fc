// The messaging door's limits against an enrolled agent that floods: nats-server and the relay
// run as processes of the test's own location, the relay with small limits, and an agent's own
// credential is used through raw libnats as a hostile agent would. Each limit is gone past and
// must end in a refusal that is logged once per sender, while the relay carries on.
#include <gtest/gtest.h>

#include <csignal>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nats/nats.h>

#include "messaging/ClientLibrary.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/NKeys.h"
#include "messaging/NatsLink.h"
#include "platform/registry/Registry.h"
#include "tests/e2e/support/MessagingLetters.h"
#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tests/messaging/TestSupport.h"

namespace {

using namespace messaging_test;
using namespace ZiriviridUrurezArevudUza;
using namespace std::chrono_literals;
using e2e::Numbered;
using e2e::WaitUntil;

const char* const SERVICE = "PTLManagementService";
const char* const NUMBERED = e2e::kNumberedType;
constexpr int kRate = 20;
constexpr int kWaiting = 30;
constexpr int kMaxTtl = 3;

const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new e2e::OrbEnvironment("messaging_limits_tests"));

std::size_t Occurrences(const std::string& text, const std::string& part)
{
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// The lines of a log that hold a text.
std::string Lines(const std::string& log, const std::string& part)
{
  std::string lines;
  std::size_t start = 0;
  for (std::size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
    if (log.compare(start, end - start, part) != 0 && log.substr(start, end - start).find(part) != std::string::npos)
      lines += log.substr(start, end - start + 1);
  return lines;
}

std::vector<CORBA::Long> Numbers(TestReceiver& in)
{
  std::vector<CORBA::Long> numbers;
  for (const auto& e : in.Envelopes()) {
    CORBA::Long n = -1;
    if (std::string(e.client_info.type.in()) == NUMBERED && (e.client_info.custom_data >>= n))
      numbers.push_back(n);
  }
  return numbers;
}

class MessagingLimits : public ::testing::Test
{
protected:
  static void SetUpTestSuite()
  {
    s_folder = new e2e::ScratchDir("corvex-msg-limits");
    try {
      s_location = new e2e::MessagingLocation(
        s_folder->Path(),
        {"FLOOD1.Agent", "FLOOD2.Agent", "DEST1.Agent", "DEST2.Agent", "LONG1.Agent", "EVIL1.Agent", "DEST3.Agent"},
        /*startRelay=*/false);
      s_relay = new e2e::ChildProcess(
        e2e::MessagingLocation::RelayProgram(),
        {"--messaging", s_location->Directory(), "--log-level", "3", "--sender-rate", std::to_string(kRate),
         "--max-waiting", std::to_string(kWaiting), "--max-ttl", std::to_string(kMaxTtl)},
        e2e::CurrentEnvironment(), s_folder->Path() + "/relay.log");
      if (!s_relay->WaitForOutput("active on", 20s))
        throw std::runtime_error("the relay did not start: " + s_relay->Output());
    } catch (const std::exception& e) {
      s_error = e.what();
    }
  }
  static void TearDownTestSuite()
  {
    if (s_relay) {
      s_relay->Signal(SIGKILL);
      s_relay->Wait(10s);
    }
    delete s_relay;
    s_relay = nullptr;
    delete s_location;
    s_location = nullptr;
    delete s_folder;
    s_folder = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_relay && s_relay->Running()) << s_error; }
  void TearDown() override
  {
    for (auto& [receiver, connection] : m_connections)
      connection->Release();
    m_connections.clear();
    EXPECT_TRUE(s_relay->Running()) << Log();
  }

  static std::string Log() { return s_relay ? s_relay->Output() : std::string(); }

  // A library connection that has logged on; it lives until the test ends.
  std::pair<TestReceiver*, IConnection*> Connect(const std::string& address)
  {
    auto receiver = std::make_unique<TestReceiver>();
    IConnection* c = IClientLibrary::Instance()->ConnectAs(receiver.get(), address, s_location->Directory());
    c->Configure(0, 1);
    EXPECT_TRUE(receiver->WaitNotices(1, 20s)) << address << " did not log on\n" << Log();
    m_receivers.push_back(std::move(receiver));
    m_connections.emplace_back(m_receivers.back().get(), c);
    return m_connections.back();
  }
  void Release(IConnection* c)
  {
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it)
      if (it->second == c) {
        c->Release();
        m_connections.erase(it);
        return;
      }
  }
  // Logged on once and off again: the relay keeps letters for it from then on.
  void MakeKnown(const std::string& address) { Release(Connect(address).second); }

  // The agent's own credential in raw libnats: it publishes what it likes straight onto the
  // subjects the server lets it, as fast as it can.
  class RawAgent
  {
  public:
    explicit RawAgent(const std::string& address)
      : m_identity(messaging::SeedFileOf(s_location->Directory(), address))
    {
      const auto location = messaging::ReadServerLocation(s_location->Directory());
      auto options = messaging::ClientOptions(location, m_identity, address, 1);
      natsOptions_SetAllowReconnect(options.get(), false);
      natsConnection* raw = nullptr;
      status = natsConnection_Connect(&raw, options.get());
      m_nc.reset(raw);
    }
    ~RawAgent()
    {
      if (m_nc)
        natsConnection_Close(m_nc.get());
    }
    natsStatus Publish(const std::string& subject, const std::vector<std::uint8_t>& bytes, const char* command = nullptr)
    {
      natsMsg* msg = nullptr;
      natsStatus s = natsMsg_Create(&msg, subject.c_str(), nullptr, reinterpret_cast<const char*>(bytes.data()),
                                    static_cast<int>(bytes.size()));
      if (s != NATS_OK)
        return s;
      messaging::NatsPtr<natsMsg> owned(msg);
      natsMsgHeader_Set(msg, messaging::wire::kTtl, "600");
      if (command)
        natsMsgHeader_Set(msg, messaging::wire::kCommand, command);
      return natsConnection_PublishMsg(m_nc.get(), msg);
    }
    void Flush() { natsConnection_Flush(m_nc.get()); }

    natsStatus status = NATS_ERR;

  private:
    messaging::NKeyIdentity m_identity;
    messaging::NatsPtr<natsConnection> m_nc;
  };

  void Flood(const std::string& from, const std::string& to, int count)
  {
    RawAgent agent(from);
    ASSERT_EQ(agent.status, NATS_OK);
    const std::string subject = messaging::wire::LetterSubject(to, from);
    for (CORBA::Long n = 1; n <= count; ++n)
      ASSERT_EQ(agent.Publish(subject, messaging::EncodeMessage(Numbered(to, n))), NATS_OK);
    agent.Flush();
  }

  std::vector<std::unique_ptr<TestReceiver>> m_receivers;
  std::vector<std::pair<TestReceiver*, IConnection*>> m_connections;

  static e2e::ScratchDir* s_folder;
  static e2e::MessagingLocation* s_location;
  static e2e::ChildProcess* s_relay;
  static std::string s_error;
};

e2e::ScratchDir* MessagingLimits::s_folder = nullptr;
e2e::MessagingLocation* MessagingLimits::s_location = nullptr;
e2e::ChildProcess* MessagingLimits::s_relay = nullptr;
std::string MessagingLimits::s_error;

TEST_F(MessagingLimits, AnAgentsLettersPastItsRateAreRefusedAndLoggedOnce)
{
  MakeKnown("DEST1.Agent");
  // 400 letters sent as fast as one connection can: a second or two of acceptance at most, so
  // at most a few seconds' worth get through.
  const auto start = std::chrono::steady_clock::now();
  Flood("FLOOD1.Agent", "DEST1.Agent", 400);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(WaitUntil([] { return Log().find("past 20 a second refused") != std::string::npos; })) << Log();
  // Every letter has been read by the relay once the last one is.
  ASSERT_TRUE(WaitUntil([] { return Occurrences(Log(), "from FLOOD1.Agent to DEST1.Agent") >= 400; })) << Log().substr(0, 4000);

  auto [in, c] = Connect("DEST1.Agent");
  const std::size_t allowed = static_cast<std::size_t>(kRate) * static_cast<std::size_t>(seconds + 2);
  ASSERT_TRUE(WaitUntil([&] { return Numbers(*in).size() >= static_cast<std::size_t>(kRate); })) << Log().substr(0, 4000);
  std::this_thread::sleep_for(1s);  // anything more that was kept arrives meanwhile
  const auto got = Numbers(*in);
  EXPECT_LE(got.size(), allowed);
  // What passed is the first of each second, in order, starting with the first letter.
  EXPECT_EQ(got.front(), 1);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_EQ(Occurrences(Log(), "letters from FLOOD1.Agent past 20 a second refused"), 1u);
}

TEST_F(MessagingLimits, LettersPastWhatOneDestinationMayHaveWaitingAreRefused)
{
  MakeKnown("DEST2.Agent");
  auto [serviceIn, service] = Connect(SERVICE);
  // The service has no rate; the destination's waiting letters are what stops it.
  for (CORBA::Long n = 1; n <= 3 * kWaiting; ++n)
    ASSERT_GT(service->Send(Numbered("DEST2.Agent", n)), 0);
  ASSERT_TRUE(WaitUntil([] { return Occurrences(Log(), "to DEST2.Agent refused (waiting)") >= 2u * kWaiting; }))
    << Log().substr(0, 4000);
  EXPECT_EQ(Occurrences(Log(), "letters from PTLManagementService refused: their destination already has 30 waiting"), 1u);

  auto [in, c] = Connect("DEST2.Agent");
  ASSERT_TRUE(WaitUntil([&] { return Numbers(*in).size() >= static_cast<std::size_t>(kWaiting); })) << Log().substr(0, 4000);
  std::this_thread::sleep_for(1s);
  std::vector<CORBA::Long> first;
  for (CORBA::Long n = 1; n <= kWaiting; ++n)
    first.push_back(n);
  EXPECT_EQ(Numbers(*in), first);

  // Once taken, there is room again.
  ASSERT_GT(service->Send(Numbered("DEST2.Agent", 1000)), 0);
  EXPECT_TRUE(WaitUntil([&] { return Numbers(*in).size() == static_cast<std::size_t>(kWaiting) + 1; })) << Log().substr(0, 4000);
}

TEST_F(MessagingLimits, ATimeToLivePastTheLargestIsCutToIt)
{
  MakeKnown("LONG1.Agent");
  auto [in, service] = Connect(SERVICE);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_GT(service->Send(Numbered("LONG1.Agent", 1, 86400)), 0);
  // A day's time to live, cut to three seconds: it comes back as timed out in seconds.
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& e : in->Envelopes())
      if (std::string(e.client_info.type.in()) == "MS-DeliveryFailed-Timeout")
        return true;
    return false;
  }, 30s)) << Log().substr(0, 4000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  EXPECT_EQ(Occurrences(Log(), "letters from PTLManagementService: times to live cut to 3 seconds"), 1u);
}

TEST_F(MessagingLimits, ALetterLargerThanTheServersPayloadLimitIsNotAccepted)
{
  auto [in, service] = Connect(SERVICE);
  MakeKnown("FLOOD2.Agent");
  // Past the server's max_payload: refused at the server, Send says 0, nothing is kept.
  CORBA::OctetSeq big;
  big.length(9 * 1024 * 1024);
  auto letter = MakeMessage("FLOOD2.Agent", NUMBERED, 60);
  letter.custom_data <<= big;
  EXPECT_EQ(service->Send(letter), 0);
  // The connection carries on.
  EXPECT_GT(service->Send(Numbered("FLOOD2.Agent", 1)), 0);
}

// Every input of the payload regression corpus, sent by an enrolled agent to the service, to
// another agent, to an address that never logged on (the relay returns it, reading it) and to
// the relay itself: each reader refuses it, says so once for the sender, and carries on.
TEST_F(MessagingLimits, TheHostilePayloadCorpusSentByAnAgentIsRefusedByEveryReader)
{
  MakeKnown("DEST3.Agent");
  auto [serviceIn, service] = Connect(SERVICE);
  auto [agentIn, agent] = Connect("DEST3.Agent");
  RawAgent evil("EVIL1.Agent");
  ASSERT_EQ(evil.status, NATS_OK);
  std::size_t sent = 0;
  for (const auto& entry : std::filesystem::directory_iterator(CORVEX_PAYLOAD_CORPUS)) {
    if (entry.path().extension() == ".gz")
      continue;  // the deep ones, replayed by the unit tests
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(evil.Publish(messaging::wire::LetterSubject(SERVICE, "EVIL1.Agent"), bytes), NATS_OK);
    ASSERT_EQ(evil.Publish(messaging::wire::LetterSubject("DEST3.Agent", "EVIL1.Agent"), bytes), NATS_OK);
    ASSERT_EQ(evil.Publish(messaging::wire::LetterSubject("NEVER3.Agent", "EVIL1.Agent"), bytes), NATS_OK);
    ASSERT_EQ(evil.Publish(messaging::wire::RelaySubject("EVIL1.Agent"), bytes, messaging::wire::kSend), NATS_OK);
    ++sent;
    if (sent % 10 == 0) {  // within the agents' rate, so that the relay reads them all
      evil.Flush();
      std::this_thread::sleep_for(1s);
    }
  }
  evil.Flush();
  ASSERT_GE(sent, 100u);
  ASSERT_TRUE(WaitUntil([] { return Log().find("a letter from EVIL1.Agent cannot be read") != std::string::npos; }))
    << Log().substr(0, 4000);

  // A good letter after all of them still arrives at both, and nothing before it did.
  ASSERT_EQ(evil.Publish(messaging::wire::LetterSubject(SERVICE, "EVIL1.Agent"), messaging::EncodeMessage(Numbered(SERVICE, 7))), NATS_OK);
  ASSERT_EQ(evil.Publish(messaging::wire::LetterSubject("DEST3.Agent", "EVIL1.Agent"),
                         messaging::EncodeMessage(Numbered("DEST3.Agent", 8))),
            NATS_OK);
  evil.Flush();
  ASSERT_TRUE(WaitUntil([&] { return Numbers(*serviceIn).size() == 1 && Numbers(*agentIn).size() == 1; })) << Log().substr(0, 4000);
  EXPECT_EQ(Numbers(*serviceIn), std::vector<CORBA::Long>{7});
  EXPECT_EQ(Numbers(*agentIn), std::vector<CORBA::Long>{8});
  // (The service's address is shared with the other tests: their notices may reach it too.)
  auto fromEvil = [](TestReceiver& in) {
    std::size_t n = 0;
    for (const auto& e : in.Envelopes())
      n += std::string(e.originator.in()) == "EVIL1.Agent";
    return n;
  };
  EXPECT_EQ(fromEvil(*serviceIn), 1u);
  EXPECT_EQ(fromEvil(*agentIn), 1u);
  // Told once, however many came.
  EXPECT_EQ(Occurrences(Log(), "a letter from EVIL1.Agent cannot be read"), 1u) << Lines(Log(), "cannot be read");
}

// Letters from agents to a service go straight into its stream, which the relay does not read:
// the service's own library takes at most so many from one agent in a second of acceptance
// (MaxLettersPerSenderSecond under its key) and refuses the rest unread, confirmed for good.
TEST_F(MessagingLimits, TheServicesLibraryRefusesAnAgentsLettersPastItsRate)
{
  const std::string keyPath = "SOFTWARE\\Corvex\\Limits Test\\Private";
  ::setenv("CORVEX_REGISTRY", (s_folder->Path() + "/registry.reg").c_str(), 1);
  {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, std::wstring(keyPath.begin(), keyPath.end()).c_str()), ERROR_SUCCESS);
    const std::string dir = s_location->Directory();
    key.SetStringValue(L"Address", L"PTLManagementService");
    key.SetStringValue(L"Messaging", std::wstring(dir.begin(), dir.end()).c_str());
    key.SetDWORDValue(L"MaxLettersPerSenderSecond", kRate);
  }
  IClientLibrary::Instance()->InitialiseClientLibraryLocal("KT", keyPath.c_str(), "PTLManagementService.reg", 0, "", 0, 0);
  TestReceiver in;
  IConnection* service = IClientLibrary::Instance()->Connect(&in);
  service->Configure(0, 1);
  ASSERT_TRUE(in.WaitNotices(1, 20s)) << Log();

  const auto start = std::chrono::steady_clock::now();
  Flood("FLOOD2.Agent", SERVICE, 300);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  auto fromFlood = [](TestReceiver& r) {
    std::vector<CORBA::Long> numbers;
    for (const auto& e : r.Envelopes()) {
      CORBA::Long n = -1;
      if (std::string(e.originator.in()) == "FLOOD2.Agent" && (e.client_info.custom_data >>= n))
        numbers.push_back(n);
    }
    return numbers;
  };
  ASSERT_TRUE(WaitUntil([&] { return fromFlood(in).size() >= static_cast<std::size_t>(kRate); }));
  std::this_thread::sleep_for(2s);
  const auto got = fromFlood(in);
  EXPECT_LE(got.size(), static_cast<std::size_t>(kRate) * static_cast<std::size_t>(seconds + 2));
  EXPECT_EQ(got.front(), 1);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  service->Release();

  // What was refused was confirmed: it does not come again to the next session.
  auto [again, next] = Connect(SERVICE);
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(fromFlood(*again).empty());
}

}  // namespace
