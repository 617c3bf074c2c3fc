// The messaging system end to end: nats-server and corvex-relay run as processes of the test's
// own messaging location; this process talks through the client library as the service and the
// agents do; the agent simulator is a process to kill or freeze; and raw libnats plays an
// enrolled agent that tries what the library never would.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <nats/nats.h>

#include "dexhandler/DexConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "idl/DEX_PTLMessages.hh"
#include "messaging/ClientLibrary.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/EnvelopeSeal.h"
#include "messaging/NKeys.h"
#include "messaging/NatsLink.h"
#include "messaging/SubjectToken.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"
#include "tests/e2e/support/MessagingLetters.h"
#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tests/messaging/TestSupport.h"

namespace {

using namespace messaging_test;
using namespace ZiriviridUrurezArevudUza;
using namespace std::chrono_literals;
using e2e::ChildProcess;
using e2e::MessagingLocation;
using std::chrono::seconds;
using e2e::Sequence;
using e2e::WaitUntil;

const char* const SERVICE = "PTLManagementService";
const char* const RELAY = "corvex-relay";  // the relay's default name
const char* const NUMBERED = e2e::kNumberedType;

// As in the service, another part of the process has set the ORB up first.
const auto* const g_orb =
  ::testing::AddGlobalTestEnvironment(new e2e::OrbEnvironment("messaging_e2e_tests", /*foreignOrbFirst=*/true));

IClientLibrary* Library() { return IClientLibrary::Instance(); }

// These tests' letters live a minute unless told otherwise.
CorvexMessaging::Message Numbered(const std::string& destination, CORBA::Long n, long ttl = 60)
{
  return e2e::Numbered(destination, n, ttl);
}

CORBA::Long NumberOf(const CorvexMessaging::Envelope& e)
{
  CORBA::Long n = -1;
  e.client_info.custom_data >>= n;
  return n;
}

// A connection of this process with the receiver it delivers to; both live as long as the test.
struct Client
{
  std::string address;
  TestReceiver in;
  IConnection* c = nullptr;

  // The numbers of the numbered envelopes received so far (from one originator, when given).
  std::vector<CORBA::Long> Numbers(const std::string& from = "")
  {
    std::vector<CORBA::Long> numbers;
    for (const auto& e : in.Envelopes())
      if (std::string(e.client_info.type.in()) == NUMBERED && (from.empty() || from == e.originator.in()))
        numbers.push_back(NumberOf(e));
    return numbers;
  }
  bool WaitNumbers(std::size_t count, const std::string& from = "", std::chrono::milliseconds timeout = 20s)
  {
    return WaitUntil([&] { return Numbers(from).size() >= count; }, timeout);
  }
  // The first envelope of a type at or after index `from`, which moves past it; none in time: empty.
  std::optional<CorvexMessaging::Envelope> Next(const std::string& type, std::size_t& from, seconds timeout = 20s)
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto got = in.Envelopes();
      for (; from < got.size(); ++from)
        if (type == got[from].client_info.type.in())
          return got[from++];
      if (std::chrono::steady_clock::now() >= deadline)
        return std::nullopt;
      in.WaitEnvelopes(got.size() + 1, seconds(1));
    }
  }
  std::optional<CorvexMessaging::Envelope> Next(const std::string& type, seconds timeout = 20s)
  {
    std::size_t from = 0;
    return Next(type, from, timeout);
  }
};

std::vector<std::string> Texts(const CorvexMessaging::String_seq& seq)
{
  std::vector<std::string> v;
  for (CORBA::ULong i = 0; i < seq.length(); ++i)
    v.emplace_back(seq[i].in());
  return v;
}

bool Has(const std::vector<std::string>& v, const std::string& s)
{
  return std::find(v.begin(), v.end(), s) != v.end();
}

// What the server told a raw connection asynchronously (permission violations).
class Errors
{
public:
  static void Handler(natsConnection* nc, natsSubscription*, natsStatus status, void* closure)
  {
    auto* self = static_cast<Errors*>(closure);
    const char* text = nullptr;
    natsConnection_GetLastError(nc, &text);
    std::lock_guard lock(self->m_mutex);
    self->m_texts.push_back(std::string(natsStatus_GetText(status)) + ": " + (text ? text : ""));
  }
  bool WaitFor(const std::string& part, std::chrono::milliseconds timeout = 10s)
  {
    return WaitUntil(
      [&] {
        std::lock_guard lock(m_mutex);
        for (const auto& t : m_texts)
          if (t.find(part) != std::string::npos)
            return true;
        return false;
      },
      timeout);
  }
  std::string All()
  {
    std::lock_guard lock(m_mutex);
    std::string all;
    for (const auto& t : m_texts)
      all += t + "\n";
    return all;
  }

private:
  std::mutex m_mutex;
  std::vector<std::string> m_texts;
};

// A connection made with libnats directly: an agent's own credential used as a hostile agent
// could, a stranger's key, or none at all. It never reconnects.
class RawClient
{
public:
  enum class Key { Seed, None };

  RawClient(const std::string& dir, const std::string& address, const std::string& seedFile, Key key = Key::Seed)
  {
    const auto location = messaging::ReadServerLocation(dir);
    messaging::NatsPtr<natsOptions> options;
    if (key == Key::Seed) {
      m_identity = std::make_unique<messaging::NKeyIdentity>(seedFile);
      options = messaging::ClientOptions(location, *m_identity, address, 1);
    } else {
      natsOptions* raw = nullptr;
      natsOptions_Create(&raw);
      options.reset(raw);
      natsOptions_SetURL(raw, location.url.c_str());
      natsOptions_SetSecure(raw, true);
      natsOptions_LoadCATrustedCertificates(raw, location.caFile.c_str());
    }
    natsOptions_SetAllowReconnect(options.get(), false);
    natsOptions_SetTimeout(options.get(), 5000);
    natsOptions_SetErrorHandler(options.get(), &Errors::Handler, &errors);
    natsConnection* nc = nullptr;
    status = natsConnection_Connect(&nc, options.get());
    if (status == NATS_OK)
      m_nc.reset(nc);
    else
      error = messaging::NatsError(status);
  }
  ~RawClient()
  {
    m_subs.clear();
    if (m_nc)
      natsConnection_Close(m_nc.get());
  }

  natsConnection* Nc() const { return m_nc.get(); }

  void Publish(const std::string& subject, const std::vector<std::uint8_t>& bytes, long ttl = 60,
               const char* command = nullptr)
  {
    natsMsg* msg = nullptr;
    ASSERT_EQ(natsMsg_Create(&msg, subject.c_str(), nullptr, reinterpret_cast<const char*>(bytes.data()),
                             static_cast<int>(bytes.size())),
              NATS_OK);
    messaging::NatsPtr<natsMsg> owned(msg);
    natsMsgHeader_Set(msg, messaging::wire::kTtl, std::to_string(ttl).c_str());
    if (command)
      natsMsgHeader_Set(msg, messaging::wire::kCommand, command);
    ASSERT_EQ(natsConnection_PublishMsg(m_nc.get(), msg), NATS_OK);
    natsConnection_Flush(m_nc.get());
  }

  // A request to the relay; its answer, or empty.
  std::string Request(const std::string& subject, const std::vector<std::uint8_t>& bytes, const char* command)
  {
    natsMsg* msg = nullptr;
    natsMsg_Create(&msg, subject.c_str(), nullptr, reinterpret_cast<const char*>(bytes.data()),
                   static_cast<int>(bytes.size()));
    messaging::NatsPtr<natsMsg> owned(msg);
    natsMsgHeader_Set(msg, messaging::wire::kCommand, command);
    natsMsg* reply = nullptr;
    if (natsConnection_RequestMsg(&reply, m_nc.get(), msg, 5000) != NATS_OK)
      return {};
    messaging::NatsPtr<natsMsg> answer(reply);
    return std::string(natsMsg_GetData(reply), static_cast<std::size_t>(natsMsg_GetDataLength(reply)));
  }

  natsSubscription* Subscribe(const std::string& subject)
  {
    natsSubscription* sub = nullptr;
    if (natsConnection_SubscribeSync(&sub, m_nc.get(), subject.c_str()) != NATS_OK)
      return nullptr;
    m_subs.emplace_back(sub);
    natsConnection_Flush(m_nc.get());
    return sub;
  }

  Errors errors;
  natsStatus status = NATS_ERR;
  std::string error;

private:
  std::unique_ptr<messaging::NKeyIdentity> m_identity;
  messaging::NatsPtr<natsConnection> m_nc;
  std::vector<messaging::NatsPtr<natsSubscription>> m_subs;
};

std::string Token(const std::string& address) { return messaging::EscapeToken(address); }

// The common part of both suites: connections that outlive the test body, simulators.
class MessagingTest : public ::testing::Test
{
protected:
  virtual MessagingLocation& Location() = 0;
  virtual const std::string& Folder() = 0;

  void TearDown() override
  {
    for (auto& client : m_clients)
      if (client.c)
        client.c->Release();
  }

  // A connection that logs on in the background.
  Client& Open(const std::string& address, bool explicitConfirmation = false)
  {
    Client& client = m_clients.emplace_back();
    client.address = address;
    client.c = Library()->ConnectAs(&client.in, address, Location().Directory());
    if (explicitConfirmation)
      client.c->ConfirmExplicitly();
    client.c->Configure(0, 1);
    return client;
  }
  // A connection that has logged on.
  Client& Connect(const std::string& address, bool explicitConfirmation = false)
  {
    Client& client = Open(address, explicitConfirmation);
    EXPECT_TRUE(client.in.WaitNotices(1, seconds(20))) << address << " did not log on\n" << Location().RelayLog();
    return client;
  }
  void Release(Client& client)
  {
    client.c->Release();
    client.c = nullptr;
  }
  // Logs an address on once and off again: the relay knows it from then on.
  void MakeKnown(const std::string& address)
  {
    Client& once = Connect(address);
    Release(once);
  }

  std::unique_ptr<ChildProcess> StartAgents(const std::vector<std::string>& extra, int count)
  {
    std::vector<std::string> args = {"--messaging", Location().Directory(), "--heartbeat", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto agents = std::make_unique<ChildProcess>(
      CORVEX_AGENT_SIM_BIN, args, e2e::CurrentEnvironment(),
      Folder() + "/agents-" + std::to_string(++m_simulators) + ".out", e2e::ChildInput::Pipe);
    EXPECT_TRUE(agents->WaitForOutput(".Agent connected", seconds(20), count)) << agents->Output();
    return agents;
  }

  // The relay's answer to GetStatus, asked by a connected client.
  std::optional<CorvexMessaging::Status> RelayStatus(Client& asker, const std::string& prefix = "Tz")
  {
    std::size_t from = asker.in.Envelopes().size();
    if (asker.c->Send(MakeMessage(":", prefix + "-GetStatus", 0)) <= 0)
      return std::nullopt;
    auto reply = asker.Next(prefix + "-GetStatus-Reply", from);
    if (!reply)
      return std::nullopt;
    const CorvexMessaging::Status* status = nullptr;
    if (!(reply->client_info.custom_data >>= status))
      return std::nullopt;
    return *status;
  }

  std::list<Client> m_clients;
  static inline int m_simulators = 0;  // output files of every test in the folder stay apart
};

// Rules that do not disturb each other share one location: each test uses addresses of its own.
class MessagingRules : public MessagingTest
{
protected:
  static void SetUpTestSuite()
  {
    s_folder = new e2e::ScratchDir("corvex-msg-e2e");
    try {
      s_location = new MessagingLocation(
        s_folder->Path(),
        {"LOGON1.Agent", "MAIL1.Agent",  "MAIL2.Agent",  "AWAY1.Agent",  "AWAY2.Agent",    "AWAY3.Agent",
         "Archive",      "SEEN1.Agent",  "WATCH1.Console", "Quiet",      "SIM1.Agent",     "SIM2.Agent",
         "CONF1.Agent",  "CONF2.Agent",  "CONF3.Agent",  "ConfirmSvc",   "BURST1.Agent",   "BURST2.Agent",
         "EVIL1.Agent",  "VICTIM1.Agent", "GONE1.Agent", "PC1.Agent",    "PC2.Agent",      "PC5.Agent"});
    } catch (const std::exception& e) {
      s_error = e.what();
    }
  }
  static void TearDownTestSuite()
  {
    delete s_location;
    s_location = nullptr;
    delete s_folder;
    s_folder = nullptr;
  }
  void SetUp() override
  {
    ASSERT_NE(s_location, nullptr) << s_error;
    ASSERT_TRUE(s_location->RelayRunning()) << s_location->RelayLog();
  }
  void TearDown() override
  {
    MessagingTest::TearDown();
    // Whatever a test sent, the relay lives through it.
    EXPECT_TRUE(s_location->RelayRunning()) << s_location->RelayLog();
  }
  MessagingLocation& Location() override { return *s_location; }
  const std::string& Folder() override { return s_folder->Path(); }

  static e2e::ScratchDir* s_folder;
  static MessagingLocation* s_location;
  static std::string s_error;
};

e2e::ScratchDir* MessagingRules::s_folder = nullptr;
MessagingLocation* MessagingRules::s_location = nullptr;
std::string MessagingRules::s_error;

TEST_F(MessagingRules, ALogonIsAnnouncedAndASecondLogonOfALiveAddressIsRefused)
{
  Client& first = Connect("LOGON1.Agent");
  EXPECT_EQ(first.in.Notices(), std::vector<bool>{true});
  EXPECT_TRUE(first.c->IsConnected());
  EXPECT_EQ(first.c->Address(), "LOGON1.Agent");

  // The same address again while the first connection lives: refused, and it is told nothing.
  Client& second = Open("LOGON1.Agent");
  ASSERT_TRUE(WaitUntil([&] {
    return Location().RelayLog().find("LOGON1.Agent is already logged on; a second logon refused") != std::string::npos;
  })) << Location().RelayLog();
  EXPECT_FALSE(second.c->IsConnected());
  EXPECT_TRUE(second.in.Notices().empty());

  // Letters go to the first only.
  Client& service = Connect(SERVICE);
  ASSERT_GT(service.c->Send(Numbered("LOGON1.Agent", 1)), 0);
  ASSERT_TRUE(first.WaitNumbers(1)) << Location().RelayLog();
  ASSERT_GT(service.c->Send(Numbered("LOGON1.Agent", 2)), 0);
  ASSERT_TRUE(first.WaitNumbers(2));
  EXPECT_EQ(first.Numbers(), Sequence(1, 2));
  EXPECT_TRUE(second.Numbers().empty()) << "a refused connection was handed letters of the address";

  // Once the first is gone, the second gets in.
  Release(first);
  ASSERT_TRUE(second.in.WaitNotices(1, seconds(20))) << Location().RelayLog();
  EXPECT_EQ(second.in.Notices(), std::vector<bool>{true});
  ASSERT_GT(service.c->Send(Numbered("LOGON1.Agent", 3)), 0);
  EXPECT_TRUE(WaitUntil([&] {
    const auto n = second.Numbers();
    return std::find(n.begin(), n.end(), 3) != n.end();
  })) << Location().RelayLog();
}

TEST_F(MessagingRules, ALetterArrivesAsSentInAnEnvelopeOfTheRelayAndOnlyTheLibrarysOwnCopyIsAuthorised)
{
  Client& service = Connect(SERVICE);
  Client& agent = Connect("MAIL1.Agent");

  DEX_PTLMessages::AppEvent2 content;
  content.entity = CORBA::string_dup("DEX");
  content.event = CORBA::string_dup("<event type='x'/>");
  content.domain = CORBA::wstring_dup(L"BÜRO");
  content.computer_name = CORBA::wstring_dup(L"MAIL1");
  CorvexMessaging::Message sent = MakeMessage("MAIL1.Agent", "Tz-SomeLetter", 77);
  sent.prio = 3;
  sent.delivery_options = CORBA::string_dup("options as sent");
  sent.custom_data <<= content;
  const std::time_t before = std::time(nullptr);
  const CorvexMessaging::MessageId id = service.c->Send(sent);
  const std::time_t after = std::time(nullptr);
  ASSERT_GT(id, 0);

  auto e = agent.Next("Tz-SomeLetter");
  ASSERT_TRUE(e) << Location().RelayLog();
  EXPECT_STREQ(e->originator.in(), SERVICE);
  ASSERT_EQ(e->timestamps.length(), 1u);
  EXPECT_STREQ(e->timestamps[0].name.in(), RELAY);
  EXPECT_GE(e->timestamps[0].utc_time, before - 1);
  EXPECT_LE(e->timestamps[0].utc_time, after + 1);
  EXPECT_EQ(e->message_id, id);
  EXPECT_EQ(e->physical_destination.length(), 0u);
  EXPECT_STREQ(e->client_info.destination.in(), "MAIL1.Agent");
  EXPECT_EQ(e->client_info.prio, 3);
  EXPECT_EQ(e->client_info.ttl, 77);
  EXPECT_STREQ(e->client_info.delivery_options.in(), "options as sent");
  EXPECT_EQ(messaging::CanonicalPayload(e->client_info.custom_data), messaging::CanonicalPayload(sent.custom_data));
  const DEX_PTLMessages::AppEvent2* received = nullptr;
  ASSERT_TRUE(e->client_info.custom_data >>= received);
  EXPECT_EQ(std::wstring(received->domain.in()), L"BÜRO");

  // The other way: to a service. While the receiver holds it, the envelope as delivered is
  // authorised (without its seal being made again), a changed copy is not.
  struct During
  {
    std::mutex lock;
    std::vector<std::string> seen;
  };
  const auto during = std::make_shared<During>();
  service.in.onReceive = [during](const CorvexMessaging::Envelope& delivered) {
    if (std::string(delivered.client_info.type.in()) != NUMBERED)
      return;
    CorvexMessaging::Envelope copy = delivered;
    copy.client_info.custom_data <<= static_cast<CORBA::Long>(42);
    const std::string key = Library()->DeliveryKey(delivered);
    std::lock_guard lock(during->lock);
    during->seen = {Library()->IsAuthorised(delivered) ? "authorised" : "refused",
                    Library()->IsAuthorised(copy) ? "copy authorised" : "copy refused", key.empty() ? "no key" : key};
  };
  const auto answerId = agent.c->Send(Numbered(SERVICE, 41));
  ASSERT_GT(answerId, 0);
  auto answer = service.Next(NUMBERED);
  ASSERT_TRUE(answer);
  EXPECT_STREQ(answer->originator.in(), "MAIL1.Agent");
  EXPECT_EQ(answer->message_id, answerId);
  ASSERT_EQ(answer->timestamps.length(), 1u);
  EXPECT_STREQ(answer->timestamps[0].name.in(), RELAY);
  EXPECT_EQ(NumberOf(*answer), 41);
  {
    std::lock_guard lock(during->lock);
    ASSERT_EQ(during->seen.size(), 3u);
    EXPECT_EQ(during->seen[0], "authorised");
    EXPECT_EQ(during->seen[1], "copy refused");
    EXPECT_EQ(during->seen[2], Library()->DeliveryKey(*answer)) << "the key read during the hand-over is the one read after it";
  }

  // What the library delivered is authorised, with a key of its own that reading again repeats;
  // it did not come from the relay itself.
  for (const auto* delivered : {&*e, &*answer}) {
    EXPECT_TRUE(Library()->IsAuthorised(*delivered));
    EXPECT_FALSE(Library()->IsRouterAuthorised(*delivered));
    EXPECT_FALSE(Library()->DeliveryKey(*delivered).empty());
    EXPECT_EQ(Library()->DeliveryKey(*delivered), Library()->DeliveryKey(*delivered));
  }
  EXPECT_NE(Library()->DeliveryKey(*e), Library()->DeliveryKey(*answer));

  // Any change to a copy makes it a stranger.
  const std::vector<std::pair<const char*, std::function<void(CorvexMessaging::Envelope&)>>> alterations = {
    {"originator", [](auto& x) { x.originator = CORBA::string_dup("VICTIM1.Agent"); }},
    {"originator as the relay", [](auto& x) { x.originator = CORBA::string_dup(RELAY); }},
    {"message id", [](auto& x) { x.message_id += 1; }},
    {"timestamp", [](auto& x) { x.timestamps[0].utc_time += 1; }},
    {"relay name", [](auto& x) { x.timestamps[0].name = CORBA::string_dup("another-relay"); }},
    {"second timestamp", [](auto& x) { x.timestamps.length(2); x.timestamps[1] = x.timestamps[0]; }},
    {"type", [](auto& x) { x.client_info.type = CORBA::string_dup("Tz-Other"); }},
    {"ttl", [](auto& x) { x.client_info.ttl = 1; }},
    {"payload", [](auto& x) { x.client_info.custom_data <<= static_cast<CORBA::Long>(1); }},
    {"seal", [](auto& x) { x.originator_certificate = CORBA::string_dup(""); }},
  };
  for (const auto& [what, alter] : alterations) {
    CorvexMessaging::Envelope copy = *e;
    alter(copy);
    EXPECT_FALSE(Library()->IsAuthorised(copy)) << what;
    EXPECT_FALSE(Library()->IsRouterAuthorised(copy)) << what;
    EXPECT_TRUE(Library()->DeliveryKey(copy).empty()) << what;
  }

  // The relay's own letters are router-authorised, and only as they came.
  ASSERT_GT(service.c->Send(MakeMessage(":", "Tz-GetStatus", 0)), 0);
  auto status = service.Next("Tz-GetStatus-Reply");
  ASSERT_TRUE(status);
  EXPECT_STREQ(status->originator.in(), RELAY);
  EXPECT_TRUE(Library()->IsAuthorised(*status));
  EXPECT_TRUE(Library()->IsRouterAuthorised(*status));
  CorvexMessaging::Envelope forged = *status;
  forged.client_info.custom_data <<= CORBA::Any::from_boolean(true);
  EXPECT_FALSE(Library()->IsRouterAuthorised(forged));

  // Once the connection that received it is gone, nothing in this process vouches for it.
  Release(agent);
  EXPECT_FALSE(Library()->IsAuthorised(*e));
  EXPECT_TRUE(Library()->DeliveryKey(*e).empty());
}

TEST_F(MessagingRules, LettersForAnOfflineClientWaitAndArriveAtItsNextLogonInOrder)
{
  MakeKnown("AWAY1.Agent");
  MakeKnown("Archive");
  Client& service = Connect(SERVICE);
  std::vector<CorvexMessaging::MessageId> ids;
  for (CORBA::Long n = 1; n <= 5; ++n) {
    ids.push_back(service.c->Send(Numbered("AWAY1.Agent", n)));
    ASSERT_GT(ids.back(), 0);
  }
  // A service that is away keeps its letters too.
  Client& sender = Connect("MAIL2.Agent");
  for (CORBA::Long n = 1; n <= 3; ++n)
    ASSERT_GT(sender.c->Send(Numbered("Archive", n)), 0);

  Client& agent = Connect("AWAY1.Agent");
  ASSERT_TRUE(agent.WaitNumbers(5)) << Location().RelayLog();
  EXPECT_EQ(agent.Numbers(), Sequence(1, 5));
  const auto envelopes = agent.in.Envelopes();
  for (std::size_t i = 0; i < ids.size(); ++i)
    EXPECT_EQ(envelopes[i].message_id, ids[i]);

  Client& archive = Connect("Archive");
  ASSERT_TRUE(archive.WaitNumbers(3)) << Location().RelayLog();
  EXPECT_EQ(archive.Numbers(), Sequence(1, 3));
  // Handed over at logon, they are as authentic as any other.
  for (Client* c : {&agent, &archive})
    for (const auto& e : c->in.Envelopes()) {
      EXPECT_STREQ(e.timestamps[0].name.in(), RELAY) << c->address << " " << NumberOf(e);
      EXPECT_TRUE(Library()->IsAuthorised(e)) << c->address << " " << NumberOf(e);
    }
}

TEST_F(MessagingRules, LettersThatOutliveTheirTimeOrCannotBeDeliveredNowComeBackToTheSender)
{
  MakeKnown("AWAY2.Agent");
  Client& service = Connect(SERVICE);
  const std::time_t sentAt = std::time(nullptr);
  const auto waiting = service.c->Send(Numbered("AWAY2.Agent", 1, 2));
  const auto now = service.c->Send(Numbered("AWAY2.Agent", 2, 0));
  const auto negative = service.c->Send(Numbered("AWAY2.Agent", 3, -5));
  ASSERT_GT(waiting, 0);
  ASSERT_GT(now, 0);
  ASSERT_GT(negative, 0);

  // "Now or never" letters come back before the one that waited out its two seconds.
  std::size_t at = 0;
  std::vector<CorvexMessaging::MessageId> returned;
  std::map<CorvexMessaging::MessageId, CorvexMessaging::Envelope> inner, outer;
  for (int i = 0; i < 3; ++i) {
    auto back = service.Next("MS-DeliveryFailed-Timeout", at);
    ASSERT_TRUE(back) << Location().RelayLog();
    EXPECT_STREQ(back->originator.in(), RELAY);
    EXPECT_TRUE(Library()->IsRouterAuthorised(*back));
    const CorvexMessaging::Envelope* undelivered = nullptr;
    ASSERT_TRUE(back->client_info.custom_data >>= undelivered);
    returned.push_back(undelivered->message_id);
    inner[undelivered->message_id] = *undelivered;
    outer[undelivered->message_id] = *back;
  }
  EXPECT_EQ(std::set<CorvexMessaging::MessageId>(returned.begin(), returned.end()),
            (std::set<CorvexMessaging::MessageId>{waiting, now, negative}));
  EXPECT_EQ(returned.back(), waiting);

  const auto& w = inner[waiting];
  EXPECT_STREQ(w.originator.in(), SERVICE);
  ASSERT_EQ(w.timestamps.length(), 1u);
  EXPECT_STREQ(w.timestamps[0].name.in(), RELAY);
  EXPECT_GE(w.timestamps[0].utc_time, sentAt - 1);
  EXPECT_STREQ(w.client_info.destination.in(), "AWAY2.Agent");
  EXPECT_STREQ(w.client_info.type.in(), NUMBERED);
  EXPECT_EQ(w.client_info.ttl, 2);
  EXPECT_EQ(NumberOf(w), 1);
  EXPECT_EQ(NumberOf(inner[now]), 2);
  EXPECT_EQ(NumberOf(inner[negative]), 3);
  // Not before its time ran out.
  EXPECT_GE(outer[waiting].timestamps[0].utc_time - w.timestamps[0].utc_time, 2);

  // The agent, when it comes, finds none of them; a letter without time to live reaches an
  // agent that is online.
  Client& agent = Connect("AWAY2.Agent");
  ASSERT_GT(service.c->Send(Numbered("AWAY2.Agent", 4, 0)), 0);
  ASSERT_TRUE(agent.WaitNumbers(1)) << Location().RelayLog();
  EXPECT_EQ(agent.Numbers(), std::vector<CORBA::Long>{4});
}

TEST_F(MessagingRules, LettersToAddressesThatNeverLoggedOnComeBackUnrouteable)
{
  Client& service = Connect(SERVICE);
  Client& agent = Connect("MAIL2.Agent");
  const auto toAgent = service.c->Send(Numbered("NEVER1.Agent", 1));
  const auto toService = service.c->Send(Numbered("NoSuchService", 2));
  const auto fromAgent = agent.c->Send(Numbered("NoSuchService", 3));
  ASSERT_GT(toAgent, 0);
  ASSERT_GT(toService, 0);
  ASSERT_GT(fromAgent, 0);

  auto check = [](Client& sender, CorvexMessaging::MessageId id, const char* destination, CORBA::Long n) {
    std::size_t at = 0;
    for (;;) {
      auto back = sender.Next("MS-DeliveryFailed-Unrouteable", at);
      ASSERT_TRUE(back) << "no return of " << destination;
      const CorvexMessaging::Envelope* undelivered = nullptr;
      ASSERT_TRUE(back->client_info.custom_data >>= undelivered);
      if (std::string(undelivered->client_info.destination.in()) != destination)
        continue;
      EXPECT_EQ(undelivered->message_id, id);
      EXPECT_STREQ(undelivered->originator.in(), sender.address.c_str());
      EXPECT_EQ(NumberOf(*undelivered), n);
      EXPECT_STREQ(back->originator.in(), RELAY);
      EXPECT_TRUE(Library()->IsRouterAuthorised(*back));
      return;
    }
  };
  check(service, toAgent, "NEVER1.Agent", 1);
  check(service, toService, "NoSuchService", 2);
  check(agent, fromAgent, "NoSuchService", 3);
}

TEST_F(MessagingRules, TheRelayReportsItsClientsAndTheLogonsAndLogoffsOfComputers)
{
  // A subscriber with a computer part of its own and a prefix other than the service's.
  Client& watcher = Connect("WATCH1.Console");
  ASSERT_GT(watcher.c->Send(MakeMessage(":", "Xy-NotifyRouterUpdates", 0)), 0);
  auto subscribed = watcher.Next("Xy-NotifyRouterUpdates-Reply");
  ASSERT_TRUE(subscribed) << Location().RelayLog();
  CORBA::Boolean yes = false;
  ASSERT_TRUE(subscribed->client_info.custom_data >>= CORBA::Any::to_boolean(yes));
  EXPECT_TRUE(yes);
  EXPECT_TRUE(Library()->IsRouterAuthorised(*subscribed));

  std::size_t logons = 0, logoffs = 0;
  auto computerOf = [](const std::optional<CorvexMessaging::Envelope>& notice) {
    const char* name = nullptr;
    if (!notice || !(notice->client_info.custom_data >>= name))
      return std::string("(none)");
    return std::string(name);
  };

  // A service has no computer: its logon is not reported, the agent's after it is.
  Client& quiet = Connect("Quiet");
  Client& seen = Connect("SEEN1.Agent");
  auto logon = watcher.Next("Xy-RouterLogon", logons);
  EXPECT_EQ(computerOf(logon), "SEEN1");
  ASSERT_TRUE(logon);
  EXPECT_TRUE(Library()->IsRouterAuthorised(*logon));
  Release(seen);
  EXPECT_EQ(computerOf(watcher.Next("Xy-RouterLogoff", logoffs)), "SEEN1");
  Release(quiet);

  // A client that is killed: its connection closes with it.
  auto killed = StartAgents({"--agents", "1", "--prefix", "SIM", "--first", "1"}, 1);
  EXPECT_EQ(computerOf(watcher.Next("Xy-RouterLogon", logons)), "SIM1");
  killed->Signal(SIGKILL);
  killed->Wait();
  EXPECT_EQ(computerOf(watcher.Next("Xy-RouterLogoff", logoffs)), "SIM1") << Location().RelayLog();

  // A client that freezes: its connection stays open and stops answering the server's pings.
  auto frozen = StartAgents({"--agents", "1", "--prefix", "SIM", "--first", "2"}, 1);
  EXPECT_EQ(computerOf(watcher.Next("Xy-RouterLogon", logons)), "SIM2");
  frozen->Signal(SIGSTOP);
  EXPECT_EQ(computerOf(watcher.Next("Xy-RouterLogoff", logoffs, seconds(30))), "SIM2") << Location().RelayLog();
  frozen->Signal(SIGKILL);
  frozen->Wait();

  // Nothing about the subscriber itself.
  for (const auto& e : watcher.in.Envelopes()) {
    const char* name = nullptr;
    if (e.client_info.custom_data >>= name) {
      EXPECT_STRNE(name, "WATCH1");
    }
  }

  const auto status = RelayStatus(watcher, "Xy");
  ASSERT_TRUE(status) << Location().RelayLog();
  EXPECT_STREQ(status->name.in(), RELAY);
  const auto online = Texts(status->clients), offline = Texts(status->loggedOffClients);
  EXPECT_TRUE(Has(online, "WATCH1.Console"));
  for (const char* gone : {"Quiet", "SEEN1.Agent", "SIM1.Agent", "SIM2.Agent"}) {
    EXPECT_TRUE(Has(offline, gone)) << gone;
    EXPECT_FALSE(Has(online, gone)) << gone;
  }
  EXPECT_FALSE(Has(online, "NEVER1.Agent") || Has(offline, "NEVER1.Agent"));
  EXPECT_EQ(status->routers.length(), 0u);
  EXPECT_EQ(status->loggedOffRouters.length(), 0u);
  EXPECT_STREQ(status->parentRouter.in(), "");
  EXPECT_TRUE(status->loggedOn);
}

TEST_F(MessagingRules, AnEnvelopeNotConfirmedBeforeReleaseComesAgainAndAConfirmedOneDoesNot)
{
  Client& service = Connect(SERVICE);
  auto confirmSome = [](Client& c, std::map<CORBA::Long, std::string>& keys) {
    for (const auto& e : c.in.Envelopes()) {
      keys[NumberOf(e)] = Library()->DeliveryKey(e);
      if (NumberOf(e) != 2)
        c.c->Confirm(e.message_id);
    }
  };

  // An agent that confirms itself.
  MakeKnown("CONF1.Agent");
  for (CORBA::Long n = 1; n <= 3; ++n)
    ASSERT_GT(service.c->Send(Numbered("CONF1.Agent", n)), 0);
  Client& agent = Connect("CONF1.Agent", true);
  ASSERT_TRUE(agent.WaitNumbers(3)) << Location().RelayLog();
  std::map<CORBA::Long, std::string> keys;
  confirmSome(agent, keys);
  Release(agent);
  Client& again = Connect("CONF1.Agent", true);
  ASSERT_GT(service.c->Send(Numbered("CONF1.Agent", 4)), 0);
  ASSERT_TRUE(again.WaitNumbers(2)) << Location().RelayLog();
  EXPECT_EQ(again.Numbers(), (std::vector<CORBA::Long>{2, 4}));
  // The same letter, the same key.
  EXPECT_EQ(Library()->DeliveryKey(again.in.Envelopes().front()), keys[2]);

  // A service that confirms itself.
  MakeKnown("ConfirmSvc");
  Client& sender = Connect("CONF2.Agent");
  for (CORBA::Long n = 1; n <= 3; ++n)
    ASSERT_GT(sender.c->Send(Numbered("ConfirmSvc", n)), 0);
  Client& svc = Connect("ConfirmSvc", true);
  ASSERT_TRUE(svc.WaitNumbers(3)) << Location().RelayLog();
  keys.clear();
  confirmSome(svc, keys);
  Release(svc);
  Client& svcAgain = Connect("ConfirmSvc", true);
  ASSERT_GT(sender.c->Send(Numbered("ConfirmSvc", 4)), 0);
  ASSERT_TRUE(svcAgain.WaitNumbers(3)) << Location().RelayLog();
  // The services' stream keeps confirmed letters until it is compacted, and the new session
  // starts after what was confirmed in order: 3, confirmed past 2, comes again too, under the
  // key it had, so that the service recognises it.
  EXPECT_EQ(svcAgain.Numbers(), (std::vector<CORBA::Long>{2, 3, 4}));
  for (const auto& e : svcAgain.in.Envelopes())
    if (NumberOf(e) <= 3)
      EXPECT_EQ(Library()->DeliveryKey(e), keys[NumberOf(e)]) << NumberOf(e);

  // Without ConfirmExplicitly, what the receiver took is confirmed.
  Client& plain = Connect("CONF3.Agent");
  ASSERT_GT(service.c->Send(Numbered("CONF3.Agent", 1)), 0);
  ASSERT_TRUE(plain.WaitNumbers(1));
  Release(plain);
  Client& plainAgain = Connect("CONF3.Agent");
  ASSERT_GT(service.c->Send(Numbered("CONF3.Agent", 2)), 0);
  ASSERT_TRUE(plainAgain.WaitNumbers(1));
  EXPECT_EQ(plainAgain.Numbers(), std::vector<CORBA::Long>{2});
}

TEST_F(MessagingRules, LettersKeepTheirOrderPerDestinationUnderABurst)
{
  constexpr CORBA::Long kLetters = 400;
  Client& service = Connect(SERVICE);
  Client& one = Connect("BURST1.Agent");
  Client& two = Connect("BURST2.Agent");
  std::atomic<int> refused{0};
  // Both agents send to the service while the service sends to both, alternating.
  std::vector<std::thread> senders;
  for (Client* agent : {&one, &two})
    senders.emplace_back([&, agent] {
      for (CORBA::Long n = 1; n <= kLetters; ++n)
        refused += agent->c->Send(Numbered(SERVICE, n)) == 0;
    });
  for (CORBA::Long n = 1; n <= kLetters; ++n) {
    refused += service.c->Send(Numbered("BURST1.Agent", n)) == 0;
    refused += service.c->Send(Numbered("BURST2.Agent", n)) == 0;
  }
  for (auto& t : senders)
    t.join();
  ASSERT_EQ(refused, 0);
  EXPECT_TRUE(one.WaitNumbers(kLetters, "", 60s)) << one.Numbers().size();
  EXPECT_TRUE(two.WaitNumbers(kLetters, "", 60s)) << two.Numbers().size();
  EXPECT_TRUE(service.WaitNumbers(2 * kLetters, "", 60s)) << service.Numbers().size();
  EXPECT_EQ(one.Numbers(), Sequence(1, kLetters));
  EXPECT_EQ(two.Numbers(), Sequence(1, kLetters));
  EXPECT_EQ(service.Numbers("BURST1.Agent"), Sequence(1, kLetters));
  EXPECT_EQ(service.Numbers("BURST2.Agent"), Sequence(1, kLetters));
}

TEST_F(MessagingRules, TheServicesOwnIdentityFindsItsMessagingDirectoryInTheRegistry)
{
  const std::string registry = Folder() + "/registry.reg";
  setenv("CORVEX_REGISTRY", registry.c_str(), 1);
  const char* key = "SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service\\Private";
  {
    CRegKey k;
    ASSERT_EQ(k.Create(HKEY_LOCAL_MACHINE, FromUtf8(key).c_str()), ERROR_SUCCESS);
    ASSERT_EQ(k.SetStringValue(L"Messaging", FromUtf8(Location().Directory())), ERROR_SUCCESS);
  }
  Library()->InitialiseClientLibraryLocal("Tz", key, "PTLManagementService.reg", 0, "", 0, 0);
  TestReceiver local;
  IConnection* c = Library()->Connect(&local);
  EXPECT_EQ(c->Address(), SERVICE);
  c->Configure(0, 1);
  ASSERT_TRUE(local.WaitNotices(1, seconds(20))) << Location().RelayLog();
  Client& agent = Connect("MAIL2.Agent");
  ASSERT_GT(agent.c->Send(Numbered(SERVICE, 7)), 0);
  ASSERT_TRUE(local.WaitEnvelopes(1));
  EXPECT_EQ(NumberOf(local.Envelopes().front()), 7);
  Release(agent);
  Library()->ShutdownClientLibraryLocal();  // releases `c`
  unsetenv("CORVEX_REGISTRY");
}

TEST_F(MessagingRules, AnAgentCannotSendOrReadAsAnotherClient)
{
  Client& service = Connect(SERVICE);
  Client& victim = Connect("VICTIM1.Agent");
  const std::string dir = Location().Directory();
  RawClient evil(dir, "EVIL1.Agent", messaging::SeedFileOf(dir, "EVIL1.Agent"));
  ASSERT_EQ(evil.status, NATS_OK) << evil.error;

  auto letter = [](const std::string& destination, CORBA::Long n) {
    return messaging::EncodeMessage(Numbered(destination, n));
  };
  // One at a time: the error handler reads the connection's last error, which the next replaces.
  const std::string victimToken = Token("VICTIM1.Agent");
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> forged = {
    {"cvx.svc." + Token(SERVICE) + "." + victimToken, letter(SERVICE, 1)},           // as the victim
    {"cvx.svc." + Token(SERVICE) + "." + Token(RELAY), letter(SERVICE, 2)},          // as the relay
    {"cvx.to." + victimToken + "." + Token(SERVICE), letter("VICTIM1.Agent", 3)},    // as the service
    {"cvx.dlv." + victimToken, letter("VICTIM1.Agent", 4)},                          // past the relay
    {"cvx.ack." + victimToken, {'1'}},
    {"$JS.API.STREAM.PURGE." + std::string(messaging::wire::kLettersStream), {'{', '}'}},
  };
  for (const auto& [subject, bytes] : forged) {
    evil.Publish(subject, bytes);
    EXPECT_TRUE(evil.errors.WaitFor("Permissions Violation for Publish to \"" + subject + "\""))
      << subject << "\n" << evil.errors.All();
  }
  // A logoff in the victim's name.
  evil.Publish("cvx.rt." + victimToken, {}, 60, messaging::wire::kLogoff);
  EXPECT_TRUE(evil.errors.WaitFor("Permissions Violation for Publish to \"cvx.rt." + victimToken + "\""))
    << evil.errors.All();
  for (const std::string& subject : {"cvx.dlv." + victimToken, "_I." + victimToken + ".>", std::string("cvx.>")}) {
    evil.Subscribe(subject);
    EXPECT_TRUE(evil.errors.WaitFor("Permissions Violation for Subscription to \"" + subject + "\""))
      << subject << "\n" << evil.errors.All();
  }

  // What it may do arrives in its own name, after nothing of the forged.
  evil.Publish("cvx.svc." + Token(SERVICE) + "." + Token("EVIL1.Agent"), letter(SERVICE, 10));
  evil.Publish("cvx.to." + victimToken + "." + Token("EVIL1.Agent"), letter("VICTIM1.Agent", 11));
  ASSERT_TRUE(service.WaitNumbers(1, "EVIL1.Agent")) << Location().RelayLog();
  ASSERT_TRUE(victim.WaitNumbers(1, "EVIL1.Agent")) << Location().RelayLog();
  EXPECT_EQ(service.Numbers(), std::vector<CORBA::Long>{10});
  EXPECT_EQ(victim.Numbers(), std::vector<CORBA::Long>{11});

  // The victim is still logged on, and the streams still hold its letters.
  EXPECT_TRUE(victim.c->IsConnected());
  const auto status = RelayStatus(service);
  ASSERT_TRUE(status);
  EXPECT_TRUE(Has(Texts(status->clients), "VICTIM1.Agent"));
  Release(victim);
  ASSERT_GT(service.c->Send(Numbered("VICTIM1.Agent", 12)), 0);
  Client& back = Connect("VICTIM1.Agent");
  ASSERT_TRUE(back.WaitNumbers(1)) << Location().RelayLog();
  EXPECT_EQ(back.Numbers(), std::vector<CORBA::Long>{12});
}

TEST_F(MessagingRules, UnknownAnonymousAndRemovedClientsAreRefused)
{
  const std::string dir = Location().Directory();
  // A key the server was never told of.
  const messaging::UserKeyPair stranger = messaging::NewUserKeyPair();
  const std::string strangerSeed = Folder() + "/stranger.nk";
  {
    std::ofstream(strangerSeed) << stranger.seed.Text() << "\n";
    ::chmod(strangerSeed.c_str(), 0600);
  }
  RawClient unknown(dir, "STRANGER.Agent", strangerSeed);
  EXPECT_NE(unknown.status, NATS_OK);
  EXPECT_NE(unknown.error.find("Authorization Violation"), std::string::npos) << unknown.error;
  RawClient anonymous(dir, "ANON.Agent", "", RawClient::Key::None);
  EXPECT_NE(anonymous.status, NATS_OK);
  EXPECT_NE(anonymous.error.find("Authorization Violation"), std::string::npos) << anonymous.error;
  // The library has no credential for an address that is not enrolled.
  TestReceiver nobody;
  EXPECT_THROW(Library()->ConnectAs(&nobody, "STRANGER.Agent", dir), std::runtime_error);

  // An enrolled agent, removed while it is connected.
  Client& gone = Connect("GONE1.Agent");
  const std::string keptSeed = Folder() + "/gone.nk";
  std::filesystem::copy_file(messaging::SeedFileOf(dir, "GONE1.Agent"), keptSeed);
  Location().Remove({"GONE1.Agent"});
  RawClient removed(dir, "GONE1.Agent", keptSeed);
  EXPECT_NE(removed.status, NATS_OK);
  EXPECT_NE(removed.error.find("Authorization Violation"), std::string::npos) << removed.error;
  // Its open connection is closed by the reload, and it does not get back in.
  EXPECT_TRUE(gone.in.WaitNotices(2, seconds(20)));
  EXPECT_EQ(gone.in.Notices(), (std::vector<bool>{true, false}));
  EXPECT_FALSE(gone.c->IsConnected());
  TestReceiver again;
  EXPECT_THROW(Library()->ConnectAs(&again, "GONE1.Agent", dir), std::runtime_error);
}

TEST_F(MessagingRules, PayloadsThatDoNotDecodeAreRefusedWithoutStoppingTheLibraryOrTheRelay)
{
  Client& service = Connect(SERVICE);
  Client& agent = Connect("MAIL2.Agent");
  MakeKnown("AWAY3.Agent");
  const std::string dir = Location().Directory();
  RawClient evil(dir, "EVIL1.Agent", messaging::SeedFileOf(dir, "EVIL1.Agent"));
  ASSERT_EQ(evil.status, NATS_OK) << evil.error;
  const std::string own = Token("EVIL1.Agent");

  const auto valid = messaging::EncodeMessage(Numbered(SERVICE, 1));
  std::vector<std::vector<std::uint8_t>> garbage = {
    {'n', 'o', 't', ' ', 'a', ' ', 'l', 'e', 't', 't', 'e', 'r'},
    std::vector<std::uint8_t>(valid.begin(), valid.begin() + static_cast<long>(valid.size() / 2)),  // cut short
    std::vector<std::uint8_t>(64, 0xFF),
  };
  std::vector<std::uint8_t> hugeCount = valid;  // a string length far past the end
  hugeCount[4] = hugeCount[5] = hugeCount[6] = 0x7F;
  garbage.push_back(hugeCount);

  for (const auto& bytes : garbage) {
    evil.Publish("cvx.svc." + Token(SERVICE) + "." + own, bytes);         // to the service's library
    evil.Publish("cvx.to." + Token("MAIL2.Agent") + "." + own, bytes);    // to an agent's, through the relay
    evil.Publish("cvx.to." + Token("AWAY3.Agent") + "." + own, bytes, 1); // kept, then returned by the relay
    evil.Publish("cvx.to." + Token("NEVER2.Agent") + "." + own, bytes);   // returned at once
    EXPECT_EQ(evil.Request("cvx.rt." + own, bytes, messaging::wire::kSend), "0");
    EXPECT_EQ(evil.Request("cvx.rt." + own, bytes, messaging::wire::kUnrouteable), "0");
  }
  // The relay has tried to return the expired ones.
  ASSERT_TRUE(WaitUntil([&] { return Location().RelayLog().find("cannot be read") != std::string::npos; }))
    << Location().RelayLog();

  // Both libraries carry on with the next letter, and nothing of the garbage reached a receiver.
  evil.Publish("cvx.svc." + Token(SERVICE) + "." + own, messaging::EncodeMessage(Numbered(SERVICE, 5)));
  evil.Publish("cvx.to." + Token("MAIL2.Agent") + "." + own, messaging::EncodeMessage(Numbered("MAIL2.Agent", 6)));
  ASSERT_TRUE(service.WaitNumbers(1)) << Location().RelayLog();
  ASSERT_TRUE(agent.WaitNumbers(1)) << Location().RelayLog();
  EXPECT_EQ(service.in.Envelopes().size(), 1u);
  EXPECT_EQ(agent.in.Envelopes().size(), 1u);
  EXPECT_EQ(service.Numbers(), std::vector<CORBA::Long>{5});
  EXPECT_EQ(agent.Numbers(), std::vector<CORBA::Long>{6});
  // And the relay still answers.
  const auto status = RelayStatus(agent);
  ASSERT_TRUE(status) << Location().RelayLog();
  EXPECT_TRUE(Has(Texts(status->clients), "MAIL2.Agent"));
}

TEST_F(MessagingRules, AStatusRequestIsAnsweredAndLettersAreAppliedByASimulatedAgent)
{
  // The simulator enrols what is missing itself.
  auto agents = StartAgents({"--enrol", "--agents", "2", "--prefix", "APPLY", "--tzlib", "on", "--domain", "BRANCH",
                             "--os", "WIN2000"},
                            2);
  Client& service = Connect(SERVICE);

  const auto request = service.c->Send(MakeMessage("APPLY2.Agent", "Tz-GetStatus"));
  ASSERT_GT(request, 0);
  std::size_t at = 0;
  auto reply = service.Next("Tz-GetStatus-Reply", at);
  ASSERT_TRUE(reply) << agents->Output();
  EXPECT_STREQ(reply->originator.in(), "APPLY2.Agent");
  EXPECT_TRUE(Library()->IsAuthorised(*reply));
  EXPECT_FALSE(Library()->IsRouterAuthorised(*reply));
  const DEX_PTLMessages::AgentStatus* status = nullptr;
  ASSERT_TRUE(reply->client_info.custom_data >>= status);
  EXPECT_EQ(status->request_id, request);
  ASSERT_EQ(status->app_statuses.length(), 4u);
  EXPECT_STREQ(status->app_statuses[0].entity.in(), "Agent");
  const DEX_PTLMessages::ComputerStatus2* computer = nullptr;
  ASSERT_TRUE(status->app_statuses[0].status >>= computer);
  EXPECT_EQ(std::wstring(computer->computer_name.in()), L"APPLY2");
  EXPECT_EQ(std::wstring(computer->domain.in()), L"BRANCH");
  EXPECT_STREQ(computer->operating_system.in(), "WIN2000");
  EXPECT_EQ(computer->ip_address, 0x0A000002u);
  const DEX_PTLMessages::StatusAndConfig* dex = nullptr;
  ASSERT_TRUE(status->app_statuses[1].status >>= dex);
  EXPECT_NE(std::string(dex->status.in()).find("/KT/KTDexStatus"), std::string::npos);
  EXPECT_STREQ(status->app_statuses[3].entity.in(), "TzLib");

  // A configuration the agent applies shows in its next status; one it cannot read does not.
  KTDexHandler::config_t group;
  group.entity.entityInfo = L"Finance";
  group.onAccessScan.enabled = false;
  group.alerting.smtp.recipientSet = {L"finance-it@corp.example"};
  KTDexHandler::KTDexConfiguration document;
  document.SetConfig(group);
  DexHandler::DexConfiguration sent;
  sent.Set(document.ToXML());
  auto setConfiguration = [&](const std::string& text) {
    DEX_PTLMessages::AppConfiguration configuration;
    configuration.entity = CORBA::string_dup("DEX");
    configuration.config = CORBA::string_dup(text.c_str());
    auto set = MakeMessage("APPLY2.Agent", "Tz-SetConfiguration");
    set.custom_data <<= configuration;
    return service.c->Send(set);
  };
  ASSERT_GT(setConfiguration(sent.ToOpaqueXML(L"")), 0);
  ASSERT_GT(setConfiguration("<config xmlns=\"http://schemas.corvex.example/KT/KTDexConfiguration\"/>"), 0);
  DEX_PTLMessages::DoActionContent action;
  action.entity = CORBA::string_dup("ALC");
  action.correlationId = CORBA::string_dup("");
  action.action = CORBA::string_dup("<?xml version='1.0'?><action type=\"corvex.mgt.action.ALCForceUpdate\"/>");
  auto doAction = MakeMessage("APPLY2.Agent", "Tz-DoAction");
  doAction.custom_data <<= action;
  ASSERT_GT(service.c->Send(doAction), 0);
  auto central = MakeMessage("APPLY2.Agent", "Tz-ApplyCentralConfig");
  central.custom_data <<= CORBA::Any::from_boolean(false);
  ASSERT_GT(service.c->Send(central), 0);
  // Wrong payloads and unknown types are dropped; the agent carries on. Wide texts travel
  // whatever code sets this process's ORB was set up with.
  auto wrong = MakeMessage("APPLY2.Agent", "Tz-SetConfiguration");
  wrong.custom_data <<= static_cast<CORBA::Long>(5);
  ASSERT_GT(service.c->Send(wrong), 0);
  DEX_PTLMessages::AppEvent2 wide;
  wide.domain = CORBA::wstring_dup(L"BÜRO");
  wide.computer_name = CORBA::wstring_dup(L"APPLY2");
  auto reboot = MakeMessage("APPLY2.Agent", "Tz-Reboot");
  reboot.custom_data <<= wide;
  ASSERT_GT(service.c->Send(reboot), 0);
  ASSERT_GT(service.c->Send(MakeMessage("APPLY2.Agent", "Tz-GetStatus")), 0);
  reply = service.Next("Tz-GetStatus-Reply", at);
  ASSERT_TRUE(reply) << agents->Output();
  ASSERT_TRUE(reply->client_info.custom_data >>= status);
  ASSERT_TRUE(status->app_statuses[1].status >>= dex);
  DexHandler::DexConfiguration reported;
  reported.Set(std::string(dex->configuration.in()));
  EXPECT_TRUE(reported.IsEquivalent(sent));
  KTDexHandler::KTDexStatus dexStatus;
  dexStatus.Set(std::string(dex->status.in()));
  EXPECT_FALSE(dexStatus.GetDetails().onAccess);

  EXPECT_TRUE(agents->WaitForOutput("APPLY2.Agent <- Tz-SetConfiguration from PTLManagementService entity=DEX"));
  EXPECT_TRUE(agents->WaitForOutput("APPLY2.Agent applied DEX configuration: on-access off"));
  EXPECT_TRUE(agents->WaitForOutput(
    "APPLY2.Agent dropped Tz-SetConfiguration from PTLManagementService: invalid DEX configuration: "));
  EXPECT_TRUE(agents->WaitForOutput("APPLY2.Agent <- Tz-DoAction from PTLManagementService entity=ALC"));
  EXPECT_TRUE(
    agents->WaitForOutput("APPLY2.Agent <- Tz-ApplyCentralConfig from PTLManagementService (5 bytes): false"));
  EXPECT_TRUE(
    agents->WaitForOutput("APPLY2.Agent dropped Tz-SetConfiguration from PTLManagementService: no AppConfiguration"));
  EXPECT_TRUE(agents->WaitForOutput("APPLY2.Agent dropped Tz-Reboot"));
  EXPECT_EQ(e2e::CountOf(agents->Output(), "APPLY1.Agent <-"), 0);
  agents->Write("quit\n");
  EXPECT_EQ(agents->Wait(), 0);
}

TEST_F(MessagingRules, EventsOfSimulatedAgentsReachTheServiceOnCommandAndAtARate)
{
  Client& service = Connect(SERVICE);
  auto agents = StartAgents({"--agents", "2"}, 2);
  agents->Write("event PC1 virus\nevent all error\nevent PC9 scan\n");
  std::size_t at = 0;
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    auto event = service.Next("Tz-EntityEvent", at);
    ASSERT_TRUE(event) << agents->Output();
    const DEX_PTLMessages::AppEvent2* content = nullptr;
    ASSERT_TRUE(event->client_info.custom_data >>= content);
    EXPECT_STREQ(content->entity.in(), "DEX");
    EXPECT_EQ(std::wstring(content->domain.in()), L"CORP");
    seen.push_back(std::string(event->originator.in()) + " " + content->event.in());
  }
  EXPECT_NE(seen[0].find("PC1.Agent"), std::string::npos);
  EXPECT_NE(seen[0].find("corvex.mgt.dex.virusDetectedEvent"), std::string::npos);
  EXPECT_NE(seen[1].find("corvex.mgt.entityAppEvent"), std::string::npos);
  EXPECT_TRUE(agents->WaitForOutput("no simulated computer PC9"));
  // The update component's events come from its own entity.
  agents->Write("event PC2 update\n");
  auto update = service.Next("Tz-EntityEvent", at);
  ASSERT_TRUE(update) << agents->Output();
  const DEX_PTLMessages::AppEvent2* content = nullptr;
  ASSERT_TRUE(update->client_info.custom_data >>= content);
  EXPECT_STREQ(content->entity.in(), "ALC");
  EXPECT_NE(std::string(content->event.in()).find("/KT/AUEvent"), std::string::npos);
  agents->Write("quit\n");
  EXPECT_EQ(agents->Wait(), 0);

  auto rated = StartAgents({"--agents", "1", "--first", "5", "--event-rate", "20", "--event-kind", "scan"}, 1);
  for (int i = 0; i < 5; ++i) {
    auto event = service.Next("Tz-EntityEvent", at);
    ASSERT_TRUE(event) << rated->Output();
    const DEX_PTLMessages::AppEvent2* scan = nullptr;
    ASSERT_TRUE(event->client_info.custom_data >>= scan);
    EXPECT_NE(std::string(scan->event.in()).find("scanCompleteEvent"), std::string::npos);
  }
  rated->Write("quit\n");
  EXPECT_EQ(rated->Wait(), 0);
}

// Tests that stop or kill the server and the relay have a location each.
class MessagingRestarts : public MessagingTest
{
protected:
  void SetUp() override
  {
    m_location = std::make_unique<MessagingLocation>(m_folder.Path(),
                                                     std::vector<std::string>{"PC1.Agent", "PC2.Agent", "Archive"});
  }
  void TearDown() override
  {
    MessagingTest::TearDown();
    m_others.clear();  // other relays, by their PIDs
    m_location.reset();
  }
  MessagingLocation& Location() override { return *m_location; }
  const std::string& Folder() override { return m_folder.Path(); }

  // Another relay of the same location, beside the one MessagingLocation runs.
  ChildProcess& OtherRelay()
  {
    m_others.push_back(std::make_unique<ChildProcess>(
      MessagingLocation::RelayProgram(),
      std::vector<std::string>{"--messaging", m_location->Directory(), "--log-level", "3", "--redeliver", "5"},
      e2e::CurrentEnvironment(), Folder() + "/other-relay-" + std::to_string(m_others.size() + 1) + ".log"));
    return *m_others.back();
  }

  e2e::ScratchDir m_folder{"corvex-msg-restart"};
  std::unique_ptr<MessagingLocation> m_location;
  std::vector<std::unique_ptr<ChildProcess>> m_others;
};

TEST_F(MessagingRestarts, WaitingLettersSurviveKillsOfTheServerAndOfTheRelay)
{
  MakeKnown("PC1.Agent");
  MakeKnown("Archive");
  Client& service = Connect(SERVICE);
  Client& sender = Connect("PC2.Agent");
  for (CORBA::Long n = 1; n <= 3; ++n) {
    ASSERT_GT(service.c->Send(Numbered("PC1.Agent", n, 600)), 0);
    ASSERT_GT(sender.c->Send(Numbered("Archive", n, 600)), 0);
  }

  // The server is killed: connections learn it, letters are not accepted, and they come back
  // with the server.
  Location().StopServer();
  ASSERT_TRUE(service.in.WaitNotices(2, seconds(20)));
  EXPECT_EQ(service.c->Send(Numbered("PC1.Agent", 99)), 0);
  Location().StartServer();
  ASSERT_TRUE(service.in.WaitNotices(3, seconds(30))) << Location().RelayLog();
  EXPECT_EQ(service.in.Notices(), (std::vector<bool>{true, false, true}));
  ASSERT_TRUE(sender.in.WaitNotices(3, seconds(30)));
  ASSERT_GT(service.c->Send(Numbered("PC1.Agent", 4, 600)), 0);
  ASSERT_GT(sender.c->Send(Numbered("Archive", 4, 600)), 0);

  // Then the relay.
  Location().StopRelay();
  Location().StartRelay();
  ASSERT_GT(service.c->Send(Numbered("PC1.Agent", 5, 600)), 0);

  Client& agent = Connect("PC1.Agent");
  ASSERT_TRUE(agent.WaitNumbers(5)) << Location().RelayLog();
  Client& archive = Connect("Archive");
  ASSERT_TRUE(archive.WaitNumbers(4)) << Location().RelayLog();
  EXPECT_EQ(agent.Numbers(), Sequence(1, 5));
  EXPECT_EQ(archive.Numbers(), Sequence(1, 4));
  // No letter takes another's key across the restarts.
  std::set<std::string> keys;
  for (Client* c : {&agent, &archive})
    for (const auto& e : c->in.Envelopes()) {
      const std::string key = Library()->DeliveryKey(e);
      EXPECT_FALSE(key.empty()) << c->address << " " << NumberOf(e) << " is not authorised";
      if (!key.empty()) {
        EXPECT_TRUE(keys.insert(key).second) << key;
      }
    }
}

TEST_F(MessagingRestarts, AServiceWhoseMailboxCannotBeOpenedLogsOnAgainUntilItIsThere)
{
  Client& agent = Connect("PC1.Agent");
  // The services' stream goes away behind the relay's back: the service's first logon cannot
  // add its subjects to it.
  {
    RawClient admin(Location().Directory(), RELAY, messaging::SeedFileOf(Location().Directory(), RELAY));
    ASSERT_EQ(admin.status, NATS_OK) << admin.error;
    jsCtx* js = nullptr;
    ASSERT_EQ(natsConnection_JetStream(&js, admin.Nc(), nullptr), NATS_OK);
    messaging::NatsPtr<jsCtx> owned(js);
    ASSERT_EQ(js_DeleteStream(js, messaging::wire::kInboxStream, nullptr, nullptr), NATS_OK);
  }
  Client& service = Open(SERVICE);
  ASSERT_TRUE(WaitUntil([&] { return Location().RelayLog().find("cannot open a mailbox for " + std::string(SERVICE)) !=
                                     std::string::npos; }, seconds(20)))
    << Location().RelayLog();
  // It is told it is logged off rather than left waiting for letters that would never come.
  ASSERT_TRUE(service.in.WaitNotices(2, seconds(20))) << Location().RelayLog();
  EXPECT_FALSE(service.in.Notices()[1]);

  // A relay that starts makes the stream again; the service's next logon has its mailbox.
  Location().StopRelay();
  Location().StartRelay();
  ASSERT_TRUE(WaitUntil([&] { return agent.c->Send(Numbered(SERVICE, 1, 600)) > 0; }, seconds(20)));
  EXPECT_TRUE(service.WaitNumbers(1, "PC1.Agent", seconds(30))) << Location().RelayLog();
}

TEST_F(MessagingRestarts, TheServicesStreamDropsWhatEveryServiceConfirmedAndKeepsWhatOneStillOwes)
{
  RawClient admin(Location().Directory(), RELAY, messaging::SeedFileOf(Location().Directory(), RELAY));
  ASSERT_EQ(admin.status, NATS_OK) << admin.error;
  jsCtx* js = nullptr;
  ASSERT_EQ(natsConnection_JetStream(&js, admin.Nc(), nullptr), NATS_OK);
  messaging::NatsPtr<jsCtx> owned(js);
  auto stored = [&]() -> std::uint64_t {
    jsStreamInfo* info = nullptr;
    if (js_GetStreamInfo(&info, js, messaging::wire::kInboxStream, nullptr, nullptr) != NATS_OK || !info)
      return ~0ull;
    const std::uint64_t n = info->State.Msgs;
    jsStreamInfo_Destroy(info);
    return n;
  };

  MakeKnown("Archive");  // a service that logged on once: its consumer stays while it is away
  Client& agent = Connect("PC1.Agent");
  Client& service = Connect(SERVICE, true);
  auto confirmAll = [&] {
    for (const auto& e : service.in.Envelopes())
      service.c->Confirm(e.message_id);
  };
  // An absent service that owes nothing holds nothing back.
  for (CORBA::Long n = 1; n <= 2; ++n)
    ASSERT_GT(agent.c->Send(Numbered(SERVICE, n, 600)), 0);
  ASSERT_TRUE(service.WaitNumbers(2)) << Location().RelayLog();
  confirmAll();
  EXPECT_TRUE(WaitUntil([&] { return stored() == 0; }, seconds(20))) << stored() << "\n" << Location().RelayLog();

  for (CORBA::Long n = 1; n <= 3; ++n)
    ASSERT_GT(agent.c->Send(Numbered("Archive", n, 600)), 0);
  for (CORBA::Long n = 3; n <= 5; ++n)
    ASSERT_GT(agent.c->Send(Numbered(SERVICE, n, 600)), 0);
  ASSERT_TRUE(service.WaitNumbers(5)) << Location().RelayLog();
  confirmAll();

  // Compacting (every few seconds) stops at what the absent service still owes.
  std::this_thread::sleep_for(seconds(7));
  EXPECT_GE(stored(), 3u);
  Client& archive = Connect("Archive");
  ASSERT_TRUE(archive.WaitNumbers(3)) << Location().RelayLog();
  EXPECT_EQ(archive.Numbers(), Sequence(1, 3));
  // Once both have confirmed everything, nothing is left.
  EXPECT_TRUE(WaitUntil([&] { return stored() == 0; }, seconds(20))) << stored() << "\n" << Location().RelayLog();
  // The service's next session starts after what it confirmed.
  Release(service);
  Client& again = Connect(SERVICE, true);
  ASSERT_GT(agent.c->Send(Numbered(SERVICE, 6, 600)), 0);
  ASSERT_TRUE(again.WaitNumbers(1)) << Location().RelayLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(again.Numbers(), std::vector<CORBA::Long>{6});
}

TEST_F(MessagingRestarts, ARelayKilledWhileLettersFlowNeitherLosesNorDoublesThem)
{
  constexpr CORBA::Long kLetters = 300;
  Client& service = Connect(SERVICE);
  Client& agent = Connect("PC1.Agent");
  std::atomic<int> refused{0};
  std::thread sending([&] {
    for (CORBA::Long n = 1; n <= kLetters; ++n) {
      refused += service.c->Send(Numbered("PC1.Agent", n, 600)) == 0;
      refused += agent.c->Send(Numbered(SERVICE, n, 600)) == 0;
      std::this_thread::sleep_for(5ms);
    }
  });
  const bool some = agent.WaitNumbers(30);
  Location().StopRelay();
  const std::size_t before = agent.Numbers().size();
  Location().StartRelay();
  sending.join();
  ASSERT_TRUE(some) << Location().RelayLog();
  EXPECT_EQ(refused, 0);
  EXPECT_LT(before, static_cast<std::size_t>(kLetters)) << "the relay was killed after the last letter";
  EXPECT_TRUE(agent.WaitNumbers(kLetters, "", 60s)) << agent.Numbers().size() << "\n" << Location().RelayLog();
  EXPECT_TRUE(service.WaitNumbers(kLetters, "", 60s)) << service.Numbers().size();
  EXPECT_EQ(agent.Numbers(), Sequence(1, kLetters));
  EXPECT_EQ(service.Numbers(), Sequence(1, kLetters));
  // And nothing comes later either: a last letter arrives right behind them.
  ASSERT_GT(service.c->Send(Numbered("PC1.Agent", kLetters + 1)), 0);
  ASSERT_TRUE(agent.WaitNumbers(kLetters + 1));
  EXPECT_EQ(agent.Numbers(), Sequence(1, kLetters + 1));
}

TEST_F(MessagingRestarts, ASecondRelayWaitsWhileTheFirstIsActiveAndTakesOverWhenItGoes)
{
  Client& service = Connect(SERVICE);
  Client& agent = Connect("PC1.Agent");
  ChildProcess& second = OtherRelay();
  ASSERT_TRUE(second.WaitForOutput("another relay is active", seconds(20))) << second.Output();
  ASSERT_GT(service.c->Send(Numbered("PC1.Agent", 1)), 0);
  ASSERT_TRUE(agent.WaitNumbers(1)) << Location().RelayLog();
  EXPECT_EQ(second.Output().find("active on"), std::string::npos) << second.Output();

  // Killed: the second takes over once the first's lease lapses.
  Location().StopRelay();
  ASSERT_TRUE(second.WaitForOutput("active on", seconds(30))) << second.Output();
  ASSERT_GT(service.c->Send(Numbered("PC1.Agent", 2)), 0);
  ASSERT_TRUE(agent.WaitNumbers(2)) << second.Output();
  Client& late = Connect("PC2.Agent");
  ASSERT_GT(service.c->Send(Numbered("PC2.Agent", 3)), 0);
  ASSERT_TRUE(late.WaitNumbers(1)) << second.Output();
  const auto status = RelayStatus(service);
  ASSERT_TRUE(status) << second.Output();
  EXPECT_TRUE(Has(Texts(status->clients), "PC2.Agent"));

  // Stopped cleanly: it hands the lease over and a third one, waiting, takes it.
  ChildProcess& third = OtherRelay();
  ASSERT_TRUE(third.WaitForOutput("another relay is active", seconds(20))) << third.Output();
  second.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(seconds(20)), 0) << second.Output();
  ASSERT_TRUE(third.WaitForOutput("active on", seconds(30))) << third.Output();
  ASSERT_GT(service.c->Send(Numbered("PC1.Agent", 4)), 0);
  ASSERT_TRUE(agent.WaitNumbers(3)) << third.Output();
  EXPECT_EQ(agent.Numbers(), (std::vector<CORBA::Long>{1, 2, 4}));
  EXPECT_EQ(late.Numbers(), std::vector<CORBA::Long>{3});
  third.Signal(SIGTERM);
  EXPECT_EQ(third.Wait(seconds(20)), 0) << third.Output();
}

}  // namespace
