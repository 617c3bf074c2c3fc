#include "businesslogic/ReplicaReads.h"

#include <algorithm>
#include <cstdlib>

#include "businesslogic/SystemEnviroment.h"
#include "businesslogic/TraceComponent.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace replica {

namespace {

std::string Text(const CRegKey& key, const wchar_t* name)
{
  std::wstring value;
  return key.QueryStringValue(name, value) == ERROR_SUCCESS ? ToUtf8(value) : std::string();
}

// The first value of a one-row answer; nothing on failure or NULL.
std::optional<std::string> One(ado::PgLink& link, const std::string& sql)
{
  ado::PgResultPtr rows;
  ado::PgError error;
  std::lock_guard lock(link.Mutex());
  link.Run(sql, 5, rows, error);
  if (error.failed() || !rows || PQresultStatus(rows.get()) != PGRES_TUPLES_OK || PQntuples(rows.get()) != 1 ||
      PQgetisnull(rows.get(), 0, 0))
    return std::nullopt;
  return std::string(PQgetvalue(rows.get(), 0, 0));
}

}  // namespace

ReplicaSettings ReadReplicaSettings()
{
  ReplicaSettings settings;
  CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kManagementToolsKey, KEY_QUERY_VALUE) != ERROR_SUCCESS)
    return settings;
  const std::string instance = Text(key, L"DatabaseInstance");
  const std::string replica = Text(key, L"ReadServerLocation");
  if (!replica.empty())
    settings.replica = replica + instance;
  settings.primary = Text(key, L"ServerLocation") + instance;
  settings.catalog = Text(key, L"DatabaseName");
  DWORD lag = 0;
  if (key.QueryDWORDValue(L"ReadReplicaMaxLagSeconds", lag) == ERROR_SUCCESS)
    settings.maxLagSeconds = static_cast<int>(std::min<DWORD>(lag, 86400));
  return settings;
}

std::optional<double> ReplicaLag(ado::PgLink& replica, ado::PgLink* primary)
{
  if (One(replica, "SELECT pg_is_in_recovery()::int").value_or("0") != "1")
    return std::nullopt;
  // Written on the primary and not yet replayed here: only then does the time since the last
  // replayed transaction say how far behind the replica is (an idle primary writes nothing).
  if (primary) {
    const auto written = One(*primary, "SELECT pg_current_wal_lsn()::text");
    if (!written)
      return std::nullopt;
    // An LSN reads "hex/hex": nothing else reaches the statement.
    if (written->find_first_not_of("0123456789ABCDEFabcdef/") != std::string::npos)
      return std::nullopt;
    const auto behind = One(replica, "SELECT pg_wal_lsn_diff('" + *written + "', pg_last_wal_replay_lsn())");
    if (!behind)
      return std::nullopt;
    if (std::strtod(behind->c_str(), nullptr) <= 0)
      return 0.0;
  }
  const auto seconds = One(replica, "SELECT EXTRACT(EPOCH FROM now() - pg_last_xact_replay_timestamp())");
  if (!seconds)
    return std::nullopt;
  return std::max(0.0, std::strtod(seconds->c_str(), nullptr));
}

void ReplicaReads::Check()
{
  m_checked = std::chrono::steady_clock::now();
  m_checkedOnce = true;
  ado::PgError error;
  auto replica = ado::PgLink::Connect({m_settings.replica, m_settings.catalog, 3}, error);
  if (!replica) {
    m_connection.reset();
    m_reason = "the replica does not answer: " + error.message;
    return;
  }
  auto primary = ado::PgLink::Connect({m_settings.primary, m_settings.catalog, 3}, error);
  const auto lag = ReplicaLag(*replica, primary.get());
  if (!lag) {
    m_connection.reset();
    m_reason = "the replica is not replaying the primary";
  } else if (*lag > m_settings.maxLagSeconds) {
    m_connection.reset();
    m_reason = "the replica is " + std::to_string(static_cast<long>(*lag)) + " s behind";
  } else {
    if (!m_connection) {
      try {
        m_connection = std::make_shared<CDatabaseConnection>(FromUtf8(m_settings.replica));
      } catch (const std::exception& e) {
        m_reason = std::string("the replica refused the connection: ") + e.what();
        return;
      }
    }
    m_reason = "the replica";
  }
}

ado::ConnectionPtr ReplicaReads::ForReading()
{
  const std::shared_ptr<CDatabaseConnection> database = DatabaseForReading();
  return database ? database->GetADOPtr() : nullptr;
}

std::shared_ptr<CDatabaseConnection> ReplicaReads::DatabaseForReading()
{
  if (m_settings.replica.empty())
    return nullptr;
  std::lock_guard lock(m_mutex);
  if (!m_checkedOnce || std::chrono::steady_clock::now() - m_checked >= std::chrono::seconds(m_settings.recheckSeconds)) {
    const std::string before = m_reason;
    Check();
    if (m_reason != before)
      trace::Trace(TRACE_BUSINESSLOGIC, 1, "Lists read from %hs", m_connection ? "the replica" : ("the primary: " + m_reason).c_str());
  }
  return m_connection;
}

void ReplicaReads::Failed()
{
  std::lock_guard lock(m_mutex);
  m_connection.reset();
  m_reason = "a read on the replica failed";
  m_checked = std::chrono::steady_clock::now();
}

std::string ReplicaReads::LastReason() const
{
  std::lock_guard lock(m_mutex);
  return m_reason;
}

}  // namespace replica
