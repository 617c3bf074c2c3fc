// The service with real messaging (nats-server and the relay): it registers with the relay when
// its connection comes up, drops what it has no processor for, follows the server's loss and
// return, and stops cleanly.
#include <signal.h>

#include <gtest/gtest.h>

#include <memory>

#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"

using namespace std::chrono_literals;

namespace {

class ServiceWithMessaging : public ::testing::Test
{
protected:
  void SetUp() override
  {
    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=3", "CORVEX_TRACE_FILE=" + Trace()};
    e2e::ChildProcess reg(RUDADIZ_PATH, {"-RegServer"}, m_env, m_dir / "regserver.out");
    ASSERT_EQ(reg.Wait(), 0);
    m_messaging = std::make_unique<e2e::MessagingLocation>(m_dir.Path());
  }

  std::string Trace() const { return m_dir / "trace.log"; }

  e2e::ScratchDir m_dir{"corvex-e2e-service"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_service"};
  std::vector<std::string> m_env;
  std::unique_ptr<e2e::MessagingLocation> m_messaging;
};

}  // namespace

TEST_F(ServiceWithMessaging, RegistersOnEachConnectionAndFollowsTheServersLossAndReturn)
{
  e2e::ChildProcess service(RUDADIZ_PATH, {}, m_env, m_dir / "service.out");

  // Connected: the two registration letters go to the relay and are accepted (non-zero ids).
  ASSERT_TRUE(e2e::WaitForText(Trace(), "### Service started", 15s)) << e2e::ReadFile(m_dir / "service.out");
  ASSERT_TRUE(e2e::WaitForText(Trace(), "Sent GetStatus to router, id=", 15s)) << e2e::ReadFile(Trace());
  const std::string trace = e2e::ReadFile(Trace());
  EXPECT_EQ(e2e::CountOf(trace, "Sent letter to router, id=0"), 0);
  EXPECT_EQ(e2e::CountOf(trace, "Sent GetStatus to router, id=0"), 0);
  // The relay's answers: the registration reply is dropped on purpose; its status reply is the
  // relay's status, not an agent's, and is refused.
  EXPECT_TRUE(e2e::WaitForText(Trace(), "NULL message for [Tz-NotifyRouterUpdates-Reply], skipping"));
  EXPECT_TRUE(e2e::WaitForText(Trace(), "CreatorFn Caught (Invalid envelope for Tz-GetStatus-Reply)"));

  // The server goes away and comes back: the service sees both and registers again.
  m_messaging->StopServer(true);
  EXPECT_TRUE(e2e::WaitForText(Trace(), "### Receiver::NotifyConnection (disconnected)", 30s));
  m_messaging->StartServer();
  EXPECT_TRUE(e2e::WaitForText(Trace(), "Sent GetStatus to router, id=", 30s, 2)) << e2e::ReadFile(Trace());
  EXPECT_EQ(e2e::CountOf(e2e::ReadFile(Trace()), "Sent GetStatus to router, id=0"), 0);

  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20s), 0) << e2e::ReadFile(m_dir / "service.out");
  EXPECT_TRUE(e2e::WaitForText(Trace(), "Threads stopped."));
}
