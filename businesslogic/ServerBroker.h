#pragma once
// Brokers hide where the service's COM objects come from: inside the service the internal broker
// creates them in-process; elsewhere the client broker creates them on the database server's
// computer through remote activation. The process-wide registrar holds the broker in use.
#include <memory>
#include <mutex>

#include "idl/ManagementServiceInterfaces.h"

using ServerClocks = CComPtr<IVRN_Clocks>;

class CServerBrokerBase
{
public:
  virtual ServerClocks CreateServerClocks() const = 0;
  virtual std::unique_ptr<CServerBrokerBase> Clone() const = 0;
  virtual ~CServerBrokerBase() = default;
};

namespace vrn {

// Creates the objects with CSystemEnviroment::CreateInstanceOnServer.
class CManagementServiceClientBroker : public CServerBrokerBase
{
public:
  ServerClocks CreateServerClocks() const override;
  std::unique_ptr<CServerBrokerBase> Clone() const override;
};

}  // namespace vrn

class CServerBrokerRegistrar
{
public:
  // Keeps a clone of the broker, replacing (and destroying) the one held before.
  static void SetBroker(const CServerBrokerBase& broker);
  // std::logic_error "CServerBrokerRegistrar::GetBroker: Broker is not set" when none was set.
  static const CServerBrokerBase& GetBroker();
  // Forgets the broker (process shutdown, tests).
  static void Clear();

private:
  static std::mutex s_lock;
  static std::unique_ptr<CServerBrokerBase> s_broker;
};
