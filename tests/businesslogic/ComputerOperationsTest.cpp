// The connection's typed computer operations against a real server: what they store and read,
// the return values they map, the clocks they tick, and their locks under concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/SPException.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

using Ticks = std::vector<VRN_Clock>;

class ComputerOperationsTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    m_conn = std::make_unique<CDatabaseConnection>();
  }
  std::string Column(LONG id, const std::string& column)
  {
    return m_db.Exec("SELECT \"" + column + "\" FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + std::to_string(id)).Text(0, 0);
  }
  void Set(LONG id, const std::string& assignments)
  {
    m_db.Exec("UPDATE dbo.\"Computers\" SET " + assignments + " WHERE \"ComputerID\" = " + std::to_string(id));
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
  std::unique_ptr<CDatabaseConnection> m_conn;
};

TEST_F(ComputerOperationsTest, CreateComputerTicksForANewComputerOnly)
{
  const std::wstring longName(40, L'n');
  const LONG id = m_conn->CreateComputer(longName, L"WORKGROUP");
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_EQ(Column(id, "ComputerName"), std::string(31, 'n'));
  EXPECT_EQ(Column(id, "DomainName"), "WORKGROUP");
  EXPECT_EQ(Column(id, "Description"), "");

  EXPECT_EQ(m_conn->CreateComputer(longName, L"OTHER"), id);  // the name exists: its id, no change
  EXPECT_TRUE(m_clocks.Take().empty());
  EXPECT_EQ(m_conn->GetComputerID(longName), id);

  try {
    m_conn->CreateComputer(L"", L"WORKGROUP");
    FAIL() << "an empty name was accepted";
  } catch (const CSPException& e) {
    EXPECT_EQ(e.ReturnValue(), 1);
  }
  EXPECT_TRUE(m_clocks.Take().empty());
}

TEST_F(ComputerOperationsTest, CreateComputerImplTicksBothClocksWhicheverWayItEnds)
{
  const LONG id = m_conn->CreateComputerImpl(L"PC1", std::wstring(130, L'd'), std::wstring(600, L'x'), 8, true);
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_EQ(Column(id, "DomainName"), std::string(128, 'd'));
  EXPECT_EQ(Column(id, "Description"), std::string(512, 'x'));
  EXPECT_EQ(Column(id, "OperatingSystem"), "8");

  // The name exists: its id, or for a unique creation an exception; the clocks tick either way.
  EXPECT_EQ(m_conn->CreateComputerImpl(L"pc1", L"D", L"", 2, false), id);
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  try {
    m_conn->CreateComputerImpl(L"PC1", L"D", L"", 2, true);
    FAIL() << "no exception for an existing name";
  } catch (const vrn::Exceptions::ComputerAlreadyInAnotherGroup& e) {
    EXPECT_STREQ(e.what(), "The computer is already member of another group");
    EXPECT_EQ(e.ComputerName(), L"PC1");
  }
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_EQ(Column(id, "OperatingSystem"), "8");  // nothing overwritten

  // A procedure error comes before the guards: no tick.
  EXPECT_THROW(m_conn->CreateComputerImpl(L"", L"D", L"", 2, false), CSPException);
  EXPECT_TRUE(m_clocks.Take().empty());
}

TEST_F(ComputerOperationsTest, GetComputerIDOfAnUnknownNameIsAnError)
{
  try {
    m_conn->GetComputerID(L"NOSUCHPC");
    FAIL() << "no exception";
  } catch (const CSPException& e) {
    EXPECT_EQ(e.ReturnValue(), 22);
  }
}

TEST_F(ComputerOperationsTest, DetailsOfANewComputerReadTheNullRules)
{
  const LONG id = m_conn->CreateComputer(L"PC1", L"WORKGROUP");
  ComputerDetails details;
  details.ideList = L"stale";
  m_conn->GetComputerDetails(id, details);
  EXPECT_EQ(details.name, L"PC1");
  EXPECT_EQ(details.domainName, L"WORKGROUP");
  EXPECT_FALSE(details.managed);
  EXPECT_EQ(details.dexInstalled, FlagUnknown);
  EXPECT_EQ(details.connected, FlagUnknown);
  EXPECT_EQ(details.hasGroupAUConfig, FlagUnknown);
  EXPECT_FALSE(details.outOfDateKnown);
  EXPECT_DOUBLE_EQ(details.outOfDate.date, 2.0);  // 1 January 1900
  EXPECT_EQ(details.outOfDate.status, DateTimeValue::valid);
  EXPECT_EQ(details.installTime.date, 0.0);
  EXPECT_EQ(details.installTime.status, DateTimeValue::valid);
  EXPECT_EQ(details.lastScanDateTime.status, DateTimeValue::null);
  EXPECT_EQ(details.lastMessageTime.status, DateTimeValue::null);
  ASSERT_EQ(details.group.size(), 1u);
  EXPECT_EQ(details.group[0].GetID(), CGroup::UnassignedID);
  EXPECT_EQ(details.ideList, L"");
  EXPECT_TRUE(details.virusAlerts.empty());
  EXPECT_TRUE(details.errorAlerts.empty());
}

TEST_F(ComputerOperationsTest, DetailsReadEveryStoredValueAndBothAlertLists)
{
  const LONG id = m_conn->CreateComputer(L"PC1", L"WORKGROUP");
  const LONG group = std::stol(m_db.Exec("INSERT INTO dbo.\"Groups\" (\"Name\") VALUES ('G') RETURNING \"GroupID\"").Text(0, 0));
  Set(id, "\"GroupID\" = " + std::to_string(group) +
              ", \"MessageSystemAddress\" = 'PC1', \"IPAddress\" = 3232235777, \"DexInstalled\" = true, "
              "\"DexOnAccess\" = false, \"Connected\" = true, \"HasGroupDexConfig\" = false, \"IDEList\" = 'a.ide;b.ide', "
              "\"IDENumber\" = 2, \"DexVersion\" = '9.1', \"InstallPending\" = true, \"InstallResult\" = 5, "
              "\"InstallTime\" = '2024-05-01 10:20:30', \"LastScanDateTime\" = '2024-05-02 00:00:00', "
              "\"LastScanName\" = 'Full', \"LastLoggedOnUser\" = 'alice', \"ServicePack\" = 'SP2', "
              "\"PrimaryCID\" = 'p', \"SecondaryCID\" = 's', \"VirusDataVersion\" = '1.0'");
  m_db.Exec("INSERT INTO dbo.\"VirusDataVersions\" (\"VersionKey\", \"Version\", \"FirstSeen\") VALUES "
            "(dbo.version_key('2.0'), '2.0', '2024-05-03 00:00:00')");
  m_db.Exec("SELECT * FROM dbo.\"AddVirusAlert\"(" + std::to_string(id) + ", localtimestamp::timestamp, 'u', 'EICAR', 1, 'i', 2, 3)");
  m_db.Exec("SELECT * FROM dbo.\"AddErrorAlert\"(" + std::to_string(id) +
            ", localtimestamp::timestamp, 'u', 'src', 'ei', 7, 'MC', '1', '2', '3', '4', '5')");
  m_conn->UpdateComputerDescriptionAndOS(id, 8, L"desk");

  ComputerDetails details;
  m_conn->GetComputerDetails(id, details);
  EXPECT_EQ(details.description, L"desk");
  EXPECT_EQ(details.operatingSystem, 8);
  EXPECT_TRUE(details.managed);
  EXPECT_EQ(details.ipAddress, 3232235777u);
  EXPECT_EQ(details.dexInstalled, FlagYes);
  EXPECT_EQ(details.dexOnAccess, FlagNo);
  EXPECT_EQ(details.connected, FlagYes);
  EXPECT_EQ(details.hasGroupDexConfig, FlagNo);
  EXPECT_EQ(details.hasGroupAUConfig, FlagUnknown);
  EXPECT_EQ(details.ideList, L"a.ide;b.ide");
  EXPECT_EQ(details.ideNumber, 2);
  EXPECT_EQ(details.dexVersion, L"9.1");
  EXPECT_EQ(details.virusDataVersion, L"1.0");
  EXPECT_TRUE(details.installPending);
  EXPECT_FALSE(details.installInProgress);
  EXPECT_EQ(details.installFailureReason, 5);
  EXPECT_GT(details.installTime.date, 45000.0);
  EXPECT_EQ(details.lastScanDateTime.status, DateTimeValue::valid);
  EXPECT_LT(details.installTime.date, details.lastScanDateTime.date);
  EXPECT_EQ(details.lastScanName, L"Full");
  EXPECT_EQ(details.lastLoggedOnUser, L"alice");
  EXPECT_EQ(details.servicePack, L"SP2");
  EXPECT_EQ(details.primaryCID, L"p");
  EXPECT_EQ(details.secondaryCID, L"s");
  EXPECT_TRUE(details.outOfDateKnown);
  EXPECT_LT(details.lastScanDateTime.date, details.outOfDate.date);
  EXPECT_EQ(details.alertState, 3);
  ASSERT_EQ(details.group.size(), 1u);
  EXPECT_EQ(details.group[0].GetID(), static_cast<ULONG>(group));
  ASSERT_EQ(details.virusAlerts.size(), 1u);
  EXPECT_EQ(details.virusAlerts[0].virusName, L"EICAR");
  ASSERT_EQ(details.errorAlerts.size(), 1u);
  EXPECT_EQ(details.errorAlerts[0].inserts, (std::vector<std::wstring>{L"1", L"2", L"3", L"4", L"5"}));

  std::wstring name, domain;
  LONG managed = -1;
  m_conn->GetComputerDetails(id, name, domain, managed);
  EXPECT_EQ(name, L"PC1");
  EXPECT_EQ(domain, L"WORKGROUP");
  EXPECT_EQ(managed, 1);
  Set(id, "\"MessageSystemAddress\" = NULL");
  m_conn->GetComputerDetails(id, name, domain, managed);
  EXPECT_EQ(managed, 0);
}

TEST_F(ComputerOperationsTest, DetailsOfAnUnknownComputer)
{
  ComputerDetails details;
  try {
    m_conn->GetComputerDetails(424242, details);
    FAIL() << "no exception";
  } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
    EXPECT_STREQ(e.what(), "Computer not found in database when trying to get computer details");
    ASSERT_TRUE(e.Computer().has_value());
    EXPECT_EQ(e.Computer()->GetID(), 424242);
  }
  std::wstring name, domain;
  LONG managed = 0;
  try {
    m_conn->GetComputerDetails(424242, name, domain, managed);
    FAIL() << "no exception";
  } catch (const CSPException& e) {
    EXPECT_EQ(e.ReturnValue(), 22);
  }
}

TEST_F(ComputerOperationsTest, DescriptionAndOSTickTheStateClockOnlyWhenStored)
{
  const LONG id = m_conn->CreateComputer(L"PC1", L"WORKGROUP");
  m_clocks.Take();
  m_conn->UpdateComputerDescriptionAndOS(id, 6, L"first");
  EXPECT_EQ(m_clocks.Take(), (Ticks{1}));
  EXPECT_EQ(Column(id, "Description"), "first");
  EXPECT_EQ(Column(id, "OperatingSystem"), "6");

  try {
    m_conn->UpdateComputerDescriptionAndOS(id, 7, std::wstring(513, L'x'));
    FAIL() << "a description over the declared size was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "COurCommand::SetAttribute Attribute too long");
  }
  try {
    m_conn->UpdateComputerDescriptionAndOS(id + 1000, 7, L"nobody");
    FAIL() << "no exception for an unknown computer";
  } catch (const CSPException& e) {
    EXPECT_EQ(e.ReturnValue(), 39);
  }
  EXPECT_TRUE(m_clocks.Take().empty());
  EXPECT_EQ(Column(id, "Description"), "first");
  EXPECT_EQ(Column(id, "OperatingSystem"), "6");
}

TEST_F(ComputerOperationsTest, LastMessageTimeIsStored)
{
  const LONG id = m_conn->CreateComputer(L"PC1", L"WORKGROUP");
  m_conn->ComputerLastMessageTimeSet(id, 45413.5);  // 2024-05-01 12:00:00
  EXPECT_EQ(Column(id, "LastMessageTime"), "2024-05-01 12:00:00");
  ComputerDetails details;
  m_conn->GetComputerDetails(id, details);
  EXPECT_EQ(details.lastMessageTime.status, DateTimeValue::valid);
  EXPECT_DOUBLE_EQ(details.lastMessageTime.date, 45413.5);
  EXPECT_THROW(m_conn->ComputerLastMessageTimeSet(id + 1000, 45413.5), CSPException);
}

// The shared commands of the locked groups keep each thread's parameters and outputs together.
TEST_F(ComputerOperationsTest, ThreadsSharingTheLockedCommandsSeeTheirOwnResults)
{
  constexpr int kThreads = 4;
  constexpr int kRounds = 30;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      try {
        for (int r = 0; r < kRounds; ++r) {
          const std::wstring name = L"T" + std::to_wstring(t) + L"R" + std::to_wstring(r);
          const LONG id = m_conn->CreateComputerImpl(name, L"D", L"", t, false);
          if (m_conn->GetComputerID(name) != id)
            ++mismatches;
          std::wstring readName, domain;
          LONG managed = 0;
          m_conn->GetComputerDetails(id, readName, domain, managed);
          if (readName != name)
            ++mismatches;
          m_conn->UpdateComputerDescriptionAndOS(id, t, name);
          m_conn->ComputerLastMessageTimeSet(id, 45413.5 + t);
        }
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    });
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(m_db.Exec("SELECT count(*) FROM dbo.\"Computers\" WHERE \"Description\" = \"ComputerName\"").Text(0, 0),
            std::to_string(kThreads * kRounds));
}

}  // namespace
