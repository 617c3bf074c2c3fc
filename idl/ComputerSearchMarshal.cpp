// The computer search over the console endpoint. The search object is served by the service;
// the listener is served by the console, and the service calls it back.
//
// A listener crosses as a reference, and each crossing would give a new proxy: both sides keep
// one per listener, so that removing a listener finds the one that was added.
#include <mutex>
#include <vector>

#include "idl/ComputerSearchInterfaces.h"
#include "idl/MarshalSupport.h"
#include "platform/com/Memory.h"

namespace {

using marshal::Proxy;
using marshal::RPC_E_DISCONNECTED;
using marshal::Stub;
namespace MS = ManagementService;

// ---- IKTComputerSearchListener ----------------------------------------------

class ListenerStub : public Stub<POA_ManagementService::KTComputerSearchListener, IKTComputerSearchListener>
{
public:
  using Stub::Stub;
  CORBA::Long OnStarted() override { return m_object->OnStarted(); }
  CORBA::Long OnStatusChange(CORBA::ULong known, CORBA::ULong found) override { return m_object->OnStatusChange(known, found); }
  CORBA::Long OnFinished() override { return m_object->OnFinished(); }
};

class ListenerProxy : public Proxy<IKTComputerSearchListener, MS::KTComputerSearchListener_var>
{
public:
  using Proxy::Proxy;
  HRESULT OnStarted() override { return Call([](auto& ref) { return ref->OnStarted(); }); }
  HRESULT OnStatusChange(ULONG known, ULONG found) override
  {
    return Call([=](auto& ref) { return ref->OnStatusChange(known, found); });
  }
  HRESULT OnFinished() override { return Call([](auto& ref) { return ref->OnFinished(); }); }
  bool Is(MS::KTComputerSearchListener_ptr reference) { return m_ref->_is_equivalent(reference); }

private:
  template <class F>
  HRESULT Call(F f)
  {
    try {
      return f(m_ref);
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;  // the console went away
    }
  }
};

// The service's proxies, one per listener reference, kept from its addition to its removal.
struct ProxyRegistry
{
  std::mutex lock;
  std::vector<CComPtr<ListenerProxy>> proxies;
};
ProxyRegistry& Proxies()
{
  static ProxyRegistry* r = new ProxyRegistry;
  return *r;
}

// The proxy made before for an equivalent reference, or a new one.
CComPtr<ListenerProxy> ProxyFor(MS::KTComputerSearchListener_ptr reference)
{
  ProxyRegistry& r = Proxies();
  std::lock_guard lock(r.lock);
  for (const auto& proxy : r.proxies)
    if (proxy->Is(reference))
      return proxy;
  CComPtr<ListenerProxy> proxy(new ListenerProxy(MS::KTComputerSearchListener::_duplicate(reference)));
  r.proxies.push_back(proxy);
  return proxy;
}

// Takes the proxy of an equivalent reference out of the registry; null when there is none.
CComPtr<ListenerProxy> TakeProxy(MS::KTComputerSearchListener_ptr reference)
{
  ProxyRegistry& r = Proxies();
  std::lock_guard lock(r.lock);
  for (auto it = r.proxies.begin(); it != r.proxies.end(); ++it)
    if ((*it)->Is(reference)) {
      CComPtr<ListenerProxy> proxy = *it;
      r.proxies.erase(it);
      return proxy;
    }
  return nullptr;
}

// The console's listener references, one per local listener.
struct ReferenceRegistry
{
  std::mutex lock;
  std::vector<std::pair<IKTComputerSearchListener*, MS::KTComputerSearchListener_var>> entries;
};
ReferenceRegistry& References()
{
  static ReferenceRegistry* r = new ReferenceRegistry;
  return *r;
}

MS::KTComputerSearchListener_ptr ReferenceFor(IKTComputerSearchListener* listener, bool findOnly, bool forget)
{
  ReferenceRegistry& r = References();
  std::lock_guard lock(r.lock);
  for (auto it = r.entries.begin(); it != r.entries.end(); ++it)
    if (it->first == listener) {
      MS::KTComputerSearchListener_ptr ref = MS::KTComputerSearchListener::_duplicate(it->second);
      if (forget)
        r.entries.erase(it);
      return ref;
    }
  if (findOnly)
    return MS::KTComputerSearchListener::_nil();
  MS::Unknown_var unknown = ActivateServant(new ListenerStub(listener));
  MS::KTComputerSearchListener_var ref = MS::KTComputerSearchListener::_narrow(unknown);
  r.entries.emplace_back(listener, ref);
  return ref._retn();
}

// ---- IKTComputerSearch ------------------------------------------------------

class SearchStub : public Stub<POA_ManagementService::KTComputerSearch, IKTComputerSearch>
{
public:
  using Stub::Stub;
  CORBA::Long GetDomainNames(MS::DomainNameSeq_out names) override
  {
    names = new MS::DomainNameSeq;
    ULONG count = 0;
    BSTR* array = nullptr;
    const HRESULT hr = m_object->GetDomainNames(&count, &array);
    if (SUCCEEDED(hr) && array) {
      names->length(count);
      for (ULONG i = 0; i < count; ++i) {
        (*names)[i] = CORBA::wstring_dup(array[i] ? array[i] : L"");
        SysFreeString(array[i]);
      }
      CoTaskMemFree(array);
    }
    return hr;
  }
  CORBA::Long Search(const MS::DomainNameSeq& domains, const CORBA::WChar* username, const CORBA::WChar* password) override
  {
    std::vector<_bstr_t> owned;
    std::vector<BSTR> array;
    for (CORBA::ULong i = 0; i < domains.length(); ++i) {
      owned.emplace_back(static_cast<const wchar_t*>(domains[i]));
      array.push_back(owned.back().GetBSTR());
    }
    _bstr_t user(username), pass(password);
    const HRESULT hr = m_object->Search(static_cast<ULONG>(array.size()), array.data(), user.GetBSTR(), pass.GetBSTR());
    // The password leaves no copy in this process's freed memory.
    if (BSTR p = pass.GetBSTR())
      std::fill(p, p + SysStringLen(p), L'\0');
    return hr;
  }
  CORBA::Long Stop() override { return m_object->Stop(); }
  CORBA::Long GetStatus(CORBA::ULong& first, CORBA::ULong& second, CORBA::ULong& third) override
  {
    ULONG a = 0, b = 0, c = 0;
    const HRESULT hr = m_object->GetStatus(&a, &b, &c);
    first = a;
    second = b;
    third = c;
    return hr;
  }
  CORBA::Long AddStatusListener(MS::KTComputerSearchListener_ptr listener) override
  {
    if (CORBA::is_nil(listener))
      return m_object->AddStatusListener(nullptr);
    return m_object->AddStatusListener(ProxyFor(listener).get());
  }
  CORBA::Long RemoveStatusListener(MS::KTComputerSearchListener_ptr listener) override
  {
    if (CORBA::is_nil(listener))
      return m_object->RemoveStatusListener(nullptr);
    CComPtr<ListenerProxy> proxy = TakeProxy(listener);
    return proxy ? m_object->RemoveStatusListener(proxy.get()) : S_FALSE;
  }
};

class SearchProxy : public Proxy<IKTComputerSearch, MS::KTComputerSearch_var>
{
public:
  using Proxy::Proxy;
  HRESULT GetDomainNames(ULONG* count, BSTR** names) override
  {
    if (!count || !names)
      return E_POINTER;
    return Call([&] {
      MS::DomainNameSeq_var seq;
      const HRESULT hr = m_ref->GetDomainNames(seq.out());
      if (FAILED(hr))
        return hr;
      *count = 0;
      *names = nullptr;
      if (seq->length() == 0)
        return hr;
      auto* array = static_cast<BSTR*>(CoTaskMemAlloc(seq->length() * sizeof(BSTR)));
      if (!array)
        return E_OUTOFMEMORY;
      for (CORBA::ULong i = 0; i < seq->length(); ++i)
        array[i] = SysAllocString(static_cast<const wchar_t*>(seq[i]));
      *count = seq->length();
      *names = array;
      return hr;
    });
  }
  HRESULT Search(ULONG count, BSTR* domains, BSTR username, BSTR password) override
  {
    if (count && IsBadReadPtr(domains, std::size_t{count} * sizeof(BSTR)))
      return E_POINTER;
    return Call([&] {
      MS::DomainNameSeq seq;
      seq.length(count);
      for (ULONG i = 0; i < count; ++i)
        seq[i] = CORBA::wstring_dup(domains[i] ? domains[i] : L"");
      return static_cast<HRESULT>(m_ref->Search(seq, username ? username : L"", password ? password : L""));
    });
  }
  HRESULT Stop() override
  {
    return Call([&] { return static_cast<HRESULT>(m_ref->Stop()); });
  }
  HRESULT GetStatus(ULONG* first, ULONG* second, ULONG* third) override
  {
    return Call([&] {
      CORBA::ULong a = 0, b = 0, c = 0;
      const HRESULT hr = m_ref->GetStatus(a, b, c);
      // Nothing is written: the object gives no status.
      (void)first;
      (void)second;
      (void)third;
      return hr;
    });
  }
  HRESULT AddStatusListener(IKTComputerSearchListener* listener) override
  {
    if (listener && IsBadReadPtr(listener, 4))
      return E_INVALIDARG;
    return Call([&] {
      MS::KTComputerSearchListener_var ref =
        listener ? ReferenceFor(listener, false, false) : MS::KTComputerSearchListener::_nil();
      return static_cast<HRESULT>(m_ref->AddStatusListener(ref));
    });
  }
  HRESULT RemoveStatusListener(IKTComputerSearchListener* listener) override
  {
    if (listener && IsBadReadPtr(listener, 4))
      return E_INVALIDARG;
    return Call([&]() -> HRESULT {
      MS::KTComputerSearchListener_var ref = listener ? ReferenceFor(listener, true, true) : MS::KTComputerSearchListener::_nil();
      if (listener && CORBA::is_nil(ref))
        return S_FALSE;  // never added from this process
      return m_ref->RemoveStatusListener(ref);
    });
  }

private:
  template <class F>
  HRESULT Call(F f)
  {
    try {
      return f();
    } catch (const CORBA::Exception&) {
      return RPC_E_DISCONNECTED;
    }
  }
};

MS::Unknown_ptr SearchStubFactory(IUnknown* object) { return ActivateServant(new SearchStub(static_cast<IKTComputerSearch*>(object))); }

IUnknown* SearchProxyFactory(MS::Unknown_ptr reference)
{
  MS::KTComputerSearch_var ref = MS::KTComputerSearch::_narrow(reference);
  return new SearchProxy(ref._retn());
}

}  // namespace

void RegisterComputerSearchMarshallers()
{
  static std::once_flag once;
  std::call_once(once, [] { RegisterInterfaceMarshaller(IKTComputerSearch::iid, &SearchStubFactory, &SearchProxyFactory); });
}
