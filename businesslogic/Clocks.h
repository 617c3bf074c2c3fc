#pragma once
// The business layer's view of the change clocks: fetched from the service's clocks object (from
// the registered broker), compared with the values seen last, and ticked after a change.
#include <map>

#include "businesslogic/ServerBroker.h"

namespace vrn {

class CClock
{
public:
  CClock(ServerClocks clocks, VRN_Clock identity);
  // Ticks this clock in the service; WinRuntimeError on a failed call.
  void Tick() const;
  // Whether the last synchronisation saw a new value.
  bool WasFired() const { return m_fired; }
  void SyncronisesValue(const unsigned int& value);
  VRN_Clock Identity() const { return m_identity; }
  unsigned int Value() const { return m_value; }

private:
  ServerClocks m_clocks;
  VRN_Clock m_identity;
  unsigned int m_value = 0xFFFFFFFFu;  // the first synchronisation always fires
  bool m_fired = false;
};

class CClocks
{
public:
  // Gets the clocks object from the broker and synchronises every clock with it.
  CClocks();
  CClocks(const CClocks&) = default;
  CClocks& operator=(const CClocks&) = default;

  // Fetches the values again; each clock fires when its value changed.
  void Syncronise();
  // std::out_of_range "Error bad clock identity" for an unknown identity.
  const CClock& GetClock(VRN_Clock id) const;

private:
  template <class Each>
  void FetchEach(Each each);

  ServerClocks m_clocks;
  std::map<VRN_Clock, CClock> m_map;
};

}  // namespace vrn
