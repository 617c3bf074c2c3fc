#pragma once
// corvexctl health: one line per part of the management service, and an exit status that a
// monitoring system can act on. The service's own state comes from its metrics endpoint (what
// it serves is what it is doing now; a service that does not answer is itself the finding), the
// database's from a connection of our own.
#include <string>
#include <vector>

namespace corvexctl {

struct DatabaseState
{
  bool reachable = false;
  std::string error;
  long major = 0, minor = 0;
  std::string schema;          // the newest schema step the database holds
  std::string expectedSchema;  // the newest this program knows
};

struct ServiceState
{
  bool answered = false;
  std::string error;
  std::string endpoint;     // address:port
  std::string metricsText;  // what the endpoint served
};

struct HealthLine
{
  std::string part;
  bool ok = false;
  std::string detail;
};

struct HealthLimits
{
  double maxQueueAgeSeconds = 300;  // a message waiting longer means the service is behind
};

// The verdict on each part; `now` is Unix time. Pure, so it can be checked without a service.
std::vector<HealthLine> EvaluateHealth(const DatabaseState& database, const ServiceState& service, const HealthLimits& limits,
                                       double now);

// "health [--max-age SECONDS] [--timeout MS]": prints the lines; 0 when every part is well,
// 1 when one is not, 2 for a usage error.
int Health(const std::vector<std::string>& args);

}  // namespace corvexctl
