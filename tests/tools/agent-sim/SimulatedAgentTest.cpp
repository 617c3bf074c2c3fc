// The simulated agent's answers and records, driven with envelopes directly and a connection
// that keeps what is sent; its documents, the merge of update configurations, and its options.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/messaging/TestSupport.h"
#include "tools/agent-sim/AgentSimOptions.h"
#include "tools/agent-sim/SimulatedAgent.h"

namespace {

using namespace agentsim;
using namespace messaging_test;

class KeepingConnection : public ZiriviridUrurezArevudUza::IConnection
{
public:
  CorvexMessaging::MessageId Send(const CorvexMessaging::Message& message) override
  {
    sent.push_back(message);
    return static_cast<CorvexMessaging::MessageId>(100 + sent.size());
  }
  void Release() override {}
  void Configure(long, long) override {}
  std::string Address() const override { return "PC7.Agent"; }
  bool IsConnected() const override { return true; }
  std::vector<CorvexMessaging::Message> sent;
};

Computer Pc7()
{
  Computer c;
  c.name = "PC7";
  c.domain = L"BÜRO";
  c.address = "PC7";
  c.operatingSystem = "WINXP";
  c.servicePack = "Service Pack 2";
  c.ip = ParseIp("192.168.1.7");
  c.comment = L"Empfang";
  c.user = L"anna";
  return c;
}

CorvexMessaging::Envelope Incoming(const std::string& type, CorvexMessaging::MessageId id = 9)
{
  CorvexMessaging::Envelope e;
  e.originator = CORBA::string_dup("PTLManagementService");
  e.timestamps.length(1);
  e.timestamps[0].name = CORBA::string_dup("R1");
  e.message_id = id;
  e.client_info = MakeMessage("PC7.Agent", type);
  return e;
}

class SimulatedAgentTest : public ::testing::Test
{
protected:
  SimulatedAgentTest() { EnsureOrb(); }

  std::unique_ptr<SimulatedAgent> Make(Components components)
  {
    auto agent = std::make_unique<SimulatedAgent>(Pc7(), components, documents,
                                                  [this](const std::string& line) { printed.push_back(line); });
    agent->Attach(&connection);
    return agent;
  }

  DEX_PTLMessages::AgentStatus LastStatus()
  {
    const DEX_PTLMessages::AgentStatus* status = nullptr;
    EXPECT_TRUE(connection.sent.back().custom_data >>= status);
    return status ? *status : DEX_PTLMessages::AgentStatus();
  }

  static std::string Configuration(const DEX_PTLMessages::AgentStatus& status, const char* entity)
  {
    for (CORBA::ULong i = 0; i < status.app_statuses.length(); ++i)
      if (std::string(status.app_statuses[i].entity.in()) == entity) {
        const DEX_PTLMessages::StatusAndConfig* sc = nullptr;
        if (status.app_statuses[i].status >>= sc)
          return sc->configuration.in();
      }
    return "(none)";
  }

  SampleDocuments documents;
  KeepingConnection connection;
  std::vector<std::string> printed;
};

TEST_F(SimulatedAgentTest, AnswersStatusWithTheComponentsItHas)
{
  auto agent = Make({true, true, true});
  agent->Receive(Incoming("Tz-GetStatus", 41));
  ASSERT_EQ(connection.sent.size(), 1u);
  EXPECT_STREQ(connection.sent[0].destination.in(), "PTLManagementService");
  EXPECT_STREQ(connection.sent[0].type.in(), "Tz-GetStatus-Reply");
  auto status = LastStatus();
  EXPECT_EQ(status.request_id, 41);
  ASSERT_EQ(status.app_statuses.length(), 4u);
  const DEX_PTLMessages::ComputerStatus2* computer = nullptr;
  ASSERT_TRUE(status.app_statuses[0].status >>= computer);
  EXPECT_EQ(std::wstring(computer->domain.in()), L"BÜRO");
  EXPECT_EQ(std::wstring(computer->computer_name.in()), L"PC7");
  EXPECT_EQ(computer->ip_address, 0xC0A80107u);
  EXPECT_EQ(std::wstring(computer->last_logged_on_user.in()), L"anna");
  EXPECT_STREQ(computer->service_pack.in(), "Service Pack 2");
  const DEX_PTLMessages::StatusAndConfig* dex = nullptr;
  ASSERT_TRUE(status.app_statuses[1].status >>= dex);
  EXPECT_NE(std::string(dex->status.in()).find("<on-access>true</on-access>"), std::string::npos);
  EXPECT_NE(std::string(dex->configuration.in()).find("Corvex Anti-Virus on PC7"), std::string::npos);
  EXPECT_NE(Configuration(status, "ALC").find("<AUConfigurations"), std::string::npos);
  const DEX_PTLMessages::StatusAndConfig* tzlib = nullptr;
  ASSERT_TRUE(status.app_statuses[3].status >>= tzlib);
  EXPECT_NE(std::string(tzlib->status.in()).find("\\\\PC7\\TzLib"), std::string::npos);

  auto bare = Make({false, false, false});
  bare->Receive(Incoming("Tz-GetStatus"));
  status = LastStatus();
  ASSERT_EQ(status.app_statuses.length(), 1u);
  EXPECT_STREQ(status.app_statuses[0].entity.in(), "Agent");
}

TEST_F(SimulatedAgentTest, AppliesAndRecordsWhatItIsSentAndDropsWhatItCannotRead)
{
  auto agent = Make({true, true, false});
  DEX_PTLMessages::AppConfiguration dex;
  dex.entity = CORBA::string_dup("DEX");
  dex.config = CORBA::string_dup("<config/>");
  auto set = Incoming("Tz-SetConfiguration");
  set.client_info.custom_data <<= dex;
  agent->Receive(set);

  DEX_PTLMessages::AppConfiguration alc;
  alc.entity = CORBA::string_dup("ALC");
  alc.config = CORBA::string_dup(
    "<?xml version=\"1.0\"?><AUConfig xmlns=\"http://schemas.corvex.example/KT/AUConfig\" platform=\"Tandem\" "
    "version=\"2\"><schedule Frequency=\"15\"/></AUConfig>");
  set.client_info.custom_data <<= alc;
  agent->Receive(set);

  DEX_PTLMessages::DoActionContent action;
  action.entity = CORBA::string_dup("ALC");
  action.correlationId = CORBA::string_dup("c-1");
  action.action = CORBA::string_dup("<action type=\"corvex.mgt.action.ALCClearUpdateErrorState\"/>");
  auto doAction = Incoming("Tz-DoAction");
  doAction.client_info.custom_data <<= action;
  agent->Receive(doAction);
  auto central = Incoming("Tz-ApplyCentralConfig");
  central.client_info.custom_data <<= CORBA::Any::from_boolean(true);
  agent->Receive(central);

  auto wrong = Incoming("Tz-DoAction");
  wrong.client_info.custom_data <<= alc;
  agent->Receive(wrong);
  auto noBoolean = Incoming("Tz-ApplyCentralConfig");
  agent->Receive(noBoolean);
  agent->Receive(Incoming("Tz-Reboot"));
  EXPECT_EQ(agent->Dropped(), 3u);

  const auto records = agent->Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].entity, "DEX");
  EXPECT_EQ(records[1].entity, "ALC");
  EXPECT_EQ(records[2].type, "Tz-DoAction");
  EXPECT_EQ(records[2].text, "<action type=\"corvex.mgt.action.ALCClearUpdateErrorState\"/> correlation=c-1");
  EXPECT_EQ(records[3].text, "true");
  EXPECT_EQ(records[3].from, "PTLManagementService");
  EXPECT_EQ(printed.size(), 7u);

  agent->Receive(Incoming("Tz-GetStatus"));
  const auto status = LastStatus();
  EXPECT_EQ(Configuration(status, "DEX"), "<config/>");
  const std::string updates = Configuration(status, "ALC");
  EXPECT_NE(updates.find("version=\"2\"><schedule Frequency=\"15\"/></AUConfig>"), std::string::npos);
  EXPECT_NE(updates.find("platform=\"DEXNT\""), std::string::npos);  // the others stay
  EXPECT_EQ(updates.find("platform=\"Tandem\" version=\"1\""), std::string::npos);
}

TEST_F(SimulatedAgentTest, SendsEntityEventsWithFilledDocuments)
{
  auto agent = Make({});
  EXPECT_EQ(agent->SendEvent(EventKind::VirusFound, "SVC", 120), 101);
  agent->SendEvent(EventKind::VirusFound, "SVC", 120);
  agent->SendEvent(EventKind::ApplicationError, "SVC", 120);
  ASSERT_EQ(connection.sent.size(), 3u);
  EXPECT_STREQ(connection.sent[0].type.in(), "Tz-EntityEvent");
  EXPECT_EQ(connection.sent[0].ttl, 120);
  const DEX_PTLMessages::AppEvent2* event = nullptr;
  ASSERT_TRUE(connection.sent[0].custom_data >>= event);
  const std::string first = event->event.in();
  EXPECT_STREQ(event->entity.in(), "DEX");
  EXPECT_EQ(std::wstring(event->domain.in()), L"BÜRO");
  EXPECT_NE(first.find("type=\"corvex.mgt.dex.virusDetectedEvent\""), std::string::npos);
  EXPECT_NE(first.find("<userId>anna</userId>"), std::string::npos);
  EXPECT_NE(first.find("C:\\Users\\anna\\"), std::string::npos);
  EXPECT_EQ(first.find("${"), std::string::npos);
  ASSERT_TRUE(connection.sent[1].custom_data >>= event);
  EXPECT_NE(std::string(event->event.in()), first);  // another virus next time
  ASSERT_TRUE(connection.sent[2].custom_data >>= event);
  EXPECT_NE(std::string(event->event.in()).find("corvex.mgt.entityAppEvent"), std::string::npos);
}

TEST(AgentDocuments, TimestampsAndUpdateConfigurationMerge)
{
  EXPECT_EQ(EventTimestamp(0), "19700101 000000");
  EXPECT_EQ(EventTimestamp(1700000000), "20231114 221320");

  const std::string held =
    "<AUConfigurations><AUConfig platform='Tandem' version='1'><a/></AUConfig>"
    "<AUConfig platform='DEXNT' version='1'><b/></AUConfig></AUConfigurations>";
  bool applied = false;
  EXPECT_EQ(MergeUpdateConfiguration(held, "<AUConfig platform=\"DEXNT\" version=\"3\"><c/></AUConfig>", applied),
            "<AUConfigurations><AUConfig platform='Tandem' version='1'><a/></AUConfig>"
            "<AUConfig platform=\"DEXNT\" version=\"3\"><c/></AUConfig></AUConfigurations>");
  EXPECT_TRUE(applied);
  EXPECT_EQ(MergeUpdateConfiguration(held, "<AUConfigurations/>", applied), "<AUConfigurations/>");
  EXPECT_TRUE(applied);
  for (const char* unusable : {"<AUConfig platform='MacOSX'><d/></AUConfig>", "not xml", "<AUConfig platform='a(b'/>",
                               "<AUConfig platform='Tandem'>unterminated"}) {
    EXPECT_EQ(MergeUpdateConfiguration(held, unusable, applied), held) << unusable;
    EXPECT_FALSE(applied);
  }
}

TEST(AgentDocuments, FilesTakeThePlaceOfSamples)
{
  TempDir dir;
  std::ofstream(dir.Path() / "dex-status.xml") << "<status>${COMPUTER} in ${DOMAIN}</status>";
  SampleDocuments documents(dir.Path());
  EXPECT_EQ(documents.DexStatus(Pc7()), "<status>PC7 in BÜRO</status>");
  EXPECT_NE(documents.DexConfiguration(Pc7()).find("<config"), std::string::npos);  // still the sample
  TempDir empty;
  EXPECT_THROW(SampleDocuments{empty.Path()}, std::runtime_error);
  EXPECT_THROW(SampleDocuments{empty.Path() / "missing"}, std::runtime_error);
}

TEST(AgentSimOptions, ComputersFromOptionsOrFile)
{
  auto options = ParseAgentSimArguments({"--agents", "3", "--prefix", "WS", "--first", "9", "--ip", "10.1.0.254",
                                         "--tzlib", "on", "--dex", "off", "--event-rate", "0.5"});
  EXPECT_FALSE(options.components.dex);
  EXPECT_TRUE(options.components.tzlib);
  EXPECT_DOUBLE_EQ(options.eventRate, 0.5);
  auto computers = MakeComputers(options);
  ASSERT_EQ(computers.size(), 3u);
  EXPECT_EQ(computers[2].name, "WS11");
  EXPECT_EQ(computers[2].AgentAddress(), "WS11.Agent");
  EXPECT_EQ(FormatIp(computers[2].ip), "10.1.1.0");
  EXPECT_EQ(PlatformOf("WIN98"), "DEX95");
  EXPECT_EQ(PlatformOf("WINNT4SERVER"), "DEXNT");
  EXPECT_EQ(PlatformOf("WIN2003"), "Tandem");
  EXPECT_EQ(PlatformOf("MACOSX"), "MacOSX");
  EXPECT_EQ(PlatformOf("OS2"), "");

  TempDir dir;
  const auto file = dir.Path() / "computers.txt";
  std::ofstream(file) << "# name;domain;address;os;ip;user\nPC1;HQ;;WIN2000;10.9.9.1;bob\n\nLAPTOP;;BRANCH1.LAPTOP\n";
  options = ParseAgentSimArguments({"--computers", file.string()});
  computers = MakeComputers(options);
  ASSERT_EQ(computers.size(), 2u);
  EXPECT_EQ(computers[0].address, "PC1");
  EXPECT_EQ(computers[0].domain, L"HQ");
  EXPECT_EQ(computers[0].user, L"bob");
  EXPECT_EQ(FormatIp(computers[0].ip), "10.9.9.1");
  EXPECT_EQ(computers[1].AgentAddress(), "BRANCH1.LAPTOP.Agent");
  EXPECT_EQ(computers[1].domain, L"CORP");

  auto error = [](std::vector<std::string> args) {
    try {
      MakeComputers(ParseAgentSimArguments(args));
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(error({"--agents", "0"}), "--agents: expected a whole number from 1 to 100000, got `0`");
  EXPECT_EQ(error({"--dex", "yes"}), "--dex: expected on or off, got `yes`");
  EXPECT_EQ(error({"--ip", "10.0.0"}), "not an IPv4 address: `10.0.0`");
  EXPECT_EQ(error({"--ip", "10.0.0.256"}), "IP address: expected a whole number from 0 to 255, got `256`");
  EXPECT_EQ(error({"--event-kind", "fire"}), "--event-kind: expected virus, scan, error or mixed, got `fire`");
  EXPECT_EQ(error({"--load", "5"}), "--load needs at least two agents");
  EXPECT_EQ(error({"--prefix", "P C"}), "`P C1` cannot be a computer's address on the router");
  EXPECT_EQ(error({"--frobnicate"}), "unknown option `--frobnicate`");
  std::ofstream(file) << "PC1;HQ;PC1;WINXP;10.0.0.1;bob;extra\n";
  EXPECT_EQ(error({"--computers", file.string()}), file.string() + " line 1: expected name;domain;address;os;ip;user");
}

}  // namespace
