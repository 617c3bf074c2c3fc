// Row sets into containers against a real server: the fast identity form, the open-row-set and
// own-row-set forms with the catalogue's builders, and the field readers' type assertions.
#include <gtest/gtest.h>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/oledate/OleDate.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

const char* const kRowSetProcedures = R"SQL(
CREATE FUNCTION dbo."TestTypedRow"(OUT "@RETURN_VALUE" integer, OUT "@RowSet" refcursor)
LANGUAGE plpgsql AS $$ BEGIN
  OPEN "@RowSet" FOR SELECT 'x'::text AS "T", NULL::text AS "N", true AS "B", 7 AS "I", timestamp '2024-05-01 12:00' AS "D";
  "@RETURN_VALUE" := 0;
END $$;
CREATE FUNCTION dbo."TestErrorRow"(OUT "@RETURN_VALUE" integer, "@NullInsert" integer, OUT "@RowSet" refcursor)
LANGUAGE plpgsql AS $$ BEGIN
  OPEN "@RowSet" FOR SELECT timestamp '2024-05-01 12:00' AS "TimeDetected", 'user' AS "UserName", 'src' AS "Source",
      'info' AS "EntityInfo", 5 AS "Number", 'MC' AS "MessageCode", true AS "Outstanding", 'a' AS "Insert1", 'b' AS "Insert2",
      CASE WHEN "@NullInsert" = 3 THEN NULL ELSE 'c' END AS "Insert3", 'd' AS "Insert4", 'e' AS "Insert5";
  "@RETURN_VALUE" := 0;
END $$;
)SQL";

constexpr DATE kMay1Noon = 45413.5;  // 2024-05-01 12:00:00

struct NameFromFields
{
  std::wstring operator()(const ado::Fields& fields) const { return priv::GetStringFieldNotNull(fields, L"Name"); }
};
using Names = std::vector<std::wstring>;
using ErrorRows = std::vector<CAlertDetailsBase::ErrorDetails>;

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
    m_db.Exec(std::string(testsupport::kTestProcedures) + kRowSetProcedures);
    m_registry.SetLocation(L".", L"", m_db.WideName());
    m_conn = std::make_unique<CDatabaseConnection>();
  }
  COurCommand Procedure(const char* name, const wchar_t* parameter = nullptr, LONG value = 0)
  {
    COurCommand cmd(m_conn->GetADOPtr(), name);
    if (parameter)
      cmd.SetAttribute(parameter, value);
    return cmd;
  }
  COurCommand Table(const COurCommand& command, const wchar_t* parameter, LONG value)
  {
    COurCommand cmd = command;
    cmd.SetAttribute(parameter, value);
    return cmd;
  }
  // The identity the insert drew.
  LONG Insert(const std::string& sql) { return std::stol(m_db.Exec(sql + " RETURNING lastval()").Text(0, 0)); }
  // One text per row of a configuration row set.
  template <class Builder>
  Names Texts(const COurCommand& command)
  {
    Names texts;
    PopulateListFromRowsets<Names, Builder>(command, texts);
    return texts;
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  std::unique_ptr<CDatabaseConnection> m_conn;
};

TEST_F(RowSetTest, FastFormFillsEachEntityListFromColumnZeroReservedOnce)
{
  testsupport::TraceCapture traces;
  COurCommand rows = Procedure("TestRows", L"@Count", 25);
  CComputerList computers{CComputer(99)};
  PopulateListFromRowsetsFast(rows, computers);
  ASSERT_EQ(computers.size(), 25u);
  EXPECT_EQ(computers.capacity(), 25u);
  EXPECT_EQ(computers.front().GetID(), 1);
  EXPECT_EQ(computers.back().GetID(), 25);
  EXPECT_EQ(rows.GetReturnValue(), 3);
  EXPECT_TRUE(traces.Has(3, "> PopulateListFromRowsetsFast<CComputerList>()"));
  EXPECT_TRUE(traces.Has(2, "PopulateListFromRowsetsFast<CComputerList> 25 items"));
  EXPECT_TRUE(traces.Has(2, "Start timing CGroup::PopulateListFromRowsetsFast ... "));
  EXPECT_TRUE(traces.Has(2, "Finished timeing CGroup::PopulateListFromRowsetsFast: Time for block "));

  const LONG b = Insert("INSERT INTO dbo.\"Groups\" (\"Name\") VALUES ('b')");
  const LONG a = Insert("INSERT INTO dbo.\"Groups\" (\"Name\") VALUES ('a')");
  CGroupList groups;
  PopulateListFromRowsetsFast(m_conn->GetRootGroups(), groups);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].GetID(), static_cast<ULONG>(a));
  EXPECT_EQ(groups[1].GetID(), static_cast<ULONG>(b));
  CAlertList alerts;
  PopulateListFromRowsetsFast(Procedure("TestRows", L"@Count", 2), alerts);
  EXPECT_EQ(alerts.size(), 2u);
}

TEST_F(RowSetTest, OpenRowSetFormAppendsAndAnAbsentRowSetLeavesListsEmpty)
{
  testsupport::TraceCapture traces;
  ado::RecordsetPtr records = Procedure("TestRows", L"@Count", 25).ExecuteCommandWithRecordset();
  Names names{L"kept"};
  PopulateListFromRowsets<Names, NameFromFields>(records, names);
  ASSERT_EQ(names.size(), 26u);
  EXPECT_EQ(names[1], L"name 1");
  EXPECT_EQ(names[25], L"name 25");
  EXPECT_EQ(records->State(), ado::adStateOpen);  // left to the caller to close
  EXPECT_TRUE(traces.Has(2, "NameFromFields> 25 items"));

  COurCommand none = Procedure("TestRows", L"@Count", -1);
  CComputerList computers{CComputer(1)};
  PopulateListFromRowsetsFast(none, computers);
  EXPECT_TRUE(computers.empty());
  EXPECT_EQ(none.GetReturnValue(), 3);
  PopulateListFromRowsets<Names, NameFromFields>(none, names);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(none.GetReturnValue(), 3);
  names = {L"kept"};
  PopulateListFromRowsets<Names, NameFromFields>(none.ExecuteCommandWithRecordset(), names);
  EXPECT_EQ(names, Names{L"kept"});

  computers.emplace_back(5);
  PopulateListFromRowsetsFast(Procedure("TestRows", L"@Count", 0), computers);
  EXPECT_TRUE(computers.empty());
}

TEST_F(RowSetTest, OwnRowSetFormReadsTheCatalogueRowSets)
{
  const LONG top = Insert("INSERT INTO dbo.\"Groups\" (\"Name\", \"DexConfigXML\") VALUES ('top', '<group/>')");
  const LONG child = Insert("INSERT INTO dbo.\"Groups\" (\"Name\", \"ParentID\") VALUES ('child', " + std::to_string(top) + ")");
  std::vector<std::pair<ULONG, ULONG>> pairs{{1, 1}};
  PopulateListFromRowsets<std::vector<std::pair<ULONG, ULONG>>, CPairOfGroupIds>(m_conn->GroupHierarchyGet(), pairs);
  const ULONG t = static_cast<ULONG>(top);
  EXPECT_EQ(pairs, (std::vector<std::pair<ULONG, ULONG>>{{0xFFFFFFFFu, t}, {t, static_cast<ULONG>(child)}}));

  // A NULL configuration is an empty text; a stored one comes back whole.
  const LONG pc = Insert("INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"DexConfigXML\") VALUES ('PC1', '<config/>')");
  EXPECT_EQ(Texts<CAUConfigXMLFromADOFields>(Table(m_conn->ComputerGetAUConfig(), L"@ComputerID", pc)), Names{L""});
  EXPECT_EQ(Texts<CDexConfigXMLFromADOFields>(Table(m_conn->ComputerGetDexConfig(), L"@ComputerID", pc)), Names{L"<config/>"});
  EXPECT_EQ(Texts<CGroupDexConfigurationXMLFromADOFields>(Table(m_conn->GetGroupDexConfigXML(), L"@GroupID", top)),
            Names{L"<group/>"});
  m_db.Exec("SELECT dbo.\"SetTzLibraryStatus\"(" + std::to_string(pc) + ", '<status/>')");
  EXPECT_EQ(Texts<CTzLibraryStatusXMLFromADOFields>(Table(m_conn->GetTzLibraryStatus(), L"@ComputerID", pc)), Names{L"<status/>"});
}

TEST_F(RowSetTest, AlertDetailsRowsBecomeRecords)
{
  const LONG pc = Insert("INSERT INTO dbo.\"Computers\" (\"ComputerName\") VALUES ('PC1')");
  const std::string id = std::to_string(pc);
  m_db.Exec("SELECT dbo.\"AddErrorAlert\"(" + id + ", '2024-05-01 12:00', 'user', 'src', 'info', 42, 'MC', '1', '2', '3', '4', '5')");
  m_db.Exec("SELECT dbo.\"AddVirusAlert\"(" + id + ", '2024-05-01 12:00', 'alice', 'EICAR', 1, 'C:\\x.com', 2, 3)");

  ErrorRows errors;
  PopulateListFromRowsets<ErrorRows, CErrorDetailsFromADOFields>(Table(m_conn->GetErrorAlertDetails(), L"@ComputerID", pc), errors);
  ASSERT_EQ(errors.size(), 1u);
  const auto& e = errors[0];
  EXPECT_EQ(std::tie(e.timeDetected, e.userName, e.source, e.entityInfo, e.number, e.messageCode, e.outstanding),
            std::make_tuple(kMay1Noon, std::wstring(L"user"), std::wstring(L"src"), std::wstring(L"info"), 42, std::wstring(L"MC"), true));
  EXPECT_EQ(e.inserts, (Names{L"1", L"2", L"3", L"4", L"5"}));

  std::vector<Alerts::VirusAlertDetails> viruses;
  PopulateListFromRowsets<std::vector<Alerts::VirusAlertDetails>, CVirusAlertDetailsFromADOFields>(
      Table(m_conn->GetVirusAlertDetails(), L"@ComputerID", pc), viruses);
  ASSERT_EQ(viruses.size(), 1u);
  const auto& v = viruses[0];
  EXPECT_EQ(std::tie(v.detailsSet, v.timeDetected, v.userName, v.virusName, v.infectedItem, v.outstanding),
            std::make_tuple(true, kMay1Noon, std::wstring(L"alice"), std::wstring(L"EICAR"), std::wstring(L"C:\\x.com"), true));
  EXPECT_EQ(std::tie(v.virusType, v.scannerType, v.actionTaken), std::make_tuple(1, 2, 3));
}

TEST_F(RowSetTest, FieldReadersAcceptTheirOwnTypeAndANullInsertIsAnAssertion)
{
  COurCommand typed = Procedure("TestTypedRow");
  ado::RecordsetPtr records = typed.ExecuteCommandWithRecordset();
  const ado::Fields fields = records->GetFields();
  EXPECT_EQ(priv::GetStringField(fields, L"T"), L"x");
  EXPECT_EQ(priv::GetStringField(fields, L"N"), L"");
  EXPECT_TRUE(priv::GetBoolField(fields, L"B"));
  EXPECT_EQ(priv::GetIntField(fields, L"I"), 7);
  EXPECT_DOUBLE_EQ(priv::GetDateField(fields, L"D"), kMay1Noon);
  ExpectAssertion([&] { priv::GetStringField(fields, L"I"); }, ".\\ObjectsFromADOFields(54) : Assertion failed value.vt == VT_BSTR");
  ExpectAssertion([&] { priv::GetStringFieldNotNull(fields, L"N"); },
                  ".\\ObjectsFromADOFields(60) : Assertion failed value.vt == VT_BSTR");
  ExpectAssertion([&] { priv::GetBoolField(fields, L"I"); }, ".\\ObjectsFromADOFields(23) : Assertion failed value.vt == VT_BOOL");
  ExpectAssertion([&] { priv::GetIntField(fields, L"B"); }, ".\\ObjectsFromADOFields(36) : Assertion failed value.vt == VT_I4");
  ExpectAssertion([&] { priv::GetDateField(fields, L"T"); }, ".\\ObjectsFromADOFields(74) : Assertion failed value.vt == VT_DATE");
  EXPECT_THROW(priv::GetIntField(fields, L"NoSuchColumn"), WinRuntimeError);
  CComputerList computers;  // the fast form's column 0 must be an integer
  EXPECT_THROW(PopulateListFromRowsetsFast(typed, computers), WinRuntimeError);

  ErrorRows rows;
  PopulateListFromRowsets<ErrorRows, CErrorDetailsFromADOFields>(Procedure("TestErrorRow", L"@NullInsert", 0), rows);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].inserts, (Names{L"a", L"b", L"c", L"d", L"e"}));
  const COurCommand nullInsert3 = Procedure("TestErrorRow", L"@NullInsert", 3);
  ExpectAssertion([&] { PopulateListFromRowsets<ErrorRows, CErrorDetailsFromADOFields>(nullInsert3, rows); },
                  ".\\ObjectsFromADOFields(60) : Assertion failed value.vt == VT_BSTR");
}

TEST_F(RowSetTest, ALostServerConnectionFailsTheOpeningAsConnectToDatabaseFailed)
{
  COurCommand rows = Procedure("TestRows", L"@Count", 3);
  m_db.DropOtherSessions();
  CComputerList computers;
  EXPECT_THROW(PopulateListFromRowsetsFast(rows, computers), vrn::Exceptions::ConnectToDatabaseFailed);
  Names names;
  EXPECT_THROW((PopulateListFromRowsets<Names, NameFromFields>(rows, names)), vrn::Exceptions::ConnectToDatabaseFailed);
}

}  // namespace
