#include "managementservice/discovery/ComputerDiscovery.h"

#include <atomic>
#include <stdexcept>

#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "managementservice/discovery/TraceComponent.h"
#include "platform/text/Unicode.h"
#include "metrics/ServiceMetrics.h"
#include "platform/trace/Trace.h"

namespace {

// The longest description a computer can store.
constexpr std::size_t kDescriptionLength = 512;
// How long a details thread waits for more work before it asks whether the search has ended.
constexpr DWORD kQuietMs = 100;

std::atomic<DiscoveryEngine*> g_current{nullptr};

bool OsUnknown(PTLDB::OperatingSystem os) { return os == PTLDB::OS_OLD_WINDOWS || os == PTLDB::OS_UNKNOWN; }

// A handler's thread uses the handler's members: it is stopped and awaited before they go.
void StopAndWait(Thread& thread, StoppableHandler& handler)
{
  if (!thread.HasThread())
    return;
  DWORD error = 0;
  if (thread.Wait(0, error))
    return;
  handler.Stop();
  if (!thread.Wait(INFINITE, error))
    trace::Trace(TRACE_DISCOVERY, 0, "Failed to wait for a discovery thread, error: %08x", error);
}

}  // namespace

// ---- BrowseHandler ----------------------------------------------------------

BrowseHandler::BrowseHandler(BrowseQueue& browseQueue, DetailsQueue& detailsQueue, DiscoveryState& state,
                             std::shared_ptr<const DiscoveryNetwork> network)
  : m_browseQueue(browseQueue), m_detailsQueue(detailsQueue), m_state(state), m_network(std::move(network))
{
}

BrowseHandler::~BrowseHandler() { StopAndWait(*this, *this); }

std::vector<std::wstring> BrowseHandler::BrowseDomain(const std::wstring& domain)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "BrowseHandler::BrowseDomain()");
  AssertCreatorThread("Browse Domain");
  std::vector<std::wstring> names;
  // A failed enumeration is not an error of the search: the names found before it are used.
  m_network->getChildEntities(domain, names);
  return names;
}

void BrowseHandler::QueueComputers(const std::wstring& domain, const std::vector<std::wstring>& names,
                                   const AccountCredentials& account)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "BrowseHandler::QueueComputers()");
  AssertCreatorThread("Queue Computers");
  for (const std::wstring& remoteName : names) {
    const std::wstring name = remoteName.size() > 2 ? remoteName.substr(2) : std::wstring();
    trace::Trace(TRACE_DISCOVERY, 2, L"Computer %s found on %s", name, domain);
    CComputer computer = CComputer::CreateComputer(name, domain);
    ComputerDetails details;
    computer.GetComputerDetails(details);
    if (OsUnknown(details.operatingSystem)) {
      trace::Trace(TRACE_DISCOVERY, 2, L"Pushing %s into the details queue", name);
      m_pending.push_front(DetailComputerInfo{computer, account});
    }
  }
}

void BrowseHandler::ThreadFunc()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "BrowseHandler::ThreadFunc()");
  const metrics::ThreadLife alive("discovery_browse");
  bool stopping = false;
  while (!stopping) {
    const DWORD r = m_browseQueue.wait(*m_Stop, INFINITE);
    if (r == WAIT_OBJECT_0) {
      trace::Trace(TRACE_DISCOVERY, 2, "BrowseHandler::ThreadFunc() shutting down");
      stopping = true;
    } else if (r != WAIT_OBJECT_0 + 1) {
      trace::Trace(TRACE_DISCOVERY, 0,
                   "BrowseHandler::ThreadFunc() shutting down - unexpected value returned from m_browseQueue->wait(m_Stop): %ld",
                   static_cast<long>(r));
      stopping = true;
    }
    try {
      if (!stopping) {
        const BrowseDomainInfo info = m_browseQueue.pop();
        trace::Trace(TRACE_DISCOVERY, 2, L"Browsing domain %s", info.domain);
        QueueComputers(info.domain, BrowseDomain(info.domain), info.account);
        metrics::DiscoveryPass();
      }
      // Counted before they are queued, so no details thread can report them known first.
      m_state.IncreaseComputersFound(static_cast<ULONG>(m_pending.size()));
      m_state.IncreaseDomainsBrowsed(1);
      for (DetailComputerInfo& info : m_pending)
        m_detailsQueue.push(std::move(info));
      m_pending.clear();
    } catch (const std::out_of_range&) {
      trace::Trace(TRACE_DISCOVERY, 2,
                   "BrowseHandler::ThreadFunc(): BrowseHandler queue is empty, computer discovery might be stopping");
    } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
      trace::Trace(TRACE_DISCOVERY, 2, "BrowseHandler::ThreadFunc() - %S", e.Message());
    } catch (const vrn::Exceptions::BusinessExceptionBase& e) {
      trace::Trace(TRACE_DISCOVERY, 0,
                   "BrowseHandler::ThreadFunc() caught a BusinessExceptionBase error: %S, rethrowing exception. BrowseHandler "
                   "thread will exit.",
                   e.Message());
      return;
    } catch (const std::runtime_error& e) {
      trace::Trace(TRACE_DISCOVERY, 0,
                   "BrowseHandler::ThreadFunc() caught a runtime error: %S, rethrowing exception. BrowseHandler thread will exit.",
                   FromUtf8(e.what()));
      return;
    } catch (...) {
      trace::Trace(TRACE_DISCOVERY, 0,
                   "BrowseHandler::ThreadFunc(): Unknown exception caught, rethrowing exception. BrowseHandler thread will exit.");
      return;
    }
  }
}

// ---- DetailsHandler ---------------------------------------------------------

DetailsHandler::DetailsHandler(DetailsQueue& detailsQueue, DiscoveryState& state, std::shared_ptr<const DiscoveryNetwork> network)
  : m_detailsQueue(detailsQueue), m_state(state), m_network(std::move(network))
{
}

DetailsHandler::~DetailsHandler() { StopAndWait(*this, *this); }

void DetailsHandler::Query(DetailComputerInfo& info)
{
  ComputerDetails details;
  info.computer.GetComputerDetails(details);
  trace::Trace(TRACE_DISCOVERY, 2, L"DetailsHandler::ThreadFunc(): querying computer %s for OS type and comment.", details.name);
  std::wstring comment;
  PTLDB::OperatingSystem os = PTLDB::OS_UNKNOWN;
  bool known = m_network->getComputerDescriptionAndOS(details.name, comment, os, L"", L"");
  if (!known && !info.account.username.empty()) {
    trace::Trace(TRACE_DISCOVERY, 2, L"Did not retrieve details with NULL session, attempting with username %s",
                 info.account.username);
    const ScopedNetworkIdentity identity(info.account.username, info.account.password);
    known = m_network->getComputerDescriptionAndOS(details.name, comment, os, nullptr, nullptr);
  }
  if (known) {
    // A server's comment may be longer than a description can be; its start is kept.
    if (comment.size() > kDescriptionLength)
      comment.resize(kDescriptionLength);
    info.computer.UpdateComputerDescriptionAndOS(os, comment);
  }
  m_state.IncreaseComputersKnown(1);
}

void DetailsHandler::ThreadFunc()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DetailsHandler::ThreadFunc()");
  const metrics::ThreadLife alive("discovery_details");
  for (;;) {
    const DWORD r = m_detailsQueue.wait(*m_Stop, INFINITE);
    if (r == WAIT_OBJECT_0) {
      trace::Trace(TRACE_DISCOVERY, 2, "DetailsHandler::ThreadFunc() shutting down");
      return;
    }
    if (r != WAIT_OBJECT_0 + 1) {
      trace::Trace(TRACE_DISCOVERY, 0,
                   "DetailsHandler::ThreadFunc() shutting down - unexpected value returned from m_detailsQueue->wait(m_Stop): %ld",
                   static_cast<long>(r));
      return;
    }
    try {
      DetailComputerInfo info = m_detailsQueue.pop();
      try {
        Query(info);
      } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
        trace::Trace(TRACE_DISCOVERY, 2, L"DetailsHandler::ThreadFunc(): ComputerDoesNotExist - %s", e.Message());
      } catch (const std::exception& e) {
        // Only the pop's out_of_range means another thread was faster; this one is a fault.
        trace::Trace(TRACE_DISCOVERY, 0, "DetailsHandler::ThreadFunc() caught an exception: %S.", FromUtf8(e.what()));
      }
      if (m_detailsQueue.size() == 0) {
        Sleep(kQuietMs);
        if (m_detailsQueue.size() == 0)
          m_state.SearchFinished();
      }
    } catch (const std::out_of_range&) {
      // Another details thread took the item.
    } catch (const std::exception& e) {
      trace::Trace(TRACE_DISCOVERY, 0, "DetailsHandler::ThreadFunc() caught an exception: %S.", FromUtf8(e.what()));
    } catch (...) {
      trace::Trace(TRACE_DISCOVERY, 0, "DetailsHandler::ThreadFunc(): Unknown exception caught. DetailsHandler thread will exit.");
      return;
    }
  }
}

// ---- ComputerDiscovery ------------------------------------------------------

ComputerDiscovery::ComputerDiscovery(DiscoveryState& state, BrowseQueue& browseQueue, DetailsQueue& detailsQueue,
                                     std::shared_ptr<const DiscoveryNetwork> network)
  : m_state(state), m_detailsQueue(detailsQueue), m_network(std::move(network)), m_creator(GetCurrentThreadId())
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "ComputerDiscovery::ComputerDiscovery()");
  m_browseHandler = std::make_unique<BrowseHandler>(browseQueue, detailsQueue, state, m_network);
  m_detailsHandlers.push_back(std::make_unique<DetailsHandler>(detailsQueue, state, m_network));
}

ComputerDiscovery::~ComputerDiscovery()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "ComputerDiscovery::~ComputerDiscovery()");
  DWORD error = 0;
  if (m_browseHandler->HasThread() && !m_browseHandler->Wait(0, error))
    trace::Trace(TRACE_DISCOVERY, 0, "The browse handler thread is still running - Stop() was not called");
  for (auto& handler : m_detailsHandlers) {
    if (handler->HasThread() && !handler->Wait(0, error))
      trace::Trace(TRACE_DISCOVERY, 0, "A computer discovery handler thread is still running - Stop() was not called");
    trace::Trace(TRACE_DISCOVERY, 2, "Deleting a DetailsHandler");
    handler.reset();
  }
}

void ComputerDiscovery::AddDetailsHandler()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "ComputerDiscovery::AddDetailsHandler()");
  AssertCreatorThread(m_creator, "ComputerDiscovery::AddDetailsHandler");
  m_detailsHandlers.push_back(std::make_unique<DetailsHandler>(m_detailsQueue, m_state, m_network));
}

void ComputerDiscovery::Start()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "ComputerDiscovery::Start()");
  AssertCreatorThread(m_creator, "ComputerDiscovery::Start");
  for (auto& handler : m_detailsHandlers) {
    if (!handler->Start()) {
      trace::Trace(TRACE_DISCOVERY, 0, "Failed to start a DetailsHandler");
      throw std::runtime_error("ComputerDiscovery::Start() failed to start a DetailsHandler");
    }
    trace::Trace(TRACE_DISCOVERY, 2, "Started a DetailsHandler");
  }
  if (!m_browseHandler->Start()) {
    trace::Trace(TRACE_DISCOVERY, 0, "Failed to start the BrowseHandler");
    throw std::runtime_error("ComputerDiscovery::Start() failed to start the BrowseHandler");
  }
  trace::Trace(TRACE_DISCOVERY, 2, "Started the BrowseHandler");
}

void ComputerDiscovery::Stop()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "ComputerDiscovery::Stop()");
  AssertCreatorThread(m_creator, "ComputerDiscovery::Stop");
  DWORD error = 0;
  m_browseHandler->Stop();
  if (m_browseHandler->Wait(INFINITE, error))
    trace::Trace(TRACE_DISCOVERY, 2, "Closed the BrowseHandler");
  else
    trace::Trace(TRACE_DISCOVERY, 0, "Failed to close the BrowseHandler, error: %08x", error);
  for (auto& handler : m_detailsHandlers) {
    trace::Trace(TRACE_DISCOVERY, 2, "Signalling a DetailsHandler to close");
    handler->Stop();
  }
  for (auto& handler : m_detailsHandlers) {
    trace::Trace(TRACE_DISCOVERY, 2, "Waiting for a DetailsHandler to close");
    error = 0;
    if (handler->Wait(INFINITE, error))
      trace::Trace(TRACE_DISCOVERY, 2, "Closed a DetailsHandler");
    else
      trace::Trace(TRACE_DISCOVERY, 0, "Failed to close a DetailsHandler, error: %08x", error);
  }
}

// ---- DiscoveryEngine --------------------------------------------------------

DiscoveryEngine::DiscoveryEngine(std::shared_ptr<const DiscoveryNetwork> net)
  : network(std::move(net)), discovery(state, browseQueue, detailsQueue, network)
{
  g_current = this;
}

DiscoveryEngine::~DiscoveryEngine()
{
  DiscoveryEngine* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

DiscoveryEngine* DiscoveryEngine::Current() { return g_current.load(); }
