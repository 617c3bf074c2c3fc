#pragma once
// How far remote installations have got, stage by stage, as the service's install workers record
// them in the database: read, printed, and followed until every attempt has an outcome.
#include <atomic>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

namespace corvexctl {

struct InstallStageRow
{
  std::string stage;  // queued, connecting, copying, running, done, failed, stopped
  std::optional<LONG> result;
  std::string cause;  // the result in words
  std::string time;   // local, with milliseconds
};

// One computer's latest attempt.
struct InstallAttempt
{
  LONG id = 0;
  std::string name;
  long long attempt = 0;  // a newer attempt has a greater number
  bool interrupted = false;
  std::vector<InstallStageRow> stages;

  const InstallStageRow& Last() const { return stages.back(); }
  // Done, failed, taken off the queue, or stopped short by a restart of the service.
  bool Finished() const;
  bool Failed() const;
};

// The latest attempts of the computers (none: of the `limit` computers that moved last within
// the last `hours`).
std::map<LONG, InstallAttempt> ReadInstallProgress(const std::vector<LONG>& ids, std::optional<LONG> hours = std::nullopt,
                                                   std::optional<LONG> limit = std::nullopt);

// Shows attempts as they move until every one has finished or `stop` is set. On a terminal one
// line is redrawn in place (a bar and the count per stage) and each computer's outcome printed
// above it; otherwise every stage is a plain line of its own. `before` holds the attempt numbers
// the computers had before the installs were asked for: a computer whose attempt did not change
// was not queued (the service found it cannot be installed remotely). Answers 0 when every
// computer was installed, 1 when one failed or was not queued, 130 when stopped.
int FollowInstalls(const std::vector<LONG>& ids, const std::map<LONG, long long>& before, bool terminal,
                   const std::atomic<bool>& stop, std::FILE* out = stdout, unsigned pollMs = 1000);

// FollowInstalls on standard output, its form chosen by whether that is a terminal, until done or
// Ctrl-C.
int FollowInstallsInterruptible(const std::vector<LONG>& ids, const std::map<LONG, long long>& before);

// "install progress [--wait] [ID...]".
int InstallProgress(const std::vector<std::string>& args);

}  // namespace corvexctl
