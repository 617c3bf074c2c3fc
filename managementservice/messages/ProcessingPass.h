#pragma once
// One pass of the processing thread: the items it takes off the queue in one go are applied in
// one database transaction, each inside a savepoint of its own, so that one commit serves many
// messages while each keeps its own failure handling:
// - a failure result is logged and what the item stored stays, as when every call committed;
// - an item the database refused a statement of, or that ended in a run-time error, is rolled
//   back alone, and the next one is applied;
// - a lost database ends the pass without a commit (the caller ends the process), so nothing of
//   the pass is stored; any other exception commits the items before the failing one, rolls
//   that one back, and passes on.
// A pass ends when the queue stays empty for a moment, or at a count or time limit, so that a
// busy queue still commits often. The order of processing is the queue's.
#include <cstddef>
#include <memory>
#include <vector>

#include "managementservice/messages/DecodedMessage.h"
#include "platform/com/WinTypes.h"

class CThreadDatabase;
class ProcessingQueue;

struct PassLimits
{
  std::size_t maxItems = 64;  // stays within the server's cache of subtransactions per transaction
  DWORD maxMs = 100;
  // How long a pass with a transaction waits for the next message when the queue runs empty
  // before it commits (within maxMs).
  DWORD gatherMs = 10;

  // "ProcessingPassMessages" and "ProcessingPassMilliseconds" of the service's key, where set.
  static PassLimits FromRegistry();
};

class ProcessingPass
{
public:
  // database null: no transaction, every call commits on its own.
  ProcessingPass(CThreadDatabase* database, PassLimits limits) : m_database(database), m_limits(limits) {}

  // Applies what the queue holds, up to the limits, and commits. The items are returned,
  // in order, once their effects are stored.
  std::vector<std::unique_ptr<DecodedMessage>> Run(ProcessingQueue& queue);

private:
  // False when the item ended in a run-time error.
  bool ProcessOne(DecodedMessage& item);

  CThreadDatabase* m_database;
  PassLimits m_limits;
};
