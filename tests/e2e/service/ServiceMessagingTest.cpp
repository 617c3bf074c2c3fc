// The service with a real router: it registers with the router when the connection comes up,
// drops what it has no processor for, follows the router's loss and return, and stops cleanly.
#include <signal.h>

#include <gtest/gtest.h>

#include <memory>

#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"

using namespace std::chrono_literals;

namespace {

class ServiceWithRouter : public ::testing::Test
{
protected:
  void SetUp() override
  {
    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=3", "CORVEX_TRACE_FILE=" + Trace()};
    e2e::ChildProcess reg(RUDADIZ_PATH, {"-RegServer"}, m_env, m_dir / "regserver.out");
    ASSERT_EQ(reg.Wait(), 0);
  }

  void StartRouter()
  {
    m_router = std::make_unique<e2e::ChildProcess>(
      ROUTER_PATH, std::vector<std::string>{"--socket", m_dir / "router.sock", "--data-dir", m_dir / "router", "--heartbeat", "1"},
      std::vector<std::string>{}, m_dir / "router.out");
  }

  std::string Trace() const { return m_dir / "trace.log"; }

  e2e::ScratchDir m_dir{"corvex-e2e-service"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_service"};
  std::vector<std::string> m_env;
  std::unique_ptr<e2e::ChildProcess> m_router;
};

}  // namespace

TEST_F(ServiceWithRouter, RegistersOnEachConnectionAndFollowsTheRoutersLossAndReturn)
{
  StartRouter();
  e2e::ChildProcess service(RUDADIZ_PATH, {}, m_env, m_dir / "service.out");

  // Connected: the two registration letters go to the router and are accepted (non-zero ids).
  ASSERT_TRUE(e2e::WaitForText(Trace(), "### Service started", 15s)) << e2e::ReadFile(m_dir / "service.out");
  ASSERT_TRUE(e2e::WaitForText(Trace(), "Sent GetStatus to router, id=", 15s)) << e2e::ReadFile(Trace());
  const std::string trace = e2e::ReadFile(Trace());
  EXPECT_EQ(e2e::CountOf(trace, "Sent letter to router, id=0"), 0);
  EXPECT_EQ(e2e::CountOf(trace, "Sent GetStatus to router, id=0"), 0);
  // The router's answers: the registration reply is dropped on purpose; its status reply is a
  // router's status, not an agent's, and is refused.
  EXPECT_TRUE(e2e::WaitForText(Trace(), "NULL message for [Tz-NotifyRouterUpdates-Reply], skipping"));
  EXPECT_TRUE(e2e::WaitForText(Trace(), "CreatorFn Caught (Invalid envelope for Tz-GetStatus-Reply)"));

  // The router goes away and comes back: the service sees both and registers again.
  m_router->Signal(SIGTERM);
  ASSERT_EQ(m_router->Wait(), 0);
  EXPECT_TRUE(e2e::WaitForText(Trace(), "### Receiver::NotifyConnection (disconnected)", 30s));
  StartRouter();
  EXPECT_TRUE(e2e::WaitForText(Trace(), "Sent GetStatus to router, id=", 30s, 2)) << e2e::ReadFile(Trace());

  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20s), 0) << e2e::ReadFile(m_dir / "service.out");
  EXPECT_TRUE(e2e::WaitForText(Trace(), "Threads stopped."));
}
