// The inbound road with every part a real process: nats-server and the relay, the service and
// the agent simulator. Events become alerts and scan times, computers the service has not seen
// are created by their first event, the relay's logon and logoff notices set the connected
// state, envelopes that cannot be applied are dropped without stopping the ones behind them, and
// a service killed while agents send stores every accepted event once.
#include <gtest/gtest.h>

#include <signal.h>

#include <functional>
#include <memory>
#include <thread>

#include "dexhandler/DexEvent.h"
#include "idl/DEX_PTLMessages.hh"
#include "messaging/ClientLibrary.h"
#include "messaging/Letters.h"
#include "tests/e2e/support/MessagingLetters.h"
#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tests/messaging/TestSupport.h"
#include "tools/corvex-db/DatabaseTool.h"

using namespace std::chrono_literals;
using ZiriviridUrurezArevudUza::IClientLibrary;

namespace {

// The simulated and test agents the location enrols: PC1 ... PC10.
constexpr int kAgents = 10;

const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new e2e::OrbEnvironment("e2e_event_tests"));

using e2e::WaitUntil;

class EventRoad : public ::testing::Test
{
protected:
  void SetUp() override
  {
    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    // Letters live two seconds, so that one for a vanished agent comes back within the test.
    std::string registry = e2e::ReadFile(m_dir / "registry.reg");
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]\n";
    registry.insert(registry.find(key) + key.size(), "\"MessageTimeoutSecs\"=dword:00000002\n");
    e2e::WriteFile(m_dir / "registry.reg", registry);
    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=3", "CORVEX_TRACE_FILE=" + Trace()};
    e2e::ChildProcess reg(RUDADIZ_PATH, {"-RegServer"}, m_env, m_dir / "regserver.out");
    ASSERT_EQ(reg.Wait(), 0);
    std::vector<std::string> agents;
    for (int i = 1; i <= kAgents; ++i)
      agents.push_back("PC" + std::to_string(i) + ".Agent");
    m_messaging = std::make_unique<e2e::MessagingLocation>(m_dir.Path(), agents);
    StartService();
  }

  void StartService()
  {
    m_service = std::make_unique<e2e::ChildProcess>(RUDADIZ_PATH, std::vector<std::string>{}, m_env,
                                                    m_dir / ("service-" + std::to_string(++m_services) + ".out"));
    ASSERT_TRUE(e2e::WaitForText(Trace(), "Sent GetStatus to router, id=", 20s, m_services))
      << e2e::ReadFile(m_dir / ("service-" + std::to_string(m_services) + ".out"));
  }

  void TearDown() override
  {
    EXPECT_TRUE(m_service->Running()) << "the service stopped";
    m_service->Signal(SIGTERM);
    EXPECT_EQ(m_service->Wait(20s), 0);
  }

  std::unique_ptr<e2e::ChildProcess> StartAgents(const std::vector<std::string>& extra)
  {
    std::vector<std::string> args = {"--messaging", m_messaging->Directory(), "--heartbeat", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto agents = std::make_unique<e2e::ChildProcess>(AGENT_SIM_PATH, args, std::vector<std::string>{},
                                                      m_dir / ("agents" + std::to_string(++m_simulators) + ".out"),
                                                      e2e::ChildInput::Pipe);
    EXPECT_TRUE(agents->WaitForOutput(".Agent connected")) << agents->Output();
    return agents;
  }

  std::string Trace() const { return m_dir / "trace.log"; }

  // One value of a computer's row, "(none)" while there is no computer of that name.
  std::string Computer(const std::string& name, const std::string& column)
  {
    const auto r = m_db.Exec("SELECT coalesce(\"" + column + "\"::text, 'NULL') FROM dbo.\"Computers\" WHERE \"ComputerName\" = '" +
                             name + "'");
    return r.Rows() == 0 ? "(none)" : r.Text(0, 0);
  }
  bool ComputerHas(const std::string& name, const std::string& column, const std::string& value)
  {
    return WaitUntil([&] { return Computer(name, column) == value; }, 15s);
  }

  e2e::ScratchDir m_dir{"corvex-e2e-events"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_events"};
  corvexdb::PgConnection m_db = m_database.Connect();
  std::vector<std::string> m_env;
  std::unique_ptr<e2e::MessagingLocation> m_messaging;
  std::unique_ptr<e2e::ChildProcess> m_service;
  int m_services = 0;
  int m_simulators = 0;
};

}  // namespace

TEST_F(EventRoad, EventsCreateTheComputerAndTheRelaysNoticesFollowItsConnection)
{
  auto agents = StartAgents({"--agents", "1"});
  agents->Write("event PC1 scan\n");
  // The computer was unknown: its first event creates it from its address, name and domain.
  ASSERT_TRUE(ComputerHas("PC1", "LastScanName", "Weekly full scan")) << e2e::ReadFile(Trace());
  EXPECT_EQ(Computer("PC1", "MessageSystemAddress"), "PC1");
  EXPECT_EQ(Computer("PC1", "DomainName"), "CORP");
  EXPECT_NE(Computer("PC1", "LastScanDateTime"), "NULL");
  // Virus events become virus alerts, with the user as the event names it.
  agents->Write("event PC1 virus\nevent PC1 virus-local\n");
  const std::string alerts = "SELECT string_agg(\"UserName\" || ' ' || (\"VirusName\" <> '')::text, ', ' ORDER BY \"AlertID\") "
                             "FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2";
  ASSERT_TRUE(WaitUntil([&] { return m_db.Exec("SELECT count(*) FROM dbo.\"Alerts\"").Text(0, 0) == "2"; }, 15s));
  EXPECT_EQ(m_db.Exec(alerts).Text(0, 0), "CORP\\jsmith true, jsmith true");

  // Its logon came before the computer existed: nothing to mark, which is logged.
  EXPECT_TRUE(e2e::WaitForText(Trace(), "UpdateComputerConnectedState return value 48"));
  EXPECT_TRUE(e2e::WaitForText(Trace(), "comp[PC1].MessageRecieved()  The computer is not managed address :PC1"));

  // Leaving with the simulator logs the agent off; a new logon marks it connected again, and
  // the logoff command disconnects it once more.
  agents->Write("quit\n");
  EXPECT_EQ(agents->Wait(), 0);
  EXPECT_TRUE(ComputerHas("PC1", "Connected", "false"));
  agents = StartAgents({"--agents", "1"});
  EXPECT_TRUE(ComputerHas("PC1", "Connected", "true"));
  agents->Write("logoff PC1\n");
  EXPECT_TRUE(agents->WaitForOutput("PC1.Agent logged off"));
  EXPECT_TRUE(ComputerHas("PC1", "Connected", "false"));
  agents->Write("quit\n");
  EXPECT_EQ(agents->Wait(), 0);
}

TEST_F(EventRoad, EnvelopesThatCannotBeAppliedAreDroppedAndTheNextOneIsApplied)
{
  messaging_test::TestReceiver receiver;
  auto* agent = IClientLibrary::Instance()->ConnectAs(&receiver, "PC9.Agent", m_messaging->Directory());
  agent->Configure(0, 1);
  ASSERT_TRUE(receiver.WaitNotices(1));

  auto send = [&](const char* entity, const std::string& event) {
    DEX_PTLMessages::AppEvent2 payload;
    payload.entity = entity;
    payload.event = event.c_str();
    payload.domain = L"CORP";
    payload.computer_name = L"PC9";
    CorvexMessaging::Message letter = messaging::MakeLetter("PTLManagementService", "Tz-EntityEvent", 60);
    letter.custom_data <<= payload;
    ASSERT_NE(agent->Send(letter), 0);
  };
  auto scan = [](const std::string& name) {
    KTDexHandler::Event_t e;
    e.type = KTDexHandler::kScanCompleteEventType;
    e.scanComplete.scanName = std::wstring(name.begin(), name.end());
    return DexHandler::DexEvent::ToAgentText(e);
  };

  send("DEX", scan("first"));
  ASSERT_TRUE(ComputerHas("PC9", "LastScanName", "first")) << e2e::ReadFile(Trace());

  CorvexMessaging::Message noEvent = messaging::MakeLetter("PTLManagementService", "Tz-EntityEvent", 60);
  noEvent.custom_data <<= "not an event";
  ASSERT_NE(agent->Send(noEvent), 0);
  send("DEX", "<event type='corvex.mgt.dex.scanCompleteEvent'");  // malformed
  send("Agent", scan("agent"));                                   // an entity without a strategy
  std::string invalid = scan("bad");
  invalid.replace(invalid.find("bad"), 3, "b\xC3\x28");           // invalid UTF-8
  send("DEX", invalid);
  const std::string large = scan(std::string(100000, 'x'));
  send("DEX", large.substr(0, large.size() - 20));                // a large text cut short
  KTDexHandler::Event_t error;
  error.type = KTDexHandler::kAppEventType;
  error.appInfo.message.message_code.assign(300, L'X');           // longer than the alert takes
  send("DEX", DexHandler::DexEvent::ToAgentText(error, L"Scanner"));
  send("DEX", scan("second"));

  ASSERT_TRUE(ComputerHas("PC9", "LastScanName", "second")) << e2e::ReadFile(Trace());
  const std::string trace = e2e::ReadFile(Trace());
  EXPECT_EQ(e2e::CountOf(trace, "CreatorFn Caught (EntityEventMessage::EntityEventMessage() bad envelope, no AppEvent2.)"), 1);
  EXPECT_EQ(e2e::CountOf(trace, "Caught exception: `"), 5) << trace;
  EXPECT_NE(trace.find("Caught exception: `Unrecognised Entity :Agent`"), std::string::npos);
  EXPECT_EQ(m_db.Exec("SELECT count(*) FROM dbo.\"Alerts\"").Text(0, 0), "0");
  agent->Release();
}

TEST_F(EventRoad, ALetterToAVanishedAgentComesBackAndMarksItsComputerNotConnected)
{
  auto agents = StartAgents({"--agents", "1", "--first", "3"});
  agents->Write("event PC3 scan\n");
  ASSERT_TRUE(ComputerHas("PC3", "LastScanName", "Weekly full scan")) << e2e::ReadFile(Trace());
  // Gone without a word: its connection closes with it, and the relay reports the logoff.
  agents->Write("vanish\n");
  EXPECT_EQ(agents->Wait(), 0);
  ASSERT_TRUE(ComputerHas("PC3", "Connected", "false")) << e2e::ReadFile(Trace());

  // Whatever the database believed, a letter that cannot be delivered marks the computer again.
  m_db.Exec("UPDATE dbo.\"Computers\" SET \"Connected\" = true WHERE \"ComputerName\" = 'PC3'");
  std::string out;
  ASSERT_EQ(e2e::Run(CORVEXCTL_PATH, {"refresh", Computer("PC3", "ComputerID")}, m_env, m_dir / "refresh.out", out), 0) << out;
  EXPECT_TRUE(e2e::WaitForText(Trace(), "Delivery_Failure::Delivery_Failure(const struct CorvexMessaging::Envelope &),    originator=", 20s))
    << e2e::ReadFile(Trace());
  EXPECT_TRUE(ComputerHas("PC3", "Connected", "false"));
}

TEST_F(EventRoad, EveryAcceptedEventIsStoredOnceThoughTheServiceIsKilledWhileAgentsSend)
{
  const std::string virusAlerts = "SELECT count(*) FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2";
  auto count = [&] { return std::stoi(m_db.Exec(virusAlerts).Text(0, 0)); };
  auto agents = StartAgents({"--agents", "8", "--event-rate", "4", "--event-kind", "virus"});
  ASSERT_TRUE(WaitUntil([&] { return count() >= 20; }, 30s)) << e2e::ReadFile(Trace());

  // Killed at any point of its work: whatever it committed and had not confirmed comes again
  // after the restart, and the events sent meanwhile wait for it. Later kills fall while it works
  // through those.
  int beforeKill = 0;
  for (int kill = 1; kill <= 3; ++kill) {
    m_service->Signal(SIGKILL);
    m_service->Wait();
    beforeKill = count();
    std::this_thread::sleep_for(1s);
    StartService();
    ASSERT_TRUE(WaitUntil([&] { return count() >= beforeKill + 20; }, 30s)) << e2e::ReadFile(Trace());
  }
  agents->Write("quit\n");
  ASSERT_EQ(agents->Wait(20s), 0) << agents->Output();
  const std::string output = agents->Output();
  const auto at = output.rfind("\nsent ");
  ASSERT_NE(at, std::string::npos) << output;
  const int sent = std::stoi(output.substr(at + 6));
  ASSERT_GT(sent, beforeKill);

  // A last letter behind all of them: once it is applied, every event before it has been.
  messaging_test::TestReceiver receiver;
  auto* agent = IClientLibrary::Instance()->ConnectAs(&receiver, "PC9.Agent", m_messaging->Directory());
  const std::unique_ptr<ZiriviridUrurezArevudUza::IConnection, void (*)(ZiriviridUrurezArevudUza::IConnection*)> release(
    agent, [](ZiriviridUrurezArevudUza::IConnection* c) { c->Release(); });
  agent->Configure(0, 1);
  ASSERT_TRUE(receiver.WaitNotices(1));
  KTDexHandler::Event_t last;
  last.type = KTDexHandler::kScanCompleteEventType;
  last.scanComplete.scanName = L"the last";
  DEX_PTLMessages::AppEvent2 payload;
  payload.entity = "DEX";
  payload.event = DexHandler::DexEvent::ToAgentText(last).c_str();
  payload.domain = L"CORP";
  payload.computer_name = L"PC9";
  CorvexMessaging::Message letter = messaging::MakeLetter("PTLManagementService", "Tz-EntityEvent", 60);
  letter.custom_data <<= payload;
  ASSERT_NE(agent->Send(letter), 0);
  EXPECT_TRUE(ComputerHas("PC9", "LastScanName", "the last")) << e2e::ReadFile(Trace());
  EXPECT_EQ(count(), sent) << "events accepted by the messaging server: " << sent;
}
