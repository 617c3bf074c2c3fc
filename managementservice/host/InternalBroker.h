#pragma once
// The service's own broker: creates each object as a new in-process instance of the service's
// COM class through its class object.
#include "businesslogic/ServerBroker.h"

class CMSInternalBroker : public CServerBrokerBase
{
public:
  // WinRuntimeError with the HRESULT when the class object cannot create the instance.
  ServerClocks CreateServerClocks() const override;
  std::unique_ptr<CServerBrokerBase> Clone() const override;
};
