#pragma once
// The router's notice that a computer logged on or off: recorded as the computer's connected
// state.
#include <string>

#include "managementservice/messages/ReceivedMessage.h"

class RouterMessage : public ReceivedMessage
{
public:
  // Whether the router this service is connected to sent and sealed the envelope.
  using Authorisation = bool (*)(const CorvexMessaging::Envelope&);

  // Refuses, with std::runtime_error, an envelope the router did not send ("Not authorized"),
  // one without the reported name ("Bad router message (no router name) !") and one of another
  // type ("Bad router message (neither logon nor logoff) !").
  explicit RouterMessage(const CorvexMessaging::Envelope& envelope);
  RouterMessage(const CorvexMessaging::Envelope& envelope, Authorisation isRouterAuthorised);

  HRESULT Process() override;

  // The computer's address: the names of the routers between the first and the last timestamp,
  // nearest the computer first, each followed by ".", then the reported name.
  const std::string& FullAddress() const { return m_fullAddress; }
  bool IsLogon() const { return m_logon; }

private:
  std::string m_fullAddress;
  bool m_logon = false;
};
