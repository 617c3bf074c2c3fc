#pragma once
// corvexctl's alert commands: alerts of one or every computer, one alert's details, and the
// purge settings, through the business layer.
#include <string>
#include <vector>

namespace corvexctl {

// "alerts [--computer ID]": newest first, with type, time and text.
int Alerts(const std::vector<std::string>& args);
// "alert ID": the alert's details with its localised text.
int Alert(const std::vector<std::string>& args);
// "purge-settings [show]" or "purge-settings set [--method M] [--months N] [--maximum K]
// [--company NAME]" (what is not given keeps its value).
int PurgeSettings(const std::vector<std::string>& args);

}  // namespace corvexctl
