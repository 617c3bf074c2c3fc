#include "managementservice/messages/ProcessingPass.h"

#include <algorithm>
#include <chrono>

#include "businesslogic/ThreadDatabase.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/Clocks.h"
#include "managementservice/host/ServiceModule.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/StatusMessage.h"
#include "managementservice/messages/StatusPass.h"
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

bool ProcessingPass::ProcessOne(DecodedMessage& item)
{
  try {
    const HRESULT hr = item.Process();
    if (FAILED(hr))
      trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Processing failed: 0x%p (%s)\n", hr, ErrorText(hr));
    return true;
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
    throw;
  } catch (const std::runtime_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "processing: Caught runtime exception(%hs)", e.what());
    return false;
  }
}

void ProcessingPass::EndUnit()
{
  // The steps an item took before a failure stay, as they did when every call committed on its
  // own; only a unit the server refused a statement of is undone, as the server takes no
  // further statement in it (and the refused one stored nothing).
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
  if (m_database)
    EndUnit();
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "%lu remaining in the queue.\n", static_cast<unsigned long>(queue.Count()));
}

void ProcessingPass::ApplyReplies(std::vector<const StatusMessage*>& replies, std::vector<std::string>& rows,
                                  ProcessingQueue& queue)
{
  if (!m_statusPass)
    m_statusPass = std::make_unique<StatusPass>();
  std::size_t at = 0;
  while (at < replies.size()) {
    std::size_t applied = 0;
    m_database->Savepoint();
    try {
      applied = m_statusPass->Apply(std::vector<const StatusMessage*>(replies.begin() + at, replies.end()),
                                                  std::vector<std::string>(rows.begin() + at, rows.end()));
    } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
      throw;
    } catch (const std::exception& e) {
      // Undone; the next reply goes the one-reply road, and the set goes on after it.
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "processing: set of status replies failed (%hs)", e.what());
      m_database->RollbackToSavepoint();
      applied = 0;
      ProcessInSavepoint(const_cast<StatusMessage&>(*replies[at]), queue);
      ++at;
      continue;
    }
    if (m_database->Refused()) {
      m_database->RollbackToSavepoint();
      ProcessInSavepoint(const_cast<StatusMessage&>(*replies[at]), queue);
      ++at;
      continue;
    }
    m_database->Release();
    at += applied;
    // The reply the set handed back, on the road that knows what to do with it.
    if (at < replies.size())
      ProcessInSavepoint(const_cast<StatusMessage&>(*replies[at++]), queue);
  }
  replies.clear();
  rows.clear();
}

std::vector<std::unique_ptr<DecodedMessage>> ProcessingPass::Run(ProcessingQueue& queue)
{
  std::vector<std::unique_ptr<DecodedMessage>> done;
  if (m_database)
    m_database->Begin();
  MangementServiceClocks::CDeferredTicks ticks;
  // Consecutive status replies wait here to be applied as one set, before whatever comes next.
  std::vector<const StatusMessage*> replies;
  std::vector<std::string> rows;
  const DWORD start = GetTickCount();
  while (done.size() < m_limits.maxItems && (done.empty() || GetTickCount() - start < m_limits.maxMs)) {
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
      if (const auto* reply = dynamic_cast<const StatusMessage*>(&current)) {
        if (std::optional<std::string> row = StatusPass::Prepare(*reply)) {
          replies.push_back(reply);
          rows.push_back(std::move(*row));
          continue;
        }
      }
    }
    if (!replies.empty())
      ApplyReplies(replies, rows, queue);
    ProcessInSavepoint(current, queue);
  }
  if (!replies.empty())
    ApplyReplies(replies, rows, queue);
  if (m_database)
    m_database->Commit();
  ticks.Release();
  return done;
}
