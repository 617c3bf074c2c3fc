#pragma once
// The router's notice that a letter could not be delivered (its destination never logged on,
// or stayed away until the letter's time ran out): the computer it was for is recorded as not
// connected.
#include "managementservice/messages/ReceivedMessage.h"

class Delivery_Failure : public ReceivedMessage
{
public:
  explicit Delivery_Failure(const CorvexMessaging::Envelope& envelope);
  ~Delivery_Failure() override;

  // S_FALSE, with nothing changed, when the notice carries no undelivered envelope.
  HRESULT Process() override;

private:
  CorvexMessaging::Message m_clientInfo;
};
