// Stubs (server side: CORBA servants over COM objects) and proxies (client side: COM objects over
// CORBA references) for the service's interfaces.
#include <cstring>
#include <mutex>
#include <vector>

#include "idl/ComputerSearchInterfaces.h"
#include "idl/ManagementServiceInterfaces.h"
#include "idl/MarshalSupport.h"
#include "platform/com/Memory.h"
#include "platform/com/Variant.h"
#include "platform/dcom/Dcom.h"

namespace {

using marshal::Proxy;
using marshal::RPC_E_DISCONNECTED;
using marshal::Stub;

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

// ---- Computer actions -------------------------------------------------------

ManagementService::ComputerIdSeq ToSequence(ULONG count, const LONG* ids)
{
  ManagementService::ComputerIdSeq seq;
  seq.length(count);
  for (ULONG i = 0; i < count; ++i)
    seq[i] = ids[i];
  return seq;
}

// The caller's memory is read here, in the caller's process: the same readability test as the
// object's own, so that a bad pointer gives E_POINTER instead of a fault.
bool Unreadable(ULONG count, const LONG* ids) { return count != 0 && IsBadReadPtr(ids, std::size_t{count} * 4); }

LONG* Data(const ManagementService::ComputerIdSeq& seq)
{
  return seq.length() ? const_cast<LONG*>(reinterpret_cast<const LONG*>(seq.get_buffer())) : nullptr;
}

// A SAFEARRAY of 32-bit integers from a sequence, and back.
class SequenceArray
{
public:
  explicit SequenceArray(const ManagementService::ComputerIdSeq& seq) : m_psa(SafeArrayCreateVector(VT_I4, 0, seq.length()))
  {
    if (m_psa && seq.length())
      std::memcpy(m_psa->pvData, seq.get_buffer(), seq.length() * sizeof(LONG));
  }
  ~SequenceArray() { SafeArrayDestroy(m_psa); }
  SequenceArray(const SequenceArray&) = delete;
  SequenceArray& operator=(const SequenceArray&) = delete;
  SAFEARRAY* get() const { return m_psa; }

private:
  SAFEARRAY* m_psa;
};

HRESULT ArraySequence(SAFEARRAY* psa, ManagementService::ComputerIdSeq& seq)
{
  if (IsBadReadPtr(psa, sizeof(SAFEARRAY)))
    return E_POINTER;
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(psa, 1, &lower)) || FAILED(SafeArrayGetUBound(psa, 1, &upper)))
    return E_INVALIDARG;
  const long long count = static_cast<long long>(upper) - lower + 1;
  if (count <= 0) {
    seq.length(0);
    return S_OK;
  }
  if (psa->cbElements < sizeof(LONG) || IsBadReadPtr(psa->pvData, static_cast<std::size_t>(count) * psa->cbElements))
    return E_POINTER;
  seq.length(static_cast<CORBA::ULong>(count));
  for (long long i = 0; i < count; ++i)
    std::memcpy(&seq[static_cast<CORBA::ULong>(i)], static_cast<const char*>(psa->pvData) + i * psa->cbElements, sizeof(LONG));
  return S_OK;
}

class VrnComputerActionsStub : public Stub<POA_ManagementService::VRN_ComputerActions, IVRN_ComputerActions>
{
public:
  using Stub::Stub;
  CORBA::Long Refresh(const ManagementService::ComputerIdSeq& ids) override { return m_object->Refresh(ids.length(), Data(ids)); }
  CORBA::Long UpdateNow(const ManagementService::ComputerIdSeq& ids) override
  {
    return m_object->UpdateNow(ids.length(), Data(ids));
  }
  CORBA::Long OverrideCentralConfiguration(CORBA::Boolean override, const ManagementService::ComputerIdSeq& ids) override
  {
    return m_object->OverrideCentralConfiguration(override ? 1 : 0, ids.length(), Data(ids));
  }
};

class VrnComputerActionsProxy : public Proxy<IVRN_ComputerActions, ManagementService::VRN_ComputerActions_var>
{
public:
  using Proxy::Proxy;
  HRESULT Refresh(ULONG count, LONG* ids) override
  {
    return Call(count, ids, [&](const ManagementService::ComputerIdSeq& seq) { return m_ref->Refresh(seq); });
  }
  HRESULT UpdateNow(ULONG count, LONG* ids) override
  {
    return Call(count, ids, [&](const ManagementService::ComputerIdSeq& seq) { return m_ref->UpdateNow(seq); });
  }
  HRESULT OverrideCentralConfiguration(BYTE override, ULONG count, LONG* ids) override
  {
    return Call(count, ids,
                [&](const ManagementService::ComputerIdSeq& seq) { return m_ref->OverrideCentralConfiguration(override != 0, seq); });
  }

private:
  template <class Remote>
  HRESULT Call(ULONG count, const LONG* ids, Remote remote)
  {
    if (Unreadable(count, ids))
      return E_POINTER;
    try {
      return remote(ToSequence(count, ids));
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;
    }
  }
};

class ComputerActionsStub : public Stub<POA_ManagementService::ComputerActions, IComputerActions>
{
public:
  using Stub::Stub;
  CORBA::Long Refresh(const ManagementService::ComputerIdSeq& ids) override { return m_object->Refresh(SequenceArray(ids).get()); }
  CORBA::Long UpdateNow(const ManagementService::ComputerIdSeq& ids) override
  {
    return m_object->UpdateNow(SequenceArray(ids).get());
  }
  CORBA::Long put_OverrideCentralConfiguration(const ManagementService::ComputerIdSeq& ids, CORBA::Long override) override
  {
    return m_object->put_OverrideCentralConfiguration(SequenceArray(ids).get(), override);
  }
};

class ComputerActionsProxy : public Proxy<IComputerActions, ManagementService::ComputerActions_var>
{
public:
  using Proxy::Proxy;
  HRESULT Refresh(SAFEARRAY* ids) override
  {
    return Call(ids, [&](const ManagementService::ComputerIdSeq& seq) { return m_ref->Refresh(seq); });
  }
  HRESULT UpdateNow(SAFEARRAY* ids) override
  {
    return Call(ids, [&](const ManagementService::ComputerIdSeq& seq) { return m_ref->UpdateNow(seq); });
  }
  HRESULT put_OverrideCentralConfiguration(SAFEARRAY* ids, LONG override) override
  {
    return Call(ids, [&](const ManagementService::ComputerIdSeq& seq) { return m_ref->put_OverrideCentralConfiguration(seq, override); });
  }

private:
  template <class Remote>
  HRESULT Call(SAFEARRAY* ids, Remote remote)
  {
    ManagementService::ComputerIdSeq seq;
    const HRESULT hr = ArraySequence(ids, seq);
    if (FAILED(hr))
      return hr;
    try {
      return remote(seq);
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;
    }
  }
};

class ComputerActionsKTStub : public Stub<POA_ManagementService::ComputerActionsKT, IComputerActionsKT>
{
public:
  using Stub::Stub;
  CORBA::Long SendAUConfig(const ManagementService::ComputerIdSeq& ids) override
  {
    return m_object->SendAUConfig(ids.length(), Data(ids));
  }
  CORBA::Long SendDexConfig(const ManagementService::ComputerIdSeq& ids) override
  {
    return m_object->SendDexConfig(ids.length(), Data(ids));
  }
};

class ComputerActionsKTProxy : public Proxy<IComputerActionsKT, ManagementService::ComputerActionsKT_var>
{
public:
  using Proxy::Proxy;
  HRESULT SendAUConfig(ULONG count, LONG* ids) override
  {
    return Call(count, ids, [&](const ManagementService::ComputerIdSeq& seq) { return m_ref->SendAUConfig(seq); });
  }
  HRESULT SendDexConfig(ULONG count, LONG* ids) override
  {
    return Call(count, ids, [&](const ManagementService::ComputerIdSeq& seq) { return m_ref->SendDexConfig(seq); });
  }

private:
  template <class Remote>
  HRESULT Call(ULONG count, const LONG* ids, Remote remote)
  {
    if (Unreadable(count, ids))
      return E_POINTER;
    try {
      return remote(ToSequence(count, ids));
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;
    }
  }
};

// Stub and proxy factories of an interface whose stub and proxy are as above.
template <class Interface, class StubT>
ManagementService::Unknown_ptr StubFactoryOf(IUnknown* object)
{
  return ActivateServant(new StubT(static_cast<Interface*>(object)));
}

template <class RemoteT, class ProxyT>
IUnknown* ProxyFactoryOf(ManagementService::Unknown_ptr reference)
{
  typename RemoteT::_var_type ref = RemoteT::_narrow(reference);
  return new ProxyT(ref._retn());
}

// ---- IKTComputerInstall -----------------------------------------------------

class KTComputerInstallStub : public Stub<POA_ManagementService::KTComputerInstall, IKTComputerInstall>
{
public:
  using Stub::Stub;
  CORBA::Long Install(CORBA::ULong num, const ManagementService::InstallComputerIds& ids,
                      const ManagementService::NullableBstr& username, const ManagementService::NullableBstr& password) override
  {
    std::vector<LONG> array(ids.length());
    for (CORBA::ULong i = 0; i < ids.length(); ++i)
      array[i] = ids[i];
    // A count beyond what arrived is an array the object cannot read.
    LONG* pointer = num <= array.size() ? array.data() : nullptr;
    BstrArg user(username);
    BstrArg pass(password);
    const HRESULT hr = m_object->Install(num, pointer, user.Get(), pass.Get());
    pass.Wipe();
    return hr;
  }
  CORBA::Long Stop() override { return m_object->Stop(); }

private:
  // The null BSTR or an allocated copy, freed (wiped first for secrets) when it goes.
  class BstrArg
  {
  public:
    explicit BstrArg(const ManagementService::NullableBstr& value)
        : m_bstr(value.length() ? SysAllocString(value[0].in()) : nullptr)
    {
    }
    ~BstrArg() { SysFreeString(m_bstr); }
    BSTR Get() const { return m_bstr; }
    void Wipe()
    {
      if (m_bstr)
        std::memset(m_bstr, 0, SysStringLen(m_bstr) * sizeof(OLECHAR));
    }

  private:
    BSTR m_bstr;
  };
};

class KTComputerInstallProxy : public Proxy<IKTComputerInstall, ManagementService::KTComputerInstall_var>
{
public:
  using Proxy::Proxy;
  HRESULT Install(ULONG num, LONG* computerIDs, BSTR username, BSTR password) override
  {
    try {
      ManagementService::InstallComputerIds ids;
      if (computerIDs && !IsBadReadPtr(computerIDs, static_cast<std::size_t>(num) * sizeof(LONG))) {
        ids.length(num);
        for (ULONG i = 0; i < num; ++i)
          ids[i] = computerIDs[i];
      }
      return m_ref->Install(num, ids, Nullable(username), Nullable(password));
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;
    }
  }
  HRESULT Stop() override
  {
    try {
      return m_ref->Stop();
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;
    }
  }

private:
  static ManagementService::NullableBstr Nullable(BSTR s)
  {
    ManagementService::NullableBstr value;
    if (s) {
      value.length(1);
      value[0] = CORBA::wstring_dup(s);
    }
    return value;
  }
};

ManagementService::Unknown_ptr KTComputerInstallStubFactory(IUnknown* object)
{
  return ActivateServant(new KTComputerInstallStub(static_cast<IKTComputerInstall*>(object)));
}

IUnknown* KTComputerInstallProxyFactory(ManagementService::Unknown_ptr reference)
{
  ManagementService::KTComputerInstall_var ref = ManagementService::KTComputerInstall::_narrow(reference);
  return new KTComputerInstallProxy(ref._retn());
}

}  // namespace

void RegisterManagementServiceMarshallers()
{
  RegisterComputerSearchMarshallers();
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterInterfaceMarshaller(IVRN_Clocks::iid, &ClocksStubFactory, &ClocksProxyFactory);
    RegisterInterfaceMarshaller(IVRN_ComputerActions::iid, &StubFactoryOf<IVRN_ComputerActions, VrnComputerActionsStub>,
                                &ProxyFactoryOf<ManagementService::VRN_ComputerActions, VrnComputerActionsProxy>);
    RegisterInterfaceMarshaller(IComputerActions::iid, &StubFactoryOf<IComputerActions, ComputerActionsStub>,
                                &ProxyFactoryOf<ManagementService::ComputerActions, ComputerActionsProxy>);
    RegisterInterfaceMarshaller(IComputerActionsKT::iid, &StubFactoryOf<IComputerActionsKT, ComputerActionsKTStub>,
                                &ProxyFactoryOf<ManagementService::ComputerActionsKT, ComputerActionsKTProxy>);
    RegisterInterfaceMarshaller(IKTComputerInstall::iid, &KTComputerInstallStubFactory, &KTComputerInstallProxyFactory);
  });
}
