#include "businesslogic/Clocks.h"

#include <stdexcept>

#include "businesslogic/TraceComponent.h"
#include "platform/com/Memory.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/trace/Trace.h"

namespace vrn {

CClock::CClock(ServerClocks clocks, VRN_Clock identity) : m_clocks(std::move(clocks)), m_identity(identity) {}

void CClock::Tick() const
{
  const HRESULT hr = m_clocks->Fetch(m_identity);
  if (FAILED(hr))
    throw WinRuntimeError::FromHResult(hr);
}

void CClock::SyncronisesValue(const unsigned int& value)
{
  m_fired = value != m_value;
  m_value = value;
  if (m_fired)
    trace::Trace(TRACE_BUSINESSLOGIC, 2, "CClock[0x%X]::SyncronisesValue Fired", static_cast<unsigned>(m_identity));
}

template <class Each>
void CClocks::FetchEach(Each each)
{
  ULONG size = 0;
  ClockValue* data = nullptr;
  const HRESULT hr = m_clocks->Fetch(&size, &data);
  if (FAILED(hr))
    throw WinRuntimeError::FromHResult(hr);
  // The array is the callee's allocation: freed whatever happens to the values.
  struct Free
  {
    ClockValue* p;
    ~Free() { CoTaskMemFree(p); }
  } free{data};
  for (ULONG i = 0; i < size; ++i)
    each(data[i]);
}

CClocks::CClocks() : m_clocks(CServerBrokerRegistrar::GetBroker().CreateServerClocks())
{
  FetchEach([this](const ClockValue& v) {
    const auto id = static_cast<VRN_Clock>(v.identity);
    auto [it, inserted] = m_map.emplace(id, CClock(m_clocks, id));
    if (!inserted)
      throw std::logic_error("Duplicate clock identity detected");
    it->second.SyncronisesValue(v.value);
  });
}

void CClocks::Syncronise()
{
  FetchEach([this](const ClockValue& v) {
    auto it = m_map.find(static_cast<VRN_Clock>(v.identity));
    if (it == m_map.end())
      throw std::logic_error("Error bad clock identity");
    it->second.SyncronisesValue(v.value);
  });
}

const CClock& CClocks::GetClock(VRN_Clock id) const
{
  auto it = m_map.find(id);
  if (it == m_map.end())
    throw std::out_of_range("Error bad clock identity");
  return it->second;
}

}  // namespace vrn
