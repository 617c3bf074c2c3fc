#pragma once
// The letters that need only a computer's address: a status request, the central-configuration
// switch and an action document. Each carries the computer's ID until the processing thread (or
// the update-now worker) runs it; the address is looked up then, and the letter is sent to the
// computer's agent with the current message time-out. A letter that is not sent is not retried.
#include <string>

#include "idl/CorvexMessaging.hh"
#include "managementservice/messages/DecodedMessage.h"

namespace letters {

// "<address>.Agent", priority 0, the registry's time-out, type "Tz-<name>", no options.
CorvexMessaging::Message MakeComputerLetter(const std::string& address, const char* name);
// Sends the letter; an ID of 0 (not accepted, or no connection) is reported once as a warning
// event naming the address.
CorvexMessaging::MessageId SendComputerLetter(const CorvexMessaging::Message& letter, const std::string& address);

}  // namespace letters

class Refresh_Now : public Computer_Action
{
public:
  explicit Refresh_Now(long computerId);
  HRESULT Process() override;
};

class Override_Central_Config : public Computer_Action
{
public:
  // applyCentralConfig: what the computer is told, true to follow the central configuration.
  Override_Central_Config(long computerId, bool applyCentralConfig);
  bool ApplyCentralConfig() const { return m_applyCentralConfig; }
  HRESULT Process() override;

private:
  bool m_applyCentralConfig;
};

class SendDoAction : public Computer_Action
{
public:
  SendDoAction(long computerId, std::string entity, std::string action, std::string correlationId);
  const std::string& Entity() const { return m_entity; }
  const std::string& Action() const { return m_action; }
  HRESULT Process() override;

private:
  std::string m_entity;
  std::string m_action;
  std::string m_correlationId;
};
