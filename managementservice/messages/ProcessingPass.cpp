#include "managementservice/messages/ProcessingPass.h"

#include <algorithm>
#include <chrono>

#include "businesslogic/ThreadDatabase.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/Clocks.h"
#include "managementservice/host/ServiceModule.h"
#include "managementservice/messages/ProcessingQueue.h"
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
  return limits;
}

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

std::vector<std::unique_ptr<DecodedMessage>> ProcessingPass::Run(ProcessingQueue& queue)
{
  std::vector<std::unique_ptr<DecodedMessage>> done;
  const metrics::PassTimer timer;
  if (m_database)
    m_database->Begin();
  MangementServiceClocks::CDeferredTicks ticks;
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
    if (m_database)
      m_database->Savepoint();
    bool applied = false;
    try {
      applied = ProcessOne(current);
    } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
      throw;
    } catch (...) {
      // The thread ends: what came before this item is stored, as it was when every call
      // committed on its own.
      if (m_database && m_database->IsOpen()) {
        m_database->RollbackToSavepoint();
        m_database->Commit();
      }
      throw;
    }
    metrics::ItemProcessed(&current, applied && !(m_database && m_database->Refused()));
    if (m_database) {
      if (!applied || m_database->Refused())
        m_database->RollbackToSavepoint();
      else
        m_database->Release();
    }
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "%lu remaining in the queue.\n", static_cast<unsigned long>(queue.Count()));
  }
  if (m_database)
    m_database->Commit();
  timer.Done(done.size());
  ticks.Release();
  return done;
}
