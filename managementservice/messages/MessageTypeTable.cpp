#include <mutex>

#include "managementservice/messages/CreatorFn.h"
#include "messaging/MessagingConstants.h"

DecodedMessage* NullCreator(const CorvexMessaging::Envelope&) { return nullptr; }

const std::map<std::string, MessageCreator>& MessageTypeTable()
{
  using namespace MessagingConstants;
  static const std::map<std::string, MessageCreator> table = {
    // The router's answer to our registration carries nothing we need.
    {ComposeType(PREFIX_TZ, MSG_NOTIFY_ROUTER_UPDATES, SUFFIX_REPLY), &NullCreator},
  };
  return table;
}
