#pragma once
// Progress of the service's long work for the web console's progress page: each computer's
// latest remote installation stage by stage, as the install workers record it in the database.
// (The network search's progress comes from the search object's listener: ConsoleSearch.)
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/com/WinTypes.h"
#include "web/ConsoleData.h"

namespace corvexweb {

struct InstallProgressQuery
{
  std::vector<LONG> computers;  // none: every computer whose attempt moved within `hours`
  int hours = 24;
  int count = 200;  // the most recently moved computers
};

class ConsoleProgress
{
public:
  explicit ConsoleProgress(ConsoleData& data) : m_data(data) {}

  // {"computers": [{"ComputerID", "ComputerName", "Attempt", "Stage", "Result", "Cause",
  // "Finished", "Failed", "Interrupted", "Stages": [{"Stage", "Time", "Result", "Cause"}]}],
  // "counts": {stage: n, ...}, "finished": n, "total": n}, newest moved first. Read from the
  // primary: a replica a few seconds behind would show an attempt going backwards.
  nlohmann::json Installs(const InstallProgressQuery& query);

  // "3,7,12" (commas or semicolons) as IDs; an ApiError 400 for anything else or more than 1000.
  static std::vector<LONG> ParseComputers(const std::string& text);

private:
  ConsoleData& m_data;
};

}  // namespace corvexweb
