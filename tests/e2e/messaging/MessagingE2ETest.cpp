// The messaging system end to end: corvex-router and corvex-agent-sim run as processes, this
// test talks to them through the client library as the service would.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "dexhandler/DexConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "idl/DEX_PTLMessages.hh"
#include "messaging/ClientLibrary.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tests/messaging/TestSupport.h"

namespace {

using namespace messaging_test;
using namespace ZiriviridUrurezArevudUza;
using e2e::ChildProcess;
using std::chrono::seconds;

class OrbEnvironment : public ::testing::Environment
{
public:
  void SetUp() override
  {
    // As in the service, another part of the process has set the ORB up first, without the
    // library's options.
    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
    char name[] = "messaging_e2e_tests";
    char* argv[] = {name, nullptr};
    IClientLibrary::Instance()->InitORB(1, argv);
  }
  void TearDown() override { IClientLibrary::Instance()->ShutdownORB(); }
};
const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

const char* const SERVICE = "PTLManagementService";

class MessagingE2E : public ::testing::Test
{
protected:
  void TearDown() override
  {
    for (auto* c : m_connections)
      c->Release();
  }

  // Each process writes to a file of its own, so that a restarted one starts afresh.
  std::unique_ptr<ChildProcess> Start(const char* program, const std::vector<std::string>& args, const std::string& name,
                                      e2e::ChildInput input = e2e::ChildInput::Inherit)
  {
    const std::string output = (m_dir.Path() / (name + "-" + std::to_string(++m_started) + ".out")).string();
    return std::make_unique<ChildProcess>(program, args, e2e::CurrentEnvironment(), output, input);
  }

  void StartRouter()
  {
    m_router = Start(CORVEX_ROUTER_BIN,
                     {"--name", "R1", "--socket", m_socket, "--data-dir", m_data, "--heartbeat", "1", "--log-level", "3",
                      "--log-console"},
                     "router");
    ASSERT_TRUE(m_router->WaitForOutput("listening on")) << m_router->Output();
  }

  std::unique_ptr<ChildProcess> StartAgents(std::vector<std::string> extra, int count)
  {
    std::vector<std::string> args = {"--router", m_socket, "--heartbeat", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto agents = Start(CORVEX_AGENT_SIM_BIN, args, "agents", e2e::ChildInput::Pipe);
    EXPECT_TRUE(agents->WaitForOutput(".Agent connected", std::chrono::seconds(15), count)) << agents->Output();
    return agents;
  }

  IConnection* Connect(TestReceiver& receiver, const std::string& address)
  {
    IConnection* c = IClientLibrary::Instance()->ConnectAs(&receiver, address, m_socket);
    m_connections.push_back(c);
    c->Configure(0, 1);
    EXPECT_TRUE(receiver.WaitNotices(1));
    return c;
  }

  void Release(IConnection* c)
  {
    std::erase(m_connections, c);
    c->Release();
  }

  // Waits for the first envelope of a type after `from` envelopes; null when none came.
  static std::optional<CorvexMessaging::Envelope> Next(TestReceiver& r, const std::string& type, std::size_t& from,
                                                       seconds timeout = seconds(15))
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto got = r.Envelopes();
      for (; from < got.size(); ++from)
        if (type == got[from].client_info.type.in())
          return got[from++];
      if (std::chrono::steady_clock::now() >= deadline)
        return std::nullopt;
      r.WaitEnvelopes(got.size() + 1, seconds(1));
    }
  }

  TempDir m_dir;
  std::string m_socket = (m_dir.Path() / "r.sock").string();
  std::string m_data = (m_dir.Path() / "data").string();
  std::unique_ptr<ChildProcess> m_router;
  int m_started = 0;
  std::vector<IConnection*> m_connections;
};

TEST_F(MessagingE2E, StatusRequestIsAnsweredAndLettersAreAppliedThroughTheRouter)
{
  StartRouter();
  auto agents = StartAgents({"--agents", "2", "--tzlib", "on", "--domain", "BRANCH", "--os", "WIN2000"}, 2);
  TestReceiver service;
  IConnection* c = Connect(service, SERVICE);

  const auto request = c->Send(MakeMessage("PC2.Agent", "Tz-GetStatus"));
  ASSERT_GT(request, 0);
  std::size_t at = 0;
  auto reply = Next(service, "Tz-GetStatus-Reply", at);
  ASSERT_TRUE(reply) << agents->Output();
  EXPECT_STREQ(reply->originator.in(), "PC2.Agent");
  EXPECT_TRUE(IClientLibrary::Instance()->IsAuthorised(*reply));
  EXPECT_FALSE(IClientLibrary::Instance()->IsRouterAuthorised(*reply));
  const DEX_PTLMessages::AgentStatus* status = nullptr;
  ASSERT_TRUE(reply->client_info.custom_data >>= status);
  EXPECT_EQ(status->request_id, request);
  ASSERT_EQ(status->app_statuses.length(), 4u);
  EXPECT_STREQ(status->app_statuses[0].entity.in(), "Agent");
  const DEX_PTLMessages::ComputerStatus2* computer = nullptr;
  ASSERT_TRUE(status->app_statuses[0].status >>= computer);
  EXPECT_EQ(std::wstring(computer->computer_name.in()), L"PC2");
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
    auto set = MakeMessage("PC2.Agent", "Tz-SetConfiguration");
    set.custom_data <<= configuration;
    return c->Send(set);
  };
  ASSERT_GT(setConfiguration(sent.ToOpaqueXML(L"")), 0);
  ASSERT_GT(setConfiguration("<config xmlns=\"http://schemas.corvex.example/KT/KTDexConfiguration\"/>"), 0);
  DEX_PTLMessages::DoActionContent action;
  action.entity = CORBA::string_dup("ALC");
  action.correlationId = CORBA::string_dup("");
  action.action = CORBA::string_dup("<?xml version='1.0'?><action type=\"corvex.mgt.action.ALCForceUpdate\"/>");
  auto doAction = MakeMessage("PC2.Agent", "Tz-DoAction");
  doAction.custom_data <<= action;
  ASSERT_GT(c->Send(doAction), 0);
  auto central = MakeMessage("PC2.Agent", "Tz-ApplyCentralConfig");
  central.custom_data <<= CORBA::Any::from_boolean(false);
  ASSERT_GT(c->Send(central), 0);
  // Wrong payloads and unknown types are dropped; the agent carries on. (Wide texts reach the
  // router whatever code sets this process's ORB was set up with.)
  auto wrong = MakeMessage("PC2.Agent", "Tz-SetConfiguration");
  wrong.custom_data <<= static_cast<CORBA::Long>(5);
  ASSERT_GT(c->Send(wrong), 0);
  DEX_PTLMessages::AppEvent2 wide;
  wide.domain = CORBA::wstring_dup(L"BÜRO");
  wide.computer_name = CORBA::wstring_dup(L"PC2");
  auto reboot = MakeMessage("PC2.Agent", "Tz-Reboot");
  reboot.custom_data <<= wide;
  ASSERT_GT(c->Send(reboot), 0);
  ASSERT_GT(c->Send(MakeMessage("PC2.Agent", "Tz-GetStatus")), 0);
  reply = Next(service, "Tz-GetStatus-Reply", at);
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->client_info.custom_data >>= status);
  ASSERT_TRUE(status->app_statuses[1].status >>= dex);
  DexHandler::DexConfiguration reported;
  reported.Set(std::string(dex->configuration.in()));
  EXPECT_TRUE(reported.IsEquivalent(sent));
  KTDexHandler::KTDexStatus dexStatus;
  dexStatus.Set(std::string(dex->status.in()));
  EXPECT_FALSE(dexStatus.GetDetails().onAccess);

  EXPECT_TRUE(agents->WaitForOutput("PC2.Agent <- Tz-SetConfiguration from PTLManagementService entity=DEX"));
  EXPECT_TRUE(agents->WaitForOutput("PC2.Agent applied DEX configuration: on-access off"));
  EXPECT_TRUE(agents->WaitForOutput(
    "PC2.Agent dropped Tz-SetConfiguration from PTLManagementService: invalid DEX configuration: "));
  EXPECT_TRUE(agents->WaitForOutput("PC2.Agent <- Tz-DoAction from PTLManagementService entity=ALC"));
  EXPECT_TRUE(agents->WaitForOutput("PC2.Agent <- Tz-ApplyCentralConfig from PTLManagementService (5 bytes): false"));
  EXPECT_TRUE(agents->WaitForOutput("PC2.Agent dropped Tz-SetConfiguration from PTLManagementService: no AppConfiguration"));
  EXPECT_TRUE(agents->WaitForOutput("PC2.Agent dropped Tz-Reboot"));
  EXPECT_EQ(e2e::CountOf(agents->Output(), "PC1.Agent <-"), 0);
}

TEST_F(MessagingE2E, EventsReachTheServiceOnCommandAndAtARate)
{
  StartRouter();
  TestReceiver service;
  Connect(service, SERVICE);
  auto agents = StartAgents({"--agents", "2"}, 2);
  agents->Write("event PC1 virus\nevent all error\nevent PC9 scan\n");
  std::size_t at = 0;
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    auto event = Next(service, "Tz-EntityEvent", at);
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
  auto update = Next(service, "Tz-EntityEvent", at);
  ASSERT_TRUE(update) << agents->Output();
  const DEX_PTLMessages::AppEvent2* content = nullptr;
  ASSERT_TRUE(update->client_info.custom_data >>= content);
  EXPECT_STREQ(content->entity.in(), "ALC");
  EXPECT_NE(std::string(content->event.in()).find("/KT/AUEvent"), std::string::npos);
  agents->Write("quit\n");
  EXPECT_EQ(agents->Wait(), 0);

  auto rated = StartAgents({"--agents", "1", "--first", "5", "--event-rate", "20", "--event-kind", "scan"}, 1);
  for (int i = 0; i < 5; ++i) {
    auto event = Next(service, "Tz-EntityEvent", at);
    ASSERT_TRUE(event);
    const DEX_PTLMessages::AppEvent2* content = nullptr;
    ASSERT_TRUE(event->client_info.custom_data >>= content);
    EXPECT_NE(std::string(content->event.in()).find("scanCompleteEvent"), std::string::npos);
  }
}

TEST_F(MessagingE2E, LettersForOfflineAgentsExpireAndUnknownAddressesAreUnrouteable)
{
  StartRouter();
  {
    auto agents = StartAgents({"--agents", "1", "--first", "7"}, 1);
    agents->Signal(SIGTERM);
    EXPECT_EQ(agents->Wait(), 0);
  }
  ASSERT_TRUE(m_router->WaitForOutput("logoff PC7.Agent"));
  TestReceiver service;
  IConnection* c = Connect(service, SERVICE);
  const auto waiting = c->Send(MakeMessage("PC7.Agent", "Tz-DoAction", 2));
  const auto lost = c->Send(MakeMessage("PC404.Agent", "Tz-GetStatus", 60));
  ASSERT_GT(waiting, 0);
  ASSERT_GT(lost, 0);

  std::size_t at = 0;
  auto unrouteable = Next(service, "MS-DeliveryFailed-Unrouteable", at);
  ASSERT_TRUE(unrouteable);
  const CorvexMessaging::Envelope* inner = nullptr;
  ASSERT_TRUE(unrouteable->client_info.custom_data >>= inner);
  EXPECT_EQ(inner->message_id, lost);
  EXPECT_TRUE(IClientLibrary::Instance()->IsRouterAuthorised(*unrouteable));

  at = 0;
  auto timeout = Next(service, "MS-DeliveryFailed-Timeout", at, seconds(10));
  ASSERT_TRUE(timeout) << m_router->Output();
  ASSERT_TRUE(timeout->client_info.custom_data >>= inner);
  EXPECT_EQ(inner->message_id, waiting);
  EXPECT_STREQ(inner->client_info.destination.in(), "PC7.Agent");
  EXPECT_GE(timeout->timestamps[0].utc_time - inner->timestamps[0].utc_time, 2);
}

TEST_F(MessagingE2E, RouterReportsLogonsAndLogoffsOfComputers)
{
  StartRouter();
  TestReceiver service;
  IConnection* c = Connect(service, SERVICE);
  ASSERT_GT(c->Send(MakeMessage(":", "Tz-NotifyRouterUpdates", 0)), 0);
  std::size_t at = 0;
  ASSERT_TRUE(Next(service, "Tz-NotifyRouterUpdates-Reply", at));

  auto agents = StartAgents({"--agents", "1", "--first", "3"}, 1);
  std::size_t logons = 0, logoffs = 0;
  auto logon = Next(service, "Tz-RouterLogon", logons);
  ASSERT_TRUE(logon);
  const char* name = nullptr;
  ASSERT_TRUE(logon->client_info.custom_data >>= name);
  EXPECT_STREQ(name, "PC3");
  EXPECT_TRUE(IClientLibrary::Instance()->IsRouterAuthorised(*logon));
  agents->Signal(SIGTERM);
  auto logoff = Next(service, "Tz-RouterLogoff", logoffs);
  ASSERT_TRUE(logoff);
  ASSERT_TRUE(logoff->client_info.custom_data >>= name);
  EXPECT_STREQ(name, "PC3");

  // An agent that dies without logging off is noticed by the router's heartbeat.
  auto crashing = StartAgents({"--agents", "1", "--first", "4"}, 1);
  ASSERT_TRUE(Next(service, "Tz-RouterLogon", logons));
  crashing->Signal(SIGKILL);
  logoff = Next(service, "Tz-RouterLogoff", logoffs, seconds(20));
  ASSERT_TRUE(logoff) << m_router->Output();
  ASSERT_TRUE(logoff->client_info.custom_data >>= name);
  EXPECT_STREQ(name, "PC4");

  ASSERT_GT(c->Send(MakeMessage(":", "Tz-GetStatus", 0)), 0);
  at = 0;
  auto routerStatus = Next(service, "Tz-GetStatus-Reply", at);
  ASSERT_TRUE(routerStatus);
  const CorvexMessaging::Status* status = nullptr;
  ASSERT_TRUE(routerStatus->client_info.custom_data >>= status);
  EXPECT_STREQ(status->name.in(), "R1");
  EXPECT_EQ(status->loggedOffClients.length(), 2u);
}

TEST_F(MessagingE2E, LibraryFollowsTheRouterAwayAndBackAndWaitingLettersSurvive)
{
  // The service's own way in: identity and router location from the registry.
  const std::string registry = (m_dir.Path() / "registry.reg").string();
  setenv("CORVEX_REGISTRY", registry.c_str(), 1);
  const char* key = "SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service\\Private";
  {
    CRegKey k;
    ASSERT_EQ(k.Create(HKEY_LOCAL_MACHINE, FromUtf8(key).c_str()), ERROR_SUCCESS);
    ASSERT_EQ(k.SetStringValue(L"Router", FromUtf8(m_socket)), ERROR_SUCCESS);
  }
  IClientLibrary* lib = IClientLibrary::Instance();
  lib->InitialiseClientLibraryLocal("Tz", key, "PTLManagementService.reg", 0, "", 0, 0);

  StartRouter();
  {
    auto agents = StartAgents({"--agents", "1", "--first", "8"}, 1);
  }  // killed: the router learns it is gone when a letter cannot be delivered or by heartbeat
  ASSERT_TRUE(m_router->WaitForOutput("logoff PC8.Agent", std::chrono::seconds(20)));

  TestReceiver service;
  IConnection* c = lib->Connect(&service);
  m_connections.push_back(c);
  c->Configure(0, 1);
  ASSERT_TRUE(service.WaitNotices(1));
  const auto waiting = c->Send(MakeMessage("PC8.Agent", "Tz-GetStatus", 600));
  ASSERT_GT(waiting, 0);

  m_router->Signal(SIGTERM);
  EXPECT_EQ(m_router->Wait(), 0);
  ASSERT_TRUE(service.WaitNotices(2, seconds(10)));
  EXPECT_EQ(service.Notices(), (std::vector<bool>{true, false}));
  EXPECT_EQ(c->Send(MakeMessage("PC8.Agent", "Tz-GetStatus")), 0);  // nobody to take it

  StartRouter();
  ASSERT_TRUE(service.WaitNotices(3, seconds(10)));
  EXPECT_EQ(service.Notices(), (std::vector<bool>{true, false, true}));

  // The letter waited on disk through the restart and reaches the agent when it returns.
  auto agents = StartAgents({"--agents", "1", "--first", "8"}, 1);
  std::size_t at = 0;
  auto reply = Next(service, "Tz-GetStatus-Reply", at);
  ASSERT_TRUE(reply) << agents->Output() << m_router->Output();
  const DEX_PTLMessages::AgentStatus* status = nullptr;
  ASSERT_TRUE(reply->client_info.custom_data >>= status);
  EXPECT_EQ(status->request_id, waiting);

  // A router that is killed outright is replaced on the same socket, and the library follows.
  m_router->Signal(SIGKILL);
  m_router->Wait();
  ASSERT_TRUE(service.WaitNotices(4, seconds(10)));
  StartRouter();
  ASSERT_TRUE(service.WaitNotices(5, seconds(10)));
  EXPECT_GT(c->Send(MakeMessage("PC8.Agent", "Tz-GetStatus")), 0);
  EXPECT_TRUE(Next(service, "Tz-GetStatus-Reply", at, seconds(20))) << agents->Output();
  lib->ShutdownClientLibraryLocal();
  m_connections.clear();
}

}  // namespace
