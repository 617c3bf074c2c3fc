#include "managementservice/console/ComputerActions.h"

#include <memory>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "managementservice/TraceComponent.h"
#include "managementservice/console/UpdateNowQueue.h"
#include "managementservice/letters/ComputerLetters.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "platform/com/ComError.h"
#include "platform/com/Memory.h"
#include "platform/com/Variant.h"
#include "platform/trace/Trace.h"

bool IsComputerArrayReadable(ULONG count, const LONG* computerIDs)
{
  return count == 0 || !IsBadReadPtr(computerIDs, std::size_t{count} * 4);
}

namespace {

// No exception may leave a COM method: what the queuing raises (an allocation that fails, most
// likely) becomes the call's HRESULT. Letters queued before it stay queued.
template <class Work>
HRESULT Guarded(const char* method, Work work) noexcept
{
  try {
    return work();
  } catch (const std::bad_alloc&) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs Caught std::bad_alloc", method);
    return E_OUTOFMEMORY;
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs Caught COM error, hr=0x%p", method, e.Error());
    return e.Error();
  } catch (const CAtlException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs Caught ATL exception, hr=0x%p", method, e.m_hr);
    return e.m_hr;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs Caught %hs: %hs", method, typeid(e).name(), e.what());
    return E_FAIL;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs Caught unknown exception", method);
    return E_UNEXPECTED;
  }
}

}  // namespace

HRESULT CComputerActions::QueryInterface(const IID& iid, void** out)
{
  if (!out)
    return E_POINTER;
  if (iid == IID_IUnknown || iid == IVRN_ComputerActions::iid) {
    *out = static_cast<IVRN_ComputerActions*>(this);
  } else if (iid == IComputerActions::iid) {
    *out = static_cast<IComputerActions*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

HRESULT CComputerActions::Refresh(ULONG count, LONG* computerIDs)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerActions::Refresh(%lu)", static_cast<unsigned long>(count));
  if (!IsComputerArrayReadable(count, computerIDs))
    return E_POINTER;
  return Guarded("CComputerActions::Refresh", [&] {
    for (ULONG i = 0; i < count; ++i)
      ProcessingQueue::Instance().Append(std::make_unique<Refresh_Now>(computerIDs[i]));
    return S_OK;
  });
}

HRESULT CComputerActions::UpdateNow(ULONG num, LONG* computerIDs)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerActions::UpdateNow(ULONG num, LONG* computerIDs)");
  if (!IsComputerArrayReadable(num, computerIDs))
    return E_POINTER;
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "CComputerActions::UpdateNow() adding %lu computer IDs to the UpdateNow queue",
               static_cast<unsigned long>(num));
  return Guarded("CComputerActions::UpdateNow", [&] {
    for (ULONG i = 0; i < num; ++i)
      UpdateNowQueue::Instance().AddComputer(computerIDs[i]);
    return S_OK;
  });
}

HRESULT CComputerActions::OverrideCentralConfiguration(BYTE override, ULONG count, LONG* computerIDs)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerActions::OverrideCentralConfiguration(%s, %lu)",
                              override ? "yes" : "no ", static_cast<unsigned long>(count));
  if (!IsComputerArrayReadable(count, computerIDs))
    return E_POINTER;
  // Overriding means no longer applying the central configuration.
  const bool applyCentralConfig = override == 0;
  return Guarded("CComputerActions::OverrideCentralConfiguration", [&] {
    for (ULONG i = 0; i < count; ++i)
      ProcessingQueue::Instance().Append(std::make_unique<Override_Central_Config>(computerIDs[i], applyCentralConfig));
    return S_OK;
  });
}

namespace {

// Runs a raw method over a copy of the caller's SAFEARRAY, its elements read as 32-bit signed
// integers. No exception may leave a COM method: a failed copy gives its HRESULT.
template <class Raw>
HRESULT OverArrayCopy(SAFEARRAY* computerIDs, Raw raw)
{
  if (IsBadReadPtr(computerIDs, sizeof(SAFEARRAY)))
    return E_POINTER;
  try {
    SAFEARRAY* copy = nullptr;
    HRESULT hr = SafeArrayCopy(computerIDs, &copy);
    if (FAILED(hr))
      return hr;
    std::unique_ptr<SAFEARRAY, HRESULT (*)(SAFEARRAY*)> owned(copy, &SafeArrayDestroy);
    LONG lower = 0, upper = -1;
    if (FAILED(hr = SafeArrayGetLBound(copy, 1, &lower)) || FAILED(hr = SafeArrayGetUBound(copy, 1, &upper)))
      return hr;
    const long long count = static_cast<long long>(upper) - lower + 1;
    // Elements narrower than 32 bits cannot be read as such without reading past the array.
    if (count > 0 && copy->cbElements < sizeof(LONG))
      return E_INVALIDARG;
    void* data = nullptr;
    if (FAILED(hr = SafeArrayAccessData(copy, &data)))
      return hr;
    hr = count > 0 ? raw(static_cast<ULONG>(count), static_cast<LONG*>(data)) : raw(0, static_cast<LONG*>(nullptr));
    SafeArrayUnaccessData(copy);
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace

HRESULT CComputerActions::Refresh(SAFEARRAY* computerIDs)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerActions::Refresh(SAFEARRAY)");
  return OverArrayCopy(computerIDs, [this](ULONG count, LONG* ids) { return Refresh(count, ids); });
}

HRESULT CComputerActions::UpdateNow(SAFEARRAY* computerIDs)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerActions::UpdateNow(SAFEARRAY)");
  return OverArrayCopy(computerIDs, [this](ULONG count, LONG* ids) { return UpdateNow(count, ids); });
}

HRESULT CComputerActions::put_OverrideCentralConfiguration(SAFEARRAY* computerIDs, LONG override)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerActions::put_OverrideCentralConfiguration(SAFEARRAY, LONG)");
  return OverArrayCopy(computerIDs, [this, override](ULONG count, LONG* ids) {
    return OverrideCentralConfiguration(static_cast<BYTE>(override & 0xFF), count, ids);
  });
}
