#pragma once
// The change clocks for a console's own database changes: the service's when it runs, so that
// its consoles hear of the change; otherwise clocks of this process alone, since a service that
// starts later begins with fresh clocks and its consoles read everything anew.
#include <memory>

#include "businesslogic/ServerBroker.h"

namespace vrn {

class CServiceOrLocalClocksBroker : public CServerBrokerBase
{
public:
  ServerClocks CreateServerClocks() const override;
  std::unique_ptr<CServerBrokerBase> Clone() const override { return std::make_unique<CServiceOrLocalClocksBroker>(); }
};

}  // namespace vrn
