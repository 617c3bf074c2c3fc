#include "tools/corvexctl/ReplicaRead.h"

#include <cstdio>
#include <exception>
#include <memory>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ReplicaReads.h"
#include "platform/com/ComError.h"

namespace corvexctl {

namespace {

// Binds the replica's connection to this thread for as long as it lives, so that every read of
// the business layer goes there.
class ThreadOnReplica
{
public:
  explicit ThreadOnReplica(CDatabaseConnection& connection) : m_previous(BindThreadDatabaseConnection(&connection)) {}
  ~ThreadOnReplica() { BindThreadDatabaseConnection(m_previous); }
  ThreadOnReplica(const ThreadOnReplica&) = delete;
  ThreadOnReplica& operator=(const ThreadOnReplica&) = delete;

private:
  CDatabaseConnection* m_previous;
};

bool Lost(const CDatabaseConnection& connection)
{
  return !connection.GetADO() || connection.GetADO()->State() != ado::adStateOpen;
}

}  // namespace

int ReadFromReplica(const std::function<int()>& read)
{
  const replica::ReplicaSettings settings = replica::ReadReplicaSettings();
  if (settings.replica.empty())
    return read();
  replica::ReplicaReads reads(settings);
  const std::shared_ptr<CDatabaseConnection> connection = reads.DatabaseForReading();
  if (!connection) {
    std::fprintf(stderr, "corvexctl: reading from the primary: %s\n", reads.LastReason().c_str());
    return read();
  }
  try {
    ThreadOnReplica bound(*connection);
    return read();
  } catch (const std::exception& e) {
    if (!Lost(*connection))
      throw;
    std::fprintf(stderr, "corvexctl: the replica was lost during the read (%s); reading from the primary\n", e.what());
  } catch (const _com_error& e) {
    if (!Lost(*connection))
      throw;
    std::fprintf(stderr, "corvexctl: the replica was lost during the read (%s); reading from the primary\n", e.ErrorMessage());
  }
  return read();
}

}  // namespace corvexctl
