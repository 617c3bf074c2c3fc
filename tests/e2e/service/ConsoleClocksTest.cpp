// A console process and the service: clocks fetched, ticked and watched over the console endpoint.
#include <signal.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"

using namespace std::chrono_literals;

namespace {

class ConsoleAndService : public ::testing::Test
{
protected:
  void SetUp() override
  {
    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=2", "CORVEX_TRACE_FILE=" + m_dir / "trace.log"};
    e2e::ChildProcess reg(RUDADIZ_PATH, {"-RegServer"}, m_env, m_dir / "regserver.out");
    ASSERT_EQ(reg.Wait(), 0);
    // The service does not start without the messaging location it is configured for.
    m_messaging = std::make_unique<e2e::MessagingLocation>(m_dir.Path());
  }

  // Runs corvexctl to its end; its exit code, output in `out`.
  int Console(const std::vector<std::string>& args, std::string& out)
  {
    return e2e::Run(CORVEXCTL_PATH, args, m_env, m_dir / ("ctl" + std::to_string(++m_runs) + ".out"), out);
  }

  e2e::ScratchDir m_dir{"corvex-e2e-console"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_console"};
  std::unique_ptr<e2e::MessagingLocation> m_messaging;
  std::vector<std::string> m_env;
  int m_runs = 0;
};

}  // namespace

TEST_F(ConsoleAndService, AConsoleSeesATickMadeInTheService)
{
  std::string out;
  EXPECT_EQ(Console({"clocks"}, out), 1);  // no service yet
  EXPECT_NE(out.find("corvexctl: "), std::string::npos) << out;

  e2e::ChildProcess service(RUDADIZ_PATH, {}, m_env, m_dir / "service.out");
  ASSERT_TRUE(e2e::WaitForText(m_dir / "trace.log", "Connect done.", 15s)) << e2e::ReadFile(m_dir / "service.out");

  ASSERT_EQ(Console({"clocks"}, out), 0) << out;
  // Start-up clears every computer's install flags, which ticks the computer-state clock once.
  EXPECT_NE(out.find("clock 0 (group tree): 0\nclock 1 (computer state): 1\nclock 2 (group membership): 0\n"), std::string::npos)
    << out;

  // One console watches while another ticks: the watcher sees exactly that clock move.
  e2e::ChildProcess watcher(CORVEXCTL_PATH, {"clocks", "watch", "100", "1"}, m_env, m_dir / "watch.out");
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(Console({"clocks", "tick", "1"}, out), 0) << out;
  EXPECT_EQ(out, "clock 1 (computer state): 2\n");
  EXPECT_EQ(watcher.Wait(20s), 0);
  EXPECT_EQ(e2e::ReadFile(m_dir / "watch.out"), "clock 1 (computer state) changed: 2\n");

  EXPECT_EQ(Console({"clocks", "tick", "3"}, out), 2);
  EXPECT_NE(out.find("the clock is 0, 1 or 2"), std::string::npos) << out;

  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20s), 0);
}
