#include "managementservice/host/Clocks.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "managementservice/TraceComponent.h"
#include "platform/com/Memory.h"
#include "businesslogic/ProcessSingleton.h"
#include "platform/trace/Trace.h"

namespace {
thread_local MangementServiceClocks::CDeferredTicks* t_deferred = nullptr;
}

void MangementServiceClocks::Tick(VRN_Clock ck)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "void MangementServiceClocks::Tick(VRN_Clock ck)");
  if (ck < 0 || ck >= kCount)
    throw std::out_of_range("Error bad clock identity");
  if (t_deferred && this == &Instance()) {
    t_deferred->m_held[static_cast<std::size_t>(ck)] = true;
    return;
  }
  m_values[static_cast<std::size_t>(ck)].fetch_add(1, std::memory_order_relaxed);
}

MangementServiceClocks::CDeferredTicks::CDeferredTicks() : m_outer(t_deferred) { t_deferred = this; }

MangementServiceClocks::CDeferredTicks::~CDeferredTicks()
{
  // Whatever was stored before an early end is announced too; an extra tick costs a re-read only.
  Release();
  t_deferred = m_outer;
}

void MangementServiceClocks::CDeferredTicks::Release()
{
  MangementServiceClocks& clocks = Instance();
  for (std::size_t id = 0; id < m_held.size(); ++id)
    if (m_held[id]) {
      m_held[id] = false;
      clocks.m_values[id].fetch_add(1, std::memory_order_relaxed);
    }
}

std::vector<ClockValue> MangementServiceClocks::GetData() const
{
  std::vector<ClockValue> data;
  data.reserve(kCount);
  for (VRN_Clock id = 0; id < kCount; ++id)
    data.push_back({static_cast<ULONG>(id), m_values[static_cast<std::size_t>(id)].load(std::memory_order_relaxed)});
  return data;
}

MangementServiceClocks& MangementServiceClocks::Instance() { return TProcessSingleton<MangementServiceClocks>::Instance(); }

HRESULT CClocks::QueryInterface(const IID& iid, void** out)
{
  return QueryInterfaceOf(static_cast<IVRN_Clocks*>(this), iid, out);
}

namespace {

// The catch ladder of the clocks' COM methods; an unknown clock identity is the caller's error.
template <class Body>
HRESULT Guarded(Body body)
{
  try {
    return body();
  } catch (const std::out_of_range& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Error caught exception %S: %S", typeid(e).name(), e.what());
    return E_INVALIDARG;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Error caught exception %S: %S", typeid(e).name(), e.what());
    return E_UNEXPECTED;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Error caught unexpected exception");
    return E_UNEXPECTED;
  }
}

}  // namespace

HRESULT CClocks::Fetch(ULONG* size, ClockValue** data)
{
  if (IsBadWritePtr(size, sizeof(ULONG)) || IsBadWritePtr(data, sizeof(ULONG))) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "(::IsBadWritePtr(size, sizeof(ULONG) ) || ::IsBadWritePtr(size, sizeof(ULONG) ))");
    return E_POINTER;
  }
  return Guarded([&] {
    const std::vector<ClockValue> values = MangementServiceClocks::Instance().GetData();
    auto* out = static_cast<ClockValue*>(CoTaskMemAlloc(values.size() * sizeof(ClockValue)));
    if (!out)
      throw std::bad_alloc();
    std::memcpy(out, values.data(), values.size() * sizeof(ClockValue));
    *size = static_cast<ULONG>(values.size());
    *data = out;
    return S_OK;
  });
}

HRESULT CClocks::Fetch(VRN_Clock clock)
{
  return Guarded([&] {
    MangementServiceClocks::Instance().Tick(clock);
    return S_OK;
  });
}
