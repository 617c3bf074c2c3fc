#pragma once
// One server connection of the data-access layer: connecting from a data source and catalog,
// running statements with a client-side time limit (so a server that goes away mid-call ends the
// call instead of hanging it), preparing each statement text once, and mapping server errors to
// the HRESULTs the data-access interfaces report.
#include <libpq-fe.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/com/WinTypes.h"

namespace ado {

struct PgResultDeleter
{
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgResultPtr = std::shared_ptr<PGresult>;

struct PgError
{
  HRESULT hr = S_OK;
  std::string sqlState;
  std::string message;
  bool failed() const { return FAILED(hr); }
};

// Where to connect. Data source forms: "." (the local socket directory), ".:port", "/socket/dir",
// "/socket/dir:port", "host", "host:port", "[v6 address]:port". Instance names ("HOST\INST")
// have no meaning for this server and are refused.
struct ConnectParams
{
  std::string dataSource;
  std::string catalog;
  unsigned connectTimeoutSec = 15;
};

// Keywords and values for the connection, or an error text when the data source is malformed.
bool BuildConnectKeywords(const ConnectParams& params, std::vector<std::pair<std::string, std::string>>& keywords,
                          std::string& error);

// The local socket directory that "." stands for.
extern const char* const kLocalSocketDirectory;

class PgLink
{
public:
  static std::unique_ptr<PgLink> Connect(const ConnectParams& params, PgError& error);
  ~PgLink();
  PgLink(const PgLink&) = delete;
  PgLink& operator=(const PgLink&) = delete;

  // Serialises the use of the connection; held by the caller across every Run of one unit
  // (a transaction spans several).
  std::mutex& Mutex() { return m_mutex; }

  // False once the connection was lost. Safe to call while another thread runs a statement.
  bool IsOpen() const { return !m_lost.load(); }

  // Runs one statement with text parameters (null = SQL NULL). `prepared` statements are
  // prepared on first use and reused. rows = the last row-returning result (may stay null);
  // error = the first failure. A row result and a failure may both arrive (a deferred
  // constraint failing at the end of a call that delivered its values). timeoutSec 0 = no limit.
  void Run(const std::string& sql, const std::vector<const char*>& values, bool prepared, unsigned timeoutSec,
           PgResultPtr& rows, PgError& error);
  // A statement without parameters through the simple protocol (BEGIN, FETCH, COMMIT).
  void Run(const std::string& sql, unsigned timeoutSec, PgResultPtr& rows, PgError& error);
  // A statement without parameters whose only answer of interest is a failure (the savepoints
  // around a unit of work inside a transaction): it travels with the next Run instead of
  // costing a round trip of its own. Its failure is that Run's failure, and what it carries
  // then does not run. Discard drops what was deferred.
  void Defer(std::string statement);
  void Discard() { m_deferred.clear(); }
  // While on, inside a transaction, each parameterised statement runs in a savepoint of its own:
  // one the server refuses is undone alone and the transaction takes the next, as when every
  // call committed on its own. Costs a subtransaction per statement, so it is for the rare unit
  // of work that needs it. The savepoint and its release travel with the statements.
  void GuardEachStatement(bool on) { m_guard = on; }

  PGconn* Native() const { return m_conn; }

  // Inside a transaction the caller opened (BEGIN ... COMMIT around several calls): row-set
  // calls then fetch their cursor within it instead of opening a transaction of their own.
  bool InTransaction() const;
  // A statement of the open transaction failed: the server refuses every further statement
  // until the transaction, or the savepoint before the failure, is rolled back.
  bool InFailedTransaction() const;

private:
  explicit PgLink(PGconn* conn) : m_conn(conn) {}
  void Collect(unsigned timeoutSec, PgResultPtr& rows, PgError& error);
  // The deferred statements and then the prepared one, sent in one pipeline.
  void RunPipelined(const std::string& sql, const std::vector<const char*>& values, unsigned timeoutSec, PgResultPtr& rows,
                    PgError& error);
  void LostConnection(PgError& error);
  void RunOne(const std::string& sql, const std::vector<const char*>& values, bool prepared, unsigned timeoutSec,
              PgResultPtr& rows, PgError& error);
  // After a guarded statement: its savepoint released, or rolled back when it was refused.
  void EndGuard(unsigned timeoutSec, PgError& error);

  bool Usable() const;

  PGconn* m_conn;
  std::atomic<bool> m_lost{false};
  std::mutex m_mutex;
  std::unordered_map<std::string, std::string> m_prepared;
  std::vector<std::string> m_deferred;
  bool m_guard = false;
};

// The HRESULT for a server's SQLSTATE.
HRESULT HResultFromSqlState(const std::string& sqlState);

}  // namespace ado
