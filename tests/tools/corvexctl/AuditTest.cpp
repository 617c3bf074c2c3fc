// corvexctl and the audit trail: which command lines are changes, how their entries read, the
// listing and its CSV, and a change whose entry cannot be written. The process tests run the
// corvexctl binary against a database of their own.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvexctl/Audit.h"

namespace {

using corvexctl::ChangeOf;
using corvexctl::CsvCell;

TEST(CorvexctlAudit, ChangesAreTheCommandsThatChangeSomething)
{
  const auto action = [](std::vector<std::string> args) {
    const auto change = ChangeOf(args);
    return change ? change->action + "|" + change->target : std::string("read");
  };
  EXPECT_EQ(action({"group", "create", "Sales", "root"}), "group-create|Sales root");
  EXPECT_EQ(action({"group", "add-computer", "7", "12"}), "group-add-computers|7 12");
  EXPECT_EQ(action({"refresh", "1", "2"}), "refresh|1 2");
  EXPECT_EQ(action({"send-config", "dex", "--group", "7"}), "send-config|dex --group 7");
  EXPECT_EQ(action({"purge-settings", "set", "--method", "2"}), "purge-settings|--method 2");
  EXPECT_EQ(action({"search", "--user", "u", "LAB"}), "search-start|--user u LAB");
  EXPECT_EQ(action({"install", "--user", "u", "--password-file", "/p", "3"}), "install|--user u --password-file /p 3");
  EXPECT_EQ(action({"install", "trust", "host"}), "install-trust|host");
  EXPECT_EQ(action({"clocks", "tick", "1"}), "clock-tick|1");
  for (const std::vector<std::string>& reads :
       std::vector<std::vector<std::string>>{{}, {"groups"}, {"computers"}, {"alerts"}, {"purge-settings"}, {"purge-settings", "show"},
                                             {"install", "progress"}, {"clocks"}, {"clocks", "watch"}, {"audit"}, {"health"},
                                             {"agent", "list"}, {"help"}})
    EXPECT_EQ(action(reads), "read") << (reads.empty() ? "(nothing)" : reads[0]);
}

TEST(CorvexctlAudit, CsvCellsAreQuotedAndFormulasDefused)
{
  EXPECT_EQ(CsvCell("plain"), "plain");
  EXPECT_EQ(CsvCell(""), "");
  EXPECT_EQ(CsvCell("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvCell("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvCell("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvCell("=1+1"), "'=1+1");
  EXPECT_EQ(CsvCell("@SUM(A1)"), "'@SUM(A1)");
  EXPECT_EQ(CsvCell("-2,3"), "\"'-2,3\"");
}

class CorvexctlAuditProcess : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_dir = std::filesystem::temp_directory_path() / ("corvexctl-audit-" + std::to_string(::getpid()));
    std::filesystem::create_directories(m_dir);
    std::ofstream(m_dir / "registry.reg") << "Windows Registry Editor Version 5.00\n\n"
                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools]\n"
                                             "\"ServerLocation\"=\".\"\n\"DatabaseInstance\"=\"\"\n"
                                             "\"DatabaseName\"=\"" + m_db.Name() + "\"\n";
    m_env = e2e::CurrentEnvironment();
    m_env.push_back("CORVEX_REGISTRY=" + (m_dir / "registry.reg").string());
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  int Ctl(const std::vector<std::string>& args, std::string& out)
  {
    return e2e::Run(CORVEXCTL_BIN, args, m_env, m_dir / ("ctl" + std::to_string(++m_runs) + ".out"), out);
  }
  long long Entries() { return std::stoll(m_conn.Exec("SELECT count(*) FROM dbo.\"AuditTrail\"").Text(0, 0)); }

  corvexdb::ScratchDatabase m_db{"corvexctl_audit"};
  corvexdb::PgConnection m_conn = m_db.Connect();
  std::filesystem::path m_dir;
  std::vector<std::string> m_env;
  int m_runs = 0;
};

TEST_F(CorvexctlAuditProcess, EveryChangeIsRecordedWithTheLocalAccountAndItsOutcome)
{
  std::string out;
  ASSERT_EQ(Ctl({"group", "create", "Sales"}, out), 0) << out;
  EXPECT_EQ(Ctl({"group", "delete", "999999"}, out), 2) << out;  // no such group: refused
  EXPECT_EQ(Ctl({"groups"}, out), 0) << out;                      // a read: not recorded
  EXPECT_EQ(Ctl({"purge-settings"}, out), 0) << out;
  ASSERT_EQ(Entries(), 2);

  const corvexdb::PgResult rows = m_conn.Exec(
    "SELECT \"Account\", \"Source\", \"Console\", \"Action\", \"Target\", \"Outcome\", \"OutcomeText\""
    " FROM dbo.\"AuditTrail\" ORDER BY \"AuditID\"");
  const passwd* me = ::getpwuid(::getuid());
  ASSERT_NE(me, nullptr);
  for (int r = 0; r < 2; ++r) {
    EXPECT_EQ(rows.Text(r, 0), me->pw_name);
    EXPECT_EQ(rows.Text(r, 1), "local (uid " + std::to_string(::getuid()) + ")");
    EXPECT_EQ(rows.Text(r, 2), "corvexctl");
  }
  EXPECT_EQ(rows.Text(0, 3), "group-create");
  EXPECT_EQ(rows.Text(0, 4), "Sales");
  EXPECT_EQ(rows.Text(0, 5), "done");
  EXPECT_EQ(rows.Text(1, 3), "group-delete");
  EXPECT_EQ(rows.Text(1, 5), "refused");
  EXPECT_EQ(rows.Text(1, 6), "exit status 2");

  // The listing: newest first, filtered, limited, and as CSV.
  ASSERT_EQ(Ctl({"audit"}, out), 0) << out;
  const std::size_t create = out.find("group-create Sales: done"), remove = out.find("group-delete 999999: refused");
  EXPECT_NE(create, std::string::npos) << out;
  EXPECT_NE(remove, std::string::npos) << out;
  EXPECT_LT(remove, create) << out;
  EXPECT_NE(out.find(std::string(me->pw_name) + " from local (uid"), std::string::npos) << out;
  ASSERT_EQ(Ctl({"audit", "--action", "group-c"}, out), 0);
  EXPECT_EQ(out.find("group-delete"), std::string::npos) << out;
  ASSERT_EQ(Ctl({"audit", "--limit", "1"}, out), 0);
  EXPECT_EQ(out.find("group-create"), std::string::npos) << out;
  ASSERT_EQ(Ctl({"audit", "--account", "nobody-at-all"}, out), 0);
  EXPECT_NE(out.find("no audit entries"), std::string::npos) << out;
  ASSERT_EQ(Ctl({"audit", "--since", "2999-01-01"}, out), 0);
  EXPECT_NE(out.find("no audit entries"), std::string::npos) << out;
  ASSERT_EQ(Ctl({"audit", "--csv"}, out), 0);
  EXPECT_EQ(out.rfind("AuditID,EntryTime,Account,Source,Console,Action,Target,Detail,Outcome,OutcomeText,DatabaseUser\r\n", 0), 0u)
    << out;
  EXPECT_NE(out.find(",corvexctl,group-delete,999999,,refused,exit status 2,"), std::string::npos) << out;

  // Command lines the listing refuses.
  EXPECT_EQ(Ctl({"audit", "--since", "next tuesday-ish"}, out), 2) << out;
  EXPECT_EQ(Ctl({"audit", "--limit", "-3"}, out), 2) << out;
  EXPECT_EQ(Ctl({"audit", "--frobnicate"}, out), 2) << out;
  EXPECT_EQ(Entries(), 2);  // reading the trail is no change
}

TEST_F(CorvexctlAuditProcess, AChangeWhoseEntryCannotBeWrittenSaysSoAndFails)
{
  m_conn.Exec("ALTER TABLE dbo.\"AuditTrail\" RENAME TO \"AuditTrailAway\"");
  std::string out;
  const int rc = Ctl({"group", "create", "Unrecorded"}, out);
  m_conn.Exec("ALTER TABLE dbo.\"AuditTrailAway\" RENAME TO \"AuditTrail\"");
  EXPECT_EQ(rc, 1) << out;
  EXPECT_NE(out.find("group-create ended (done) but could not be recorded in the audit trail"), std::string::npos) << out;
  EXPECT_EQ(m_conn.Exec("SELECT count(*) FROM dbo.\"Groups\" WHERE \"Name\" = 'Unrecorded'").Text(0, 0), "1");
  // A command that failed keeps its own exit status.
  m_conn.Exec("ALTER TABLE dbo.\"AuditTrail\" RENAME TO \"AuditTrailAway\"");
  const int refused = Ctl({"group", "delete", "999999"}, out);
  m_conn.Exec("ALTER TABLE dbo.\"AuditTrailAway\" RENAME TO \"AuditTrail\"");
  EXPECT_EQ(refused, 2) << out;
  EXPECT_EQ(out.find("could not be recorded"), std::string::npos) << "its own error is the one line: " << out;
  EXPECT_EQ(Entries(), 0);
}

}  // namespace
