// The status road and the console's actions with every program real: nats-server and the relay,
// the service, simulated agents and the console. A refresh brings a computer's details into the database;
// a pushed group configuration is applied by the agent and its next reply matches the group;
// update-now letters leave the service one per interval.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"

using namespace std::chrono_literals;

namespace {

constexpr int kUpdateIntervalMs = 150;

class StatusRoad : public ::testing::Test
{
protected:
  void SetUp() override
  {
    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    // The update-now worker's interval, short enough for a test.
    std::string registry = e2e::ReadFile(m_dir / "registry.reg");
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]\n";
    char interval[64];
    std::snprintf(interval, sizeof interval, "\"ForceUpdateTimeInterval\"=dword:%08x\n", kUpdateIntervalMs);
    registry.insert(registry.find(key) + key.size(), interval);
    e2e::WriteFile(m_dir / "registry.reg", registry);

    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=2", "CORVEX_TRACE_FILE=" + Trace()};
    e2e::ChildProcess reg(RUDADIZ_PATH, {"-RegServer"}, m_env, m_dir / "regserver.out");
    ASSERT_EQ(reg.Wait(), 0);
    m_messaging = std::make_unique<e2e::MessagingLocation>(m_dir.Path());
    m_service = std::make_unique<e2e::ChildProcess>(RUDADIZ_PATH, std::vector<std::string>{}, m_env, m_dir / "service.out");
    ASSERT_TRUE(e2e::WaitForText(Trace(), "Connect done.", 15s)) << e2e::ReadFile(m_dir / "service.out");
  }

  void TearDown() override
  {
    if (HasFailure()) {
      // Where the road stopped: what the agents heard and said, and what the relay did.
      std::cerr << "agents:\n" << (m_agents ? m_agents->Output() : std::string()) << "\nrelay:\n"
                << (m_messaging ? m_messaging->RelayLog() : std::string());
    }
    if (m_agents)
      m_agents->Signal(SIGTERM);
    if (m_service) {
      m_service->Signal(SIGTERM);
      EXPECT_EQ(m_service->Wait(20s), 0) << e2e::ReadFile(m_dir / "service.out");
    }
  }

  void StartAgents(int count)
  {
    m_agents = std::make_unique<e2e::ChildProcess>(
      AGENT_SIM_PATH,
      std::vector<std::string>{"--messaging", m_messaging->Directory(), "--enrol", "--agents", std::to_string(count),
                               "--service", "PTLManagementService"},
      std::vector<std::string>{}, m_dir / "agents.out", e2e::ChildInput::Pipe);
    ASSERT_TRUE(m_agents->WaitForOutput(" connected", 15s, count)) << m_agents->Output();
  }

  // A computer the database knows by the address its agent uses; its ID.
  std::string Computer(const std::string& address)
  {
    return Sql("SELECT \"@ComputerID\" FROM dbo.\"ComputerFromAddressNameDomain\"('" + address + "', '" + address +
               "', 'CORP')");
  }
  std::string Sql(const std::string& query) { return m_db.Exec(query).Text(0, 0); }
  // Polls the query until it answers `expected`; the last answer.
  std::string WaitForSql(const std::string& query, const std::string& expected, std::chrono::seconds timeout = 20s)
  {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::string answer;
    while ((answer = Sql(query)) != expected && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(100ms);
    return answer;
  }
  int Console(const std::vector<std::string>& args, std::string& out)
  {
    return e2e::Run(CORVEXCTL_PATH, args, m_env, m_dir / ("ctl" + std::to_string(++m_runs) + ".out"), out);
  }
  std::string Trace() const { return m_dir / "trace.log"; }

  e2e::ScratchDir m_dir{"corvex-e2e-status"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_status"};
  corvexdb::PgConnection m_db{m_database.Connect()};
  std::vector<std::string> m_env;
  std::unique_ptr<e2e::MessagingLocation> m_messaging;
  std::unique_ptr<e2e::ChildProcess> m_service;
  std::unique_ptr<e2e::ChildProcess> m_agents;
  int m_runs = 0;
};

// Milliseconds of the day of a trace line's time stamp ("2026-12-06 22:47:09.720 ...").
long TraceMs(const std::string& line)
{
  int h = 0, m = 0, s = 0, ms = 0;
  if (std::sscanf(line.c_str() + 11, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4)
    return -1;
  return ((h * 60L + m) * 60 + s) * 1000 + ms;
}

}  // namespace

TEST_F(StatusRoad, ARefreshBringsTheComputersDetailsIntoTheDatabase)
{
  StartAgents(2);
  const std::string pc1 = Computer("PC1"), pc2 = Computer("PC2");
  std::string out;
  ASSERT_EQ(Console({"refresh", pc1, pc2}, out), 0) << out;
  EXPECT_NE(out.find("queued a status request for 2 computers: " + pc1 + " " + pc2), std::string::npos) << out;

  const std::string details = "SELECT \"OperatingSystem\" || ' ' || \"IPAddress\" || ' ' || \"LastLoggedOnUser\" || ' ' || "
                              "coalesce(\"DexVersion\", '') || ' ' || \"Connected\" FROM dbo.\"Computers\" WHERE \"ComputerID\" = ";
  EXPECT_EQ(WaitForSql(details + pc1, "8 167772161 jsmith 4.2.1.318 true"), "8 167772161 jsmith 4.2.1.318 true")
    << e2e::ReadFile(Trace());
  EXPECT_EQ(WaitForSql(details + pc2, "8 167772162 jsmith 4.2.1.318 true"), "8 167772162 jsmith 4.2.1.318 true");
  EXPECT_FALSE(Sql("SELECT \"AUConfigXML\" FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + pc1).empty());

  ASSERT_EQ(Console({"computer", pc1}, out), 0) << out;
  EXPECT_NE(out.find("WINXP"), std::string::npos) << out;

  // Central configuration off for one computer: its agent is told so.
  ASSERT_EQ(Console({"central-config", "off", pc2}, out), 0) << out;
  EXPECT_NE(out.find("queued central configuration off for 1 computer: " + pc2), std::string::npos) << out;
  EXPECT_TRUE(m_agents->WaitForOutput("PC2.Agent <- Tz-ApplyCentralConfig from PTLManagementService (5 bytes): false"))
    << m_agents->Output();

  EXPECT_EQ(Console({"refresh", "PC1"}, out), 2);
  EXPECT_NE(out.find("\"PC1\" is not a computer ID"), std::string::npos) << out;
}

TEST_F(StatusRoad, UpdateNowLettersLeaveOnePerInterval)
{
  constexpr int kComputers = 20;
  StartAgents(kComputers);
  std::vector<std::string> args{"update-now"};
  for (int i = 1; i <= kComputers; ++i)
    args.push_back(Computer("PC" + std::to_string(i)));
  std::string out;
  ASSERT_EQ(Console(args, out), 0) << out;
  ASSERT_TRUE(m_agents->WaitForOutput("updated now (update 1)", 60s, kComputers)) << m_agents->Output() << e2e::ReadFile(Trace());

  std::vector<long> sent;
  std::istringstream lines(e2e::ReadFile(Trace()));
  for (std::string line; std::getline(lines, line);)
    if (line.find("DoAction Sent letter with id=") != std::string::npos)
      sent.push_back(TraceMs(line));
  ASSERT_EQ(sent.size(), static_cast<std::size_t>(kComputers));
  for (std::size_t i = 1; i < sent.size(); ++i)
    EXPECT_GE(sent[i] - sent[i - 1], kUpdateIntervalMs - 5) << "letters " << i - 1 << " and " << i;
}

TEST_F(StatusRoad, APushedGroupConfigurationIsAppliedAndTheNextReplyMatchesTheGroup)
{
  StartAgents(1);
  const std::string pc = Computer("PC1");
  // A group with the default anti-virus configuration, holding the computer.
  const std::string group = Sql("SELECT \"@GroupID\" FROM dbo.\"AddGroup\"(NULL, 'Sales')");
  m_db.Exec("SELECT dbo.\"SetGroupDexConfigXML\"($1, $2)", {group, KTDexHandler::KTDexConfiguration().ToXML_UTF8()});
  Sql("SELECT \"@RETURN_VALUE\" FROM dbo.\"AddComputerToGroup\"(" + pc + ", " + group + ")");

  std::string out;
  ASSERT_EQ(Console({"send-config", "dex", pc}, out), 0) << out;
  EXPECT_NE(out.find("queued the group's anti-virus configuration"), std::string::npos) << out;
  ASSERT_TRUE(m_agents->WaitForOutput("PC1.Agent applied DEX configuration", 20s)) << m_agents->Output();

  ASSERT_EQ(Console({"refresh", pc}, out), 0) << out;
  EXPECT_EQ(WaitForSql("SELECT \"HasGroupDexConfig\" FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + pc, "t"), "t")
    << e2e::ReadFile(Trace());
  ASSERT_EQ(Console({"computer", pc}, out), 0) << out;
  EXPECT_NE(out.find("anti-virus config matches group:  yes"), std::string::npos) << out;

  // The whole group by its ID; an update configuration the group does not have is not sent.
  ASSERT_EQ(Console({"send-config", "au", "--group", group}, out), 0) << out;
  EXPECT_NE(out.find("for 1 computer: " + pc), std::string::npos) << out;
  EXPECT_TRUE(e2e::WaitForText(Trace(), "Platform 'Tandem' not configured"));
}
