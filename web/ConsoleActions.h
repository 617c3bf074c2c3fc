#pragma once
// The console's actions on computers, asked of the service's console objects over the console
// endpoint, as any console does: refresh, update now, central configuration on or off, and
// sending each computer its group's update or anti-virus configuration.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/com/WinTypes.h"
#include "web/ConsoleData.h"

namespace corvexweb {

class ConsoleActions
{
public:
  explicit ConsoleActions(ConsoleData& data) : m_data(data) {}

  // body: {"computers": [id, ...]} or {"group": id, "subgroups": bool}, and for
  // "central-config" {"on": bool}, for "send-config" {"configuration": "update"|"anti-virus"},
  // for "install" {"user": text, "password": text} (the password goes only to the service and is
  // wiped from the body). "install-stop" takes no computers.
  // Answers {"action": ..., "queued": n, "computers": [...]}. An unknown action or a bad body is
  // an ApiError 400; a refusal of the service an ApiError 502 with its text.
  nlohmann::json Run(const std::string& action, nlohmann::json& body);

private:
  // The computers the body names: its list, or the group's members read through the business
  // layer (one procedure call).
  std::vector<LONG> Targets(const nlohmann::json& body);

  ConsoleData& m_data;
};

}  // namespace corvexweb
