#pragma once
// The common parts of the console interfaces' marshallers: a stub (a CORBA servant over a COM
// object) and a proxy (a COM object over a CORBA reference).
#include "platform/com/Unknown.h"
#include "platform/dcom/Dcom.h"

namespace marshal {

// An error of the transport, as the platform reports a server that went away.
inline constexpr HRESULT RPC_E_DISCONNECTED = MakeHr(0x80010108);

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
    return QueryInterfaceOf(static_cast<Interface*>(this), iid, out);
  }

protected:
  Var m_ref;
};

}  // namespace marshal
