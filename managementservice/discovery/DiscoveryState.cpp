#include "managementservice/discovery/DiscoveryState.h"

#include "managementservice/discovery/TraceComponent.h"
#include "platform/trace/Trace.h"

DiscoveryState& DiscoveryState::operator=(const DiscoveryState& right)
{
  if (this == &right)
    return *this;
  {
    std::scoped_lock locks(m_statusLock, right.m_statusLock);
    m_status = right.m_status;
  }
  std::scoped_lock locks(m_listenerLock, right.m_listenerLock);
  m_listeners = right.m_listeners;
  return *this;
}

template <class Field>
void DiscoveryState::Increase(Field field, ULONG n)
{
  Status copy;
  {
    std::lock_guard lock(m_statusLock);
    m_status.*field += n;
    copy = m_status;
  }
  UpdateListeners(copy);
}

void DiscoveryState::IncreaseComputersFound(ULONG n)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::IncreaseComputersFound()");
  Increase(&Status::computersFound, n);
}

void DiscoveryState::IncreaseComputersKnown(ULONG n)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::IncreaseComputersKnown()");
  Increase(&Status::computersKnown, n);
}

void DiscoveryState::IncreaseDomainsFound(ULONG n)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::IncreaseDomainsFound()");
  Increase(&Status::domainsFound, n);
}

void DiscoveryState::IncreaseDomainsBrowsed(ULONG n)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::IncreaseDomainsBrowsed()");
  Increase(&Status::domainsBrowsed, n);
}

ULONG DiscoveryState::GetComputersFound() const
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::GetComputersFound()");
  std::lock_guard lock(m_statusLock);
  return m_status.computersFound;
}

ULONG DiscoveryState::GetComputersKnown() const
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::GetComputersKnown()");
  std::lock_guard lock(m_statusLock);
  return m_status.computersKnown;
}

DiscoveryState::Status DiscoveryState::GetStatus() const
{
  std::lock_guard lock(m_statusLock);
  return m_status;
}

void DiscoveryState::StoppingSearch()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::StoppingSearch()");
  std::lock_guard lock(m_statusLock);
  m_status.stop = true;
}

DiscoveryState::Listeners DiscoveryState::CopyListeners() const
{
  std::lock_guard lock(m_listenerLock);
  return m_listeners;
}

void DiscoveryState::SearchStarted()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::SearchStarted()");
  for (const auto& listener : CopyListeners()) {
    const HRESULT hr = listener->OnStarted();
    if (FAILED(hr))
      trace::Trace(TRACE_DISCOVERY, 0, "Listener OnStarted() call failed : 0x%x", hr);
  }
}

void DiscoveryState::UpdateListeners(const Status& status)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::UpdateListeners()");
  const Listeners listeners = CopyListeners();
  // Nothing found and nothing queried: a domain gave no computer to ask, which may end the search.
  if (status.computersFound == 0 && status.computersKnown == 0) {
    SearchFinished();
    return;
  }
  for (const auto& listener : listeners) {
    const HRESULT hr = listener->OnStatusChange(status.computersKnown, status.computersFound);
    if (FAILED(hr))
      trace::Trace(TRACE_DISCOVERY, 0, "Listener OnStatusChange() call failed : 0x%x", hr);
  }
}

void DiscoveryState::SearchFinished()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::SearchFinished()");
  {
    std::lock_guard lock(m_statusLock);
    trace::Trace(TRACE_DISCOVERY, 2, "domains found: %i, domains browsed: %i, stop flag: %i",
                 static_cast<int>(m_status.domainsFound), static_cast<int>(m_status.domainsBrowsed), m_status.stop ? 1 : 0);
    if (m_status.domainsFound != m_status.domainsBrowsed && !m_status.stop)
      return;
    m_status = Status();
  }
  for (const auto& listener : CopyListeners()) {
    const HRESULT hr = listener->OnFinished();
    if (FAILED(hr))
      trace::Trace(TRACE_DISCOVERY, 0, "Listener OnFinished() call failed : 0x%x", hr);
  }
}

void DiscoveryState::AddStatusListener(IKTComputerSearchListener* listener)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::AddStatusListener()");
  std::lock_guard lock(m_listenerLock);
  m_listeners.emplace_back(listener);
}

bool DiscoveryState::RemoveStatusListener(IKTComputerSearchListener* listener)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DiscoveryState::RemoveStatusListener()");
  std::lock_guard lock(m_listenerLock);
  for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it)
    if (it->get() == listener) {
      m_listeners.erase(it);
      return true;
    }
  return false;
}
