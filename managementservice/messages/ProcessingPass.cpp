#include "managementservice/messages/ProcessingPass.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "businesslogic/ThreadDatabase.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/Clocks.h"
#include "managementservice/host/ServiceModule.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/StatusMessage.h"
#include "managementservice/messages/StatusPass.h"
#include "metrics/ServiceMetrics.h"
#include "platform/errortext/ErrorText.h"
#include "platform/registry/Registry.h"
#include "platform/sync/Sync.h"
#include "platform/trace/Trace.h"

PassLimits PassLimits::FromRegistry()
{
  PassLimits limits;
  CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), KEY_READ) != ERROR_SUCCESS)
    return limits;
  DWORD value = 0;
  if (key.QueryDWORDValue(L"ProcessingPassMessages", value) == ERROR_SUCCESS && value > 0)
    limits.maxItems = value;
  if (key.QueryDWORDValue(L"ProcessingPassMilliseconds", value) == ERROR_SUCCESS && value > 0)
    limits.maxMs = value;
  if (key.QueryDWORDValue(L"ProcessingPassSetWise", value) == ERROR_SUCCESS)
    limits.setWise = value != 0;
  return limits;
}

ProcessingPass::ProcessingPass(CThreadDatabase* database, PassLimits limits) : m_database(database), m_limits(limits) {}

ProcessingPass::~ProcessingPass() = default;

namespace {

// One statement per savepoint for as long as it lives, and never past the unit.
class StatementByStatement
{
public:
  explicit StatementByStatement(CThreadDatabase& database) : m_database(database) { m_database.GuardEachStatement(true); }
  ~StatementByStatement() { m_database.GuardEachStatement(false); }
  StatementByStatement(const StatementByStatement&) = delete;
  StatementByStatement& operator=(const StatementByStatement&) = delete;

private:
  CThreadDatabase& m_database;
};

}  // namespace

bool ProcessingPass::RefusedOnce(bool again)
{
  if (again || !m_database || !m_database->Refused())
    return false;
  // The server takes no further statement in the unit, so the steps after the refused one did
  // not run, and the ones before it would be undone with it. Applied again with each statement
  // standing alone, the message keeps what each step stored, as when every call committed on
  // its own.
  trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "processing: a statement was refused; applying the message again statement by statement");
  m_database->RollbackToSavepoint();
  m_database->Savepoint();
  return true;
}

bool ProcessingPass::ProcessOne(DecodedMessage& item)
{
  for (bool again = false;; again = true) {
    std::optional<StatementByStatement> guard;
    if (again)
      guard.emplace(*m_database);
    try {
      const HRESULT hr = item.Process();
      if (RefusedOnce(again))
        continue;
      if (FAILED(hr))
        trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Processing failed: 0x%p (%s)\n", hr, ErrorText(hr));
      return true;
    } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
      // A statement after a refused one is refused too, which reads as a lost connection;
      // while the connection is there, the second attempt tells.
      if (RefusedOnce(again))
        continue;
      throw;
    } catch (const std::runtime_error& e) {
      if (RefusedOnce(again))
        continue;
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "processing: Caught runtime exception(%hs)", e.what());
      return false;
    } catch (...) {
      if (RefusedOnce(again))
        continue;
      throw;
    }
  }
}

void ProcessingPass::EndUnit()
{
  // The steps an item took before a failure stay, as they did when every call committed on its
  // own; a unit still refused after its second attempt (a statement outside the guard) is
  // undone, as the server takes no further statement in it.
  if (m_database->Refused())
    m_database->RollbackToSavepoint();
  else
    m_database->Release();
}

void ProcessingPass::ProcessInSavepoint(DecodedMessage& current, ProcessingQueue& queue)
{
  if (m_database)
    m_database->Savepoint();
  [[maybe_unused]] bool applied = false;
  try {
    applied = ProcessOne(current);
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
    throw;
  } catch (...) {
    // The thread ends: what came before the failing step is stored, as it was when every call
    // committed on its own.
    if (m_database && m_database->IsOpen()) {
      EndUnit();
      m_database->Commit();
    }
    throw;
  }
  metrics::ItemProcessed(&current, applied && !(m_database && m_database->Refused()));
  if (m_database)
    EndUnit();
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "%lu remaining in the queue.\n", static_cast<unsigned long>(queue.Count()));
}

std::size_t ProcessingPass::ApplySet(const std::vector<DecodedMessage*>& items, const std::vector<std::string>& rows,
                                     bool events)
{
  if (events) {
    std::vector<const EntityEventMessage*> list;
    for (DecodedMessage* item : items)
      list.push_back(static_cast<const EntityEventMessage*>(item));
    return m_statusPass->ApplyEvents(list, rows);
  }
  std::vector<const StatusMessage*> list;
  for (DecodedMessage* item : items)
    list.push_back(static_cast<const StatusMessage*>(item));
  return m_statusPass->Apply(list, rows);
}

void ProcessingPass::ApplyReplies(std::vector<DecodedMessage*>& replies, std::vector<std::string>& rows, bool events,
                                  ProcessingQueue& queue)
{
  if (!m_statusPass)
    m_statusPass = std::make_unique<StatusPass>();
  std::size_t at = 0;
  while (at < replies.size()) {
    std::size_t applied = 0;
    m_database->Savepoint();
    try {
      applied = ApplySet(std::vector<DecodedMessage*>(replies.begin() + at, replies.end()),
                         std::vector<std::string>(rows.begin() + at, rows.end()), events);
    } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
      throw;
    } catch (const std::exception& e) {
      // Undone; the next message goes the one-message road, and the set goes on after it.
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "processing: set of messages failed (%hs)", e.what());
      m_database->RollbackToSavepoint();
      applied = 0;
      ProcessInSavepoint(*replies[at], queue);
      ++at;
      continue;
    }
    if (m_database->Refused()) {
      m_database->RollbackToSavepoint();
      ProcessInSavepoint(*replies[at], queue);
      ++at;
      continue;
    }
    m_database->Release();
    for (std::size_t i = at; i < at + applied; ++i)
      metrics::ItemProcessed(static_cast<const DecodedMessage*>(replies[i]), true);
    at += applied;
    // The message the set handed back, on the road that knows what to do with it.
    if (at < replies.size())
      ProcessInSavepoint(*replies[at++], queue);
  }
  replies.clear();
  rows.clear();
}

std::vector<std::unique_ptr<DecodedMessage>> ProcessingPass::Run(ProcessingQueue& queue)
{
  std::vector<std::unique_ptr<DecodedMessage>> done;
  const metrics::PassTimer timer;
  if (m_database)
    m_database->Begin();
  MangementServiceClocks::CDeferredTicks ticks;
  // Consecutive status replies (or virus events) wait here to be applied as one set, before
  // whatever comes next.
  std::vector<DecodedMessage*> replies;
  std::vector<std::string> rows;
  bool events = false;
  // Each item is a subtransaction (its savepoint, or its block in a set) and so is each set:
  // together they stay within the count limit, which keeps them in the server's cache.
  std::size_t sets = 0;
  const DWORD start = GetTickCount();
  while (done.size() + sets < m_limits.maxItems && (done.empty() || GetTickCount() - start < m_limits.maxMs)) {
    std::unique_ptr<DecodedMessage> item = queue.RemoveFront();
    if (!item) {
      // The commit waits for the disk: a moment's wait for the next message lets one commit
      // serve the messages of a busy queue, now that the thread wakes at each arrival.
      const DWORD elapsed = GetTickCount() - start;
      if (m_database && elapsed < m_limits.maxMs &&
          queue.WaitForItem(std::chrono::milliseconds(std::min<DWORD>(m_limits.gatherMs, m_limits.maxMs - elapsed))))
        continue;
      break;
    }
    DecodedMessage& current = *item;
    done.push_back(std::move(item));
    if (m_database && m_limits.setWise) {
      std::optional<std::string> row;
      bool isEvent = false;
      if (const auto* reply = dynamic_cast<const StatusMessage*>(&current)) {
        row = StatusPass::Prepare(*reply);
      } else if (const auto* event = dynamic_cast<const EntityEventMessage*>(&current)) {
        row = StatusPass::PrepareEvent(*event);
        isEvent = true;
      }
      const bool newSet = replies.empty() || events != isEvent;
      if (row && (!newSet || done.size() + sets + 1 <= m_limits.maxItems)) {
        if (!replies.empty() && events != isEvent)
          ApplyReplies(replies, rows, events, queue);
        if (newSet)
          ++sets;
        events = isEvent;
        replies.push_back(&current);
        rows.push_back(std::move(*row));
        continue;
      }
    }
    if (!replies.empty())
      ApplyReplies(replies, rows, events, queue);
    ProcessInSavepoint(current, queue);
  }
  if (!replies.empty())
    ApplyReplies(replies, rows, events, queue);
  if (m_database)
    m_database->Commit();
  timer.Done(done.size());
  ticks.Release();
  return done;
}
