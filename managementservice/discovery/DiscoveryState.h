#pragma once
// The shared state of computer discovery: the counters of the running search and the listeners
// (the consoles' search objects) told when it starts, progresses and ends. Listener calls are
// always made on a copy of the list, with no lock held.
#include <mutex>
#include <vector>

#include "idl/ComputerSearchInterfaces.h"

class DiscoveryState
{
public:
  struct Status
  {
    ULONG computersFound = 0;
    ULONG computersKnown = 0;
    ULONG domainsFound = 0;
    ULONG domainsBrowsed = 0;
    bool stop = false;
  };

  DiscoveryState() = default;
  DiscoveryState(const DiscoveryState&) = delete;
  DiscoveryState& operator=(const DiscoveryState& right);

  void IncreaseComputersFound(ULONG n);
  void IncreaseComputersKnown(ULONG n);
  void IncreaseDomainsFound(ULONG n);
  void IncreaseDomainsBrowsed(ULONG n);
  ULONG GetComputersFound() const;
  ULONG GetComputersKnown() const;
  Status GetStatus() const;

  // The next finished check ends the search whatever is left to browse.
  void StoppingSearch();
  void SearchStarted();
  void UpdateListeners(const Status& status);
  // Ends the search when every domain found was browsed or a stop was asked for: the counters
  // start again from zero and listeners hear OnFinished.
  void SearchFinished();

  void AddStatusListener(IKTComputerSearchListener* listener);
  bool RemoveStatusListener(IKTComputerSearchListener* listener);

private:
  using Listeners = std::vector<CComPtr<IKTComputerSearchListener>>;
  template <class Field>
  void Increase(Field field, ULONG n);
  Listeners CopyListeners() const;

  mutable std::mutex m_statusLock;
  Status m_status;
  mutable std::mutex m_listenerLock;
  Listeners m_listeners;
};
