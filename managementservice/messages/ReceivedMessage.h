#pragma once
// The base of the messages built from an envelope: who sent it, when, and how.
#include <ctime>
#include <functional>
#include <string>

#include "idl/CorvexMessaging.hh"
#include "managementservice/messages/DecodedMessage.h"

class ReceivedMessage : public DecodedMessage
{
public:
  // std::out_of_range "No timestamps" when the envelope carries no timestamp.
  explicit ReceivedMessage(const CorvexMessaging::Envelope& envelope);
  ~ReceivedMessage() override;

  // Where delivery keys come from: the messaging library's DeliveryKey unless tools and tests
  // put their own in place (empty: the library's again).
  using DeliveryKeySource = std::function<std::string(const CorvexMessaging::Envelope&)>;
  static void SetDeliveryKeySource(DeliveryKeySource source);

  CorvexMessaging::MessageId MessageId() const { return m_messageId; }
  // The key that names the envelope's letter for good, the same at each delivery of it; empty
  // for an envelope the library did not authorise.
  const std::string& DeliveryKey() const { return m_deliveryKey; }
  std::time_t UtcTime() const { return m_utcTime; }
  const std::string& DeliveryOptions() const { return m_deliveryOptions; }
  // The originator up to its last "." (the computer's address), and what follows it.
  const std::string& Address() const { return m_address; }
  const std::string& Suffix() const { return m_suffix; }

protected:
  // The processing line of the message classes, on the message-flow trace identity.
  void TraceStartProcessing() const;

private:
  CorvexMessaging::MessageId m_messageId;
  std::string m_deliveryKey;
  std::time_t m_utcTime;
  std::string m_deliveryOptions;
  std::string m_address;
  std::string m_suffix;
};
