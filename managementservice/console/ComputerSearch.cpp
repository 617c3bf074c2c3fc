#include "managementservice/console/ComputerSearch.h"

#include <cerrno>
#include <stdexcept>

#include "managementservice/discovery/TraceComponent.h"
#include "platform/com/Memory.h"
#include "platform/trace/Trace.h"

namespace {

DiscoveryEngine& CurrentEngine()
{
  DiscoveryEngine* engine = DiscoveryEngine::Current();
  if (!engine)
    throw std::runtime_error("computer discovery is not running");
  return *engine;
}

}  // namespace

CKTComputerSearchImpl::CKTComputerSearchImpl() : CKTComputerSearchImpl(CurrentEngine()) {}

CKTComputerSearchImpl::CKTComputerSearchImpl(DiscoveryEngine& engine)
  : m_state(engine.state), m_browseQueue(engine.browseQueue), m_network(engine.network)
{
}

HRESULT CKTComputerSearchImpl::QueryInterface(const IID& iid, void** out)
{
  return QueryInterfaceOf(static_cast<IKTComputerSearch*>(this), iid, out);
}

HRESULT CKTComputerSearchImpl::GetDomainNames(ULONG* count, BSTR** names)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "CKTComputerSearchImpl::GetDomainNames()");
  if (!count || !names)
    return E_POINTER;
  try {
    std::vector<std::wstring> domains;
    const HRESULT hr = m_network->getChildEntities(L"", domains);
    if (FAILED(hr))
      return hr;
    if (domains.empty()) {
      *names = nullptr;
      *count = 0;
      return S_OK;
    }
    auto* array = static_cast<BSTR*>(CoTaskMemAlloc(domains.size() * sizeof(BSTR)));
    if (!array) {
      trace::Trace(TRACE_DISCOVERY, 0, "CoTaskMemAlloc failed");
      return E_OUTOFMEMORY;
    }
    for (std::size_t i = 0; i < domains.size(); ++i) {
      array[i] = SysAllocString(domains[i].c_str());
      if (!array[i]) {
        for (std::size_t j = 0; j < i; ++j)
          SysFreeString(array[j]);
        CoTaskMemFree(array);
        trace::Trace(TRACE_DISCOVERY, 0, "SysAllocString failed");
        return E_OUTOFMEMORY;
      }
    }
    *names = array;
    *count = static_cast<ULONG>(domains.size());
    return S_OK;
  } catch (...) {
    trace::Trace(TRACE_DISCOVERY, 0, "Unexpected exception caught in CKTComputerSearchImpl::GetDomainNames()");
    return E_UNEXPECTED;
  }
}

HRESULT CKTComputerSearchImpl::Search(ULONG count, BSTR* domains, BSTR username, BSTR password)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "CKTComputerSearchImpl::Search()");
  try {
    m_state.IncreaseDomainsFound(count);
    const AccountCredentials account(username ? username : L"", password ? password : L"");
    for (ULONG i = 0; i < count; ++i)
      m_browseQueue.push(BrowseDomainInfo{domains[i] ? domains[i] : L"", account});
    m_state.SearchStarted();
    return S_OK;
  } catch (...) {
    trace::Trace(TRACE_DISCOVERY, 0, "Unexpected exception caught in CKTComputerSearchImpl::Search()");
    return E_UNEXPECTED;
  }
}

HRESULT CKTComputerSearchImpl::Stop()
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "CKTComputerSearchImpl::Stop()");
  m_browseQueue.clear();
  m_state.StoppingSearch();
  return S_OK;
}

HRESULT CKTComputerSearchImpl::GetStatus(ULONG*, ULONG*, ULONG*)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "CKTComputerSearchImpl::GetStatus()");
  return S_OK;
}

HRESULT CKTComputerSearchImpl::AddStatusListener(IKTComputerSearchListener* listener)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "CKTComputerSearchImpl::AddStatusListener()");
  if (IsBadReadPtr(listener, 4)) {
    trace::Trace(TRACE_DISCOVERY, 0, "Tried to add invalid listener pointer, %d", errno);
    return E_INVALIDARG;
  }
  m_state.AddStatusListener(listener);
  return S_OK;
}

HRESULT CKTComputerSearchImpl::RemoveStatusListener(IKTComputerSearchListener* listener)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "CKTComputerSearchImpl::RemoveStatusListener()");
  if (IsBadReadPtr(listener, 4)) {
    trace::Trace(TRACE_DISCOVERY, 0, "Tried to remove invalid listener pointer %d", errno);
    return E_INVALIDARG;
  }
  return m_state.RemoveStatusListener(listener) ? S_OK : S_FALSE;
}
