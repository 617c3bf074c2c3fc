// The data-access layer against a real server: connections, parameter discovery, named
// parameters, return values, row sets, failures after delivered values, time limits, lost
// connections, and the session channel's positional calls.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "platform/ado/Ado.h"
#include "platform/ado/ErrorInfo.h"
#include "platform/ado/OleDb.h"
#include "platform/ado/PgLink.h"
#include "tests/businesslogic/TestSupport.h"

namespace {



class AdoTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_db.Exec(testsupport::kTestProcedures);
    m_conn = ado::Connection::Create();
    ASSERT_EQ(m_conn->put_Provider(L"sqloledb"), S_OK);
    ASSERT_EQ(m_conn->PutProperty(L"Data Source", _variant_t(L".")), S_OK);
    ASSERT_EQ(m_conn->PutProperty(L"Initial Catalog", _variant_t(m_db.WideName())), S_OK);
    ASSERT_EQ(m_conn->PutProperty(L"Integrated Security", _variant_t(L"SSPI")), S_OK);
    ASSERT_EQ(m_conn->Open(L"", L"", L"", ado::adOptionUnspecified), S_OK) << ado::ErrorDescription().size();
  }

  ado::CommandPtr Prepare(const wchar_t* name)
  {
    ado::CommandPtr cmd = ado::Command::Create();
    cmd->put_CommandText(name);
    cmd->put_CommandType(ado::adCmdStoredProc);
    EXPECT_EQ(cmd->put_ActiveConnection(m_conn), S_OK);
    EXPECT_EQ(cmd->GetParameters()->Refresh(), S_OK);
    return cmd;
  }
  static ado::Parameter& Param(const ado::CommandPtr& cmd, const wchar_t* name)
  {
    ado::Parameter* p = nullptr;
    EXPECT_EQ(cmd->GetParameters()->Item(name, &p), S_OK) << std::string(name, name + wcslen(name));
    return *p;
  }

  testsupport::TestDatabase m_db;
  ado::ConnectionPtr m_conn;
};

TEST_F(AdoTest, RefreshReadsNamesDirectionsTypesAndDeclaredSizes)
{
  ado::CommandPtr cmd = Prepare(L"GetComputerDetails");
  ado::ParametersPtr params = cmd->GetParameters();
  // Every parameter but the row-set cursor.
  EXPECT_EQ(params->Count(), 30);
  EXPECT_EQ(params->Item(0L).Name(), L"@RETURN_VALUE");
  EXPECT_EQ(params->Item(0L).Direction(), ado::adParamReturnValue);
  EXPECT_EQ(Param(cmd, L"@ComputerID").Direction(), ado::adParamInput);
  EXPECT_EQ(Param(cmd, L"@ComputerID").Type(), ado::adInteger);
  EXPECT_EQ(Param(cmd, L"@computername").Size(), 31);  // names compare without case
  EXPECT_EQ(Param(cmd, L"@ComputerName").Direction(), ado::adParamOutput);
  EXPECT_EQ(Param(cmd, L"@ComputerName").Type(), ado::adVarWChar);
  EXPECT_EQ(Param(cmd, L"@Description").Size(), 512);
  EXPECT_EQ(Param(cmd, L"@IPAddress").Type(), ado::adBigInt);
  EXPECT_EQ(Param(cmd, L"@ManagedFlag").Type(), ado::adBoolean);
  EXPECT_EQ(Param(cmd, L"@InstallTime").Type(), ado::adDBTimeStamp);
  ado::Parameter* missing = nullptr;
  EXPECT_EQ(params->Item(L"@RowSet", &missing), ado::adErrItemNotFound);
  EXPECT_NE(ado::ErrorDescription().find(L"@RowSet"), std::wstring::npos);

  ado::CommandPtr text = Prepare(L"TestNarrow");
  EXPECT_EQ(Param(text, L"@In").Type(), ado::adLongVarWChar);
  EXPECT_EQ(Param(text, L"@In").Size(), ado::kUnlimitedTextSize);
}

TEST_F(AdoTest, MissingProcedureFailsRefreshWithTheProvidersError)
{
  ado::CommandPtr cmd = ado::Command::Create();
  cmd->put_CommandText(L"NoSuchProcedure");
  cmd->put_CommandType(ado::adCmdStoredProc);
  ASSERT_EQ(cmd->put_ActiveConnection(m_conn), S_OK);
  EXPECT_EQ(cmd->GetParameters()->Refresh(), ado::DB_E_NOTABLE);
  EXPECT_NE(ado::ErrorDescription().find(L"NoSuchProcedure"), std::wstring::npos);
  ASSERT_EQ(m_conn->Errors().size(), 1u);
  EXPECT_EQ(m_conn->Errors()[0].Number, ado::DB_E_NOTABLE);
}

TEST_F(AdoTest, NamedValuesGoInAndComeBackWithTheirTypes)
{
  ado::CommandPtr cmd = Prepare(L"dbo.TestEcho");
  ASSERT_EQ(Param(cmd, L"@I").put_Value(_variant_t(static_cast<ULONG>(0xFFFFFFFFu))), S_OK);
  ASSERT_EQ(Param(cmd, L"@T").put_Value(_variant_t(L"Grüße, ☃")), S_OK);
  ASSERT_EQ(Param(cmd, L"@D").put_Value(_variant_t(45000.5, VT_DATE)), S_OK);
  ASSERT_EQ(Param(cmd, L"@N").put_Value(_variant_t(L"12345678901234.5678")), S_OK);
  ASSERT_EQ(Param(cmd, L"@B").put_Value(_variant_t(true)), S_OK);
  ASSERT_EQ(Param(cmd, L"@U").put_Value(_variant_t(static_cast<ULONG>(0xC0A80001u))), S_OK);
  ASSERT_EQ(cmd->Execute(nullptr, nullptr, ado::adCmdStoredProc | ado::adExecuteNoRecords, nullptr), S_OK);

  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().vt, VT_I4);
  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().lVal, -1);
  EXPECT_EQ(Param(cmd, L"@OI").Value().lVal, -1);
  EXPECT_EQ(Param(cmd, L"@OT").Value().vt, VT_BSTR);
  EXPECT_EQ(Param(cmd, L"@OT").Value().ToWString(), L"Grüße, ☃");
  EXPECT_EQ(Param(cmd, L"@OD").Value().vt, VT_DATE);
  EXPECT_DOUBLE_EQ(Param(cmd, L"@OD").Value().date, 45000.5);
  EXPECT_EQ(Param(cmd, L"@ON").Value().vt, VT_DECIMAL);
  EXPECT_EQ(Param(cmd, L"@ON").Value().ToWString(), L"12345678901234.5678");
  EXPECT_EQ(Param(cmd, L"@OB").Value().vt, VT_BOOL);
  EXPECT_EQ(Param(cmd, L"@OU").Value().vt, VT_DECIMAL);
  EXPECT_EQ(Param(cmd, L"@OU").Value().decVal.Lo64, 0xC0A80001u);

  // NULL and never-set values are sent as NULL; outputs come back as VT_NULL.
  ASSERT_EQ(Param(cmd, L"@I").put_Value(_variant_t::Null()), S_OK);
  ASSERT_EQ(Param(cmd, L"@T").put_Value(_variant_t()), S_OK);
  ASSERT_EQ(cmd->Execute(nullptr, nullptr, ado::adCmdStoredProc | ado::adExecuteNoRecords, nullptr), S_OK);
  EXPECT_EQ(Param(cmd, L"@OI").Value().vt, VT_NULL);
  EXPECT_EQ(Param(cmd, L"@OT").Value().vt, VT_NULL);
  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().lVal, -1);
}

TEST_F(AdoTest, ValuesTheParameterCannotTakeAreRefusedWhenSet)
{
  ado::CommandPtr cmd = Prepare(L"TestEcho");
  EXPECT_EQ(Param(cmd, L"@I").put_Value(_variant_t(L"twelve")), DISP_E_TYPEMISMATCH);
  EXPECT_NE(ado::ErrorDescription().find(L"@I"), std::wstring::npos);
  EXPECT_EQ(Param(cmd, L"@I").put_Value(_variant_t(static_cast<LONGLONG>(1) << 33)), DISP_E_OVERFLOW);
  EXPECT_EQ(Param(cmd, L"@D").put_Value(_variant_t(L"yesterday")), DISP_E_TYPEMISMATCH);
  // The server enforces the declared size of a domain.
  ASSERT_EQ(Param(cmd, L"@T").put_Value(_variant_t(std::wstring(256, L'x'))), S_OK);
  EXPECT_EQ(cmd->Execute(nullptr, nullptr, ado::adExecuteNoRecords, nullptr), ado::DB_E_ERRORSINCOMMAND);
}

TEST_F(AdoTest, RowSetsAreReadByNameWithEofAndMoveNextThenTheReturnValue)
{
  ado::CommandPtr cmd = Prepare(L"TestRows");
  ASSERT_EQ(Param(cmd, L"@Count").put_Value(_variant_t(static_cast<LONG>(3))), S_OK);
  ado::RecordsetPtr rs;
  ASSERT_EQ(cmd->Execute(nullptr, nullptr, ado::adCmdStoredProc, &rs), S_OK);
  ASSERT_EQ(rs->State(), ado::adStateOpen);
  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().lVal, 3);
  std::vector<std::wstring> names;
  std::vector<VARTYPE> tens;
  while (!rs->IsEOF()) {
    ado::Field name, ten;
    ASSERT_EQ(rs->GetFields().Item(L"name", name), S_OK);
    ASSERT_EQ(rs->GetFields().Item(L"Tens", ten), S_OK);
    _variant_t v, t;
    ASSERT_EQ(name.get_Value(&v), S_OK);
    ASSERT_EQ(ten.get_Value(&t), S_OK);
    names.push_back(v.ToWString());
    tens.push_back(t.vt);
    ASSERT_EQ(rs->MoveNext(), S_OK);
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"name 1", L"name 2", L"name 3"}));
  EXPECT_EQ(tens, (std::vector<VARTYPE>{VT_I4, VT_NULL, VT_I4}));
  EXPECT_EQ(rs->MoveNext(), ado::adErrNoCurrentRecord);
  ado::Field gone;
  EXPECT_EQ(rs->GetFields().Item(L"NoSuchColumn", gone), ado::adErrItemNotFound);
  ASSERT_EQ(rs->GetFields().Item(L"ID", gone), S_OK);
  _variant_t v;
  EXPECT_EQ(gone.get_Value(&v), ado::adErrNoCurrentRecord);
}

TEST_F(AdoTest, GetRowsReadsOneColumnOfAllRemainingRows)
{
  ado::CommandPtr cmd = Prepare(L"TestRows");
  ASSERT_EQ(Param(cmd, L"@Count").put_Value(_variant_t(static_cast<LONG>(1000))), S_OK);
  ado::RecordsetPtr rs = ado::Recordset::Create();
  rs->put_CacheSize(200);
  rs->put_Source(cmd);
  VARIANT omitted;
  omitted.vt = VT_ERROR;
  ASSERT_EQ(rs->Open(omitted, omitted, ado::adOpenStatic, ado::adLockReadOnly, ado::adOptionUnspecified), S_OK);
  ASSERT_EQ(rs->MoveNext(), S_OK);  // start at the second row
  _variant_t rows;
  VARIANT first;
  first.vt = VT_I4;
  first.lVal = 0;
  ASSERT_EQ(rs->GetRows(ado::adGetRowsRest, omitted, first, &rows), S_OK);
  ASSERT_EQ(rows.vt, VT_ARRAY | VT_VARIANT);
  LONG ub = 0;
  SafeArrayGetUBound(rows.parray, 1, &ub);
  ASSERT_EQ(ub, 998);
  VARIANT* cells = nullptr;
  SafeArrayAccessData(rows.parray, reinterpret_cast<void**>(&cells));
  EXPECT_EQ(cells[0].lVal, 2);
  EXPECT_EQ(cells[998].lVal, 1000);
  SafeArrayUnaccessData(rows.parray);
  EXPECT_TRUE(rs->IsEOF());
  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().lVal, 3);
  // With three columns the column must be named.
  ASSERT_EQ(rs->Open(cmd, ado::adOpenStatic, ado::adLockReadOnly, ado::adOptionUnspecified), S_OK);
  EXPECT_EQ(rs->GetRows(ado::adGetRowsRest, omitted, omitted, &rows), ado::adErrInvalidArgument);
  // A named integer column with NULLs in it, then a text column: every cell of its kind.
  const _variant_t tens(L"Tens");
  ASSERT_EQ(rs->GetRows(3, omitted, tens, &rows), S_OK);
  SafeArrayAccessData(rows.parray, reinterpret_cast<void**>(&cells));
  EXPECT_EQ(cells[0].vt, VT_I4);
  EXPECT_EQ(cells[0].lVal, 10);
  EXPECT_EQ(cells[1].vt, VT_NULL);
  EXPECT_EQ(cells[2].lVal, 30);
  SafeArrayUnaccessData(rows.parray);
  ASSERT_EQ(rs->GetRows(ado::adGetRowsRest, omitted, _variant_t(L"Name"), &rows), S_OK);
  SafeArrayGetUBound(rows.parray, 1, &ub);
  ASSERT_EQ(ub, 996);
  SafeArrayAccessData(rows.parray, reinterpret_cast<void**>(&cells));
  EXPECT_EQ(cells[0].vt, VT_BSTR);
  EXPECT_EQ(_variant_t(cells[996]).ToWString(), L"name 1000");
  SafeArrayUnaccessData(rows.parray);
}

TEST_F(AdoTest, FieldsByNameIgnoreCaseInAnyOrderAndTheFirstOfEqualNamesWins)
{
  m_db.Exec("CREATE FUNCTION dbo.\"TestNames\"(OUT \"@RETURN_VALUE\" integer, \"@Same\" integer, OUT \"@RowSet\" refcursor)"
            " LANGUAGE plpgsql AS $$ BEGIN"
            " IF \"@Same\" <> 0 THEN OPEN \"@RowSet\" FOR SELECT 1 AS \"A\", 2 AS \"a\", 3 AS \"B\" FROM generate_series(1, 2);"
            " ELSE OPEN \"@RowSet\" FOR SELECT 1 AS \"A\", 2 AS \"Bee\", 3 AS \"C\" FROM generate_series(1, 2); END IF;"
            " \"@RETURN_VALUE\" := 0; END $$");
  auto value = [](const ado::RecordsetPtr& rs, const wchar_t* name) {
    ado::Field f;
    _variant_t v;
    EXPECT_EQ(rs->GetFields().Item(name, f), S_OK);
    EXPECT_EQ(f.get_Value(&v), S_OK);
    return v.vt == VT_I4 ? v.lVal : -1;
  };
  ado::CommandPtr cmd = Prepare(L"TestNames");
  ado::RecordsetPtr rs;
  ASSERT_EQ(Param(cmd, L"@Same").put_Value(_variant_t(static_cast<LONG>(0))), S_OK);
  ASSERT_EQ(cmd->Execute(nullptr, nullptr, ado::adCmdStoredProc, &rs), S_OK);
  for (int row = 0; row < 2; ++row, rs->MoveNext()) {
    EXPECT_EQ(value(rs, L"C"), 3);
    EXPECT_EQ(value(rs, L"a"), 1);
    EXPECT_EQ(value(rs, L"BEE"), 2);
    EXPECT_EQ(value(rs, L"bee"), 2);
    ado::Field none;
    EXPECT_EQ(rs->GetFields().Item(L"Be", none), ado::adErrItemNotFound);
  }
  ASSERT_EQ(Param(cmd, L"@Same").put_Value(_variant_t(static_cast<LONG>(1))), S_OK);
  ASSERT_EQ(cmd->Execute(nullptr, nullptr, ado::adCmdStoredProc, &rs), S_OK);
  for (int row = 0; row < 2; ++row, rs->MoveNext()) {
    EXPECT_EQ(value(rs, L"A"), 1);
    EXPECT_EQ(value(rs, L"a"), 1);
    EXPECT_EQ(value(rs, L"B"), 3);
    EXPECT_EQ(value(rs, L"a"), 1);
  }
}

TEST_F(AdoTest, AProcedureOpeningNoCursorGivesAClosedRowSetAndItsReturnValue)
{
  ado::CommandPtr cmd = Prepare(L"TestRows");
  ASSERT_EQ(Param(cmd, L"@Count").put_Value(_variant_t(static_cast<LONG>(-1))), S_OK);
  ado::RecordsetPtr rs;
  ASSERT_EQ(cmd->Execute(nullptr, nullptr, ado::adCmdStoredProc, &rs), S_OK);
  EXPECT_EQ(rs->State(), ado::adStateClosed);
  EXPECT_TRUE(rs->IsEOF());
  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().lVal, 3);
}

TEST_F(AdoTest, AFailureAfterTheProcedureDeliveredKeepsTheDeliveredValues)
{
  ado::CommandPtr cmd = Prepare(L"TestDeferredViolation");
  ASSERT_EQ(Param(cmd, L"@Value").put_Value(_variant_t(static_cast<LONG>(7))), S_OK);
  EXPECT_EQ(cmd->Execute(nullptr, nullptr, ado::adExecuteNoRecords, nullptr), ado::DB_E_INTEGRITYVIOLATION);
  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().vt, VT_I4);
  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().lVal, 7);
  // Nothing of the failed call stays.
  EXPECT_EQ(m_db.Exec("SELECT count(*) FROM dbo.\"TestChild\"").Text(0, 0), "0");
  EXPECT_EQ(m_conn->State(), ado::adStateOpen);
}

TEST_F(AdoTest, DeferredStatementsTravelWithTheNextCallAndTheirFailureIsThatCallsFailure)
{
  m_db.Exec("CREATE TABLE dbo.defer_log (n integer)");
  const std::shared_ptr<ado::PgLink> link = m_conn->Link();
  ado::PgResultPtr rows;
  ado::PgError error;
  const auto insert = [&](const char* n) {
    link->Run("INSERT INTO dbo.defer_log VALUES ($1::integer)", {n}, true, 10, rows, error);
    return !error.failed();
  };
  link->Run("BEGIN", 10, rows, error);
  ASSERT_FALSE(error.failed());
  link->Defer("SAVEPOINT unit");
  ASSERT_TRUE(insert("1")) << error.message;
  link->Defer("ROLLBACK TO SAVEPOINT unit");  // undoes 1
  link->Defer("RELEASE SAVEPOINT unit");
  link->Defer("SAVEPOINT unit");
  ASSERT_TRUE(insert("2")) << error.message;
  link->Defer("RELEASE SAVEPOINT unit");
  link->Run("COMMIT", 10, rows, error);  // a plain statement takes them along too
  ASSERT_FALSE(error.failed()) << error.message;
  EXPECT_FALSE(link->InTransaction());

  // A deferred statement that fails is the failure of the call it travelled with, which does
  // not run; the transaction is then refused until rolled back.
  link->Run("BEGIN", 10, rows, error);
  link->Defer("RELEASE SAVEPOINT nosuch");
  EXPECT_FALSE(insert("3"));
  EXPECT_EQ(error.sqlState, "3B001");
  EXPECT_TRUE(link->InFailedTransaction());
  link->Run("ROLLBACK", 10, rows, error);
  EXPECT_FALSE(error.failed());

  // Discarded, a deferred statement never runs.
  link->Defer("SELECT 1/0");
  link->Discard();
  EXPECT_TRUE(insert("4")) << error.message;

  const auto stored = m_db.Exec("SELECT string_agg(n::text, ',' ORDER BY n) FROM dbo.defer_log");
  EXPECT_EQ(stored.Text(0, 0), "2,4");
}

TEST_F(AdoTest, AStatementPastItsTimeLimitIsCancelledAndTheConnectionStaysUsable)
{
  ado::CommandPtr cmd = Prepare(L"TestSleep");
  cmd->put_CommandTimeout(1);
  ASSERT_EQ(Param(cmd, L"@Seconds").put_Value(_variant_t(static_cast<LONG>(30))), S_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cmd->Execute(nullptr, nullptr, ado::adExecuteNoRecords, nullptr), ado::DB_E_ABORTLIMITREACHED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(Param(cmd, L"@RETURN_VALUE").Value().vt, VT_EMPTY);
  ASSERT_EQ(Param(cmd, L"@Seconds").put_Value(_variant_t(static_cast<LONG>(0))), S_OK);
  EXPECT_EQ(cmd->Execute(nullptr, nullptr, ado::adExecuteNoRecords, nullptr), S_OK);
}

TEST_F(AdoTest, ALostServerConnectionFailsTheCallAndClosesTheConnection)
{
  ado::CommandPtr cmd = Prepare(L"TestSleep");
  ASSERT_EQ(Param(cmd, L"@Seconds").put_Value(_variant_t(static_cast<LONG>(0))), S_OK);
  ASSERT_EQ(cmd->Execute(nullptr, nullptr, ado::adExecuteNoRecords, nullptr), S_OK);
  m_db.DropOtherSessions();
  EXPECT_EQ(cmd->Execute(nullptr, nullptr, ado::adExecuteNoRecords, nullptr), E_FAIL);
  EXPECT_FALSE(ado::ErrorDescription().empty());
  EXPECT_EQ(m_conn->State(), ado::adStateClosed);
  EXPECT_EQ(cmd->Execute(nullptr, nullptr, ado::adExecuteNoRecords, nullptr), E_FAIL);
  // Opening again gives a working connection to the same command.
  ASSERT_EQ(m_conn->Open(L"", L"", L"", ado::adOptionUnspecified), S_OK);
  EXPECT_EQ(cmd->Execute(nullptr, nullptr, ado::adExecuteNoRecords, nullptr), S_OK);
}

TEST_F(AdoTest, OpeningNeedsIntegratedSecurityAndAReachableDatabase)
{
  ado::ConnectionPtr c = ado::Connection::Create();
  EXPECT_EQ(c->put_Provider(L"MSDASQL"), ado::adErrProviderNotFound);
  ASSERT_EQ(c->put_Provider(L"SQLOLEDB.1"), S_OK);
  EXPECT_EQ(c->PutProperty(L"User ID", _variant_t(L"sa")), ado::adErrItemNotFound);
  ASSERT_EQ(c->PutProperty(L"Data Source", _variant_t(L".")), S_OK);
  ASSERT_EQ(c->PutProperty(L"Initial Catalog", _variant_t(L"corvex_no_such_database")), S_OK);
  EXPECT_EQ(c->Open(L"", L"", L"", -1), ado::DB_SEC_E_AUTH_FAILED);  // no integrated security set
  ASSERT_EQ(c->PutProperty(L"Integrated Security", _variant_t(L"SSPI")), S_OK);
  EXPECT_EQ(c->Open(L"", L"sa", L"secret", -1), ado::DB_SEC_E_AUTH_FAILED);
  EXPECT_EQ(c->Open(L"", L"", L"", -1), E_FAIL);
  EXPECT_NE(ado::ErrorDescription().find(L"corvex_no_such_database"), std::wstring::npos);
  ASSERT_EQ(c->Errors().size(), 1u);
  EXPECT_EQ(c->State(), ado::adStateClosed);
  // The same through a connection string.
  EXPECT_EQ(c->Open(L"Initial Catalog=" + m_db.WideName() + L";Data Source=.", L"", L"", -1), S_OK);
  EXPECT_EQ(c->State(), ado::adStateOpen);
  c->Close();
  EXPECT_EQ(c->State(), ado::adStateClosed);
}

class SessionChannelTest : public AdoTest
{
protected:
  void SetUp() override
  {
    AdoTest::SetUp();
    oledb::CDBPropSet props(oledb::DBPROPSET_DBINIT);
    ASSERT_TRUE(props.AddProperty(oledb::DBPROP_AUTH_INTEGRATED, _variant_t(L"SSPI")));
    ASSERT_TRUE(props.AddProperty(oledb::DBPROP_INIT_CATALOG, _variant_t(m_db.WideName())));
    ASSERT_TRUE(props.AddProperty(oledb::DBPROP_INIT_DATASOURCE, _variant_t(L".")));
    EXPECT_FALSE(props.AddProperty(oledb::DBPROP_INIT_DATASOURCE, _variant_t(L"other")));
    oledb::CDataSource source;
    ASSERT_EQ(source.Open(L"SQLOLEDB.1", &props), S_OK);
    ASSERT_EQ(m_session.Open(source), S_OK);
  }
  oledb::CSession m_session;
};

TEST_F(SessionChannelTest, PositionalOutputsAndTheReturnValueStatus)
{
  LONG rv = -7, major = 0, minor = -1;
  oledb::DBSTATUS status = 99, majorStatus = 99;
  oledb::ParamBinding b[] = {
    {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &rv, sizeof rv, &status},
    {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &major, sizeof major, &majorStatus},
    {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &minor, sizeof minor, nullptr},
  };
  ASSERT_EQ(oledb::ExecuteCall(m_session, "{ ? = CALL dbo.GetInterfaceVersion(?,?) }", b, 3), S_OK);
  EXPECT_EQ(rv, 0);
  EXPECT_EQ(status, oledb::DBSTATUS_S_OK);
  EXPECT_EQ(major, 8);
  EXPECT_EQ(majorStatus, oledb::DBSTATUS_S_OK);
  EXPECT_EQ(minor, 0);
  EXPECT_EQ(oledb::ExecuteCall(m_session, "{ ? = CALL dbo.GetInterfaceVersion(?) }", b, 3), E_INVALIDARG);
}

TEST_F(SessionChannelTest, NarrowOutputsAreCutToTheirBufferAndMarkedTruncated)
{
  char in[8] = "abcde";
  char out[6] = {};
  LONG rv = 0;
  oledb::DBSTATUS status = 0, outStatus = 0;
  oledb::ParamBinding b[] = {
    {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &rv, sizeof rv, &status},
    {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_STR, in, sizeof in, nullptr},
    {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_STR, out, sizeof out, &outStatus},
  };
  ASSERT_EQ(oledb::ExecuteCall(m_session, "{ ? = CALL dbo.TestNarrow(?,?) }", b, 3), S_OK);
  EXPECT_EQ(rv, 5);
  EXPECT_STREQ(out, "abcde");
  EXPECT_EQ(outStatus, oledb::DBSTATUS_S_TRUNCATED);
}

TEST_F(SessionChannelTest, AProcedureWithoutReturnValueLeavesItsStatusUnavailable)
{
  LONG rv = 0, a = 41, out = 0;
  oledb::DBSTATUS status = 0;
  oledb::ParamBinding b[] = {
    {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &rv, sizeof rv, &status},
    {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_I4, &a, sizeof a, nullptr},
    {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &out, sizeof out, nullptr},
  };
  ASSERT_EQ(oledb::ExecuteCall(m_session, "{ ? = CALL dbo.TestNoReturn(?,?) }", b, 3), S_OK);
  EXPECT_EQ(status, oledb::DBSTATUS_E_UNAVAILABLE);
  EXPECT_EQ(out, 42);
}

TEST_F(SessionChannelTest, ServerFailuresBecomeTheirHResults)
{
  LONG rv = 0, value = 9;
  oledb::DBSTATUS status = 0;
  oledb::ParamBinding b[] = {
    {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &rv, sizeof rv, &status},
    {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_I4, &value, sizeof value, nullptr},
  };
  EXPECT_EQ(oledb::ExecuteCall(m_session, "{ ? = CALL dbo.TestDeferredViolation(?) }", b, 2), ado::DB_E_INTEGRITYVIOLATION);
  EXPECT_EQ(rv, 9);  // delivered before the constraint failed
  EXPECT_EQ(oledb::ExecuteCall(m_session, "{ ? = CALL dbo.NoSuchProcedure(?) }", b, 2), ado::DB_E_NOTABLE);
  m_db.DropOtherSessions();
  EXPECT_EQ(oledb::ExecuteCall(m_session, "{ ? = CALL dbo.TestDeferredViolation(?) }", b, 2), E_FAIL);
}

TEST(SessionDataSource, RefusesOtherProvidersAndMissingSecurity)
{
  oledb::CDBPropSet props(oledb::DBPROPSET_DBINIT);
  props.AddProperty(oledb::DBPROP_INIT_DATASOURCE, _variant_t(L"."));
  props.AddProperty(oledb::DBPROP_INIT_CATALOG, _variant_t(L"postgres"));
  oledb::CDataSource source;
  EXPECT_EQ(source.Open(L"MSDASQL", &props), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(source.Open(L"SQLOLEDB.1", &props), ado::DB_SEC_E_AUTH_FAILED);
  oledb::CSession session;
  EXPECT_EQ(session.Open(source), E_UNEXPECTED);
}

}  // namespace
