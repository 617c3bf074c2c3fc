// The client library against a router served in this process (the real router core, or a
// scripted one): delivery starts with Configure, sends come back as letter ids, envelopes are
// authorised only when sealed by our router for one of our connections, the local identity
// lives in the registry, and the library survives a full inbox, malformed envelopes and a
// router that forgets it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sys/stat.h>

#include "idl/DEX_PTLMessages.hh"
#include "idl/MessageRouter.hh"
#include "messaging/ClientLibrary.h"
#include "messaging/RouterLocation.h"
#include "messaging/RouterServant.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"
#include "tests/messaging/TestSupport.h"

namespace {

using namespace messaging_test;
using namespace ZiriviridUrurezArevudUza;
using std::chrono::seconds;

// One ORB per process: the library initialises it with the test router's socket as endpoint.
class LibraryEnvironment : public ::testing::Environment
{
public:
  void SetUp() override
  {
    dir = std::make_unique<TempDir>();
    socket = (dir->Path() / "router.sock").string();
    setenv("CORVEX_REGISTRY", (dir->Path() / "registry.reg").c_str(), 1);
    std::string endpoint = "giop:unix:" + socket;
    std::vector<std::string> args = {"client_tests", "-ORBendPoint", endpoint};
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    IClientLibrary::Instance()->InitORB(static_cast<int>(args.size()), argv.data());
    int argc = 0;
    orb = CORBA::ORB_init(argc, nullptr);
    CORBA::Object_var object = orb->resolve_initial_references("omniINSPOA");
    ins = PortableServer::POA::_narrow(object.in());
    PortableServer::POAManager_var manager = ins->the_POAManager();
    manager->activate();
  }
  void TearDown() override { IClientLibrary::Instance()->ShutdownORB(); }

  std::unique_ptr<TempDir> dir;
  std::string socket;
  CORBA::ORB_var orb;
  PortableServer::POA_var ins;
};
LibraryEnvironment* const g_env =
  static_cast<LibraryEnvironment*>(::testing::AddGlobalTestEnvironment(new LibraryEnvironment));

// Serves a servant under the router's key for the length of a test.
class Served
{
public:
  explicit Served(PortableServer::Servant servant)
  {
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(messaging::ROUTER_OBJECT_KEY);
    g_env->ins->activate_object_with_id(id.in(), servant);
  }
  ~Served()
  {
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(messaging::ROUTER_OBJECT_KEY);
    g_env->ins->deactivate_object(id.in());
  }
};

class ClientLibraryTest : public ::testing::Test
{
protected:
  ClientLibraryTest()
    : log(router::RouterLog::Options{}),
      core(MakeOptions(m_dir), log),
      servant(new router::RouterServant(core, 5000)),
      served(servant.in())
  {
    core.Start();
  }
  ~ClientLibraryTest() override { core.Stop(); }

  static router::RouterOptions MakeOptions(const TempDir& dir)
  {
    router::RouterOptions options;
    options.name = "R1";
    options.dataDirectory = dir.Path();
    options.senderThreads = 2;
    return options;
  }

  IConnection* Open(TestReceiver& receiver, const std::string& address, long maxQueued = 0)
  {
    IConnection* c = IClientLibrary::Instance()->ConnectAs(&receiver, address, g_env->socket);
    c->Configure(maxQueued, 1);
    EXPECT_TRUE(receiver.WaitNotices(1));
    return c;
  }

  TempDir m_dir;
  router::RouterLog log;
  router::RouterCore core;
  PortableServer::ServantBase_var servant;
  Served served;
};

TEST_F(ClientLibraryTest, DeliveryStartsWithConfigureAndLettersTravelBetweenConnections)
{
  TestReceiver serviceReceiver;
  IConnection* service = IClientLibrary::Instance()->ConnectAs(&serviceReceiver, "SVC", g_env->socket);
  for (int i = 0; i < 100 && !service->IsConnected(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(service->IsConnected());
  EXPECT_FALSE(serviceReceiver.WaitNotices(1, seconds(0)));  // held until Configure
  service->Configure(0, 10);
  ASSERT_TRUE(serviceReceiver.WaitNotices(1));
  EXPECT_EQ(serviceReceiver.Notices(), std::vector<bool>{true});

  TestReceiver agentReceiver;
  IConnection* agent = Open(agentReceiver, "PC7.Agent");
  auto letter = MakeMessage("PC7.Agent", "Tz-GetStatus");
  const auto id = service->Send(letter);
  ASSERT_GT(id, 0);
  ASSERT_TRUE(agentReceiver.WaitEnvelopes(1));
  const auto got = agentReceiver.Envelopes()[0];
  EXPECT_EQ(got.message_id, id);
  EXPECT_STREQ(got.originator.in(), "SVC");
  EXPECT_STREQ(got.client_info.type.in(), "Tz-GetStatus");
  EXPECT_EQ(service->Address(), "SVC");

  // Unknown addresses come back through the library too.
  ASSERT_GT(service->Send(MakeMessage("NOBODY.Agent", "Tz-GetStatus")), 0);
  ASSERT_TRUE(serviceReceiver.WaitEnvelopes(1));
  EXPECT_STREQ(serviceReceiver.Envelopes()[0].client_info.type.in(), "MS-DeliveryFailed-Unrouteable");

  agent->Release();
  service->Release();
}

TEST_F(ClientLibraryTest, OnlyEnvelopesSealedByOurRouterForUsAreAuthorised)
{
  IClientLibrary* lib = IClientLibrary::Instance();
  TestReceiver serviceReceiver, agentReceiver;
  IConnection* service = Open(serviceReceiver, "SVC");
  IConnection* agent = Open(agentReceiver, "PC7.Agent");

  DEX_PTLMessages::AgentStatus status;
  status.request_id = 3;
  auto reply = MakeMessage("SVC", "Tz-GetStatus-Reply");
  reply.custom_data <<= status;
  ASSERT_GT(agent->Send(reply), 0);
  ASSERT_GT(service->Send(MakeMessage(":", "Tz-GetStatus", 0)), 0);
  ASSERT_TRUE(serviceReceiver.WaitEnvelopes(2));
  const auto got = serviceReceiver.Envelopes();
  const auto& fromAgent = got[0];
  const auto& fromRouter = got[1];
  EXPECT_STREQ(fromRouter.originator.in(), "R1");

  EXPECT_TRUE(lib->IsAuthorised(fromAgent));
  EXPECT_FALSE(lib->IsRouterAuthorised(fromAgent));
  EXPECT_TRUE(lib->IsAuthorised(fromRouter));
  EXPECT_TRUE(lib->IsRouterAuthorised(fromRouter));

  CorvexMessaging::Envelope forged = fromAgent;
  forged.originator = CORBA::string_dup("PC8.Agent");
  EXPECT_FALSE(lib->IsAuthorised(forged));
  forged = fromAgent;
  forged.client_info.custom_data <<= CORBA::Any::from_boolean(true);
  EXPECT_FALSE(lib->IsAuthorised(forged));
  forged = fromRouter;
  forged.timestamps[0].name = CORBA::string_dup("R2");  // another router's stamp
  EXPECT_FALSE(lib->IsRouterAuthorised(forged));
  CorvexMessaging::Envelope handMade;
  handMade.originator = CORBA::string_dup("R1");
  handMade.timestamps.length(1);
  handMade.timestamps[0].name = CORBA::string_dup("R1");
  EXPECT_FALSE(lib->IsAuthorised(handMade));
  EXPECT_FALSE(lib->IsRouterAuthorised(handMade));

  // Once the connection it was sealed for is gone, nothing vouches for it.
  service->Release();
  EXPECT_FALSE(lib->IsAuthorised(fromAgent));
  agent->Release();
}

TEST_F(ClientLibraryTest, FullInboxMakesTheRouterWaitAndNothingIsLostOrReordered)
{
  TestReceiver serviceReceiver, agentReceiver;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  agentReceiver.onReceive = [&](const CorvexMessaging::Envelope&) {
    if (first.exchange(false))
      released.wait();  // the receiver is slow with the first envelope
  };
  IConnection* service = Open(serviceReceiver, "SVC");
  IConnection* agent = Open(agentReceiver, "PC7.Agent", 1);
  std::vector<CorvexMessaging::MessageId> ids;
  for (int i = 0; i < 6; ++i)
    ids.push_back(service->Send(MakeMessage("PC7.Agent", "Tz-DoAction")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GE(core.Waiting("PC7.Agent"), 3u);  // the router holds what the agent does not take
  release.set_value();
  ASSERT_TRUE(agentReceiver.WaitEnvelopes(6));
  const auto got = agentReceiver.Envelopes();
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(got[i].message_id, ids[i]);
  agent->Release();
  service->Release();
}

TEST_F(ClientLibraryTest, ConfigureAndReleaseRefuseMisuse)
{
  TestReceiver receiver;
  std::promise<std::string> outcome;
  IConnection* connection = nullptr;
  receiver.onReceive = [&](const CorvexMessaging::Envelope&) {
    try {
      connection->Release();
      outcome.set_value("released");
    } catch (const std::logic_error& e) {
      outcome.set_value(e.what());
    }
  };
  connection = Open(receiver, "PC7.Agent");
  EXPECT_THROW(connection->Configure(-1, 10), std::invalid_argument);
  EXPECT_THROW(connection->Configure(0, -10), std::invalid_argument);
  ASSERT_GT(connection->Send(MakeMessage("PC7.Agent", "Tz-EntityEvent")), 0);
  auto result = outcome.get_future();
  ASSERT_EQ(result.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), "Release called from within the receiver");
  connection->Release();
  EXPECT_THROW(IClientLibrary::Instance()->ConnectAs(&receiver, "bad address", g_env->socket), std::runtime_error);
  EXPECT_THROW(IClientLibrary::Instance()->ConnectAs(&receiver, "PC7.Agent", "relative/path"), std::runtime_error);
  EXPECT_THROW(IClientLibrary::Instance()->ConnectAs(nullptr, "PC7.Agent", g_env->socket), std::runtime_error);
}

TEST_F(ClientLibraryTest, LocalIdentityLivesUnderThePrivateKey)
{
  IClientLibrary* lib = IClientLibrary::Instance();
  TestReceiver receiver;
  EXPECT_THROW(lib->Connect(&receiver), std::runtime_error);  // not initialised yet

  const char* key = "SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service\\Private";
  {
    CRegKey k;
    ASSERT_EQ(k.Create(HKEY_LOCAL_MACHINE, FromUtf8(key).c_str()), ERROR_SUCCESS);
    ASSERT_EQ(k.SetStringValue(L"Router", FromUtf8(g_env->socket)), ERROR_SUCCESS);
  }
  EXPECT_THROW(lib->InitialiseClientLibraryLocal("Tz", key, "PTLManagementService.reg", 1, "", 0, 0), std::runtime_error);
  EXPECT_THROW(lib->InitialiseClientLibraryLocal("Tz", key, "PTLManagementService.reg", 0, "x", 0, 0), std::runtime_error);
  EXPECT_THROW(lib->InitialiseClientLibraryLocal("", key, "PTLManagementService.reg", 0, "", 0, 0), std::runtime_error);

  lib->InitialiseClientLibraryLocal("Tz", key, "PTLManagementService.reg", 0, "", 0, 0);
  CRegKey k;
  ASSERT_EQ(k.Open(HKEY_LOCAL_MACHINE, FromUtf8(key).c_str(), KEY_READ), ERROR_SUCCESS);
  std::wstring value;
  ASSERT_EQ(k.QueryStringValue(L"Address", value), ERROR_SUCCESS);
  EXPECT_EQ(value, L"PTLManagementService");
  ASSERT_EQ(k.QueryStringValue(L"ProductCode", value), ERROR_SUCCESS);
  EXPECT_EQ(value, L"Tz");

  IConnection* connection = lib->Connect(&receiver);
  connection->Configure(0, 10);
  ASSERT_TRUE(receiver.WaitNotices(1));
  const auto status = core.GetStatus();
  ASSERT_EQ(status.clients.length(), 1u);
  EXPECT_STREQ(status.clients[0].in(), "PTLManagementService");
  lib->ShutdownClientLibraryLocal();  // releases what is still connected
  EXPECT_EQ(core.GetStatus().clients.length(), 0u);
  EXPECT_THROW(lib->Connect(&receiver), std::runtime_error);

  // A registry the process may not write stops initialisation.
  const std::string file = g_env->dir->Path() / "registry.reg";
  chmod(file.c_str(), 0444);
  EXPECT_THROW(lib->InitialiseClientLibraryLocal("Tz", "SOFTWARE\\Other\\Private", "X.reg", 0, "", 0, 0),
               std::runtime_error);
  chmod(file.c_str(), 0644);
}

TEST_F(ClientLibraryTest, ReceiverThatConfirmsItselfGetsWhatItDidNotConfirmAgainOthersConfirmOnReturn)
{
  TestReceiver agentReceiver;
  IConnection* agent = Open(agentReceiver, "PC7.Agent");
  auto openService = [&](TestReceiver& receiver) {
    IConnection* c = IClientLibrary::Instance()->ConnectAs(&receiver, "SVC", g_env->socket);
    c->ConfirmExplicitly();
    c->Configure(0, 1);
    EXPECT_TRUE(receiver.WaitNotices(1));
    return c;
  };
  TestReceiver first;
  IConnection* service = openService(first);
  std::vector<CorvexMessaging::MessageId> ids;
  for (int i = 0; i < 3; ++i)
    ids.push_back(agent->Send(MakeMessage("SVC", "Tz-EntityEvent")));
  ASSERT_TRUE(first.WaitEnvelopes(3));
  service->Confirm(ids[0]);
  service->Release();  // what was confirmed just before still reaches the router

  TestReceiver second;
  service = openService(second);
  ASSERT_TRUE(second.WaitEnvelopes(2));
  const auto again = second.Envelopes();
  EXPECT_EQ(again[0].message_id, ids[1]);
  EXPECT_EQ(again[1].message_id, ids[2]);
  service->Confirm(ids[1]);
  service->Confirm(ids[2]);
  // Pushed letters stay among the waiting ones until the push returns: wait for both.
  for (int i = 0; i < 500 && core.Unconfirmed("SVC") + core.Waiting("SVC") > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(core.Unconfirmed("SVC") + core.Waiting("SVC"), 0u);

  // The agent's receiver never confirms: the library does once Receive has returned.
  ASSERT_GT(service->Send(MakeMessage("PC7.Agent", "Tz-GetStatus")), 0);
  ASSERT_TRUE(agentReceiver.WaitEnvelopes(1));
  // Pushed letters stay among the waiting ones until the push returns: wait for both.
  for (int i = 0; i < 500 && core.Unconfirmed("PC7.Agent") + core.Waiting("PC7.Agent") > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(core.Unconfirmed("PC7.Agent"), 0u);
  EXPECT_EQ(core.Waiting("PC7.Agent"), 0u);
  service->Release();
  agent->Release();
}

// A router that does what the test says: it can push anything and forget sessions.
class ScriptedRouter : public POA_CorvexMessaging::MessageRouter
{
public:
  char* name() override { return CORBA::string_dup("R1"); }
  char* logon(const char*, CorvexMessaging::EnvelopeConsumer_ptr consumer) override
  {
    std::lock_guard lock(mutex);
    this->consumer = CorvexMessaging::EnvelopeConsumer::_duplicate(consumer);
    ++logons;
    return CORBA::string_dup(("session" + std::to_string(logons)).c_str());
  }
  void logoff(const char*, const char*) override {}
  CorvexMessaging::MessageId send(const char*, const char* session, const CorvexMessaging::Message&) override
  {
    std::lock_guard lock(mutex);
    if (forget && std::string(session) == "session1")
      throw CorvexMessaging::NotLoggedOn();
    return 42;
  }
  CORBA::Boolean heartbeat(const char*, const char*) override { return true; }
  void confirm(const char*, const char*, const CorvexMessaging::Long_seq&) override {}

  std::mutex mutex;
  CorvexMessaging::EnvelopeConsumer_var consumer;
  int logons = 0;
  bool forget = false;
};

TEST(ClientLibraryScripted, MalformedEnvelopesAreDroppedAndAForgottenSessionIsRenewed)
{
  auto* scripted = new ScriptedRouter;
  PortableServer::ServantBase_var owner(scripted);
  Served served(scripted);
  TestReceiver receiver;
  IConnection* c = IClientLibrary::Instance()->ConnectAs(&receiver, "PC7.Agent", g_env->socket);
  c->Configure(0, 1);
  ASSERT_TRUE(receiver.WaitNotices(1));
  EXPECT_EQ(c->Send(MakeMessage("X", "Tz-EntityEvent")), 42);

  CorvexMessaging::EnvelopeConsumer_var consumer;
  {
    std::lock_guard lock(scripted->mutex);
    consumer = scripted->consumer;
  }
  CorvexRouter::Envelope_seq pushed(2);
  pushed.length(2);
  pushed[0].message_id = 1;  // no timestamps: cannot have come through a router
  pushed[1].message_id = 2;
  pushed[1].timestamps.length(1);
  pushed[1].timestamps[0].name = CORBA::string_dup("R1");
  EXPECT_EQ(consumer->push(pushed), 2u);  // taken, the first one dropped
  ASSERT_TRUE(receiver.WaitEnvelopes(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(receiver.Envelopes().size(), 1u);
  EXPECT_EQ(receiver.Envelopes()[0].message_id, 2);
  EXPECT_FALSE(IClientLibrary::Instance()->IsAuthorised(receiver.Envelopes()[0]));  // not sealed

  // The router no longer knows the session: the send is not accepted, the receiver hears of
  // the loss, and the library logs on again by itself.
  {
    std::lock_guard lock(scripted->mutex);
    scripted->forget = true;
  }
  EXPECT_EQ(c->Send(MakeMessage("X", "Tz-EntityEvent")), 0);
  ASSERT_TRUE(receiver.WaitNotices(3));
  EXPECT_EQ(receiver.Notices(), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(c->Send(MakeMessage("X", "Tz-EntityEvent")), 42);
  c->Release();
}

}  // namespace
