// corvexctl's group, alert and purge-settings commands as a console user runs them: the tree the
// group commands build, alerts listed newest first with their texts, and one clear error with a
// non-zero exit (and nothing changed) for each bad argument.
#include <gtest/gtest.h>

#include "tests/e2e/console/ConsoleTest.h"

namespace {

using e2e::FieldOf;
using e2e::Lines;
using e2e::Words;

class ConsoleGroupsAndAlerts : public e2e::ConsoleTest
{
protected:
  std::string Count(const std::string& table)
  {
    return m_db.Exec("SELECT count(*) FROM dbo.\"" + table + "\"").Text(0, 0);
  }
  std::string Computer(const std::string& name)
  {
    return *Call("AddComputer", {{"@ComputerName", name}, {"@DomainName", "OFFICE"}, {"@OperatingSystem", "8"},
                                 {"@Description", ""}})
              .Output("@ComputerID");
  }
  // The ID printed by "group create".
  std::string Create(const std::vector<std::string>& args)
  {
    std::string out;
    std::vector<std::string> all{"group", "create"};
    all.insert(all.end(), args.begin(), args.end());
    EXPECT_EQ(Console(all, out), 0) << out;
    const std::vector<std::string> words = Words(out);
    return words.size() > 2 ? words[2] : "";
  }
};

}  // namespace

TEST_F(ConsoleGroupsAndAlerts, GroupCommandsBuildTheTreeThatGroupsShows)
{
  const std::string sales = Create({"Sales"});
  const std::string emea = Create({"EMEA", sales});
  const std::string dev = Create({"Dev", "root"});
  const std::string tmp = Create({"Temp"});
  const std::string pc1 = Computer("PC1"), pc2 = Computer("PC2");
  Computer("PC3");  // stays unassigned
  std::string out;
  ASSERT_EQ(Console({"group", "add-computer", emea, pc1}, out), 0) << out;
  ASSERT_EQ(Console({"group", "add-computer", emea, pc2}, out), 0) << out;
  ASSERT_EQ(Console({"group", "rename", dev, "Development"}, out), 0) << out;
  ASSERT_EQ(Console({"group", "move", dev, sales}, out), 0) << out;
  ASSERT_EQ(Console({"group", "delete", tmp}, out), 0) << out;

  ASSERT_EQ(Console({"groups"}, out), 0) << out;
  EXPECT_EQ(out, "Sales [" + sales + "]  0 computers\n"
                 "  Development [" + dev + "]  0 computers\n"
                 "  EMEA [" + emea + "]  2 computers\n"
                 "(unassigned)  1 computer\n");
}

TEST_F(ConsoleGroupsAndAlerts, BadGroupArgumentsAreOneLineErrorsAndChangeNothing)
{
  const std::string a = Create({"A"});
  const std::string b = Create({"B", a});
  const std::string pc = Computer("PC1");
  std::string out;
  const auto refused = [&](const std::vector<std::string>& args, const std::string& message) {
    EXPECT_EQ(Console(args, out), 2) << out;
    EXPECT_EQ(out, message);
  };
  refused({"group", "create", "a/b"}, "corvexctl: group create: Invalid group name\n");
  refused({"group", "create", std::string(33, 'x')}, "corvexctl: group create: Invalid group name\n");
  refused({"group", "create", "a"}, "corvexctl: group create: Group name already exists: a\n");
  refused({"group", "move", a, b},
          "corvexctl: group move: a group cannot move into itself or its subgroups (ErrorMoveIntoDescendant)\n");
  refused({"group", "delete", a}, "corvexctl: group delete: the group has subgroups (ErrorNonLeafGroupDelete)\n");
  refused({"group", "rename", "999", "X"}, "corvexctl: group rename: Group not found\n");
  refused({"group", "add-computer", a, "999"}, "corvexctl: group add-computer: Computer does not exist\n");
  refused({"group", "rename", "Sales", "X"}, "corvexctl: group: \"Sales\" is not a group ID\n");
  EXPECT_EQ(Console({"group", "frobnicate"}, out), 2);
  EXPECT_EQ(Console({"groups", "all"}, out), 2);
  EXPECT_EQ(Count("Groups"), "2");

  e2e::WriteServiceRegistry(m_dir, m_database.Name() + "_missing");
  EXPECT_EQ(Console({"group", "create", "C"}, out), 1);
  EXPECT_EQ(out.rfind("corvexctl: ", 0), 0u) << out;
  EXPECT_EQ(Lines(out).size(), 1u) << out;
}

TEST_F(ConsoleGroupsAndAlerts, AlertsNewestFirstWithTheirTexts)
{
  const std::string pc1 = Computer("PC1"), pc2 = Computer("PC2");
  Call("AddVirusAlert", {{"@ComputerID", pc1}, {"@AlertTime", "2024-05-02 08:30:00"}, {"@UserName", "alice"},
                         {"@VirusName", "EICAR"}, {"@VirusType", "1"}, {"@InfectedItem", "eicar.com"}, {"@ScannerType", "2"},
                         {"@ActionTaken", "3"}});
  Call("AddErrorAlert", {{"@ComputerID", pc2}, {"@AlertTime", "2024-05-03 09:00:00"}, {"@UserName", "bob"}, {"@Source", "DEX"},
                         {"@EntityInfo", "DEX 7 on PC2"}, {"@number", "2101"}, {"@MessageCode", "ScanAborted"},
                         {"@Insert1", "Weekly"}, {"@Insert2", "disk removed"}, {"@Insert3", ""}, {"@Insert4", ""},
                         {"@Insert5", ""}});
  std::string out;
  ASSERT_EQ(Console({"alerts"}, out), 0) << out;
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"ID", "COMPUTER", "TYPE", "TIME", "OUTSTANDING", "USER", "TEXT"}));
  EXPECT_NE(lines[1].find("error  2024-05-03 09:00:00  yes          bob    The scan \"Weekly\" stopped before it finished: disk removed."),
            std::string::npos) << out;
  EXPECT_NE(lines[2].find("virus  2024-05-02 08:30:00  yes          alice  virus EICAR found in eicar.com"), std::string::npos) << out;

  ASSERT_EQ(Console({"alerts", "--computer", pc1}, out), 0) << out;
  EXPECT_EQ(Lines(out).size(), 2u) << out;
  const std::string virusAlert = Words(Lines(out).at(1)).at(0);
  ASSERT_EQ(Console({"alert", virusAlert}, out), 0) << out;
  EXPECT_EQ(FieldOf(out, "type"), "virus");
  EXPECT_EQ(FieldOf(out, "user"), "alice");
  EXPECT_EQ(FieldOf(out, "infected item"), "eicar.com");
  EXPECT_NE(FieldOf(out, "information").find("svl.cgi?virus=EICAR&lang="), std::string::npos) << out;

  EXPECT_EQ(Console({"alert", "99999"}, out), 2);
  EXPECT_EQ(out, "corvexctl: alert 99999 does not exist (ErrorNotFound)\n");
  EXPECT_EQ(Console({"alerts", "--computer", "x"}, out), 2);
  EXPECT_EQ(out, "corvexctl: alerts: \"x\" is not a computer ID\n");
  EXPECT_EQ(Console({"alerts", "--computer", "99999"}, out), 2);
  EXPECT_EQ(Lines(out).size(), 1u) << out;
}

TEST_F(ConsoleGroupsAndAlerts, PurgeSettingsShowSetAndRefuse)
{
  std::string out;
  ASSERT_EQ(Console({"purge-settings"}, out), 0) << out;
  EXPECT_EQ(FieldOf("  " + Lines(out).at(1), "purge method"), "0 (none)") << out;
  ASSERT_EQ(Console({"purge-settings", "set", "--method", "2", "--maximum", "10", "--company", "Example Ltd"}, out), 0) << out;
  EXPECT_EQ(out, "company name: Example Ltd\npurge method: 2 (by count)\nmonths: 6\nmaximum alerts: 10\n");

  EXPECT_EQ(Console({"purge-settings", "set", "--company", std::string(257, 'c')}, out), 2);
  EXPECT_EQ(out, "corvexctl: purge-settings: Invalid company name\n");
  EXPECT_EQ(Console({"purge-settings", "set", "--method", "7"}, out), 2);
  EXPECT_EQ(out, "corvexctl: purge-settings: the database refused the settings (ErrorInvalidParameter)\n");
  EXPECT_EQ(Console({"purge-settings", "set", "--colour", "red"}, out), 2);
  ASSERT_EQ(Console({"purge-settings", "show"}, out), 0) << out;
  EXPECT_EQ(out, "company name: Example Ltd\npurge method: 2 (by count)\nmonths: 6\nmaximum alerts: 10\n");
}
