#include "managementservice/messages/ReceivedMessage.h"

#include <mutex>
#include <stdexcept>

#include "managementservice/TraceComponent.h"
#include "messaging/ClientLibrary.h"
#include "platform/trace/Trace.h"

namespace {

std::mutex g_keySourceLock;
ReceivedMessage::DeliveryKeySource g_keySource;

std::string DeliveryKeyOf(const CorvexMessaging::Envelope& envelope)
{
  {
    std::lock_guard lock(g_keySourceLock);
    if (g_keySource)
      return g_keySource(envelope);
  }
  return ZiriviridUrurezArevudUza::IClientLibrary::Instance()->DeliveryKey(envelope);
}

}  // namespace

void ReceivedMessage::SetDeliveryKeySource(DeliveryKeySource source)
{
  std::lock_guard lock(g_keySourceLock);
  g_keySource = std::move(source);
}

ReceivedMessage::ReceivedMessage(const CorvexMessaging::Envelope& envelope)
  : m_messageId(envelope.message_id),
    m_deliveryKey(DeliveryKeyOf(envelope)),
    m_utcTime(0),
    m_deliveryOptions(static_cast<const char*>(envelope.client_info.delivery_options))
{
  if (envelope.timestamps.length() == 0)
    throw std::out_of_range("No timestamps");
  m_utcTime = envelope.timestamps[0].utc_time;
  const std::string originator = static_cast<const char*>(envelope.originator);
  const auto dot = originator.rfind('.');
  if (dot == std::string::npos) {
    m_address = originator;
  } else {
    m_address = originator.substr(0, dot);
    m_suffix = originator.substr(dot + 1);
  }
  trace::Trace(TRACE_MESSAGEFLOW, 3, "ReceivedMessage constructed, originator=[%hs], suffix=[%hs]\n", m_address, m_suffix);
  if (!m_deliveryOptions.empty())
    trace::Trace(TRACE_MESSAGEFLOW, 3, "Incomming Message To Mgmt Service [%hs]\n", m_deliveryOptions);
}

ReceivedMessage::~ReceivedMessage()
{
  if (!m_deliveryOptions.empty())
    trace::Trace(TRACE_MESSAGEFLOW, 3, "Mgmt Service Finished Handling Message [%hs]\n", m_deliveryOptions);
}

void ReceivedMessage::TraceStartProcessing() const
{
  if (!m_deliveryOptions.empty())
    trace::Trace(TRACE_MESSAGEFLOW, 3, "Mgmt Service Starting Processing Message [%hs]\n", m_deliveryOptions);
}
