// corvexctl's computer commands as a console user runs them, against a database filled the way
// the service and discovery fill it.
#include <gtest/gtest.h>

#include "tests/e2e/console/ConsoleTest.h"

namespace {

using e2e::FieldOf;
using e2e::Lines;
using e2e::Words;

using ConsoleComputers = e2e::ConsoleTest;

}  // namespace

TEST_F(ConsoleComputers, ListsEveryComputerByNameAndShowsOne)
{
  std::string out;
  ASSERT_EQ(Console({"computers"}, out), 0) << out;
  EXPECT_EQ(out, "no computers\n");

  // A computer that reported from its address, and one that discovery found.
  const std::string pc7 = *Call("ComputerFromAddressNameDomain", {{"@MessageSystemAddress", "PC7"}, {"@ComputerName", "PC7"},
                                                                  {"@DomainName", "WORKGROUP"}})
                             .Output("@ComputerID");
  const std::string browsed = *Call("AddComputer", {{"@ComputerName", "BROWSED"}, {"@DomainName", "OFFICE"},
                                                    {"@OperatingSystem", "13"}, {"@Description", "Samba box"}})
                                 .Output("@ComputerID");
  Call("UpdateComputerDescriptionAndOS", {{"@ComputerID", pc7}, {"@OperatingSystem", "8"}, {"@description", "reception"}});
  Call("ComputerLastMessageTimeSet", {{"@ComputerID", pc7}, {"@LastMessageTime", "2024-05-01 10:00:00"}});
  Call("AddVirusAlert", {{"@ComputerID", pc7}, {"@AlertTime", "2024-05-02 08:30:00"}, {"@UserName", "alice"},
                         {"@VirusName", "EICAR"}, {"@VirusType", "1"}, {"@InfectedItem", "eicar.com"}, {"@ScannerType", "2"},
                         {"@ActionTaken", "3"}});
  const std::string group = *Call("AddGroup", {{"@NewParentID", std::nullopt}, {"@Name", "Front office"}}).Output("@GroupID");
  Call("AddComputerToGroup", {{"@ComputerID", pc7}, {"@NewGroupID", group}});

  ASSERT_EQ(Console({"computers"}, out), 0) << out;
  const std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"ID", "NAME", "DOMAIN", "OS", "MANAGED", "CONNECTED", "ALERTS", "INSTALL", "RESULT", "LAST",
                                                       "MESSAGE"}));
  EXPECT_EQ(Words(lines[1]), (std::vector<std::string>{browsed, "BROWSED", "OFFICE", "UNIX/SAMBA", "no", "unknown", "-", "-", "-", "never"}));
  EXPECT_EQ(Words(lines[2]),
            (std::vector<std::string>{pc7, "PC7", "WORKGROUP", "WINXP", "yes", "unknown", "virus", "-", "-", "2024-05-01",
                                      "10:00:00"}));

  ASSERT_EQ(Console({"computer", pc7}, out), 0) << out;
  EXPECT_EQ(Lines(out).front(), "computer " + pc7);
  EXPECT_EQ(FieldOf(out, "address"), "PC7");
  EXPECT_EQ(FieldOf(out, "description"), "reception");
  EXPECT_EQ(FieldOf(out, "operating system"), "WINXP (8)");
  EXPECT_EQ(FieldOf(out, "group"), group);
  EXPECT_EQ(FieldOf(out, "alert state"), "2 (virus)");
  EXPECT_EQ(FieldOf(out, "last message"), "2024-05-01 10:00:00");
  EXPECT_NE(out.find("virus alerts: 1\n  2024-05-02 08:30:00  EICAR  eicar.com  user alice  outstanding\n"), std::string::npos)
    << out;

  ASSERT_EQ(Console({"computer", browsed}, out), 0) << out;
  EXPECT_EQ(FieldOf(out, "address"), "(not managed)");
  EXPECT_EQ(FieldOf(out, "group"), "unassigned");
  EXPECT_EQ(FieldOf(out, "last message"), "never");
}

TEST_F(ConsoleComputers, BadIdsAndAMissingDatabaseAreClearErrors)
{
  std::string out;
  EXPECT_EQ(Console({"computer", "12345"}, out), 2);
  EXPECT_EQ(out, "corvexctl: computer 12345 does not exist\n");
  EXPECT_EQ(Console({"computer", "PC7"}, out), 2);
  EXPECT_EQ(out, "corvexctl: computer: \"PC7\" is not a computer ID\n");
  EXPECT_EQ(Console({"computer", "4294967297"}, out), 2);  // beyond a 32-bit id
  EXPECT_EQ(Console({"computer"}, out), 2);
  EXPECT_EQ(Console({"computers", "all"}, out), 2);

  e2e::WriteServiceRegistry(m_dir, m_database.Name() + "_missing");
  EXPECT_EQ(Console({"computers"}, out), 1);
  EXPECT_EQ(out.rfind("corvexctl: ", 0), 0u) << out;
  EXPECT_EQ(Console({"computer", "1"}, out), 1);
}

TEST_F(ConsoleComputers, ListFiltersAndMachineReadableFormats)
{
  std::string ids[3];
  const char* names[] = {"ALPHA", "BRAVO", "CHARLIE"};
  for (int i = 0; i < 3; ++i)
    ids[i] = *Call("ComputerFromAddressNameDomain", {{"@MessageSystemAddress", names[i]}, {"@ComputerName", names[i]},
                                                     {"@DomainName", "CORP\t\"Q\""}})
                .Output("@ComputerID");
  Call("UpdateComputerConnectedState", {{"@MessageSystemAddress", "BRAVO"}, {"@ConnectedFlag", "1"}});
  const std::string group = *Call("AddGroup", {{"@NewParentID", std::nullopt}, {"@Name", "Lab"}}).Output("@GroupID");
  Call("AddComputerToGroup", {{"@ComputerID", ids[2]}, {"@NewGroupID", group}});

  std::string out;
  ASSERT_EQ(Console({"computers", "--format", "tsv"}, out), 0) << out;
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 4u) << out;
  EXPECT_EQ(lines[0], "id\tname\tdomain\tos\tmanaged\tconnected\talertState\tlastMessage\tgroup");
  EXPECT_EQ(lines[1], ids[0] + "\tALPHA\tCORP \"Q\"\t0\t1\t\t0\t\t");  // a tab in a value cannot split its cell
  EXPECT_EQ(lines[2].substr(0, ids[1].size() + 6), ids[1] + "\tBRAVO");
  EXPECT_EQ(lines[3].substr(lines[3].size() - group.size() - 1), "\t" + group);

  ASSERT_EQ(Console({"computers", "--connected", "--format", "json"}, out), 0) << out;
  EXPECT_EQ(out, "[\n{\"id\":" + ids[1] +
                   ",\"name\":\"BRAVO\",\"domain\":\"CORP\\u0009\\\"Q\\\"\",\"os\":0,\"managed\":true,\"connected\":true,"
                   "\"alertState\":0,\"lastMessage\":null,\"group\":null}\n]\n");

  ASSERT_EQ(Console({"computers", "--group", group, "--format", "tsv"}, out), 0) << out;
  ASSERT_EQ(Lines(out).size(), 2u) << out;
  EXPECT_EQ(Lines(out)[1].substr(0, ids[2].size() + 8), ids[2] + "\tCHARLIE");
  ASSERT_EQ(Console({"computers", "--group", "unassigned", "--limit", "1", "--format", "tsv"}, out), 0) << out;
  ASSERT_EQ(Lines(out).size(), 2u) << out;
  EXPECT_EQ(Lines(out)[1].substr(0, ids[0].size() + 6), ids[0] + "\tALPHA");
  ASSERT_EQ(Console({"computers", "--connected", "--group", group, "--format", "json"}, out), 0) << out;
  EXPECT_EQ(out, "[]\n");

  EXPECT_EQ(Console({"computers", "--group", "999999"}, out), 2);
  EXPECT_EQ(out, "corvexctl: computers: group 999999 does not exist\n");
  EXPECT_EQ(Console({"computers", "--limit", "0"}, out), 2);
  EXPECT_EQ(Console({"computers", "--format", "xml"}, out), 2);
}
