#pragma once
// One pass of the processing thread: the items it takes off the queue in one go are applied in
// one database transaction, each inside a savepoint of its own, so that one commit serves many
// messages while each keeps its own failure handling:
// - a failure result or a run-time error is logged and what the item stored before it stays,
//   as when every call committed on its own;
// - an item the database refused a statement of is undone and applied again with each
//   statement in a savepoint of its own, so that it keeps what its other steps store, as when
//   every call committed on its own (its traces and reports before the refusal may repeat);
// - a lost database ends the pass without a commit (the caller ends the process), so nothing of
//   the pass is stored; any other exception commits the pass with what the failing item
//   stored before it failed, and passes on.
// A pass ends when the queue stays empty for a moment, or at a count or time limit, so that a
// busy queue still commits often. The order of processing is the queue's.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "managementservice/messages/DecodedMessage.h"
#include "platform/com/WinTypes.h"

class CThreadDatabase;
class StatusMessage;
class StatusPass;
class ProcessingQueue;

struct PassLimits
{
  std::size_t maxItems = 64;  // stays within the server's cache of subtransactions per transaction
  DWORD maxMs = 100;
  // How long a pass with a transaction waits for the next message when the queue runs empty
  // before it commits (within maxMs).
  DWORD gatherMs = 10;
  // Status replies and virus events applied as sets ("ProcessingPassSetWise" 0 turns it off);
  // only within a transaction.
  bool setWise = true;

  // "ProcessingPassMessages" and "ProcessingPassMilliseconds" of the service's key, where set.
  static PassLimits FromRegistry();
};

class ProcessingPass
{
public:
  // database null: no transaction, every call commits on its own.
  ProcessingPass(CThreadDatabase* database, PassLimits limits);
  ~ProcessingPass();

  // Applies what the queue holds, up to the limits, and commits. The items are returned,
  // in order, once their effects are stored.
  std::vector<std::unique_ptr<DecodedMessage>> Run(ProcessingQueue& queue);

  // What the set-wise road keeps between passes; null before its first set.
  const StatusPass* StatusSets() const { return m_statusPass.get(); }

private:
  // False when the item ended in a run-time error.
  bool ProcessOne(DecodedMessage& item);
  // After the first attempt at an item: true when the server refused one of its statements,
  // with the unit undone and begun again for a second attempt.
  bool RefusedOnce(bool again);
  // One item in a savepoint of its own, ended as the class comment says.
  void ProcessInSavepoint(DecodedMessage& item, ProcessingQueue& queue);
  void EndUnit();
  // The waiting status replies (or virus events) as sets; a message a set hands back goes the
  // one-message road.
  void ApplyReplies(std::vector<DecodedMessage*>& items, std::vector<std::string>& rows, bool events, ProcessingQueue& queue);
  std::size_t ApplySet(const std::vector<DecodedMessage*>& items, const std::vector<std::string>& rows, bool events);

  CThreadDatabase* m_database;
  PassLimits m_limits;
  std::unique_ptr<StatusPass> m_statusPass;
};
