// Database access without a server: return-value names, the exception family and its trace
// lines, the process-wide instance, the retry-and-recover wrapper, and the registry reads.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "businesslogic/PTLSession.h"
#include "businesslogic/ProcessSingleton.h"
#include "businesslogic/SPException.h"
#include "businesslogic/SessionCommands.h"
#include "businesslogic/SystemEnviroment.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/com/ComError.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/trace/Trace.h"
#include "tests/businesslogic/TestSupport.h"

namespace {


TEST(SPExceptionTest, CodeNamesAndUnknownValues)
{
  EXPECT_STREQ(CSPException(1).what(), "ErrorInvalidParameter");
  EXPECT_STREQ(CSPException(6).what(), "ErrorNoTransation");
  EXPECT_STREQ(CSPException(22).what(), "ErrorNotFound");
  EXPECT_STREQ(CSPException(43).what(), "ErrorNonLeafGroupDelete");
  EXPECT_STREQ(CSPException(46).what(), "ErrorGroupNameInvalidChars");
  EXPECT_EQ(CSPException(34).ReturnValue(), 34);
  testsupport::TraceCapture capture;
  for (LONG v : {0, 12, 19, 24, 29, 44, 47, -1, 50})
    EXPECT_STREQ(CSPException(v).what(), "Unknown") << v;
  EXPECT_TRUE(capture.Has(1, "Invalid return value from SP"));
  EXPECT_NO_THROW(CSPException::Check(0));
  try {
    CSPException::Check(39);
    FAIL() << "no exception";
  } catch (const CSPException& e) {
    EXPECT_EQ(e.ReturnValue(), 39);
    EXPECT_STREQ(e.what(), "ErrorComputerNotFound");
  }
}

TEST(BusinessExceptions, TraceTheirThrowingAndTheirEnd)
{
  testsupport::TraceCapture capture;
  try {
    throw vrn::Exceptions::ConnectToDatabaseFailed(E_FAIL, L"server unreachable");
  } catch (const vrn::Exceptions::BusinessExceptionBase& e) {
    EXPECT_STREQ(e.what(), "server unreachable");
    EXPECT_EQ(e.TypeName(), L"ConnectToDatabaseFailed");
    EXPECT_TRUE(capture.Has(2, "-------> Throwing exception (ConnectToDatabaseFailed) : server unreachable"));
    EXPECT_FALSE(capture.Has(2, "<------- Caught exception"));
  }
  EXPECT_TRUE(capture.Has(2, "<------- Caught exception (ConnectToDatabaseFailed)"));
}

TEST(BusinessExceptions, IncompatibleVersionNamesBothVersions)
{
  const vrn::Exceptions::IncompatableDatabaseVersion seven(kRequiredDatabaseVersion, {7, 0});
  EXPECT_STREQ(seven.what(), "Incompatible database schema expected: 8.0 actual: 7.0");
  const vrn::Exceptions::IncompatableDatabaseVersion nine(kRequiredDatabaseVersion, {9, 3});
  EXPECT_STREQ(nine.what(), "Incompatible database schema expected: 8.0 actual: 9.3");
  EXPECT_EQ(nine.Actual().minor, 3);
  EXPECT_TRUE(kRequiredDatabaseVersion.IsCompatibleWith({8, 7}));
  EXPECT_FALSE(kRequiredDatabaseVersion.IsCompatibleWith({9, 0}));
}

struct Counted
{
  static inline std::atomic<int> created{0};
  static inline std::atomic<int> failuresLeft{0};
  Counted()
  {
    if (failuresLeft > 0) {
      --failuresLeft;
      throw std::runtime_error("creation failed");
    }
    ++created;
  }
};

TEST(ProcessSingletonTest, CreatedOnceAcrossThreadsRetriedAfterAFailedCreationAndDeadAfterDestruction)
{
  using Holder = TProcessSingleton<Counted>;
  Counted::failuresLeft = 1;
  EXPECT_THROW(Holder::Instance(), std::runtime_error);
  EXPECT_EQ(Holder::Peek(), nullptr);
  std::vector<std::thread> threads;
  std::vector<Counted*> seen(8);
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&seen, i] { seen[static_cast<std::size_t>(i)] = &Holder::Instance(); });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(Counted::created, 1);
  for (Counted* p : seen)
    EXPECT_EQ(p, seen[0]);
  Holder::Destroy();
  EXPECT_EQ(Holder::Peek(), nullptr);
  try {
    Holder::Instance();
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Dead reference detected");
  }
}

// A session-channel command whose outcomes are scripted, on a session that counts recoveries.
struct FakeSession
{
  std::uint64_t generation = 1;
  int recoveries = 0;
  bool recoveryThrows = false;
  std::uint64_t Generation() const { return generation; }
  void Recover(std::uint64_t)
  {
    ++recoveries;
    if (recoveryThrows)
      throw _com_error(E_FAIL, L"cannot reopen");
    ++generation;
  }
};

struct Outcome
{
  HRESULT hr;
  LONG returnValue;
  oledb::DBSTATUS status = oledb::DBSTATUS_S_OK;
};

struct FakeCommand
{
  LONG m_RETURN_VALUE = -99;
  oledb::DBSTATUS m_RETURN_VALUE_status = 77;
  std::vector<Outcome> outcomes;
  std::size_t calls = 0;
  HRESULT Open(FakeSession&)
  {
    const Outcome& o = outcomes.at(calls++);
    m_RETURN_VALUE = o.returnValue;
    m_RETURN_VALUE_status = o.status;
    return o.hr;
  }
};

HRESULT RunScripted(std::vector<Outcome> outcomes, FakeSession& session, std::size_t* calls = nullptr)
{
  TRecoverableCommand<FakeCommand> cmd;
  cmd.outcomes = std::move(outcomes);
  const HRESULT hr = cmd.Execute(session);
  if (calls)
    *calls = cmd.calls;
  return hr;
}

TEST(RecoverableCommand, ReturnValuesBecomeHResults)
{
  FakeSession s;
  EXPECT_EQ(RunScripted({{S_OK, 0}}, s), S_OK);
  EXPECT_EQ(RunScripted({{S_OK, 50}}, s), static_cast<HRESULT>(0x006B0032));
  EXPECT_TRUE(SUCCEEDED(RunScripted({{S_OK, 50}}, s)));
  EXPECT_EQ(RunScripted({{S_OK, 3}}, s), MakeHr(0x806B0003));
  EXPECT_EQ(RunScripted({{S_OK, 46}}, s), MakeHr(0x806B002E));
  testsupport::TraceCapture capture;
  EXPECT_EQ(RunScripted({{S_OK, 0, oledb::DBSTATUS_E_UNAVAILABLE}}, s), E_FAIL);
  EXPECT_TRUE(capture.Has(0, "There was no RETURN_VALUE !"));
  EXPECT_EQ(s.recoveries, 0);
}

TEST(RecoverableCommand, IntegrityViolationWithoutReturnValueIsSFalseWithoutRecovery)
{
  FakeSession s;
  std::size_t calls = 0;
  EXPECT_EQ(RunScripted({{ado::DB_E_INTEGRITYVIOLATION, 0}}, s, &calls), S_FALSE);
  EXPECT_EQ(calls, 1u);
  EXPECT_EQ(s.recoveries, 0);
  // With a return value it is a failure: one recovery, then the failure stands.
  EXPECT_EQ(RunScripted({{ado::DB_E_INTEGRITYVIOLATION, 7}, {ado::DB_E_INTEGRITYVIOLATION, 7}}, s, &calls),
            ado::DB_E_INTEGRITYVIOLATION);
  EXPECT_EQ(calls, 2u);
  EXPECT_EQ(s.recoveries, 1);
}

TEST(RecoverableCommand, OneRecoveryPerCall)
{
  testsupport::TraceCapture capture;
  FakeSession s;
  std::size_t calls = 0;
  EXPECT_EQ(RunScripted({{E_FAIL, 0}, {S_OK, 50}}, s, &calls), static_cast<HRESULT>(0x006B0032));
  EXPECT_EQ(calls, 2u);
  EXPECT_EQ(s.recoveries, 1);
  EXPECT_TRUE(capture.Has(0, "Database failed(0x80004005), Attempting recovery"));
  EXPECT_EQ(RunScripted({{E_FAIL, 0}, {ado::DB_E_ABORTLIMITREACHED, 0}}, s, &calls), ado::DB_E_ABORTLIMITREACHED);
  EXPECT_EQ(s.recoveries, 2);
  s.recoveryThrows = true;
  EXPECT_THROW(RunScripted({{E_FAIL, 0}, {S_OK, 0}}, s), _com_error);
}

class DatabaseLocationTest : public ::testing::Test
{
protected:
  testsupport::TempRegistry m_registry;
};

TEST_F(DatabaseLocationTest, DataSourceJoinsLocationAndInstanceWithoutSeparator)
{
  m_registry.SetLocation(L"SRV", L"", L"corvex");
  CSystemEnviroment env;
  std::wstring ds, name, location;
  env.GetDataSource(ds);
  EXPECT_EQ(ds, L"SRV");
  env.GetDatabaseName(name);
  EXPECT_EQ(name, L"corvex");
  m_registry.Set(L"DatabaseInstance", L"\\X");
  env.GetDataSource(ds);
  EXPECT_EQ(ds, L"SRV\\X");
  m_registry.Set(L"ServerLocation", L".");
  env.GetDataSource(ds);
  EXPECT_EQ(ds, L".\\X");
  env.GetServerLocation(location);
  EXPECT_EQ(location, LocalComputerName());
  EXPECT_NE(location, L".");
  _bstr_t bstr;
  env.QueryKey(L"DatabaseName", bstr);
  EXPECT_EQ(bstr.wstr(), L"corvex");
}

TEST_F(DatabaseLocationTest, WrongTypeIsError13AndAMissingValueError2)
{
  m_registry.SetLocation(L"SRV", L"", L"corvex");
  m_registry.SetDword(L"DatabaseName", 5);
  CSystemEnviroment env;
  std::wstring name;
  try {
    env.GetDatabaseName(name);
    FAIL() << "no exception";
  } catch (const WinRuntimeError& e) {
    EXPECT_EQ(e.win32(), ERROR_INVALID_DATA);
  }
  m_registry.Remove(L"DatabaseInstance");
  try {
    env.GetDataSource(name);
    FAIL() << "no exception";
  } catch (const WinRuntimeError& e) {
    EXPECT_EQ(e.win32(), ERROR_FILE_NOT_FOUND);
  }
}

TEST_F(DatabaseLocationTest, SessionReadRegistryReturnsTheFailingCode)
{
  CPTLSession session(TRACE_BUSINESSLOGIC);
  std::string ds, catalog;
  EXPECT_EQ(session.ReadRegistry(ds, catalog), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // no key at all
  m_registry.SetLocation(L"db.example", L":5433", L"corvex");
  EXPECT_EQ(session.ReadRegistry(ds, catalog), 0u);
  EXPECT_EQ(ds, "db.example:5433");
  EXPECT_EQ(catalog, "corvex");
  m_registry.SetDword(L"ServerLocation", 1);
  EXPECT_EQ(session.ReadRegistry(ds, catalog), static_cast<DWORD>(ERROR_INVALID_DATA));
  // Opening with an unreadable location fails and leaves the session closed.
  EXPECT_THROW(session.Open(), _com_error);
  EXPECT_FALSE(session.IsOpen());
  session.Close();
  session.Close();
  EXPECT_FALSE(session.IsOpen());
}

}  // namespace
