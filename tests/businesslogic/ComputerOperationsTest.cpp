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

template <class Call>
LONG ReturnValueOf(Call call)
{
  try {
    call();
  } catch (const CSPException& e) {
    return e.ReturnValue();
  }
  return 0;
}

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
  EXPECT_EQ(m_conn->CreateComputer(longName, L"OTHER"), id);  // the name exists: its id, no change
  EXPECT_EQ(Column(id, "DomainName"), "WORKGROUP");
  EXPECT_EQ(m_conn->GetComputerID(longName), id);
  EXPECT_EQ(ReturnValueOf([&] { m_conn->CreateComputer(L"", L"WORKGROUP"); }), 1);
  EXPECT_EQ(ReturnValueOf([&] { m_conn->GetComputerID(L"NOSUCHPC"); }), 22);
  EXPECT_TRUE(m_clocks.Take().empty());
}

TEST_F(ComputerOperationsTest, ClocksTickWithNoComputerLockHeld)
{
  // Another thread must be able to take every lock while a clock ticks.
  std::vector<bool> free;
  m_clocks.OnTick([&](VRN_Clock) {
    std::thread other([&] {
      bool all = true;
      for (std::recursive_mutex* lock : {&m_conn->GetComputerDetailsLock(), &m_conn->UpdateComputerDescriptionAndOSLock(),
                                         &m_conn->CreateComputerLock(), &m_conn->GetComputerIDLock(),
                                         &m_conn->ComputerLastMessageTimeSetLock()}) {
        const bool taken = lock->try_lock();
        if (taken)
          lock->unlock();
        all = all && taken;
      }
      free.push_back(all);
    });
    other.join();
  });
  const LONG id = m_conn->CreateComputer(L"PC1", L"D");
  m_conn->CreateComputerImpl(L"PC2", L"D", L"", 0, false);
  m_conn->CreateComputerImpl(L"PC1", L"D", L"", 0, false);  // the name exists: the id is looked up
  EXPECT_THROW(m_conn->CreateComputerImpl(L"PC1", L"D", L"", 0, true), vrn::Exceptions::ComputerAlreadyInAnotherGroup);
  m_conn->UpdateComputerDescriptionAndOS(id, 8, L"desk");
  EXPECT_EQ(free, std::vector<bool>(9, true));
}

TEST_F(ComputerOperationsTest, CreateComputerImplTicksBothClocksWhicheverWayItEnds)
{
  const LONG id = m_conn->CreateComputerImpl(L"PC1", std::wstring(130, L'd'), std::wstring(600, L'x'), 8, true);
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_EQ(Column(id, "DomainName"), std::string(128, 'd'));
  EXPECT_EQ(Column(id, "Description"), std::string(512, 'x'));

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
  EXPECT_EQ(ReturnValueOf([&] { m_conn->CreateComputerImpl(L"", L"D", L"", 2, false); }), 1);
  EXPECT_TRUE(m_clocks.Take().empty());
}

TEST_F(ComputerOperationsTest, DetailsOfANewComputerFollowTheNullRules)
{
  const LONG id = m_conn->CreateComputer(L"PC1", L"WORKGROUP");
  ComputerDetails d;
  d.ideList = L"stale";
  m_conn->GetComputerDetails(id, d);
  EXPECT_EQ(std::tie(d.name, d.domainName, d.ideList), std::make_tuple(std::wstring(L"PC1"), std::wstring(L"WORKGROUP"), std::wstring()));
  EXPECT_FALSE(d.managed);
  EXPECT_EQ(std::make_tuple(d.dexInstalled, d.connected, d.hasGroupAUConfig), std::make_tuple(FlagUnknown, FlagUnknown, FlagUnknown));
  EXPECT_FALSE(d.outOfDateKnown);
  EXPECT_EQ(std::make_tuple(d.outOfDate.date, d.outOfDate.status), std::make_tuple(2.0, DateTimeValue::valid));  // 1 January 1900
  EXPECT_EQ(std::make_tuple(d.installTime.date, d.installTime.status), std::make_tuple(0.0, DateTimeValue::valid));
  EXPECT_EQ(d.lastScanDateTime.status, DateTimeValue::null);
  EXPECT_EQ(d.lastMessageTime.status, DateTimeValue::null);
  ASSERT_EQ(d.group.size(), 1u);
  EXPECT_EQ(d.group[0].GetID(), CGroup::UnassignedID);
  EXPECT_TRUE(d.virusAlerts.empty() && d.errorAlerts.empty());

  try {
    m_conn->GetComputerDetails(id + 1000, d);
    FAIL() << "no exception";
  } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
    EXPECT_STREQ(e.what(), "Computer not found in database when trying to get computer details");
    ASSERT_TRUE(e.Computer().has_value());
    EXPECT_EQ(e.Computer()->GetID(), id + 1000);
  }
  std::wstring name, domain;
  LONG managed = -1;
  EXPECT_EQ(ReturnValueOf([&] { m_conn->GetComputerDetails(id + 1000, name, domain, managed); }), 22);
}

TEST_F(ComputerOperationsTest, DetailsReadEveryStoredValueAndBothAlertLists)
{
  const LONG id = m_conn->CreateComputer(L"PC1", L"WORKGROUP");
  const std::string group = m_db.Exec("INSERT INTO dbo.\"Groups\" (\"Name\") VALUES ('G') RETURNING \"GroupID\"").Text(0, 0);
  m_db.Exec("UPDATE dbo.\"Computers\" SET \"GroupID\" = " + group +
            ", \"MessageSystemAddress\" = 'PC1', \"IPAddress\" = 3232235777, \"DexInstalled\" = true, \"DexOnAccess\" = false, "
            "\"HasGroupDexConfig\" = false, \"IDEList\" = 'a.ide', \"IDENumber\" = 2, \"InstallPending\" = true, "
            "\"InstallResult\" = 5, \"InstallTime\" = '2024-05-01', \"LastScanDateTime\" = '2024-05-02', \"LastScanName\" = 'Full', "
            "\"VirusDataVersion\" = '1.0'");
  m_db.Exec("INSERT INTO dbo.\"VirusDataVersions\" VALUES (dbo.version_key('2.0'), '2.0', '2024-05-03')");
  m_db.Exec("SELECT dbo.\"AddVirusAlert\"(" + std::to_string(id) + ", localtimestamp::timestamp, 'u', 'EICAR', 1, 'i', 2, 3)");
  m_db.Exec("SELECT dbo.\"AddErrorAlert\"(" + std::to_string(id) +
            ", localtimestamp::timestamp, 'u', 's', 'e', 7, 'MC', '1', '2', '3', '4', '5')");

  ComputerDetails d;
  m_conn->GetComputerDetails(id, d);
  EXPECT_TRUE(d.managed && d.installPending && !d.installInProgress && d.outOfDateKnown);
  EXPECT_EQ(d.ipAddress, 3232235777u);
  EXPECT_EQ(std::make_tuple(d.dexInstalled, d.dexOnAccess, d.hasGroupDexConfig), std::make_tuple(FlagYes, FlagNo, FlagNo));
  EXPECT_EQ(std::tie(d.ideList, d.lastScanName, d.virusDataVersion),
            std::make_tuple(std::wstring(L"a.ide"), std::wstring(L"Full"), std::wstring(L"1.0")));
  EXPECT_EQ(std::make_tuple(d.ideNumber, d.installFailureReason, d.alertState), std::make_tuple(2, 5, 3));
  EXPECT_DOUBLE_EQ(d.installTime.date, 45413.0);
  EXPECT_DOUBLE_EQ(d.lastScanDateTime.date, 45414.0);
  EXPECT_DOUBLE_EQ(d.outOfDate.date, 45415.0);
  ASSERT_EQ(d.group.size(), 1u);
  EXPECT_EQ(d.group[0].GetID(), std::stoul(group));
  ASSERT_EQ(d.virusAlerts.size(), 1u);
  EXPECT_EQ(d.virusAlerts[0].virusName, L"EICAR");
  ASSERT_EQ(d.errorAlerts.size(), 1u);
  EXPECT_EQ(d.errorAlerts[0].inserts, (std::vector<std::wstring>{L"1", L"2", L"3", L"4", L"5"}));

  std::wstring name, domain;
  LONG managed = -1;
  m_conn->GetComputerDetails(id, name, domain, managed);
  EXPECT_EQ(std::tie(name, domain, managed), std::make_tuple(std::wstring(L"PC1"), std::wstring(L"WORKGROUP"), 1));
  m_db.Exec("UPDATE dbo.\"Computers\" SET \"MessageSystemAddress\" = NULL");
  m_conn->GetComputerDetails(id, name, domain, managed);
  EXPECT_EQ(managed, 0);
}

TEST_F(ComputerOperationsTest, DescriptionOSAndLastMessageTimeAreStoredAndOnlyAStoredChangeTicks)
{
  const LONG id = m_conn->CreateComputer(L"PC1", L"WORKGROUP");
  m_clocks.Take();
  m_conn->UpdateComputerDescriptionAndOS(id, 6, L"first");
  EXPECT_EQ(m_clocks.Take(), (Ticks{1}));
  try {
    m_conn->UpdateComputerDescriptionAndOS(id, 7, std::wstring(513, L'x'));
    FAIL() << "a description over the declared size was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "COurCommand::SetAttribute Attribute too long");
  }
  EXPECT_EQ(ReturnValueOf([&] { m_conn->UpdateComputerDescriptionAndOS(id + 1000, 7, L"nobody"); }), 39);
  EXPECT_TRUE(m_clocks.Take().empty());
  EXPECT_EQ(Column(id, "Description") + "/" + Column(id, "OperatingSystem"), "first/6");

  m_conn->ComputerLastMessageTimeSet(id, 45413.5);
  EXPECT_EQ(Column(id, "LastMessageTime"), "2024-05-01 12:00:00");
  ComputerDetails d;
  m_conn->GetComputerDetails(id, d);
  EXPECT_EQ(std::make_tuple(d.lastMessageTime.date, d.lastMessageTime.status), std::make_tuple(45413.5, DateTimeValue::valid));
  EXPECT_EQ(ReturnValueOf([&] { m_conn->ComputerLastMessageTimeSet(id + 1000, 45413.5); }), 39);
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
          std::wstring readName, domain;
          LONG managed = 0;
          m_conn->GetComputerDetails(id, readName, domain, managed);
          if (m_conn->GetComputerID(name) != id || readName != name)
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
