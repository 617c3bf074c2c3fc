#include "businesslogic/ServerBroker.h"

#include <stdexcept>

#include "businesslogic/SystemEnviroment.h"

std::mutex CServerBrokerRegistrar::s_lock;
std::unique_ptr<CServerBrokerBase> CServerBrokerRegistrar::s_broker;

void CServerBrokerRegistrar::SetBroker(const CServerBrokerBase& broker)
{
  std::unique_ptr<CServerBrokerBase> clone = broker.Clone();
  std::lock_guard<std::mutex> lock(s_lock);
  s_broker.swap(clone);
}

const CServerBrokerBase& CServerBrokerRegistrar::GetBroker()
{
  std::lock_guard<std::mutex> lock(s_lock);
  if (!s_broker)
    throw std::logic_error("CServerBrokerRegistrar::GetBroker: Broker is not set");
  return *s_broker;
}

void CServerBrokerRegistrar::Clear()
{
  std::lock_guard<std::mutex> lock(s_lock);
  s_broker.reset();
}

namespace vrn {

ServerClocks CManagementServiceClientBroker::CreateServerClocks() const
{
  ServerClocks clocks;
  CSystemEnviroment().CreateInstanceOnServer<IVRN_Clocks>(CLSID_Clocks, &clocks);
  return clocks;
}

std::unique_ptr<CServerBrokerBase> CManagementServiceClientBroker::Clone() const
{
  return std::make_unique<CManagementServiceClientBroker>(*this);
}

}  // namespace vrn
