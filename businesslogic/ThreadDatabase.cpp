#include "businesslogic/ThreadDatabase.h"

#include <utility>

#include "businesslogic/TraceComponent.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace {

thread_local CPTLSession* t_threadSession = nullptr;
constexpr unsigned kStatementTimeoutSec = 30;

}  // namespace

CThreadDatabase::CThreadDatabase(const GUID& traceGuid) : m_session(traceGuid)
{
  m_session.Attach(m_connection.GetADO()->Link());
}

CThreadDatabase::~CThreadDatabase()
{
  Rollback();
  m_session.Close();
}

CThreadDatabase::Binding::Binding(CThreadDatabase& database)
  : m_previousConnection(BindThreadDatabaseConnection(&database.m_connection)),
    m_previousSession(std::exchange(t_threadSession, &database.m_session))
{
}

CThreadDatabase::Binding::~Binding()
{
  BindThreadDatabaseConnection(m_previousConnection);
  t_threadSession = m_previousSession;
}

std::shared_ptr<ado::PgLink> CThreadDatabase::Link() const { return m_connection.GetADO()->Link(); }

bool CThreadDatabase::IsOpen() const
{
  const auto link = Link();
  return link && link->IsOpen();
}

void CThreadDatabase::Run(const std::string& sql)
{
  const auto link = Link();
  ado::PgError error;
  if (!link) {
    error = {E_FAIL, "08003", "The database connection is closed."};
  } else {
    std::lock_guard lock(link->Mutex());
    ado::PgResultPtr none;
    link->Run(sql, kStatementTimeoutSec, none, error);
  }
  if (error.failed()) {
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "%hs failed: %hs", sql, error.message);
    throw vrn::Exceptions::ConnectToDatabaseFailed(error.hr, FromUtf8(error.message));
  }
}

void CThreadDatabase::Defer(std::initializer_list<const char*> statements)
{
  if (const auto link = Link()) {
    std::lock_guard lock(link->Mutex());
    for (const char* statement : statements)
      link->Defer(statement);
  }
}

void CThreadDatabase::Discard()
{
  if (const auto link = Link()) {
    std::lock_guard lock(link->Mutex());
    link->Discard();
  }
}

void CThreadDatabase::Begin()
{
  Discard();
  if (!IsOpen()) {
    trace::Trace(TRACE_BUSINESSLOGIC, 1, "The thread's database connection was lost; opening it again");
    m_connection.Reestablish();
    m_session.Attach(Link());
  }
  Run("BEGIN");
}

void CThreadDatabase::Savepoint() { Defer({"SAVEPOINT unit"}); }

bool CThreadDatabase::Refused() const
{
  const auto link = Link();
  return link && link->InFailedTransaction();
}

void CThreadDatabase::Release() { Defer({"RELEASE SAVEPOINT unit"}); }

void CThreadDatabase::RollbackToSavepoint() { Defer({"ROLLBACK TO SAVEPOINT unit", "RELEASE SAVEPOINT unit"}); }

void CThreadDatabase::GuardEachStatement(bool on)
{
  if (const auto link = Link()) {
    std::lock_guard lock(link->Mutex());
    link->GuardEachStatement(on);
  }
}

void CThreadDatabase::Commit() { Run("COMMIT"); }

void CThreadDatabase::Rollback() noexcept
{
  try {
    Discard();
    const auto link = Link();
    if (link && link->InTransaction())
      Run("ROLLBACK");
  } catch (...) {
    // A connection that is gone has rolled back by itself.
  }
}

CPTLSession* ThreadSession() noexcept { return t_threadSession; }
