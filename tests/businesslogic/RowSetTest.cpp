// Row sets into containers against a real server: the fast identity form, the open-row-set and
// own-row-set forms with the catalogue's builders, and the field readers' type assertions.
#include <gtest/gtest.h>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/oledate/OleDate.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

const char* const kRowSetProcedures = R"SQL(
CREATE FUNCTION dbo."TestTypedRow"(OUT "@RETURN_VALUE" integer, OUT "@RowSet" refcursor)
LANGUAGE plpgsql AS $$
BEGIN
  OPEN "@RowSet" FOR SELECT 'x'::text AS "T", NULL::text AS "N", true AS "B", 7 AS "I",
                            timestamp '2024-05-01 10:20:30' AS "D";
  "@RETURN_VALUE" := 0;
END $$;

CREATE FUNCTION dbo."TestErrorRow"(OUT "@RETURN_VALUE" integer, "@NullInsert" integer, OUT "@RowSet" refcursor)
LANGUAGE plpgsql AS $$
BEGIN
  OPEN "@RowSet" FOR SELECT timestamp '2024-05-01 10:20:30' AS "TimeDetected", 'user' AS "UserName",
      'src' AS "Source", 'info' AS "EntityInfo", 5 AS "Number", 'MC' AS "MessageCode", true AS "Outstanding",
      CASE WHEN "@NullInsert" = 1 THEN NULL ELSE 'a' END AS "Insert1",
      CASE WHEN "@NullInsert" = 2 THEN NULL ELSE 'b' END AS "Insert2",
      CASE WHEN "@NullInsert" = 3 THEN NULL ELSE 'c' END AS "Insert3",
      CASE WHEN "@NullInsert" = 4 THEN NULL ELSE 'd' END AS "Insert4",
      CASE WHEN "@NullInsert" = 5 THEN NULL ELSE 'e' END AS "Insert5";
  "@RETURN_VALUE" := 0;
END $$;
)SQL";

// Reads TestRows's "Name" column.
struct NameFromFields
{
  std::wstring operator()(const ado::Fields& fields) const { return priv::GetStringFieldNotNull(fields, L"Name"); }
};

DATE At(int year, int month, int day, int hour, int minute, int second)
{
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return OleDateFromTm(t).value();
}

void ExpectAssertion(const std::function<void()>& read, const char* text)
{
  try {
    read();
    ADD_FAILURE() << "no assertion: " << text;
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), text);
  }
}

class RowSetTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_db.Exec(testsupport::kTestProcedures);
    m_db.Exec(kRowSetProcedures);
    m_registry.SetLocation(L".", L"", m_db.WideName());
    m_conn = std::make_unique<CDatabaseConnection>();
  }
  COurCommand Procedure(const char* name) { return COurCommand(m_conn->GetADOPtr(), name); }
  COurCommand Rows(LONG count)
  {
    COurCommand rows = Procedure("TestRows");
    rows.SetAttribute(L"@Count", count);
    return rows;
  }
  LONG Insert(const std::string& sql) { return std::stol(m_db.Exec(sql).Text(0, 0)); }
  LONG NewComputer(const std::string& name)
  {
    return Insert("INSERT INTO dbo.\"Computers\" (\"ComputerName\") VALUES ('" + name + "') RETURNING \"ComputerID\"");
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  std::unique_ptr<CDatabaseConnection> m_conn;
};

TEST_F(RowSetTest, FastFormFillsEachEntityListFromColumnZeroReservedOnce)
{
  testsupport::TraceCapture traces;
  COurCommand rows = Rows(25);
  CComputerList computers{CComputer(99)};
  PopulateListFromRowsetsFast(rows, computers);
  ASSERT_EQ(computers.size(), 25u);
  EXPECT_EQ(computers.capacity(), 25u);
  for (std::size_t i = 0; i < computers.size(); ++i)
    EXPECT_EQ(computers[i].GetID(), static_cast<LONG>(i + 1));
  EXPECT_EQ(rows.GetReturnValue(), 3);
  EXPECT_TRUE(traces.Has(3, "> PopulateListFromRowsetsFast<CComputerList>()"));
  EXPECT_TRUE(traces.Has(2, "PopulateListFromRowsetsFast<CComputerList> 25 items"));
  EXPECT_TRUE(traces.Has(2, "Start timing CGroup::PopulateListFromRowsetsFast ... "));
  EXPECT_TRUE(traces.Has(2, "Finished timeing CGroup::PopulateListFromRowsetsFast: Time for block "));

  const LONG b = Insert("INSERT INTO dbo.\"Groups\" (\"Name\") VALUES ('b') RETURNING \"GroupID\"");
  const LONG a = Insert("INSERT INTO dbo.\"Groups\" (\"Name\") VALUES ('a') RETURNING \"GroupID\"");
  COurCommand roots = m_conn->GetRootGroups();
  CGroupList groups;
  PopulateListFromRowsetsFast(roots, groups);
  CSPException::Check(roots.GetReturnValue());
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].GetID(), static_cast<ULONG>(a));
  EXPECT_EQ(groups[1].GetID(), static_cast<ULONG>(b));

  const LONG pc = NewComputer("PC1");
  for (int i = 0; i < 2; ++i)
    m_db.Exec("SELECT * FROM dbo.\"AddVirusAlert\"(" + std::to_string(pc) + ", localtimestamp::timestamp, 'u', 'v', 1, 'i', 2, 3)");
  COurCommand alertList = m_conn->GetAlertList();
  alertList.SetAttribute(L"@ComputerID", pc);
  CAlertList alerts;
  PopulateListFromRowsetsFast(alertList, alerts);
  CSPException::Check(alertList.GetReturnValue());
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_LT(alerts[0].GetID(), alerts[1].GetID());
}

TEST_F(RowSetTest, NoRowSetOrNoRowsLeaveTheListEmptyAndTheReturnValueReadable)
{
  COurCommand none = Rows(-1);
  CComputerList computers{CComputer(1)};
  PopulateListFromRowsetsFast(none, computers);
  EXPECT_TRUE(computers.empty());
  EXPECT_EQ(none.GetReturnValue(), 3);

  std::vector<std::wstring> names{L"old"};
  PopulateListFromRowsets<std::vector<std::wstring>, NameFromFields>(none, names);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(none.GetReturnValue(), 3);

  names = {L"kept"};
  ado::RecordsetPtr closed = none.ExecuteCommandWithRecordset();
  PopulateListFromRowsets<std::vector<std::wstring>, NameFromFields>(closed, names);
  EXPECT_EQ(names, std::vector<std::wstring>{L"kept"});

  COurCommand empty = Rows(0);
  computers.emplace_back(5);
  PopulateListFromRowsetsFast(empty, computers);
  EXPECT_TRUE(computers.empty());

  COurCommand rootMembers = m_conn->GetGroupMembers();
  rootMembers.SetAttribute(L"@GroupID", CGroup::RootID);
  PopulateListFromRowsetsFast(rootMembers, computers);
  EXPECT_TRUE(computers.empty());
  EXPECT_EQ(rootMembers.GetReturnValue(), 0);
}

TEST_F(RowSetTest, OpenRowSetFormAppendsAndLeavesTheRowSetOpen)
{
  testsupport::TraceCapture traces;
  COurCommand rows = Rows(25);
  ado::RecordsetPtr records = rows.ExecuteCommandWithRecordset();
  std::vector<std::wstring> names{L"kept"};
  PopulateListFromRowsets<std::vector<std::wstring>, NameFromFields>(records, names);
  ASSERT_EQ(names.size(), 26u);
  EXPECT_EQ(names[0], L"kept");
  EXPECT_EQ(names[1], L"name 1");
  EXPECT_EQ(names[25], L"name 25");
  EXPECT_EQ(records->State(), ado::adStateOpen);
  EXPECT_TRUE(records->IsEOF());
  EXPECT_TRUE(traces.Has(2, "NameFromFields> 25 items"));
}

TEST_F(RowSetTest, OwnRowSetFormReadsTheCatalogueRowSets)
{
  testsupport::TraceCapture traces;
  const LONG top = Insert("INSERT INTO dbo.\"Groups\" (\"Name\") VALUES ('top') RETURNING \"GroupID\"");
  const LONG child = Insert("INSERT INTO dbo.\"Groups\" (\"Name\", \"ParentID\") VALUES ('child', " + std::to_string(top) +
                            ") RETURNING \"GroupID\"");
  COurCommand hierarchy = m_conn->GroupHierarchyGet();
  std::vector<std::pair<ULONG, ULONG>> pairs{{1, 1}};
  PopulateListFromRowsets<std::vector<std::pair<ULONG, ULONG>>, CPairOfGroupIds>(hierarchy, pairs);
  EXPECT_EQ(pairs, (std::vector<std::pair<ULONG, ULONG>>{{0xFFFFFFFFu, static_cast<ULONG>(top)},
                                                         {static_cast<ULONG>(top), static_cast<ULONG>(child)}}));
  EXPECT_TRUE(traces.Has(2, "Start timing PopulateListFromRowsets ... "));

  // A NULL configuration is an empty text; a stored one comes back whole.
  const LONG pc = NewComputer("PC1");
  m_db.Exec("UPDATE dbo.\"Computers\" SET \"DexConfigXML\" = '<config/>' WHERE \"ComputerID\" = " + std::to_string(pc));
  std::vector<std::wstring> texts;
  COurCommand au = m_conn->ComputerGetAUConfig();
  au.SetAttribute(L"@ComputerID", pc);
  PopulateListFromRowsets<std::vector<std::wstring>, CAUConfigXMLFromADOFields>(au, texts);
  EXPECT_EQ(texts, std::vector<std::wstring>{L""});
  COurCommand dex = m_conn->ComputerGetDexConfig();
  dex.SetAttribute(L"@ComputerID", pc);
  PopulateListFromRowsets<std::vector<std::wstring>, CDexConfigXMLFromADOFields>(dex, texts);
  EXPECT_EQ(texts, std::vector<std::wstring>{L"<config/>"});

  m_db.Exec("UPDATE dbo.\"Groups\" SET \"DexConfigXML\" = '<group/>' WHERE \"GroupID\" = " + std::to_string(top));
  COurCommand groupDex = m_conn->GetGroupDexConfigXML();
  groupDex.SetAttribute(L"@GroupID", static_cast<ULONG>(top));
  PopulateListFromRowsets<std::vector<std::wstring>, CGroupDexConfigurationXMLFromADOFields>(groupDex, texts);
  EXPECT_EQ(texts, std::vector<std::wstring>{L"<group/>"});

  COurCommand setStatus = m_conn->SetTzLibraryStatus();
  setStatus.SetAttribute(L"@ComputerID", pc);
  setStatus.SetAttribute(L"@TzLibraryStatusXML", std::wstring(L"<status/>"));
  ASSERT_EQ(setStatus.ExecuteCommand(), 0);
  COurCommand status = m_conn->GetTzLibraryStatus();
  status.SetAttribute(L"@ComputerID", pc);
  PopulateListFromRowsets<std::vector<std::wstring>, CTzLibraryStatusXMLFromADOFields>(status, texts);
  EXPECT_EQ(texts, std::vector<std::wstring>{L"<status/>"});
}

TEST_F(RowSetTest, AlertDetailsRowsBecomeRecords)
{
  const LONG pc = NewComputer("PC1");
  const DATE when = At(2024, 5, 1, 10, 20, 30);
  COurCommand error = m_conn->AddErrorAlert();
  error.SetAttribute(L"@ComputerID", pc);
  error.SetAttribute(L"@AlertTime", when);
  for (const wchar_t* name : {L"@UserName", L"@Source", L"@EntityInfo", L"@MessageCode"})
    error.SetAttribute(name, std::wstring(name + 1));
  error.SetAttribute(L"@number", static_cast<LONG>(42));
  const wchar_t* const inserts[] = {L"@Insert1", L"@Insert2", L"@Insert3", L"@Insert4", L"@Insert5"};
  for (const wchar_t* name : inserts)
    error.SetAttribute(name, std::wstring(name + 1));
  ASSERT_EQ(error.ExecuteCommand(), 0);
  COurCommand virus = m_conn->AddVirusAlert();
  virus.SetAttribute(L"@ComputerID", pc);
  virus.SetAttribute(L"@AlertTime", when);
  virus.SetAttribute(L"@UserName", std::wstring(L"alice"));
  virus.SetAttribute(L"@VirusName", std::wstring(L"EICAR"));
  virus.SetAttribute(L"@VirusType", static_cast<LONG>(1));
  virus.SetAttribute(L"@InfectedItem", std::wstring(L"C:\\x.com"));
  virus.SetAttribute(L"@ScannerType", static_cast<LONG>(2));
  virus.SetAttribute(L"@ActionTaken", static_cast<LONG>(3));
  ASSERT_EQ(virus.ExecuteCommand(), 0);

  COurCommand errors = m_conn->GetErrorAlertDetails();
  errors.SetAttribute(L"@ComputerID", pc);
  std::vector<CAlertDetailsBase::ErrorDetails> errorRows;
  PopulateListFromRowsets<std::vector<CAlertDetailsBase::ErrorDetails>, CErrorDetailsFromADOFields>(errors, errorRows);
  CSPException::Check(errors.GetReturnValue());
  ASSERT_EQ(errorRows.size(), 1u);
  const auto& e = errorRows[0];
  EXPECT_DOUBLE_EQ(e.timeDetected, when);
  EXPECT_EQ(e.userName, L"UserName");
  EXPECT_EQ(e.source, L"Source");
  EXPECT_EQ(e.entityInfo, L"EntityInfo");
  EXPECT_EQ(e.number, 42);
  EXPECT_EQ(e.messageCode, L"MessageCode");
  EXPECT_EQ(e.inserts, (std::vector<std::wstring>{L"Insert1", L"Insert2", L"Insert3", L"Insert4", L"Insert5"}));
  EXPECT_TRUE(e.outstanding);

  COurCommand viruses = m_conn->GetVirusAlertDetails();
  viruses.SetAttribute(L"@ComputerID", pc);
  std::vector<Alerts::VirusAlertDetails> virusRows;
  PopulateListFromRowsets<std::vector<Alerts::VirusAlertDetails>, CVirusAlertDetailsFromADOFields>(viruses, virusRows);
  ASSERT_EQ(virusRows.size(), 1u);
  const auto& v = virusRows[0];
  EXPECT_TRUE(v.detailsSet);
  EXPECT_DOUBLE_EQ(v.timeDetected, when);
  EXPECT_EQ(v.userName, L"alice");
  EXPECT_EQ(v.virusName, L"EICAR");
  EXPECT_EQ(v.infectedItem, L"C:\\x.com");
  EXPECT_EQ(v.virusType, 1);
  EXPECT_EQ(v.scannerType, 2);
  EXPECT_EQ(v.actionTaken, 3);
  EXPECT_TRUE(v.outstanding);
}

TEST_F(RowSetTest, ANullInsertIsAnAssertionFailureNotAnEmptyInsert)
{
  COurCommand row = Procedure("TestErrorRow");
  std::vector<CAlertDetailsBase::ErrorDetails> rows;
  row.SetAttribute(L"@NullInsert", static_cast<LONG>(0));
  PopulateListFromRowsets<std::vector<CAlertDetailsBase::ErrorDetails>, CErrorDetailsFromADOFields>(row, rows);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].inserts, (std::vector<std::wstring>{L"a", L"b", L"c", L"d", L"e"}));
  row.SetAttribute(L"@NullInsert", static_cast<LONG>(3));
  ExpectAssertion([&] { PopulateListFromRowsets<std::vector<CAlertDetailsBase::ErrorDetails>, CErrorDetailsFromADOFields>(row, rows); },
                  ".\\ObjectsFromADOFields(60) : Assertion failed value.vt == VT_BSTR");
}

TEST_F(RowSetTest, FieldReadersAcceptTheirOwnTypeOnly)
{
  COurCommand typed = Procedure("TestTypedRow");
  ado::RecordsetPtr records = typed.ExecuteCommandWithRecordset();
  const ado::Fields fields = records->GetFields();
  EXPECT_EQ(priv::GetStringField(fields, L"T"), L"x");
  EXPECT_EQ(priv::GetStringField(fields, L"N"), L"");
  EXPECT_EQ(priv::GetStringFieldNotNull(fields, L"T"), L"x");
  EXPECT_TRUE(priv::GetBoolField(fields, L"B"));
  EXPECT_EQ(priv::GetIntField(fields, L"I"), 7);
  EXPECT_DOUBLE_EQ(priv::GetDateField(fields, L"D"), At(2024, 5, 1, 10, 20, 30));

  ExpectAssertion([&] { priv::GetStringField(fields, L"I"); }, ".\\ObjectsFromADOFields(54) : Assertion failed value.vt == VT_BSTR");
  ExpectAssertion([&] { priv::GetStringFieldNotNull(fields, L"N"); },
                  ".\\ObjectsFromADOFields(60) : Assertion failed value.vt == VT_BSTR");
  ExpectAssertion([&] { priv::GetBoolField(fields, L"I"); }, ".\\ObjectsFromADOFields(23) : Assertion failed value.vt == VT_BOOL");
  ExpectAssertion([&] { priv::GetIntField(fields, L"B"); }, ".\\ObjectsFromADOFields(36) : Assertion failed value.vt == VT_I4");
  ExpectAssertion([&] { priv::GetDateField(fields, L"T"); }, ".\\ObjectsFromADOFields(74) : Assertion failed value.vt == VT_DATE");
  EXPECT_THROW(priv::GetIntField(fields, L"NoSuchColumn"), WinRuntimeError);

  // Column 0 of the fast form must be an integer.
  CComputerList computers;
  EXPECT_THROW(PopulateListFromRowsetsFast(typed, computers), WinRuntimeError);
}

TEST_F(RowSetTest, ALostServerConnectionFailsTheOpeningAsConnectToDatabaseFailed)
{
  COurCommand rows = Rows(3);
  m_db.DropOtherSessions();
  CComputerList computers;
  EXPECT_THROW(PopulateListFromRowsetsFast(rows, computers), vrn::Exceptions::ConnectToDatabaseFailed);
  std::vector<std::wstring> names;
  EXPECT_THROW((PopulateListFromRowsets<std::vector<std::wstring>, NameFromFields>(rows, names)),
               vrn::Exceptions::ConnectToDatabaseFailed);
}

}  // namespace
