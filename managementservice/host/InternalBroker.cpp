#include "managementservice/host/InternalBroker.h"

#include "platform/com/ClassTable.h"
#include "platform/errortext/WinRuntimeError.h"

namespace {

template <class Interface>
CComPtr<Interface> CreateLocal(const CLSID& clsid)
{
  CComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  CComPtr<Interface> object;
  if (SUCCEEDED(hr))
    hr = factory->CreateInstance(nullptr, Interface::iid, reinterpret_cast<void**>(&object));
  if (FAILED(hr))
    throw WinRuntimeError::FromHResult(hr);
  return object;
}

}  // namespace

ServerClocks CMSInternalBroker::CreateServerClocks() const { return CreateLocal<IVRN_Clocks>(CLSID_Clocks); }

std::unique_ptr<CServerBrokerBase> CMSInternalBroker::Clone() const { return std::make_unique<CMSInternalBroker>(*this); }
