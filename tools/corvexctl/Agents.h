#pragma once
#include <string>
#include <vector>

namespace corvexctl {

// agent enrol|remove|list [--messaging DIR] [--reload] ...: the agents enrolled at the messaging
// location (address "<computer>.Agent"). DIR defaults to the registry value "MessagingDirectory"
// under HKLM\Software\Corvex\KT\Management Tools, else /etc/corvex/messaging.
int Agent(const std::vector<std::string>& args);

}  // namespace corvexctl
