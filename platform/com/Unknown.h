#pragma once
// COM object model: IUnknown, class factories, an owning interface pointer, and a reference-
// counting base for implementations.
#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/com/Guid.h"
#include "platform/com/WinTypes.h"

constexpr IID IID_IUnknown = MakeGuid("{00000000-0000-0000-C000-000000000046}");
constexpr IID IID_IClassFactory = MakeGuid("{00000001-0000-0000-C000-000000000046}");

struct IUnknown
{
  virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

protected:
  virtual ~IUnknown() = default;
};

struct IClassFactory : IUnknown
{
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) = 0;
  virtual HRESULT LockServer(bool lock) = 0;
};

// The interface identifier of an interface type: each interface declares `static constexpr IID iid`.
template <class T>
constexpr const IID& uuidof()
{
  if constexpr (std::is_same_v<T, IUnknown>)
    return IID_IUnknown;
  else if constexpr (std::is_same_v<T, IClassFactory>)
    return IID_IClassFactory;
  else
    return T::iid;
}

template <class T>
class CComPtr
{
public:
  CComPtr() = default;
  CComPtr(T* p) : m_p(p)
  {
    if (m_p)
      m_p->AddRef();
  }
  CComPtr(const CComPtr& o) : CComPtr(o.m_p) {}
  CComPtr(CComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
  ~CComPtr() { Release(); }
  CComPtr& operator=(CComPtr o) noexcept
  {
    std::swap(m_p, o.m_p);
    return *this;
  }

  void Release()
  {
    if (T* p = std::exchange(m_p, nullptr))
      p->Release();
  }
  void Attach(T* p)
  {
    Release();
    m_p = p;
  }
  T* Detach() { return std::exchange(m_p, nullptr); }
  T** operator&()
  {
    Release();
    return &m_p;
  }
  T* operator->() const { return m_p; }
  T* get() const { return m_p; }
  operator T*() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }

  template <class Q>
  HRESULT QueryInterface(Q** out) const
  {
    if (!m_p)
      return E_POINTER;
    return m_p->QueryInterface(uuidof<Q>(), reinterpret_cast<void**>(out));
  }

private:
  T* m_p = nullptr;
};

// Reference counting for an implementation; QueryInterface is left to the class.
template <class Base>
class CComRefCounted : public Base
{
public:
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override
  {
    const ULONG r = --m_refs;
    if (r == 0)
      delete this;
    return r;
  }

private:
  std::atomic<ULONG> m_refs{0};
};

// QueryInterface of an object that is IUnknown and one interface: `self` is the object as that
// interface.
template <class Interface>
HRESULT QueryInterfaceOf(Interface* self, const IID& iid, void** out)
{
  if (!out)
    return E_POINTER;
  if (iid == IID_IUnknown || iid == Interface::iid) {
    *out = self;
    self->AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

// The class object of an implementation class T (default-constructible, derived from
// CComRefCounted<...>): creates a new T for each request.
template <class T>
class CComClassFactory : public CComRefCounted<IClassFactory>
{
public:
  HRESULT QueryInterface(const IID& iid, void** out) override
  {
    if (!out)
      return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) override
  {
    if (!out)
      return E_POINTER;
    *out = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    try {
      CComPtr<T> object(new T);
      return object->QueryInterface(iid, out);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_UNEXPECTED;
    }
  }
  HRESULT LockServer(bool) override { return S_OK; }
};
