#include <mutex>

#include "managementservice/messages/CreatorFn.h"
#include "managementservice/messages/DeliveryFailure.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "managementservice/messages/RouterMessage.h"
#include "managementservice/messages/StatusMessage.h"
#include "messaging/MessagingConstants.h"

DecodedMessage* NullCreator(const CorvexMessaging::Envelope&) { return nullptr; }

const std::map<std::string, MessageCreator>& MessageTypeTable()
{
  using namespace MessagingConstants;
  static const std::map<std::string, MessageCreator> table = {
    {ComposeType(PREFIX_TZ, MSG_ROUTER_LOGON), &CreatorFn<RouterMessage>},
    {ComposeType(PREFIX_TZ, MSG_ROUTER_LOGOFF), &CreatorFn<RouterMessage>},
    {ComposeType(PREFIX_TZ, MSG_ENTITY_EVENT), &CreatorFn<EntityEventMessage>},
    // The router's answer to our registration carries nothing we need.
    {ComposeType(PREFIX_TZ, MSG_NOTIFY_ROUTER_UPDATES, SUFFIX_REPLY), &NullCreator},
    {ComposeType(PREFIX_TZ, MSG_GET_STATUS, SUFFIX_REPLY), &CreatorFn<StatusMessage>},
    {ComposeType(PREFIX_MS, MSG_DELIVERY_FAILED, SUFFIX_UNROUTEABLE), &CreatorFn<Delivery_Failure>},
    {ComposeType(PREFIX_MS, MSG_DELIVERY_FAILED, SUFFIX_TIMEOUT), &CreatorFn<Delivery_Failure>},
  };
  return table;
}
