#pragma once
// The console's computer search object: lists the network's domains, queues domains for the
// discovery engine to browse, stops a search, and registers listeners. Every instance works on
// the process's one discovery engine, so searches and listeners are shared between consoles.
#include "idl/ComputerSearchInterfaces.h"
#include "managementservice/discovery/ComputerDiscovery.h"

class CKTComputerSearchImpl : public CComRefCounted<IKTComputerSearch>
{
public:
  // On the process's discovery engine; std::runtime_error when there is none yet.
  CKTComputerSearchImpl();
  explicit CKTComputerSearchImpl(DiscoveryEngine& engine);

  HRESULT QueryInterface(const IID& iid, void** out) override;
  HRESULT GetDomainNames(ULONG* count, BSTR** names) override;
  HRESULT Search(ULONG count, BSTR* domains, BSTR username, BSTR password) override;
  HRESULT Stop() override;
  HRESULT GetStatus(ULONG* first, ULONG* second, ULONG* third) override;
  HRESULT AddStatusListener(IKTComputerSearchListener* listener) override;
  HRESULT RemoveStatusListener(IKTComputerSearchListener* listener) override;

private:
  DiscoveryState& m_state;
  BrowseQueue& m_browseQueue;
  std::shared_ptr<const DiscoveryNetwork> m_network;
};
