#pragma once
// corvexctl's computer actions: they call the service's console objects (refresh, update now,
// central configuration, send configuration), which queue the work and return at once.
#include <string>
#include <vector>

namespace corvexctl {

// "refresh ID...".
int Refresh(const std::vector<std::string>& args);
// "update-now ID...|--group G".
int UpdateNow(const std::vector<std::string>& args);
// "central-config on|off ID...".
int CentralConfig(const std::vector<std::string>& args);
// "send-config au|dex ID...|--group G".
int SendConfig(const std::vector<std::string>& args);

}  // namespace corvexctl
