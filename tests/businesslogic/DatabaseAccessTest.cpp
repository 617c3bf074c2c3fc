// Database access against a real server: the session with its recovery, the process-wide
// connection with its version check and command table, and COurCommand's setters and readers.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/PTLSession.h"
#include "businesslogic/ProcessSingleton.h"
#include "businesslogic/SPException.h"
#include "businesslogic/SessionCommands.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/com/ComError.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/trace/Trace.h"
#include "tests/businesslogic/TestSupport.h"

namespace {


class DatabaseAccessTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_db.Exec(testsupport::kTestProcedures);
    m_registry.SetLocation(L".", L"", m_db.WideName());
  }
  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
};

// A session-channel command of a test procedure that returns what it is given.
struct CTestReturnAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.TestReturn(?) }";
  LONG m_Value = 0;
  std::vector<oledb::ParamBinding> Bindings() { return {ReturnBinding(), sessionbind::In(m_Value)}; }
};
using CTestReturn = TRecoverableCommand<TSessionCommand<CTestReturnAccessor>>;

struct CTestDeferredViolationAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.TestDeferredViolation(?) }";
  LONG m_Value = 0;
  std::vector<oledb::ParamBinding> Bindings() { return {ReturnBinding(), sessionbind::In(m_Value)}; }
};
using CTestDeferredViolation = TRecoverableCommand<TSessionCommand<CTestDeferredViolationAccessor>>;

TEST_F(DatabaseAccessTest, SessionCallsTheVersionAndJudgesReturnValues)
{
  CPTLSession session(TRACE_BUSINESSLOGIC);
  session.Open();
  ASSERT_TRUE(session.IsOpen());
  CGetInterfaceVersion version;
  EXPECT_EQ(version.Execute(session), S_OK);
  EXPECT_EQ(version.m_MajorVersion, 8);
  EXPECT_EQ(version.m_MinorVersion, 0);

  CTestReturn ret;
  ret.m_Value = 50;
  EXPECT_EQ(ret.Execute(session), static_cast<HRESULT>(0x006B0032));
  ret.m_Value = 3;
  EXPECT_EQ(ret.Execute(session), MakeHr(0x806B0003));
  ret.m_Value = 0;
  EXPECT_EQ(ret.Execute(session), S_OK);
  session.Close();
  session.Close();
  EXPECT_FALSE(session.IsOpen());
}

TEST_F(DatabaseAccessTest, SessionCommandsOfTheServiceRunOnTheirProcedures)
{
  CPTLSession session(TRACE_BUSINESSLOGIC);
  session.Open();
  CClearComputerInstallFlags clear;
  EXPECT_EQ(clear.Execute(session), S_OK);
  CUpdateComputerStatus status;
  CopyParameterText(status.m_ComputerName, L"PC7");
  CopyParameterText(status.m_DomainName, L"WORKGROUP");
  CopyParameterText(status.m_MessageSystemAddress, "BRANCH1.PC7");
  status.m_OperatingSystem = 8;
  status.m_IPAddress = 0xC0A80001;
  EXPECT_TRUE(SUCCEEDED(status.Execute(session)));
  CGetMessageSystemAddress address;
  address.m_ComputerID = std::stol(m_db.Exec("SELECT \"ComputerID\" FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC7'").Text(0, 0));
  EXPECT_EQ(address.Execute(session), S_OK);
  EXPECT_STREQ(address.m_MessageSystemAddress, "BRANCH1.PC7");
  CUpdateComputerConnectedState connected;
  CopyParameterText(connected.m_MessageSystemAddress, "BRANCH1.PC7");
  connected.m_ConnectedFlag = -1;
  EXPECT_TRUE(SUCCEEDED(connected.Execute(session)));
  EXPECT_EQ(m_db.Exec("SELECT \"Connected\" FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC7'").Text(0, 0), "t");
  CSetComputerInstallPendingFlag pending;
  pending.m_ComputerID = address.m_ComputerID;
  pending.m_InstallPendingFlag = 1;
  EXPECT_EQ(pending.Execute(session), S_OK);
  CComputerSetInstallResult result;
  result.m_ComputerID = -5;
  result.m_InstallResult = 3;
  result.m_InstallTime = {2024, 5, 1, 10, 20, 30, 0};
  EXPECT_EQ(result.Execute(session), MakeHr(0x806B0027));  // 39: no such computer
}

TEST_F(DatabaseAccessTest, IntegrityViolationWithReturnValueZeroIsSFalseWithoutRecovery)
{
  CPTLSession session(TRACE_BUSINESSLOGIC);
  session.Open();
  const auto generation = session.Generation();
  CTestDeferredViolation cmd;
  cmd.m_Value = 0;
  EXPECT_EQ(cmd.Execute(session), S_FALSE);
  EXPECT_EQ(session.Generation(), generation);
  cmd.m_Value = 7;
  EXPECT_EQ(cmd.Execute(session), ado::DB_E_INTEGRITYVIOLATION);
  EXPECT_EQ(session.Generation(), generation + 1);  // the one recovery
}

TEST_F(DatabaseAccessTest, SessionRecoversOnceFromALostServerConnection)
{
  testsupport::TraceCapture traces;
  CPTLSession session(TRACE_BUSINESSLOGIC);
  session.Open();
  CTestReturn cmd;
  ASSERT_EQ(cmd.Execute(session), S_OK);
  m_db.DropOtherSessions();
  EXPECT_EQ(cmd.Execute(session), S_OK);
  EXPECT_TRUE(traces.Has(0, "Database failed(0x80004005), Attempting recovery"));
  // A server that stays away: the reopen fails and its exception passes.
  m_db.DropOtherSessions();
  m_registry.Set(L"ServerLocation", L"/nonexistent-socket-dir");
  EXPECT_THROW(cmd.Execute(session), _com_error);
}

TEST_F(DatabaseAccessTest, ThreadsFailingTogetherReopenTheSessionOnce)
{
  CPTLSession session(TRACE_BUSINESSLOGIC);
  session.Open();
  const auto generation = session.Generation();
  m_db.DropOtherSessions();
  std::vector<HRESULT> results(4, E_UNEXPECTED);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&, i] {
      CTestReturn cmd;
      results[i] = cmd.Execute(session);
    });
  for (auto& t : threads)
    t.join();
  for (HRESULT hr : results)
    EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(session.Generation(), generation + 1);
}

TEST_F(DatabaseAccessTest, ConnectionChecksTheVersionAndPreparesTheTable)
{
  m_db.SetInterfaceVersion(8, 7);
  CDatabaseConnection conn;
  EXPECT_EQ(conn.GetADO()->State(), ado::adStateOpen);
  COurCommand purge = conn.GetPurgeSettings();
  EXPECT_EQ(purge.ExecuteCommand(), 0);
  LONG method = -1;
  purge.GetAttribute(L"@Method", method);
  EXPECT_GE(method, 0);
  // Copies share one parameter collection.
  COurCommand a = conn.GetComputerID();
  COurCommand b = conn.GetComputerID();
  a.SetAttribute(L"@ComputerName", std::wstring(L"shared"));
  EXPECT_EQ(b.GetAttributeAsString(L"@ComputerName"), L"shared");

  const auto& names = Commands::ProcedureNames();
  ASSERT_EQ(names.size(), 59u);
  EXPECT_STREQ(names.front(), "GetComputerDetails");
  EXPECT_STREQ(names[31], "GetMessageSystemAddressStr");
  EXPECT_STREQ(names.back(), "EnvelopeBegin");
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 59u);
  EXPECT_EQ(conn.GetMessageSystemAddress().Command()->CommandText(), L"GetMessageSystemAddressStr");
  EXPECT_EQ(conn.GetCompIDFromMessageSystemAddress().Command()->CommandText(), L"GetCompFromMessageSystemAddressStr");
}

TEST_F(DatabaseAccessTest, OtherMajorVersionsAreIncompatible)
{
  for (int major : {7, 9}) {
    m_db.SetInterfaceVersion(major, 0);
    try {
      CDatabaseConnection conn;
      FAIL() << "accepted version " << major;
    } catch (const vrn::Exceptions::IncompatableDatabaseVersion& e) {
      EXPECT_EQ(std::string(e.what()), "Incompatible database schema expected: 8.0 actual: " + std::to_string(major) + ".0");
    }
  }
}

TEST_F(DatabaseAccessTest, AMissingProcedureOrAnUnreachableDatabaseFailsTheConnection)
{
  m_db.Exec("DROP FUNCTION dbo.\"GroupHierarchyGet\"");
  try {
    CDatabaseConnection conn;
    FAIL() << "connected without a table procedure";
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    EXPECT_NE(std::string(e.what()).find("GroupHierarchyGet"), std::string::npos);
  }
  testsupport::TraceCapture traces;
  m_registry.Set(L"DatabaseName", L"corvex_no_such_database");
  try {
    CDatabaseConnection conn;
    FAIL() << "connected to a missing database";
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
  }
  EXPECT_TRUE(traces.Has(0, "CDatabaseConnection::Reestablish caught error"));
  EXPECT_TRUE(traces.Has(0, "ADO Reports: 0x80004005"));
  m_registry.Remove(L"DatabaseName");
  EXPECT_THROW(CDatabaseConnection(), vrn::Exceptions::ConnectToDatabaseFailed);
}

TEST_F(DatabaseAccessTest, ReestablishAndSwapReplaceConnectionAndTable)
{
  testsupport::TraceCapture traces;
  CDatabaseConnection first;
  CDatabaseConnection second;
  ado::Connection* a = first.GetADO();
  ado::Connection* b = second.GetADO();
  const COurCommand* tableOfFirst = &first.GetGroupMembers();
  first.swap(second);
  EXPECT_EQ(first.GetADO(), b);
  EXPECT_EQ(second.GetADO(), a);
  EXPECT_EQ(&second.GetGroupMembers(), tableOfFirst);
  first.swap(first);
  EXPECT_EQ(first.GetADO(), b);
  first.Reestablish();
  EXPECT_TRUE(traces.Has(2, "Commands alreay exists and will be deleted"));
  EXPECT_EQ(first.GetPurgeSettings().Command()->ActiveConnection().get(), b);
}

TEST_F(DatabaseAccessTest, ProcessWideConnectionRetriesRenewsTestsAndDies)
{
  m_registry.Set(L"DatabaseName", L"corvex_no_such_database");
  EXPECT_FALSE(IsDatabaseConnectionAlive());
  EXPECT_THROW(GetDatabaseConnection(), vrn::Exceptions::ConnectToDatabaseFailed);
  EXPECT_FALSE(IsDatabaseConnectionAlive());
  m_registry.Set(L"DatabaseName", m_db.WideName());
  CDatabaseConnection& conn = GetDatabaseConnection();
  EXPECT_EQ(&GetDatabaseConnection(), &conn);
  EXPECT_TRUE(IsDatabaseConnectionAlive());

  // The server drops the connection: the next call fails, and nothing retries by itself.
  m_db.DropOtherSessions();
  COurCommand purge = conn.GetPurgeSettings();
  EXPECT_THROW(purge.ExecuteCommand(), vrn::Exceptions::ConnectToDatabaseFailed);
  EXPECT_FALSE(IsDatabaseConnectionAlive());

  // A renewal that cannot connect leaves the instance as it was.
  ado::Connection* before = conn.GetADO();
  m_registry.Set(L"DatabaseName", L"corvex_no_such_database");
  EXPECT_THROW(RenewDatabaseConnection(), vrn::Exceptions::ConnectToDatabaseFailed);
  EXPECT_EQ(conn.GetADO(), before);
  m_registry.Set(L"DatabaseName", m_db.WideName());
  RenewDatabaseConnection();
  EXPECT_NE(conn.GetADO(), before);
  EXPECT_TRUE(IsDatabaseConnectionAlive());
  COurCommand fresh = conn.GetPurgeSettings();
  EXPECT_EQ(fresh.ExecuteCommand(), 0);

  TProcessSingleton<CDatabaseConnection>::Destroy();
  EXPECT_FALSE(IsDatabaseConnectionAlive());
  try {
    GetDatabaseConnection();
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Dead reference detected");
  }
}

class OurCommandTest : public DatabaseAccessTest
{
protected:
  void SetUp() override
  {
    DatabaseAccessTest::SetUp();
    m_conn = std::make_unique<CDatabaseConnection>();
  }
  std::unique_ptr<CDatabaseConnection> m_conn;
};

TEST_F(OurCommandTest, TextLongerThanTheDeclaredSizeIsRefusedOrIndicated)
{
  testsupport::TraceCapture traces;
  COurCommand cmd = m_conn->GetCompIDFromMessageSystemAddress();
  EXPECT_NO_THROW(cmd.SetAttribute(L"@MessageSystemAddress", std::wstring(255, L'a')));
  EXPECT_TRUE(traces.Has(2, "OurCommand::SetAttribute ADO[255] <- Val[255]"));
  try {
    cmd.SetAttribute(L"@MessageSystemAddress", std::wstring(256, L'b'));
    FAIL() << "accepted 256 characters";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "COurCommand::SetAttribute Attribute too long");
  }
  EXPECT_TRUE(traces.Has(0, "COurCommand::SetAttribute Attribute too long"));
  bool tooLong = false;
  cmd.SetAttribute(L"@MessageSystemAddress", std::wstring(300, L'c'), &tooLong);
  EXPECT_TRUE(tooLong);
  EXPECT_EQ(cmd.GetAttributeAsString(L"@MessageSystemAddress"), std::wstring(255, L'a'));  // unchanged
  cmd.SetAttribute(L"@MessageSystemAddress", std::wstring(L"x"), &tooLong);
  EXPECT_FALSE(tooLong);
  _bstr_t longText(std::wstring(256, L'd'));
  EXPECT_THROW(cmd.SetAttribute(L"@MessageSystemAddress", longText.GetBSTR()), std::runtime_error);
  EXPECT_THROW(cmd.SetAttribute(L"@NoSuchParameter", static_cast<LONG>(1)), WinRuntimeError);
}

TEST_F(OurCommandTest, ReadersFollowTheirTypeRules)
{
  COurCommand echo(m_conn->GetADOPtr(), "TestEcho");
  echo.SetAttribute(L"@I", static_cast<LONG>(12));
  echo.SetAttribute(L"@T", std::wstring(L"text"));
  echo.SetAttribute(L"@D", static_cast<DATE>(45000.25));
  echo.SetAttributeNull(L"@N");
  echo.SetAttributeNull(L"@B");
  echo.SetAttribute(L"@U", static_cast<ULONG>(0xFFFFFFFEu));
  EXPECT_EQ(echo.ExecuteCommand(), 12);
  EXPECT_EQ(echo.GetReturnValue(), 12);
  EXPECT_EQ(echo.GetAttributeAsInt(L"@OI"), 12);
  EXPECT_EQ(echo.GetAttributeAsString(L"@OT"), L"text");
  EXPECT_DOUBLE_EQ(echo.GetAttributeAsDate(L"@OD"), 45000.25);
  DATE d = 1;
  EXPECT_TRUE(echo.GetAttributeAsDate(L"@OD", d));
  EXPECT_DOUBLE_EQ(d, 45000.25);
  EXPECT_EQ(echo.GetAttributeAsULong(L"@OU"), 0xFFFFFFFEu);  // VT_DECIMAL, low 32 bits
  EXPECT_FALSE(echo.GetAttributeAsBool(L"@OB"));  // NULL
  EXPECT_TRUE(echo.IsAttributeNull(L"@ON"));
  LONG n = -1;
  echo.GetAttribute(L"@ON", n);
  EXPECT_EQ(n, 0);
  std::wstring text;
  echo.GetAttribute(L"@OI", text);  // converted
  EXPECT_EQ(text, L"12");
  util::stdBSTR bstr;
  echo.GetAttribute(L"@OT", bstr);
  EXPECT_EQ(bstr.wstr(), L"text");
  DATE asDate = 0;
  echo.GetAttribute(L"@OI", asDate);
  EXPECT_DOUBLE_EQ(asDate, 12.0);
  EXPECT_THROW(echo.GetAttribute(L"@OT", n), WinRuntimeError);  // "text" is no number

  auto assertion = [&](auto read, const char* text) {
    try {
      read();
      ADD_FAILURE() << "no assertion for " << text;
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), text);
    }
  };
  assertion([&] { echo.GetAttributeAsBool(L"@OI"); }, ".\\OurCommand(301) : Assertion failed var.vt == VT_NULL || var.vt == VT_BOOL");
  assertion([&] { echo.GetAttributeAsInt(L"@OT"); }, ".\\OurCommand(315) : Assertion failed var.vt == VT_NULL || var.vt == VT_I4");
  assertion([&] { echo.GetAttributeAsDate(L"@OI"); }, ".\\OurCommand(329) : Assertion failed var.vt == VT_NULL || var.vt == VT_DATE");
  assertion([&] { echo.GetAttributeAsDate(L"@OI", d); }, ".\\OurCommand(344) : Assertion failed var.vt == VT_NULL || var.vt == VT_DATE");
  assertion([&] { echo.GetAttributeAsString(L"@OI"); }, ".\\OurCommand(366) : Assertion failed var.vt == VT_NULL || var.vt == VT_BSTR");
  assertion([&] { echo.GetAttributeAsULong(L"@OI"); }, ".\\OurCommand(389) : Assertion failed FALSE");

  echo.SetAttribute(L"@B", static_cast<LONG>(1));
  echo.ExecuteCommand();
  EXPECT_TRUE(echo.GetAttributeAsBool(L"@OB"));
}

TEST_F(OurCommandTest, ExecuteReturnsADeliveredReturnValueEvenWhenTheCallFailed)
{
  testsupport::TraceCapture traces;
  COurCommand cmd(m_conn->GetADOPtr(), "TestDeferredViolation");
  EXPECT_THROW(cmd.GetReturnValue(), WinRuntimeError);  // nothing delivered yet
  cmd.SetAttribute(L"@Value", static_cast<LONG>(7));
  EXPECT_EQ(cmd.ExecuteCommand(), 7);
  EXPECT_TRUE(traces.Has(1, "COurCommand::ExecuteCommand Execute returned 0x80040E2F"));
  // Without a delivered value the failure is raised.
  m_db.DropOtherSessions();
  try {
    cmd.ExecuteCommand();
    FAIL() << "no exception";
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
  }
}

TEST_F(OurCommandTest, RowSetThenReturnValue)
{
  COurCommand rows(m_conn->GetADOPtr(), "TestRows");
  rows.SetAttribute(L"@Count", static_cast<LONG>(2));
  ado::RecordsetPtr rs = rows.ExecuteCommandWithRecordset();
  ASSERT_EQ(rs->RecordCount(), 2);
  ado::Field id;
  ASSERT_EQ(rs->GetFields().Item(L"ID", id), S_OK);
  _variant_t v;
  ASSERT_EQ(id.get_Value(&v), S_OK);
  EXPECT_EQ(v.lVal, 1);
  EXPECT_EQ(rows.GetReturnValue(), 3);
  EXPECT_THROW(CSPException::Check(rows.GetReturnValue()), CSPException);

  COurCommand members = m_conn->GetGroupMembers();
  members.SetAttribute(L"@GroupID", static_cast<ULONG>(0xFFFFFFFEu));
  ado::RecordsetPtr none = members.ExecuteCommandWithRecordset();
  EXPECT_TRUE(none->IsEOF());
  EXPECT_NO_THROW(members.GetReturnValue());
}

}  // namespace
