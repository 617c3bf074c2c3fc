#pragma once
// What the web console's pages read: the overview, pages of computers and alerts, one computer,
// the group tree (the business layer's list procedures, one call per page) and the service's
// change clocks. The process has one database connection; reads take turns on it.
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "businesslogic/OurCommand.h"
#include "businesslogic/ServerBroker.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/com/Variant.h"
#include "platform/com/WinTypes.h"

namespace corvexweb {

struct ComputerQuery
{
  std::optional<ULONG> group;  // none: every computer
  bool subgroups = false;
  std::optional<int> connected;
  int alerts = 0;  // 0 any, 1 outstanding, 2 virus, 3 error
  std::string name;
  int orderBy = 1;
  bool ascending = true;
  int offset = 0;
  int count = 100;
};

struct AlertQuery
{
  std::optional<int> type;
  std::optional<LONG> computer;
  std::optional<int> outstanding;
  int offset = 0;
  int count = 100;
};

class ConsoleData
{
public:
  // Registers the console's client broker, so that the service's objects are reached on its
  // console endpoint.
  ConsoleData();

  // Counts and alerts per day for the last `days` days.
  nlohmann::json Overview(int days);
  // {"total": n, "offset": o, "rows": [...]}.
  nlohmann::json Computers(const ComputerQuery& query);
  // Everything known about one computer, with its alerts and configurations.
  nlohmann::json Computer(LONG id);
  nlohmann::json Alerts(const AlertQuery& query);
  // Every group in tree order with its direct computers, the unassigned group last.
  nlohmann::json Groups();
  // The service's clocks {"0": v, "1": v, "2": v}; the service must be running.
  nlohmann::json Clocks();

  // Runs work on the database connection, renewing it first when it was lost. A read that
  // finds the connection lost under it (a database restart) is run once more on a new one;
  // changes are not, since whether they were stored is not known.
  template <class Work>
  auto WithDatabase(Work work, bool read = false) -> decltype(work())
  {
    std::lock_guard lock(m_mutex);
    Reconnect();
    if (!read) {
      CheckBeforeChange();
      return work();
    }
    // A list that fails on the database's replica is read again from the primary.
    if (ReadsFromReplica()) {
      try {
        return work();
      } catch (const std::exception&) {
        ReplicaFailed();
      }
    }
    try {
      return work();
    } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
      Reconnect();
      return work();
    }
  }

private:
  void Reconnect();
  void CheckBeforeChange();
  bool ReadsFromReplica();
  void ReplicaFailed();

  std::mutex m_mutex;
  std::mutex m_clocksMutex;
  ServerClocks m_clocks;
};

// The web console's own procedures, prepared once per connection; a `read` runs on the
// database's replica when one is configured and fit. Call inside ConsoleData::WithDatabase.
COurCommand WebProcedure(const char* name, bool read);
// Every row of a row set as an object of its columns (dates as text), the row set closed.
nlohmann::json RowSetJson(const ado::RecordsetPtr& records);
// The same with each column's value made by `value`; a column that cannot be read is left out.
nlohmann::json RowSetJson(const ado::RecordsetPtr& records, nlohmann::json (*value)(const VARIANT&));

}  // namespace corvexweb
