#pragma once
// CThreadDatabase: a thread's own database. A thread that keeps a transaction open across many
// calls (the processing thread applies a whole pass of messages in one) cannot share its
// server connection with other threads: it gets its own connection with its own command table,
// and a session on that same server connection, so that the calls of both channels run in its
// transaction. While bound to a thread, GetDatabaseConnection() and ThreadSession() on that
// thread give them.
#include <initializer_list>
#include <memory>
#include <string>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/PTLSession.h"

class CThreadDatabase
{
public:
  // Opens from the registry as the process-wide connection does, and throws as Reestablish does.
  explicit CThreadDatabase(const GUID& traceGuid);
  ~CThreadDatabase();
  CThreadDatabase(const CThreadDatabase&) = delete;
  CThreadDatabase& operator=(const CThreadDatabase&) = delete;

  CDatabaseConnection& Connection() { return m_connection; }
  CPTLSession& Session() { return m_session; }

  // Makes the database the calling thread's until the binding ends.
  class Binding
  {
  public:
    explicit Binding(CThreadDatabase& database);
    ~Binding();
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

  private:
    CDatabaseConnection* m_previousConnection;
    CPTLSession* m_previousSession;
  };

  // Transaction control; a failure throws vrn::Exceptions::ConnectToDatabaseFailed.
  // Begin opens the connection again first (once) when it was lost while idle; a connection
  // lost inside the transaction is not reopened, as what the transaction held is gone.
  void Begin();
  // A savepoint before one unit of work inside the transaction. Savepoints and their ends
  // travel with the next statement (the unit's first call, the next savepoint or the commit),
  // which saves a round trip each.
  void Savepoint();
  // True when a statement failed since the savepoint: the server refuses every further one
  // until the unit is rolled back.
  bool Refused() const;
  // Keeps the unit's work, or undoes it; the transaction goes on either way.
  void Release();
  void RollbackToSavepoint();
  // Each statement of the unit in a savepoint of its own while on (see PgLink), for a unit
  // whose statements must stand or fall one by one.
  void GuardEachStatement(bool on);
  void Commit();
  // Undoes the whole transaction while the connection is there; never throws.
  void Rollback() noexcept;
  bool IsOpen() const;

private:
  std::shared_ptr<ado::PgLink> Link() const;
  void Run(const std::string& sql);
  void Defer(std::initializer_list<const char*> statements);
  void Discard();

  CDatabaseConnection m_connection;
  CPTLSession m_session;
};

// The session of the database bound to the calling thread; null when none is bound.
CPTLSession* ThreadSession() noexcept;
