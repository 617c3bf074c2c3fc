// The router's routing rules, driven directly through the core with recording inboxes: order
// and stamping of deliveries, waiting letters and their expiry, failure notices, the router's
// own messages, sessions, back-pressure, lost clients and restarts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "messaging/EnvelopeSeal.h"
#include "messaging/RouterCore.h"
#include "tests/messaging/TestSupport.h"

namespace {

using namespace messaging_test;
using router::RouterCore;
namespace fs = std::filesystem;

class RouterCoreTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    EnsureOrb();
    log = std::make_unique<router::RouterLog>(router::RouterLog::Options{m_dir.Path() / "router.log", 3, false});
    Restart();
  }

  void TearDown() override { core.reset(); }

  void Restart()
  {
    core.reset();
    router::RouterOptions options;
    options.name = "R1";
    options.dataDirectory = m_dir.Path() / "data";
    options.senderThreads = 2;
    options.heartbeatSeconds = 30;
    options.clock = [this] { return now.load(); };
    core = std::make_unique<RouterCore>(options, *log);
    core->Start();
  }

  std::string Logon(const std::string& address, const std::shared_ptr<RecordingInbox>& inbox)
  {
    return core->Logon(address, inbox);
  }

  // Deliveries are recorded before the router has done with them: wait for it.
  static bool Eventually(const std::function<bool()>& condition)
  {
    for (int i = 0; i < 500; ++i) {
      if (condition())
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
  }

  std::size_t LetterFiles()
  {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(m_dir.Path() / "data" / "Envelopes"))
      n += e.path().extension() == ".env";
    return n;
  }

  TempDir m_dir;
  std::atomic<std::int64_t> now{1700000000};
  std::unique_ptr<router::RouterLog> log;
  std::unique_ptr<RouterCore> core;
};

const CorvexMessaging::Envelope* Inner(const CorvexMessaging::Envelope& notice)
{
  const CorvexMessaging::Envelope* inner = nullptr;
  return (notice.client_info.custom_data >>= inner) ? inner : nullptr;
}

TEST_F(RouterCoreTest, DeliversInOrderStampedAndSealedForTheReceiver)
{
  auto service = std::make_shared<RecordingInbox>();
  auto agent = std::make_shared<RecordingInbox>();
  const std::string serviceSession = Logon("PTLManagementService", service);
  const std::string agentSession = Logon("PC7.Agent", agent);
  EXPECT_NE(serviceSession, agentSession);

  std::vector<CorvexMessaging::MessageId> ids;
  for (int i = 0; i < 20; ++i) {
    auto m = MakeMessage("PC7.Agent", "Tz-GetStatus");
    m.custom_data <<= static_cast<CORBA::Long>(i);
    ids.push_back(core->Send("PTLManagementService", serviceSession, m));
    EXPECT_GT(ids.back(), 0);
  }
  ASSERT_TRUE(agent->WaitFor(20));
  const auto got = agent->Received();
  for (int i = 0; i < 20; ++i) {
    const auto& e = got[i];
    EXPECT_EQ(e.message_id, ids[i]);
    EXPECT_STREQ(e.originator.in(), "PTLManagementService");
    ASSERT_EQ(e.timestamps.length(), 1u);
    EXPECT_STREQ(e.timestamps[0].name.in(), "R1");
    EXPECT_EQ(e.timestamps[0].utc_time, 1700000000);
    CORBA::Long n = -1;
    EXPECT_TRUE(e.client_info.custom_data >>= n);
    EXPECT_EQ(n, i);
    EXPECT_TRUE(messaging::HasSeal(e, agentSession));
    EXPECT_FALSE(messaging::HasSeal(e, serviceSession));
  }
  EXPECT_TRUE(service->Received().empty());
}

TEST_F(RouterCoreTest, LetterForAnUnknownAddressComesBackUnrouteable)
{
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  const auto id = core->Send("PTLManagementService", session, MakeMessage("NOBODY.Agent", "Tz-DoAction"));
  ASSERT_GT(id, 0);
  ASSERT_TRUE(service->WaitFor(1));
  const auto notice = service->Received()[0];
  EXPECT_STREQ(notice.client_info.type.in(), "MS-DeliveryFailed-Unrouteable");
  EXPECT_STREQ(notice.originator.in(), "R1");
  const auto* inner = Inner(notice);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->message_id, id);
  EXPECT_STREQ(inner->client_info.destination.in(), "NOBODY.Agent");
  EXPECT_STREQ(inner->client_info.type.in(), "Tz-DoAction");
  EXPECT_EQ(core->Waiting("NOBODY.Agent"), 0u);
}

TEST_F(RouterCoreTest, LetterForAnOfflineClientWaitsOnDiskUntilItLogsOn)
{
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  auto agent = std::make_shared<RecordingInbox>();
  core->Logoff("PC7.Agent", Logon("PC7.Agent", agent));

  const auto id = core->Send("PTLManagementService", session, MakeMessage("PC7.Agent", "Tz-SetConfiguration"));
  EXPECT_EQ(core->Waiting("PC7.Agent"), 1u);
  EXPECT_EQ(LetterFiles(), 1u);

  auto again = std::make_shared<RecordingInbox>();
  Logon("PC7.Agent", again);
  ASSERT_TRUE(again->WaitFor(1));
  EXPECT_EQ(again->Received()[0].message_id, id);
  EXPECT_TRUE(agent->Received().empty());
  EXPECT_TRUE(Eventually([&] { return core->Waiting("PC7.Agent") == 0 && LetterFiles() == 0; }));
}

TEST_F(RouterCoreTest, WaitingLetterExpiresAfterItsTtlAndReturnsAsTimeout)
{
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  core->Logoff("PC9.Agent", Logon("PC9.Agent", std::make_shared<RecordingInbox>()));

  const auto id = core->Send("PTLManagementService", session, MakeMessage("PC9.Agent", "Tz-DoAction", 5));
  now += 4;
  core->Housekeeping();
  EXPECT_EQ(core->Waiting("PC9.Agent"), 1u);
  EXPECT_TRUE(service->Received().empty());

  now += 2;
  core->Housekeeping();
  ASSERT_TRUE(service->WaitFor(1));
  const auto notice = service->Received()[0];
  EXPECT_STREQ(notice.client_info.type.in(), "MS-DeliveryFailed-Timeout");
  ASSERT_NE(Inner(notice), nullptr);
  EXPECT_EQ(Inner(notice)->message_id, id);
  EXPECT_EQ(core->Waiting("PC9.Agent"), 0u);
  EXPECT_EQ(LetterFiles(), 0u);

  // No time to live at all: an offline client's letter returns at once.
  core->Send("PTLManagementService", session, MakeMessage("PC9.Agent", "Tz-GetStatus", 0));
  ASSERT_TRUE(service->WaitFor(2));
  EXPECT_STREQ(service->Received()[1].client_info.type.in(), "MS-DeliveryFailed-Timeout");
}

TEST_F(RouterCoreTest, WaitingLettersAndKnownAddressesSurviveARestart)
{
  auto service = std::make_shared<RecordingInbox>();
  std::string session = Logon("PTLManagementService", service);
  core->Logoff("PC7.Agent", Logon("PC7.Agent", std::make_shared<RecordingInbox>()));
  auto first = core->Send("PTLManagementService", session, MakeMessage("PC7.Agent", "Tz-GetStatus"));
  auto second = core->Send("PTLManagementService", session, MakeMessage("PC7.Agent", "Tz-DoAction"));
  // A letter for an online client that the sender threads have not delivered yet is kept too.
  core->Stop();

  Restart();
  session = Logon("PTLManagementService", service);
  // Still known after the restart, so this one waits rather than coming back.
  auto third = core->Send("PTLManagementService", session, MakeMessage("PC7.Agent", "Tz-ApplyCentralConfig"));
  EXPECT_GT(third, second);  // ids are not handed out twice
  EXPECT_EQ(core->Waiting("PC7.Agent"), 3u);

  auto agent = std::make_shared<RecordingInbox>();
  Logon("PC7.Agent", agent);
  ASSERT_TRUE(agent->WaitFor(3));
  const auto got = agent->Received();
  EXPECT_EQ(got[0].message_id, first);
  EXPECT_EQ(got[1].message_id, second);
  EXPECT_EQ(got[2].message_id, third);
  EXPECT_STREQ(got[1].client_info.type.in(), "Tz-DoAction");
  EXPECT_TRUE(Eventually([&] { return LetterFiles() == 0; }));
}

TEST_F(RouterCoreTest, UnreadableLetterFileIsSetAsideAtStartUp)
{
  core->Stop();
  fs::create_directories(m_dir.Path() / "data" / "Envelopes");
  std::ofstream(m_dir.Path() / "data" / "Envelopes" / "77.env") << "garbage";
  Restart();
  EXPECT_TRUE(fs::exists(m_dir.Path() / "data" / "Envelopes" / "77.env.bad"));
  EXPECT_EQ(LetterFiles(), 0u);
}

TEST_F(RouterCoreTest, RouterAnswersStatusAndSendsLogonAndLogoffNotices)
{
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  core->Logoff("OLD.Agent", Logon("OLD.Agent", std::make_shared<RecordingInbox>()));

  EXPECT_GT(core->Send("PTLManagementService", session, MakeMessage(":", "Tz-NotifyRouterUpdates", 0)), 0);
  EXPECT_GT(core->Send("PTLManagementService", session, MakeMessage(":", "Tz-GetStatus", 0)), 0);
  ASSERT_TRUE(service->WaitFor(2));
  EXPECT_EQ(service->Types(), (std::vector<std::string>{"Tz-NotifyRouterUpdates-Reply", "Tz-GetStatus-Reply"}));
  const auto replies = service->Received();
  const CorvexMessaging::Status* status = nullptr;
  ASSERT_TRUE(replies[1].client_info.custom_data >>= status);
  EXPECT_STREQ(status->name.in(), "R1");
  ASSERT_EQ(status->clients.length(), 1u);
  EXPECT_STREQ(status->clients[0].in(), "PTLManagementService");
  ASSERT_EQ(status->loggedOffClients.length(), 1u);
  EXPECT_STREQ(status->loggedOffClients[0].in(), "OLD.Agent");
  EXPECT_STREQ(replies[1].originator.in(), "R1");

  const std::string agentSession = Logon("PC7.Agent", std::make_shared<RecordingInbox>());
  Logon("OtherService", std::make_shared<RecordingInbox>());  // not a computer: no notice
  core->Logoff("PC7.Agent", agentSession);
  ASSERT_TRUE(service->WaitFor(4));
  const auto got = service->Received();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_STREQ(got[2].client_info.type.in(), "Tz-RouterLogon");
  EXPECT_STREQ(got[3].client_info.type.in(), "Tz-RouterLogoff");
  for (int i : {2, 3}) {
    const char* computer = nullptr;
    ASSERT_TRUE(got[i].client_info.custom_data >>= computer);
    EXPECT_STREQ(computer, "PC7");
  }

  // Unknown router messages are dropped and refused.
  EXPECT_EQ(core->Send("PTLManagementService", session, MakeMessage(":", "Tz-Reboot", 0)), 0);
  EXPECT_EQ(core->Send("PTLManagementService", session, MakeMessage(":", "GetStatus", 0)), 0);
}

TEST_F(RouterCoreTest, SessionsGuardEveryCall)
{
  auto inbox = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PC7.Agent", inbox);

  EXPECT_THROW(core->Send("PC7.Agent", "forged", MakeMessage("PC8.Agent", "Tz-EntityEvent")), CorvexMessaging::NotLoggedOn);
  EXPECT_THROW(core->Send("PC8.Agent", session, MakeMessage("PC7.Agent", "Tz-EntityEvent")), CorvexMessaging::NotLoggedOn);
  EXPECT_THROW(core->Logoff("PC7.Agent", "forged"), CorvexMessaging::NotLoggedOn);
  EXPECT_FALSE(core->Heartbeat("PC7.Agent", "forged"));
  EXPECT_TRUE(core->Heartbeat("PC7.Agent", session));

  for (const char* bad : {"", "has space", "R:1", ".Agent", "PC7.", "R1", "PC\x7f.Agent", "PC\xc2\x85.Agent", "PC\xff.Agent"})
    EXPECT_THROW(Logon(bad, std::make_shared<RecordingInbox>()), CorvexMessaging::Rejected) << bad;
  EXPECT_THROW(Logon(std::string(256, 'a'), std::make_shared<RecordingInbox>()), CorvexMessaging::Rejected);

  // Letters without destination or type are refused.
  EXPECT_EQ(core->Send("PC7.Agent", session, MakeMessage("", "Tz-EntityEvent")), 0);
  EXPECT_EQ(core->Send("PC7.Agent", session, MakeMessage("PC7.Agent", "")), 0);

  // The address stays with a client that still answers ...
  EXPECT_THROW(Logon("PC7.Agent", std::make_shared<RecordingInbox>()), CorvexMessaging::AlreadyLoggedOn);
  EXPECT_TRUE(core->Heartbeat("PC7.Agent", session));
  // ... and goes to the newcomer when the holder is gone.
  inbox->SetAlive(false);
  auto newcomer = std::make_shared<RecordingInbox>();
  const std::string newSession = Logon("PC7.Agent", newcomer);
  EXPECT_FALSE(core->Heartbeat("PC7.Agent", session));
  core->Send("PC7.Agent", newSession, MakeMessage("PC7.Agent", "Tz-EntityEvent"));
  ASSERT_TRUE(newcomer->WaitFor(1));
  EXPECT_TRUE(inbox->Received().empty());
}

TEST_F(RouterCoreTest, BusyClientGetsItsLettersLaterInOrderAndInBatches)
{
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  auto agent = std::make_shared<RecordingInbox>();
  agent->SetBusyTimes(3);
  agent->SetTakeAtMost(20);  // a client that takes part of what it is pushed
  Logon("PC7.Agent", agent);
  std::vector<CorvexMessaging::MessageId> ids;
  for (int i = 0; i < 100; ++i)
    ids.push_back(core->Send("PTLManagementService", session, MakeMessage("PC7.Agent", "Tz-GetStatus")));
  ASSERT_TRUE(agent->WaitFor(100));
  const auto got = agent->Received();
  ASSERT_EQ(got.size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(got[i].message_id, ids[i]);
  const auto batches = agent->Batches();
  EXPECT_TRUE(std::any_of(batches.begin(), batches.end(), [](std::size_t n) { return n > 1; }));
  EXPECT_TRUE(Eventually([&] { return core->Waiting("PC7.Agent") == 0; }));
}

TEST_F(RouterCoreTest, UnreachableClientIsLoggedOffAndItsLettersWait)
{
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  core->Send("PTLManagementService", session, MakeMessage(":", "Tz-NotifyRouterUpdates", 0));
  ASSERT_TRUE(service->WaitFor(1));

  auto agent = std::make_shared<RecordingInbox>();
  const std::string agentSession = Logon("PC7.Agent", agent);
  ASSERT_TRUE(service->WaitFor(2));  // logon notice
  agent->SetUnreachable(true);
  const auto id = core->Send("PTLManagementService", session, MakeMessage("PC7.Agent", "Tz-GetStatus"));
  ASSERT_TRUE(service->WaitFor(3));
  EXPECT_EQ(service->Types().back(), "Tz-RouterLogoff");
  EXPECT_FALSE(core->Heartbeat("PC7.Agent", agentSession));
  EXPECT_EQ(core->Waiting("PC7.Agent"), 1u);
  EXPECT_EQ(LetterFiles(), 1u);

  auto back = std::make_shared<RecordingInbox>();
  Logon("PC7.Agent", back);
  ASSERT_TRUE(back->WaitFor(1));
  EXPECT_EQ(back->Received()[0].message_id, id);
}

TEST_F(RouterCoreTest, QuietClientThatNoLongerAnswersIsLoggedOff)
{
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  auto agent = std::make_shared<RecordingInbox>();
  const std::string agentSession = Logon("PC7.Agent", agent);

  now += 31;
  core->Housekeeping();  // it answers: stays
  EXPECT_TRUE(core->Heartbeat("PC7.Agent", agentSession));
  core->Heartbeat("PTLManagementService", session);

  agent->SetAlive(false);
  now += 31;
  core->Heartbeat("PTLManagementService", session);
  core->Housekeeping();
  EXPECT_FALSE(core->Heartbeat("PC7.Agent", agentSession));
  EXPECT_TRUE(core->Heartbeat("PTLManagementService", session));
}

std::vector<CorvexMessaging::MessageId> Ids(const std::vector<CorvexMessaging::Envelope>& envelopes)
{
  std::vector<CorvexMessaging::MessageId> ids;
  for (const auto& e : envelopes)
    ids.push_back(e.message_id);
  return ids;
}

TEST_F(RouterCoreTest, UnconfirmedEnvelopesComeAgainInOrderAfterTheNextLogonConfirmedOnesDoNot)
{
  auto agent = std::make_shared<RecordingInbox>();
  const std::string agentSession = Logon("PC7.Agent", agent);
  auto service = std::make_shared<RecordingInbox>();
  std::string session = Logon("PTLManagementService", service);
  core->Confirm("PTLManagementService", session, {});  // a confirming client from now on

  std::vector<CorvexMessaging::MessageId> ids;
  for (int i = 0; i < 6; ++i)
    ids.push_back(core->Send("PC7.Agent", agentSession, MakeMessage("PTLManagementService", "Tz-EntityEvent")));
  ASSERT_TRUE(service->WaitFor(6));
  ASSERT_TRUE(Eventually([&] { return core->Unconfirmed("PTLManagementService") == 6; }));
  // Kept on disk until confirmed, even though delivered.
  EXPECT_EQ(LetterFiles(), 6u);
  core->Confirm("PTLManagementService", session, {ids[0], ids[2], 999999});  // an unknown id is ignored
  EXPECT_EQ(core->Unconfirmed("PTLManagementService"), 4u);
  EXPECT_EQ(LetterFiles(), 4u);

  // The service dies without logging off; its restart replaces the dead session.
  service->SetAlive(false);
  auto restarted = std::make_shared<RecordingInbox>();
  session = Logon("PTLManagementService", restarted);
  ASSERT_TRUE(restarted->WaitFor(4));
  EXPECT_EQ(Ids(restarted->Received()), (std::vector<CorvexMessaging::MessageId>{ids[1], ids[3], ids[4], ids[5]}));

  // A confirmation that refers to the old delivery still counts, and new letters queue behind.
  core->Confirm("PTLManagementService", session, {ids[1], ids[3], ids[4], ids[5]});
  const auto later = core->Send("PC7.Agent", agentSession, MakeMessage("PTLManagementService", "Tz-EntityEvent"));
  ASSERT_TRUE(restarted->WaitFor(5));
  EXPECT_EQ(restarted->Received()[4].message_id, later);
  core->Confirm("PTLManagementService", session, {later});
  EXPECT_EQ(core->Unconfirmed("PTLManagementService"), 0u);
  EXPECT_EQ(core->Waiting("PTLManagementService"), 0u);
  EXPECT_EQ(LetterFiles(), 0u);
  EXPECT_THROW(core->Confirm("PTLManagementService", "stale", {later}), CorvexMessaging::NotLoggedOn);
}

TEST_F(RouterCoreTest, ConfirmingClientsLettersSurviveARouterThatIsKilled)
{
  auto agent = std::make_shared<RecordingInbox>();
  const std::string agentSession = Logon("PC7.Agent", agent);
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  core->Confirm("PTLManagementService", session, {});
  service->SetBusyTimes(1000000);  // it takes nothing: the letters stay queued in memory
  const auto first = core->Send("PC7.Agent", agentSession, MakeMessage("PTLManagementService", "Tz-EntityEvent"));
  const auto second = core->Send("PC7.Agent", agentSession, MakeMessage("PTLManagementService", "Tz-EntityEvent"));

  // A killed router leaves its data directory as it is at this moment.
  TempDir crashed;
  fs::copy(m_dir.Path() / "data", crashed.Path(), fs::copy_options::recursive);
  router::RouterOptions options;
  options.name = "R1";
  options.dataDirectory = crashed.Path();
  options.clock = [this] { return now.load(); };
  RouterCore after(options, *log);
  after.Start();
  auto back = std::make_shared<RecordingInbox>();
  after.Logon("PTLManagementService", back);
  ASSERT_TRUE(back->WaitFor(2));
  EXPECT_EQ(Ids(back->Received()), (std::vector<CorvexMessaging::MessageId>{first, second}));
  // Still a confirming client after the restart: what it has not confirmed stays.
  EXPECT_TRUE(Eventually([&] { return after.Unconfirmed("PTLManagementService") == 2; }));
}

TEST_F(RouterCoreTest, ClientThatNeverConfirmsGetsItsLettersOnceAfterTheConfirmTimeout)
{
  auto agent = std::make_shared<RecordingInbox>();
  const std::string agentSession = Logon("PC7.Agent", agent);
  auto service = std::make_shared<RecordingInbox>();
  const std::string session = Logon("PTLManagementService", service);
  const auto id = core->Send("PC7.Agent", agentSession, MakeMessage("PTLManagementService", "Tz-EntityEvent"));
  ASSERT_TRUE(service->WaitFor(1));
  ASSERT_TRUE(Eventually([&] { return core->Unconfirmed("PTLManagementService") == 1; }));
  EXPECT_EQ(LetterFiles(), 0u);  // a client that does not confirm gets no disk copies

  // Logged on again within the time: it gets the letter again.
  core->Logoff("PTLManagementService", session);
  auto again = std::make_shared<RecordingInbox>();
  Logon("PTLManagementService", again);
  ASSERT_TRUE(again->WaitFor(1));
  EXPECT_EQ(again->Received()[0].message_id, id);

  ASSERT_TRUE(Eventually([&] { return core->Unconfirmed("PTLManagementService") == 1; }));
  now += 29;
  core->Housekeeping();
  EXPECT_EQ(core->Unconfirmed("PTLManagementService"), 1u);
  now += 1;
  core->Housekeeping();
  EXPECT_EQ(core->Unconfirmed("PTLManagementService"), 0u);
  EXPECT_EQ(core->Waiting("PTLManagementService"), 0u);
}

}  // namespace
