#pragma once
// Where the consoles' lists read from (the web console's and corvexctl's). The registry value "ReadServerLocation", beside
// "ServerLocation" under the management tools key, names a streaming replica of the database (the
// same forms; "DatabaseInstance" and "DatabaseName" apply to it too), and
// "ReadReplicaMaxLagSeconds" (DWORD, default 30) how far behind the primary it may be. Lists read
// from the replica while it answers, replays the primary and is no further behind; otherwise from
// the primary, and the replica is asked again a few seconds later. Changes always go to the
// primary.
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "businesslogic/DatabaseConnection.h"
#include "platform/ado/Ado.h"
#include "platform/ado/PgLink.h"

namespace replica {

struct ReplicaSettings
{
  std::string replica;  // data source of the replica; empty: none
  std::string primary;  // data source of the primary
  std::string catalog;
  int maxLagSeconds = 30;
  int recheckSeconds = 5;
};

// From the registry; `replica` stays empty when "ReadServerLocation" is missing or empty.
ReplicaSettings ReadReplicaSettings();

// How far the replica is behind the primary, in seconds: 0 when it has replayed everything the
// primary has written, else the time since the last transaction it replayed. Nothing when the
// replica is not replaying (it is a primary itself) or an answer is missing. `primary` may be
// null (unreachable): the replica's own view then counts.
std::optional<double> ReplicaLag(ado::PgLink& replica, ado::PgLink* primary);

class ReplicaReads
{
public:
  explicit ReplicaReads(ReplicaSettings settings) : m_settings(std::move(settings)) {}

  // The connection a list reads from now: the replica's, or null for the primary's.
  ado::ConnectionPtr ForReading();
  // The same as the business layer's connection, to bind to a thread that reads.
  std::shared_ptr<CDatabaseConnection> DatabaseForReading();
  // A read on the replica failed: reads go to the primary until the next check.
  void Failed();
  // Why the last check chose what it chose (for the log).
  std::string LastReason() const;

private:
  void Check();

  const ReplicaSettings m_settings;
  mutable std::mutex m_mutex;
  std::chrono::steady_clock::time_point m_checked{};
  bool m_checkedOnce = false;
  std::shared_ptr<CDatabaseConnection> m_connection;  // open while the replica is chosen
  std::string m_reason;
};

}  // namespace replica
