#pragma once
// The change clocks: three counters in the service that the code changing the data behind a
// console view ticks, and that consoles poll through the COM class CClocks.
#include <array>
#include <atomic>
#include <vector>

#include "idl/ManagementServiceInterfaces.h"

// The process's clocks, identities 0 (group tree), 1 (computer state), 2 (group membership).
class MangementServiceClocks
{
public:
  static constexpr VRN_Clock kCount = 3;
  MangementServiceClocks() = default;
  // One interlocked increment; std::out_of_range for an identity outside 0-2.
  void Tick(VRN_Clock ck);
  std::vector<ClockValue> GetData() const;

  static MangementServiceClocks& Instance();

  // Holds back the calling thread's ticks of this process's clocks until Release (or the end of
  // the scope): the processing thread's changes become visible at its pass's commit, and a
  // console that re-read at an earlier tick would miss them until the next one.
  class CDeferredTicks
  {
  public:
    CDeferredTicks();
    ~CDeferredTicks();
    CDeferredTicks(const CDeferredTicks&) = delete;
    CDeferredTicks& operator=(const CDeferredTicks&) = delete;
    // Ticks every clock ticked since the last release, once each.
    void Release();

  private:
    std::array<bool, kCount> m_held{};
    CDeferredTicks* m_outer;
    friend class MangementServiceClocks;
  };

private:
  std::array<std::atomic<ULONG>, kCount> m_values{};
};

class CClocks : public CComRefCounted<IVRN_Clocks>
{
public:
  HRESULT QueryInterface(const IID& iid, void** out) override;
  HRESULT Fetch(ULONG* size, ClockValue** data) override;
  HRESULT Fetch(VRN_Clock clock) override;
};
