// Stubs (server side: CORBA servants over COM objects) and proxies (client side: COM objects over
// CORBA references) for the service's interfaces.
#include <cstring>
#include <mutex>

#include "idl/ManagementServiceInterfaces.h"
#include "platform/com/Memory.h"
#include "platform/dcom/Dcom.h"

namespace {

// An error of the transport, as the platform reports a server that went away.
constexpr HRESULT RPC_E_DISCONNECTED = MakeHr(0x80010108);

// The common part of a stub: holds the COM object and ends its own life on Release().
template <class Servant, class Interface>
class Stub : public Servant
{
public:
  explicit Stub(Interface* object) : m_object(object) {}
  void Release() override { DeactivateServant(this); }

protected:
  CComPtr<Interface> m_object;
};

// The common part of a proxy: reference counting, QueryInterface, and the remote Release.
template <class Interface, class Var>
class Proxy : public CComRefCounted<Interface>
{
public:
  explicit Proxy(Var reference) : m_ref(reference) {}
  ~Proxy() override
  {
    try {
      m_ref->Release();
    } catch (const CORBA::Exception&) {
      // The server is gone; nothing is left to release there.
    }
  }
  HRESULT QueryInterface(const IID& iid, void** out) override
  {
    if (!out)
      return E_POINTER;
    if (iid == IID_IUnknown || iid == Interface::iid) {
      *out = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

protected:
  Var m_ref;
};

// ---- IVRN_Clocks ------------------------------------------------------------

class ClocksStub : public Stub<POA_ManagementService::VRN_Clocks, IVRN_Clocks>
{
public:
  using Stub::Stub;
  CORBA::Long Fetch(ManagementService::ClockValueSeq_out data) override
  {
    data = new ManagementService::ClockValueSeq;
    ULONG size = 0;
    ClockValue* values = nullptr;
    const HRESULT hr = m_object->Fetch(&size, &values);
    if (SUCCEEDED(hr)) {
      data->length(size);
      for (ULONG i = 0; i < size; ++i) {
        (*data)[i].identity = values[i].identity;
        (*data)[i].value = values[i].value;
      }
      CoTaskMemFree(values);
    }
    return hr;
  }
  CORBA::Long FetchClock(CORBA::ULong clock) override { return m_object->Fetch(static_cast<VRN_Clock>(clock)); }
};

class ClocksProxy : public Proxy<IVRN_Clocks, ManagementService::VRN_Clocks_var>
{
public:
  using Proxy::Proxy;
  HRESULT Fetch(ULONG* size, ClockValue** data) override
  {
    if (!size || !data)
      return E_POINTER;
    try {
      ManagementService::ClockValueSeq_var seq;
      const HRESULT hr = m_ref->Fetch(seq.out());
      if (FAILED(hr))
        return hr;
      auto* values = static_cast<ClockValue*>(CoTaskMemAlloc(seq->length() * sizeof(ClockValue)));
      if (!values)
        return E_OUTOFMEMORY;
      for (CORBA::ULong i = 0; i < seq->length(); ++i)
        values[i] = ClockValue{seq[i].identity, seq[i].value};
      *size = seq->length();
      *data = values;
      return hr;
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;
    }
  }
  HRESULT Fetch(VRN_Clock clock) override
  {
    try {
      return m_ref->FetchClock(static_cast<CORBA::ULong>(clock));
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;
    }
  }
};

ManagementService::Unknown_ptr ClocksStubFactory(IUnknown* object)
{
  return ActivateServant(new ClocksStub(static_cast<IVRN_Clocks*>(object)));
}

IUnknown* ClocksProxyFactory(ManagementService::Unknown_ptr reference)
{
  ManagementService::VRN_Clocks_var ref = ManagementService::VRN_Clocks::_narrow(reference);
  return new ClocksProxy(ref._retn());
}

}  // namespace

void RegisterManagementServiceMarshallers()
{
  static std::once_flag once;
  std::call_once(once, [] { RegisterInterfaceMarshaller(IVRN_Clocks::iid, &ClocksStubFactory, &ClocksProxyFactory); });
}
