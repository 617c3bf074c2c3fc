// The simulated agent's answers and records, driven with envelopes directly and a connection
// that keeps what is sent; its documents read back through the document classes, the
// configurations it applies or drops, and its options.
#include <gtest/gtest.h>

#include <fstream>

#include "dexhandler/DexConfiguration.h"
#include "dexhandler/DexEvent.h"
#include "handlers/AUCoreHandler/AUConfig.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"
#include "platform/oledate/OleDate.h"
#include "platform/text/Unicode.h"
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

Computer Pc7(const std::string& os = "WINXP")
{
  Computer c;
  c.name = "PC7";
  c.domain = L"BÜRO";
  c.address = "PC7";
  c.operatingSystem = os;
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

CorvexMessaging::Envelope SetConfiguration(const char* entity, const std::string& text)
{
  DEX_PTLMessages::AppConfiguration configuration;
  configuration.entity = CORBA::string_dup(entity);
  configuration.config = CORBA::string_dup(text.c_str());
  auto set = Incoming("Tz-SetConfiguration");
  set.client_info.custom_data <<= configuration;
  return set;
}

// The built-in update configuration with one change, for one platform or all of them.
std::string UpdateConfiguration(ULONG frequency, const std::wstring& platform = L"")
{
  AUCoreHandler::AutoUpdateConfiguration all;
  all.CreateConfig();
  for (const wchar_t* p : AUCoreHandler::Platforms)
    all.GetConfig(p).GetSchedule().SetFrequency(frequency);
  return platform.empty() ? all.ToXML_UTF8() : all.ToXML_UTF8(platform);
}

ULONG FrequencyOf(const std::string& configuration)
{
  AUCoreHandler::AUConfig c;
  c.Set(configuration);
  ULONG frequency = 0;
  EXPECT_TRUE(c.GetSchedule().GetFrequency(frequency));
  return frequency;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text)
{
  for (const auto& line : lines)
    if (line.find(text) != std::string::npos)
      return true;
  return false;
}

class SimulatedAgentTest : public ::testing::Test
{
protected:
  SimulatedAgentTest() { EnsureOrb(); }

  std::unique_ptr<SimulatedAgent> Make(Components components, const std::string& os = "WINXP")
  {
    auto agent = std::make_unique<SimulatedAgent>(Pc7(os), components, documents,
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

  static DEX_PTLMessages::StatusAndConfig Entry(const DEX_PTLMessages::AgentStatus& status, const char* entity)
  {
    for (CORBA::ULong i = 0; i < status.app_statuses.length(); ++i)
      if (std::string(status.app_statuses[i].entity.in()) == entity) {
        const DEX_PTLMessages::StatusAndConfig* sc = nullptr;
        if (status.app_statuses[i].status >>= sc)
          return *sc;
      }
    ADD_FAILURE() << "no " << entity << " entry";
    return {};
  }

  AgentDocuments documents;
  KeepingConnection connection;
  std::vector<std::string> printed;
};

TEST_F(SimulatedAgentTest, AnswersStatusWithDocumentsThatReadBackForItsComponents)
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

  const auto dex = Entry(status, "DEX");
  KTDexHandler::KTDexStatus dexStatus;
  dexStatus.Set(std::string(dex.status.in()));
  EXPECT_TRUE(dexStatus.GetDetails().onAccess);
  DexHandler::DexConfiguration dexConfiguration;
  dexConfiguration.Set(std::string(dex.configuration.in()));
  EXPECT_EQ(dexConfiguration.GetConfig().entity.entityInfo, L"Corvex Anti-Virus on PC7");
  EXPECT_EQ(dexConfiguration.GetConfig().alerting.smtp.subjectLine, L"Virus alert from PC7");

  // A Windows XP computer reports its own platform's update configuration.
  const auto alc = Entry(status, "ALC");
  EXPECT_STREQ(alc.status.in(), "");
  AUCoreHandler::AUConfig updates;
  updates.Set(std::string(alc.configuration.in()));
  std::wstring text;
  EXPECT_TRUE(updates.GetPlatform(text));
  EXPECT_EQ(text, L"Tandem");
  EXPECT_TRUE(updates.GetEntityInfo(text));
  EXPECT_EQ(text, L"ALC 3.2.0.114 on PC7");
  EXPECT_TRUE(updates.GetPrimaryLocation().GetServer().GetAddress(text));
  EXPECT_EQ(text, L"http://updates.corp.example:8080/corvex/kt");
  EXPECT_EQ(FrequencyOf(alc.configuration.in()), 60u);

  TzLibHandler::TzLibraryStatusImpl library;
  library.Set(std::string(Entry(status, "TzLib").status.in()));
  library.Validate();
  ASSERT_EQ(library.GetUpdateLocations().size(), 2u);
  EXPECT_EQ(library.GetUpdateLocations()[0].path, L"\\\\PC7\\TzLib\\DEXKTNT\\latest");

  auto bare = Make({false, false, false});
  bare->Receive(Incoming("Tz-GetStatus"));
  status = LastStatus();
  ASSERT_EQ(status.app_statuses.length(), 1u);
  EXPECT_STREQ(status.app_statuses[0].entity.in(), "Agent");

  // No update platform for its system: the component is there with no configuration.
  auto unknown = Make({false, true, false}, "OS2");
  unknown->Receive(Incoming("Tz-GetStatus"));
  EXPECT_STREQ(Entry(LastStatus(), "ALC").configuration.in(), "");
}

TEST_F(SimulatedAgentTest, AppliesConfigurationsThatReadAndDropsTheRest)
{
  auto agent = Make({true, true, false});
  KTDexHandler::config_t wanted = documents.DexConfiguration(Pc7());
  wanted.onAccessScan.enabled = false;
  wanted.alerting.smtp.recipientSet = {L"soc@corp.example", L"it@corp.example"};
  KTDexHandler::KTDexConfiguration document;
  document.SetConfig(wanted);
  agent->Receive(SetConfiguration("DEX", document.ToXML_UTF8()));
  agent->Receive(SetConfiguration("ALC", UpdateConfiguration(15, L"Tandem")));
  EXPECT_TRUE(Contains(printed, "PC7.Agent applied DEX configuration: on-access off (normal, move), 1 on-demand scans "
                                "(1 scheduled), desktop alerts on, 2 mail recipients"));
  EXPECT_TRUE(Contains(printed, "PC7.Agent applied ALC configuration for Tandem: primary none, secondary none, update "
                                "frequency 15"));

  // Each is read as the service writes it; what does not read, or is not for this computer,
  // changes nothing.
  const std::pair<const char*, std::string> refused[] = {
    {"DEX", "<config/>"},
    {"DEX", "not xml"},
    {"ALC", UpdateConfiguration(30, L"DEXNT")},
    {"ALC", "<AUConfigurations xmlns=\"http://schemas.corvex.example/KT/AUConfig\"/>"},
    {"TzLib", "<tzlib/>"},
  };
  for (const auto& [entity, text] : refused)
    agent->Receive(SetConfiguration(entity, text));
  EXPECT_EQ(agent->Dropped(), 5u);
  EXPECT_TRUE(Contains(printed, "PC7.Agent dropped Tz-SetConfiguration from PTLManagementService: invalid DEX configuration: "));
  EXPECT_TRUE(Contains(printed, "invalid ALC configuration: InvalidXML: a configuration for platform 'DEXNT', not 'Tandem'"));
  EXPECT_TRUE(Contains(printed, "PC7.Agent dropped Tz-SetConfiguration from PTLManagementService: no TzLib component"));

  agent->Receive(Incoming("Tz-GetStatus"));
  auto status = LastStatus();
  DexHandler::DexConfiguration reported, expected;
  reported.Set(std::string(Entry(status, "DEX").configuration.in()));
  expected.Set(document.ToXML_UTF8());
  EXPECT_TRUE(reported.IsEquivalent(expected));
  KTDexHandler::KTDexStatus dexStatus;
  dexStatus.Set(std::string(Entry(status, "DEX").status.in()));
  EXPECT_FALSE(dexStatus.GetDetails().onAccess);  // runs as configured
  EXPECT_EQ(FrequencyOf(Entry(status, "ALC").configuration.in()), 15u);

  // A whole update configuration gives the computer its platform's part.
  agent->Receive(SetConfiguration("ALC", UpdateConfiguration(240)));
  agent->Receive(Incoming("Tz-GetStatus"));
  EXPECT_EQ(FrequencyOf(Entry(LastStatus(), "ALC").configuration.in()), 240u);

  const auto records = agent->Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].entity, "DEX");
  EXPECT_EQ(records[1].entity, "ALC");
  EXPECT_EQ(records[3].entity, "ALC");

  auto noPlatform = Make({false, true, false}, "OS2");
  noPlatform->Receive(SetConfiguration("ALC", UpdateConfiguration(15, L"Tandem")));
  EXPECT_EQ(noPlatform->Dropped(), 1u);
  EXPECT_TRUE(Contains(printed, "no update platform for OS2"));
}

TEST_F(SimulatedAgentTest, RecordsActionsAndSwitchesAndDropsWrongPayloads)
{
  auto agent = Make({true, true, false});
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
  wrong.client_info.custom_data <<= static_cast<CORBA::Long>(5);
  agent->Receive(wrong);
  auto noConfiguration = Incoming("Tz-SetConfiguration");
  noConfiguration.client_info.custom_data <<= action;
  agent->Receive(noConfiguration);
  agent->Receive(Incoming("Tz-ApplyCentralConfig"));
  agent->Receive(Incoming("Tz-Reboot"));
  EXPECT_EQ(agent->Dropped(), 4u);

  const auto records = agent->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, "Tz-DoAction");
  EXPECT_EQ(records[0].text, "<action type=\"corvex.mgt.action.ALCClearUpdateErrorState\"/> correlation=c-1");
  EXPECT_EQ(records[1].text, "true");
  EXPECT_EQ(records[1].from, "PTLManagementService");
  EXPECT_EQ(printed.size(), 7u);
  EXPECT_TRUE(Contains(printed, "PC7.Agent cleared the update error state"));
  EXPECT_TRUE(Contains(printed, "PC7.Agent dropped Tz-SetConfiguration from PTLManagementService: no AppConfiguration"));
}

TEST_F(SimulatedAgentTest, ForcedUpdatesShowInTheNextStatusAndOverriddenConfigurationIsNotApplied)
{
  auto agent = Make({true, true, false});
  auto forceUpdate = [] {
    DEX_PTLMessages::DoActionContent action;
    action.entity = CORBA::string_dup("ALC");
    action.correlationId = CORBA::string_dup("");
    action.action = CORBA::string_dup("<?xml version='1.0'?><action type=\"corvex.mgt.action.ALCForceUpdate\"/>");
    auto letter = Incoming("Tz-DoAction");
    letter.client_info.custom_data <<= action;
    return letter;
  };
  agent->Receive(forceUpdate());
  agent->Receive(forceUpdate());
  EXPECT_EQ(agent->UpdatesApplied(), 2u);
  agent->Receive(Incoming("Tz-GetStatus"));
  KTDexHandler::KTDexStatus status;
  status.Set(std::string(Entry(LastStatus(), "DEX").status.in()));
  EXPECT_EQ(status.GetDetails().virusDataVersion, L"2024.05.02.003");

  // Central configuration off: a configuration letter is kept out; on again: applied.
  auto central = [](bool apply) {
    auto letter = Incoming("Tz-ApplyCentralConfig");
    letter.client_info.custom_data <<= CORBA::Any::from_boolean(apply);
    return letter;
  };
  agent->Receive(central(false));
  agent->Receive(SetConfiguration("ALC", UpdateConfiguration(33, L"Tandem")));
  EXPECT_EQ(agent->Dropped(), 1u);
  EXPECT_TRUE(Contains(printed, "central configuration is overridden on this computer"));
  agent->Receive(central(true));
  agent->Receive(SetConfiguration("ALC", UpdateConfiguration(33, L"Tandem")));
  agent->Receive(Incoming("Tz-GetStatus"));
  EXPECT_EQ(FrequencyOf(Entry(LastStatus(), "ALC").configuration.in()), 33u);

  // An action for a component the computer lacks, or one it does not know, is dropped.
  auto bare = Make({true, false, false});
  bare->Receive(forceUpdate());
  EXPECT_EQ(bare->Dropped(), 1u);
  EXPECT_EQ(bare->UpdatesApplied(), 0u);
}

TEST_F(SimulatedAgentTest, UnsolicitedStatusRepliesCarryAndPrintTheirSendTimeWhenStamped)
{
  auto agent = Make({true, true, false});
  const CorvexMessaging::MessageId plain = agent->SendStatus("SVC", 60);
  EXPECT_EQ(printed.back(), "PC7.Agent -> Tz-GetStatus-Reply (unsolicited) to SVC, id " + std::to_string(plain));
  auto status = LastStatus();
  const DEX_PTLMessages::ComputerStatus2* computer = nullptr;  // points into `status`
  ASSERT_TRUE(status.app_statuses[0].status >>= computer);
  const std::wstring ownComment = computer->computer_comment.in();
  EXPECT_EQ(ownComment.find(L"sent "), std::wstring::npos);

  agent->StampSent(true);
  const CorvexMessaging::MessageId stamped = agent->SendStatus("SVC", 60);
  EXPECT_NE(stamped, plain);
  status = LastStatus();
  ASSERT_TRUE(status.app_statuses[0].status >>= computer);
  const std::string comment = ToUtf8(computer->computer_comment.in());
  ASSERT_EQ(comment.rfind("sent ", 0), 0u) << comment;
  EXPECT_EQ(printed.back(), "PC7.Agent -> Tz-GetStatus-Reply (" + comment + ") to SVC, id " + std::to_string(stamped));
}

TEST_F(SimulatedAgentTest, SendsEventsOfItsComponentsInTheirAgentForm)
{
  auto agent = Make({true, true, false});
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(agent->SendEvent(EventKind::VirusFound, "SVC", 120), 101);
  agent->SendEvent(EventKind::VirusFound, "SVC", 120);
  agent->SendEvent(EventKind::ApplicationError, "SVC", 120);
  agent->SendEvent(EventKind::UpdateFailed, "SVC", 120);
  const std::time_t after = std::time(nullptr);
  ASSERT_EQ(connection.sent.size(), 4u);
  EXPECT_STREQ(connection.sent[0].type.in(), "Tz-EntityEvent");
  EXPECT_EQ(connection.sent[0].ttl, 120);

  auto content = [&](std::size_t i) {
    const DEX_PTLMessages::AppEvent2* event = nullptr;
    EXPECT_TRUE(connection.sent[i].custom_data >>= event);
    return event ? *event : DEX_PTLMessages::AppEvent2();
  };
  auto event = content(0);
  EXPECT_STREQ(event.entity.in(), "DEX");
  EXPECT_EQ(std::wstring(event.domain.in()), L"BÜRO");
  DexHandler::DexEvent first, second;
  first.Set(std::string(event.event.in()));
  const KTDexHandler::Event_t& virus = first.GetEventData();
  EXPECT_EQ(virus.type, KTDexHandler::kVirusDetectedEventType);
  EXPECT_EQ(virus.user.userId, L"anna");
  EXPECT_EQ(virus.user.domain, L"BÜRO");
  EXPECT_EQ(virus.infectionInfo.item, L"C:\\Users\\anna\\Downloads\\invoice.pdf.exe");
  EXPECT_EQ(virus.infectionInfo.actionTaken, KTDexHandler::VirusAction::move);
  EXPECT_GE(virus.timestamp.GetDate(), OleDateFromTimeT(before));
  EXPECT_LE(virus.timestamp.GetDate(), OleDateFromTimeT(after));
  second.Set(std::string(content(1).event.in()));
  EXPECT_NE(second.GetEventData().infectionInfo.virusName, virus.infectionInfo.virusName);  // another next time

  DexHandler::DexEvent error;
  error.Set(std::string(content(2).event.in()));
  EXPECT_EQ(error.GetEventData().appInfo.number, 2201);
  std::wstring entityInfo;
  ASSERT_TRUE(error.GetEntityInfo(entityInfo));
  EXPECT_EQ(entityInfo, L"Corvex Anti-Virus scanner service on PC7");

  EXPECT_STREQ(content(3).entity.in(), "ALC");
  AUCoreHandler::AUEvent update;
  update.Set(std::string(content(3).event.in()));
  EXPECT_EQ(update.GetEventData().appInfo.number, 103);
  ASSERT_TRUE(update.GetEntityInfo(entityInfo));
  EXPECT_EQ(entityInfo, L"ALC 3.2.0.114 on PC7");

  // The variants: a local user has no domain; an anonymous error names no component.
  agent->SendEvent(EventKind::VirusFoundLocalUser, "SVC", 120);
  agent->SendEvent(EventKind::ApplicationErrorAnonymous, "SVC", 120);
  ASSERT_EQ(connection.sent.size(), 6u);
  DexHandler::DexEvent local, anonymous;
  local.Set(std::string(content(4).event.in()));
  EXPECT_EQ(local.GetEventData().type, KTDexHandler::kVirusDetectedEventType);
  EXPECT_EQ(local.GetEventData().user.userId, L"anna");
  EXPECT_EQ(local.GetEventData().user.domain, L"");
  anonymous.Set(std::string(content(5).event.in()));
  EXPECT_EQ(anonymous.GetEventData().appInfo.number, 2201);
  EXPECT_FALSE(anonymous.GetEntityInfo(entityInfo));
  connection.sent.resize(4);

  // A component the computer lacks raises nothing.
  auto antiVirusOnly = Make({true, false, false});
  EXPECT_EQ(antiVirusOnly->EventKinds().size(), 5u);
  EXPECT_EQ(antiVirusOnly->SendEvent(EventKind::UpdateFailed, "SVC", 120), 0);
  EXPECT_EQ(connection.sent.size(), 4u);
  EXPECT_EQ(printed.back(), "PC7.Agent has no ALC component: no update event");
}

std::filesystem::path Source(const std::string& relative)
{
  return std::filesystem::path(CORVEX_SOURCE_DIR) / relative;
}

std::string ReadSource(const std::string& relative)
{
  std::ifstream in(Source(relative), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(AgentDocuments, FilesTakeThePlaceOfBuiltInDocumentsWhenTheyRead)
{
  EnsureOrb();
  TempDir dir;
  const std::pair<const char*, const char*> samples[] = {
    {"dexhandler/samples/status.xml", "dex-status.xml"},
    {"dexhandler/samples/configuration.xml", "dex-config.xml"},
    {"handlers/AUCoreHandler/samples/AUConfigurations.xml", "alc-config.xml"},
    {"handlers/AUCoreHandler/samples/TzLibraryStatus.xml", "tzlib-status.xml"},
    {"handlers/AUCoreHandler/samples/AUEvent-UpdateFailed.xml", "event-update.xml"},
  };
  for (const auto& [sample, file] : samples)
    std::filesystem::copy_file(Source(sample), dir.Path() / file);
  std::ofstream(dir.Path() / "event-scan.xml")
    << "<event xmlns='http://schemas.corvex.example/KT/KTDexEvent' type='corvex.mgt.dex.scanCompleteEvent'>"
       "<timestamp>20240101 000000</timestamp><scanComplete><scanName>Scan of ${COMPUTER}</scanName></scanComplete></event>";
  AgentDocuments documents(dir.Path());

  const Computer pc = Pc7("WIN98");
  KTDexHandler::KTDexStatus status;
  status.Set(documents.DexStatus(documents.DexConfiguration(pc)));
  EXPECT_EQ(status.GetDetails().quarantine, 3);
  DexHandler::DexConfiguration fromFile, sample;
  sample.Set(ReadSource("dexhandler/samples/configuration.xml"));
  KTDexHandler::KTDexConfiguration written;
  written.SetConfig(documents.DexConfiguration(pc));
  fromFile.Set(written.ToXML_UTF8());
  EXPECT_TRUE(fromFile.IsEquivalent(sample));
  AUCoreHandler::AUConfig updates;
  updates.Set(documents.AlcConfiguration(L"DEX95"));
  std::wstring text;
  updates.GetPrimaryLocation().GetServer().GetAddress(text);
  EXPECT_EQ(text, L"\\\\FILESRV01\\CorvexUpdates\\DEX95");
  TzLibHandler::TzLibraryStatusImpl library;
  library.Set(documents.TzLibStatus(pc));
  EXPECT_EQ(library.GetUpdateLocations().size(), 5u);
  DexHandler::DexEvent scan;
  scan.Set(documents.Event(EventKind::ScanComplete, pc, 1700000000, 0));
  EXPECT_EQ(scan.GetEventData().scanComplete.scanName, L"Scan of PC7");
  EXPECT_EQ(scan.GetEventData().timestamp.ToString(), L"20231114 221320");  // the sending time
  DexHandler::DexEvent virus;  // still the built-in one
  virus.Set(documents.Event(EventKind::VirusFound, pc, 1700000000, 0));
  EXPECT_EQ(virus.GetEventData().infectionInfo.virusName, L"W32/Kellan.B");
  AUCoreHandler::AUEvent update;
  update.Set(documents.Event(EventKind::UpdateFailed, pc, 1700000000, 0));
  EXPECT_EQ(update.GetEventData().appInfo.message_inserts.at(0), L"http://updates.hq.example:8080/corvex/kt");

  // A file that does not read as its document is refused at once, naming the file.
  auto refusal = [](const char* file, const std::string& text) {
    TempDir bad;
    std::ofstream(bad.Path() / file) << text;
    try {
      AgentDocuments{bad.Path()};
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(refusal("dex-status.xml", "<status>PC7</status>").find("dex-status.xml: "), std::string::npos);
  EXPECT_NE(refusal("dex-config.xml", "<config").find("dex-config.xml: Load failed"), std::string::npos);
  EXPECT_NE(refusal("alc-config.xml", "<AUConfigurations xmlns='http://schemas.corvex.example/KT/AUConfig'/>")
              .find("Unknown platform: 'Tandem'"),
            std::string::npos);
  EXPECT_NE(refusal("event-error.xml", "<event type='x'/>").find("event-error.xml: "), std::string::npos);
  TempDir empty;
  EXPECT_THROW(AgentDocuments{empty.Path()}, std::runtime_error);
  EXPECT_THROW(AgentDocuments{empty.Path() / "missing"}, std::runtime_error);
}

TEST(AgentSimOptions, ComputersFromOptionsOrFile)
{
  auto options = ParseAgentSimArguments({"--agents", "3", "--prefix", "WS", "--first", "9", "--ip", "10.1.0.254",
                                         "--tzlib", "on", "--dex", "off", "--event-rate", "0.5", "--event-kind", "update"});
  EXPECT_FALSE(options.components.dex);
  EXPECT_TRUE(options.components.tzlib);
  EXPECT_DOUBLE_EQ(options.eventRate, 0.5);
  EXPECT_EQ(options.eventKind, "update");
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
  EXPECT_EQ(error({"--event-kind", "fire"}),
            "--event-kind: expected virus, scan, error, update, virus-local, error-anonymous or mixed, got `fire`");
  EXPECT_EQ(error({"--event-mix", "virus=2,fire=1"}),
            "--event-mix: unknown event kind `fire` (expected virus, scan, error, update, virus-local, error-anonymous)");
  EXPECT_EQ(error({"--event-mix", "virus=0,scan=0"}), "--event-mix: every weight is 0: no event would be sent");
  EXPECT_EQ(error({"--event-mix", "virus=1,virus=2"}), "--event-mix: event kind `virus` given twice");
  EXPECT_EQ(error({"--event-mix", "virus"}), "accepted");
  EXPECT_EQ(error({"--event-mix", "virus=1001"}), "--event-mix: weight of virus: expected a whole number from 0 to 1000, got `1001`");
  EXPECT_EQ(error({"--load", "5"}), "--load needs at least two agents");
  EXPECT_EQ(error({"--prefix", "P C"}), "`P C1` cannot be a computer's address");
  EXPECT_EQ(error({"--frobnicate"}), "unknown option `--frobnicate`");
  std::ofstream(file) << "PC1;HQ;PC1;WINXP;10.0.0.1;bob;extra\n";
  EXPECT_EQ(error({"--computers", file.string()}), file.string() + " line 1: expected name;domain;address;os;ip;user");
}

TEST(EventMix, EachKindTakesItsWeightInTurnsAmongTheKindsAComputerRaises)
{
  auto sequence = [](const EventMix& mix, const std::vector<EventKind>& available, unsigned count) {
    std::string kinds;
    for (unsigned n = 0; n < count; ++n) {
      EventKind kind;
      kinds += mix.Pick(n, available, kind) ? std::string(EventKindName(kind)) + " " : "- ";
    }
    return kinds;
  };
  const std::vector<EventKind> everything = AllEventKinds();
  const std::vector<EventKind> updateOnly = {EventKind::UpdateFailed};
  const EventMix weighted = EventMix::Parse("virus=2,scan=0,update=1");
  EXPECT_EQ(sequence(weighted, everything, 6), "virus virus update virus virus update ");
  EXPECT_EQ(sequence(weighted, updateOnly, 2), "update update ");
  EXPECT_EQ(sequence(EventMix::Parse("scan"), updateOnly, 2), "- - ");
  EXPECT_EQ(sequence(EventMix::Parse("mixed"), everything, 7),
            "virus scan error update virus-local error-anonymous virus ");
}

}  // namespace
