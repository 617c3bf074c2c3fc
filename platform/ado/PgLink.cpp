#include "platform/ado/PgLink.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/ado/AdoTypes.h"
#include "platform/ado/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace ado {

const char* const kLocalSocketDirectory = "/var/run/postgresql";

namespace {

using Clock = std::chrono::steady_clock;
// How long a cancelled statement may take to report back before the connection is given up.
constexpr int kCancelGraceMs = 5000;

bool ParsePort(const std::string& text, std::string& port)
{
  if (text.empty() || text.size() > 5)
    return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v == 0 || v > 65535)
    return false;
  port = std::to_string(v);
  return true;
}

std::string Trimmed(const char* text)
{
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
    s.pop_back();
  return s;
}

void NoticeToTrace(void*, const char* message)
{
  trace::Trace(TRACE_ADO, 3, "Server notice: %hs", Trimmed(message));
}

}  // namespace

bool BuildConnectKeywords(const ConnectParams& params, std::vector<std::pair<std::string, std::string>>& keywords,
                          std::string& error)
{
  keywords.clear();
  const std::string& ds = params.dataSource;
  if (ds.empty()) {
    error = "No data source is configured.";
    return false;
  }
  if (ds.find('\\') != std::string::npos) {
    error = "Data source \"" + ds + "\" names an instance; this server is addressed as host or host:port.";
    return false;
  }
  if (params.catalog.empty()) {
    error = "No database name is configured.";
    return false;
  }
  std::string host, port;
  bool tcp = true;
  if (ds.front() == '[') {
    const auto close = ds.find(']');
    if (close == std::string::npos || close == 1) {
      error = "Data source \"" + ds + "\" is malformed.";
      return false;
    }
    host = ds.substr(1, close - 1);
    const std::string rest = ds.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !ParsePort(rest.substr(1), port))) {
      error = "Data source \"" + ds + "\" has an invalid port.";
      return false;
    }
  } else {
    const auto colon = ds.rfind(':');
    host = colon == std::string::npos ? ds : ds.substr(0, colon);
    if (colon != std::string::npos && !ParsePort(ds.substr(colon + 1), port)) {
      error = "Data source \"" + ds + "\" has an invalid port.";
      return false;
    }
    if (host == ".") {
      host = kLocalSocketDirectory;
      tcp = false;
    } else if (!host.empty() && host.front() == '/') {
      tcp = false;
    }
  }
  if (host.empty()) {
    error = "Data source \"" + ds + "\" has no host.";
    return false;
  }
  const std::string timeout = std::to_string(params.connectTimeoutSec == 0 ? 0 : std::max(2u, params.connectTimeoutSec));
  keywords = {
    {"host", host},
    {"dbname", params.catalog},
    {"connect_timeout", timeout},
    {"client_encoding", "UTF8"},
    {"application_name", "corvex"},
    {"options", "-c DateStyle=ISO,YMD -c extra_float_digits=3"},
  };
  if (!port.empty())
    keywords.emplace_back("port", port);
  if (tcp) {
    // A peer that vanishes without closing the connection is noticed within about a minute.
    keywords.emplace_back("keepalives", "1");
    keywords.emplace_back("keepalives_idle", "30");
    keywords.emplace_back("keepalives_interval", "10");
    keywords.emplace_back("keepalives_count", "3");
    keywords.emplace_back("tcp_user_timeout", "60000");
  }
  return true;
}

HRESULT HResultFromSqlState(const std::string& s)
{
  if (s.size() < 2)
    return E_FAIL;
  const std::string cls = s.substr(0, 2);
  if (cls == "23")
    return DB_E_INTEGRITYVIOLATION;
  if (s == "57014")
    return DB_E_ABORTLIMITREACHED;
  if (cls == "08" || cls == "57" || cls == "3D" || cls == "53")
    return E_FAIL;
  if (cls == "28")
    return DB_SEC_E_AUTH_FAILED;
  if (s == "42883" || s == "42P01")
    return DB_E_NOTABLE;
  return DB_E_ERRORSINCOMMAND;
}

std::unique_ptr<PgLink> PgLink::Connect(const ConnectParams& params, PgError& error)
{
  error = {};
  std::vector<std::pair<std::string, std::string>> keywords;
  std::string text;
  if (!BuildConnectKeywords(params, keywords, text)) {
    error = {E_FAIL, "08001", text};
    return nullptr;
  }
  std::vector<const char*> keys, values;
  for (const auto& [k, v] : keywords) {
    keys.push_back(k.c_str());
    values.push_back(v.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 0);
  if (!conn) {
    error = {E_OUTOFMEMORY, "53200", "Out of memory while connecting."};
    return nullptr;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string message = Trimmed(PQerrorMessage(conn));
    PQfinish(conn);
    const bool auth = message.find("authentication") != std::string::npos || message.find("role") != std::string::npos;
    error = {auth ? DB_SEC_E_AUTH_FAILED : E_FAIL, auth ? "28000" : "08001",
             "Cannot open database \"" + params.catalog + "\" on \"" + params.dataSource + "\": " + message};
    return nullptr;
  }
  PQsetNoticeProcessor(conn, &NoticeToTrace, nullptr);
  return std::unique_ptr<PgLink>(new PgLink(conn));
}

PgLink::~PgLink()
{
  if (m_conn)
    PQfinish(m_conn);
}

bool PgLink::Usable() const { return m_conn && PQstatus(m_conn) == CONNECTION_OK; }

bool PgLink::InTransaction() const
{
  if (!Usable())
    return false;
  const PGTransactionStatusType status = PQtransactionStatus(m_conn);
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
}

bool PgLink::InFailedTransaction() const { return Usable() && PQtransactionStatus(m_conn) == PQTRANS_INERROR; }

void PgLink::LostConnection(PgError& error)
{
  m_lost = true;
  if (!error.failed())
    error = {E_FAIL, "08006", m_conn ? "The connection to the database was lost: " + Trimmed(PQerrorMessage(m_conn))
                                     : "The connection to the database is closed."};
}

void PgLink::Run(const std::string& sql, const std::vector<const char*>& values, bool prepared, unsigned timeoutSec,
                 PgResultPtr& rows, PgError& error)
{
  const bool guarded = m_guard && prepared && InTransaction();
  if (guarded)
    m_deferred.emplace_back("SAVEPOINT statement");
  RunOne(sql, values, prepared, timeoutSec, rows, error);
  if (guarded)
    EndGuard(timeoutSec, error);
}

void PgLink::EndGuard(unsigned timeoutSec, PgError& error)
{
  if (!Usable())
    return;
  if (PQtransactionStatus(m_conn) != PQTRANS_INERROR) {
    m_deferred.emplace_back("RELEASE SAVEPOINT statement");
    return;
  }
  PgResultPtr none;
  PgError undo;
  Run("ROLLBACK TO SAVEPOINT statement; RELEASE SAVEPOINT statement", timeoutSec, none, undo);
  if (undo.failed() && !error.failed())
    error = undo;
}

void PgLink::RunOne(const std::string& sql, const std::vector<const char*>& values, bool prepared, unsigned timeoutSec,
                    PgResultPtr& rows, PgError& error)
{
  rows.reset();
  error = {};
  if (!Usable()) {
    LostConnection(error);
    return;
  }
  const int n = static_cast<int>(values.size());
  if (prepared && !m_deferred.empty()) {
    RunPipelined(sql, values, timeoutSec, rows, error);
    return;
  }
  if (!prepared) {
    if (!PQsendQueryParams(m_conn, sql.c_str(), n, nullptr, values.data(), nullptr, nullptr, 0)) {
      LostConnection(error);
      return;
    }
    Collect(timeoutSec, rows, error);
    return;
  }
  auto it = m_prepared.find(sql);
  if (it == m_prepared.end()) {
    const std::string name = "corvex_" + std::to_string(m_prepared.size() + 1);
    if (!PQsendPrepare(m_conn, name.c_str(), sql.c_str(), n, nullptr)) {
      LostConnection(error);
      return;
    }
    PgResultPtr none;
    Collect(timeoutSec, none, error);
    if (error.failed())
      return;
    it = m_prepared.emplace(sql, name).first;
  }
  if (!PQsendQueryPrepared(m_conn, it->second.c_str(), n, values.data(), nullptr, nullptr, 0)) {
    LostConnection(error);
    return;
  }
  Collect(timeoutSec, rows, error);
}

void PgLink::Run(const std::string& sql, unsigned timeoutSec, PgResultPtr& rows, PgError& error)
{
  rows.reset();
  error = {};
  if (!Usable()) {
    LostConnection(error);
    return;
  }
  // The simple protocol takes several statements in one text; the first failure ends it.
  std::string text;
  for (const std::string& statement : std::exchange(m_deferred, {}))
    text += statement + "; ";
  text += sql;
  if (!PQsendQuery(m_conn, text.c_str())) {
    LostConnection(error);
    return;
  }
  Collect(timeoutSec, rows, error);
}

void PgLink::Defer(std::string statement) { m_deferred.push_back(std::move(statement)); }

void PgLink::RunPipelined(const std::string& sql, const std::vector<const char*>& values, unsigned timeoutSec,
                          PgResultPtr& rows, PgError& error)
{
  const std::vector<std::string> deferred = std::exchange(m_deferred, {});
  const int n = static_cast<int>(values.size());
  auto it = m_prepared.find(sql);
  const bool preparing = it == m_prepared.end();
  const std::string name = preparing ? "corvex_" + std::to_string(m_prepared.size() + 1) : it->second;
  bool sent = PQenterPipelineMode(m_conn) == 1;
  for (const std::string& statement : deferred)
    sent = sent && PQsendQueryParams(m_conn, statement.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
  if (preparing)
    sent = sent && PQsendPrepare(m_conn, name.c_str(), sql.c_str(), n, nullptr) == 1;
  sent = sent && PQsendQueryPrepared(m_conn, name.c_str(), n, values.data(), nullptr, nullptr, 0) == 1;
  sent = sent && PQpipelineSync(m_conn) == 1;
  if (!sent) {
    LostConnection(error);
    return;
  }
  // Each statement's results end with a null result; the sync's own result ends the pipeline.
  // After a failure the server skips the rest up to the sync, which libpq reports as aborted.
  PgResultPtr none;
  const std::size_t statements = deferred.size() + (preparing ? 1 : 0) + 1;
  for (std::size_t i = 0; i <= statements && m_conn && !m_lost; ++i)
    Collect(timeoutSec, i + 1 == statements ? rows : none, error);
  if (m_conn && !m_lost)
    PQexitPipelineMode(m_conn);
  if (preparing && !error.failed())
    m_prepared.emplace(sql, name);
}

void PgLink::Collect(unsigned timeoutSec, PgResultPtr& rows, PgError& error)
{
  const bool limited = timeoutSec != 0;
  auto deadline = Clock::now() + std::chrono::seconds(timeoutSec);
  bool cancelled = false;
  for (;;) {
    while (PQisBusy(m_conn)) {
      int waitMs = -1;
      if (limited || cancelled) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        waitMs = left > 0 ? static_cast<int>(left) : 0;
      }
      pollfd pfd{PQsocket(m_conn), POLLIN, 0};
      const int ready = waitMs == 0 ? 0 : poll(&pfd, 1, waitMs);
      if (ready < 0 && errno == EINTR)
        continue;
      if (ready == 0) {
        if (!cancelled) {
          // Ask the server to stop; it answers with an error result for the statement.
          cancelled = true;
          if (PGcancel* c = PQgetCancel(m_conn)) {
            char buf[256];
            PQcancel(c, buf, sizeof buf);
            PQfreeCancel(c);
          }
          deadline = Clock::now() + std::chrono::milliseconds(kCancelGraceMs);
          continue;
        }
        // The server does not answer at all: the connection is given up.
        PQfinish(m_conn);
        m_conn = nullptr;
        m_lost = true;
        m_prepared.clear();
        error = {DB_E_ABORTLIMITREACHED, "57014", "Query timeout expired; the server did not answer."};
        return;
      }
      if (!PQconsumeInput(m_conn))
        break;
    }
    PGresult* r = PQgetResult(m_conn);
    if (!r)
      break;
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_TUPLES_OK) {
      rows = PgResultPtr(r, PgResultDeleter());
      continue;
    }
    if (status == PGRES_PIPELINE_SYNC) {
      PQclear(r);
      break;
    }
    if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE || status == PGRES_NONFATAL_ERROR) {
      if (!error.failed()) {
        const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
        error.sqlState = state ? state : "08006";
        error.message = primary ? primary : Trimmed(PQresultErrorMessage(r));
        error.hr = HResultFromSqlState(error.sqlState);
        // A value breaking its domain's check (a text over its declared length) is a data error
        // of the call, not an integrity violation of stored data.
        if (error.sqlState == "23514" && PQresultErrorField(r, PG_DIAG_DATATYPE_NAME))
          error.hr = DB_E_ERRORSINCOMMAND;
        if (PQstatus(m_conn) == CONNECTION_BAD)
          error.hr = E_FAIL;
      }
    }
    PQclear(r);
    if (PQstatus(m_conn) == CONNECTION_BAD)
      break;
  }
  if (cancelled && error.sqlState == "57014")
    error = {DB_E_ABORTLIMITREACHED, "57014", "Query timeout expired."};
  if (PQstatus(m_conn) == CONNECTION_BAD)
    LostConnection(error);
}

}  // namespace ado
