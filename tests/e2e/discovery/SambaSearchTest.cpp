// A network search against a real Samba server: the service browses the server's workgroup,
// enters the server with the operating system and comment its own answer implies, and the
// console hears the search start, progress and end.
//
// Needs root: the server runs in namespaces of its own (see SambaNamespace).
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "tests/e2e/discovery/SambaNamespace.h"
#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"

using namespace std::chrono_literals;

namespace {

constexpr char kWorkgroup[] = "CVXTESTGRP";
constexpr char kServer[] = "CVXSAMBA";
constexpr char kComment[] = "Corvex test file server";
constexpr char kServerAddress[] = "10.231.77.1";
constexpr char kClientAddress[] = "10.231.77.2";

class SambaSearch : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root: the test makes network and mount namespaces and runs a Samba server";
    if (const std::string missing = e2e::SambaNamespace::Missing({"ip", "unshare", "nsenter", "smbd", "nmbd", "samba-dcerpcd"});
        !missing.empty())
      GTEST_SKIP() << missing << " is not installed (scripts/install-deps.sh installs it)";
    ASSERT_NO_FATAL_FAILURE(m_samba.Enter({"cvxc", "cvxs", kClientAddress, {kServerAddress}}));
    WriteConfigurations();
    m_samba.StartDaemon("dcerpcd", e2e::FindProgram("samba-dcerpcd"), "--libexec-rpcds");
    m_samba.StartDaemon("nmbd", e2e::FindProgram("nmbd"), "--no-process-group");
    m_samba.StartDaemon("smbd", e2e::FindProgram("smbd"), "--no-process-group");

    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    // The service does not start without the messaging location it is configured for.
    m_messaging = std::make_unique<e2e::MessagingLocation>(m_dir.Path());
    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=2", "CORVEX_TRACE_FILE=" + m_dir / "trace.log",
             "HOME=" + m_dir.Path()};
    std::string out;
    ASSERT_EQ(e2e::Run(RUDADIZ_PATH, {"-RegServer"}, m_env, m_dir / "regserver.out", out), 0) << out;
    m_service = std::make_unique<e2e::ChildProcess>(RUDADIZ_PATH, std::vector<std::string>{}, m_env, m_dir / "service.out");
    ASSERT_TRUE(e2e::WaitForText(m_dir / "trace.log", "Started computer discovery handlers", 20s))
      << e2e::ReadFile(m_dir / "service.out");
  }

  void TearDown() override
  {
    if (m_service) {
      m_service->Signal(SIGTERM);
      EXPECT_EQ(m_service->Wait(20s), 0) << "the service stops with its discovery threads";
      m_service.reset();
    }
    m_samba.Stop();
  }

  void WriteConfigurations()
  {
    std::filesystem::create_directories(m_dir / "log");
    std::filesystem::create_directories(m_dir / "share");
    e2e::WriteFile(m_dir / "server.conf", std::string("[global]\n") + "  workgroup = " + kWorkgroup + "\n  netbios name = " +
                                            kServer + "\n  server string = " + kComment +
                                            "\n  interfaces = cvxs\n  bind interfaces only = yes\n"
                                            "  server min protocol = NT1\n  local master = yes\n  preferred master = yes\n"
                                            "  domain master = yes\n  os level = 65\n  name resolve order = lmhosts wins bcast\n"
                                            "  map to guest = bad user\n  disable spoolss = yes\n  load printers = no\n"
                                            // State stays in the compiled-in folders: smbd reads the browse list
                                            // nmbd writes there whatever the configuration says. They are the
                                            // scratch folders mounted over them.
                                            "[pub]\n  path = " + m_dir / "share" + "\n  guest ok = yes\n");
    // The client's configuration: the machine's own file, covered by the bind mount.
    e2e::WriteFile("/etc/samba/smb.conf", std::string("[global]\n  workgroup = ") + kWorkgroup +
                                            "\n  netbios name = CVXCLIENT\n  interfaces = cvxc\n  bind interfaces only = yes\n"
                                            "  name resolve order = lmhosts wins bcast\n");
  }

  int Console(const std::vector<std::string>& args, std::string& out, std::chrono::milliseconds timeout = 40s)
  {
    return e2e::Run(CORVEXCTL_PATH, args, m_env, m_dir / ("ctl" + std::to_string(++m_runs) + ".out"), out, timeout);
  }
  std::string Query(const std::string& sql) { return m_db.Exec(sql).Text(0, 0); }

  e2e::ScratchDir m_dir{"corvex-e2e-samba"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_samba"};
  corvexdb::PgConnection m_db = m_database.Connect();
  std::vector<std::string> m_env;
  e2e::SambaNamespace m_samba{m_dir};
  std::unique_ptr<e2e::MessagingLocation> m_messaging;
  std::unique_ptr<e2e::ChildProcess> m_service;
  int m_runs = 0;
};

}  // namespace

TEST_F(SambaSearch, TheServerOfAWorkgroupIsFoundWithItsSystemAndComment)
{
  // The browse list forms after the daemons start: a workgroup's servers after some seconds, the
  // workgroup itself in the network's list later. Both are polled, within bounds.
  std::string out;
  bool found = false;
  for (int i = 0; i < 12 && !found; ++i) {
    ASSERT_EQ(Console({"search", "--user", "", kWorkgroup}, out), 0) << out;
    found = out.find("search finished: 1 computers found, 1 queried") != std::string::npos;
    if (!found)
      std::this_thread::sleep_for(1s);
  }
  ASSERT_TRUE(found) << out << e2e::ReadFile(m_dir / "log/log.nmbd") << e2e::ReadFile(m_dir / "log/log.smbd");
  // The listener heard the start, each step and the end, in that order (not a terminal: one line each).
  EXPECT_NE(out.find("search started\n"), std::string::npos) << out;
  EXPECT_NE(out.find("found 1, queried 0, remaining 1\n"), std::string::npos) << out;
  EXPECT_LT(out.find("found 1, queried 1, remaining 0\n"), out.find("search finished")) << out;

  // The server announces the UNIX-server type bit: code 13, with its own server string.
  EXPECT_EQ(Query(std::string("SELECT \"OperatingSystem\" || '|' || \"Description\" || '|' || \"DomainName\" FROM dbo.\"Computers\" "
                              "WHERE \"ComputerName\" = '") + kServer + "'"),
            std::string("13|") + kComment + "|" + kWorkgroup);
  const std::string trace = e2e::ReadFile(m_dir / "trace.log");
  EXPECT_NE(trace.find(std::string("Computer ") + kServer + " found on " + kWorkgroup), std::string::npos);

  bool listed = false;
  for (int i = 0; i < 40 && !listed; ++i) {
    // Until the workgroup is announced the list is empty, or the browse fails.
    listed = Console({"domains"}, out) == 0 && out.find(kWorkgroup) != std::string::npos;
    if (!listed)
      std::this_thread::sleep_for(1s);
  }
  EXPECT_TRUE(listed) << out;

  // An unknown workgroup ends its search with nothing found and nothing entered.
  ASSERT_EQ(Console({"search", "--user", "", "NOSUCHGRP"}, out), 0) << out;
  EXPECT_NE(out.find("search finished: 0 computers found, 0 queried"), std::string::npos) << out;
  EXPECT_EQ(Query("SELECT count(*) FROM dbo.\"Computers\""), "1");
  // A stop with nothing running is harmless.
  ASSERT_EQ(Console({"search-stop"}, out), 0) << out;
}
