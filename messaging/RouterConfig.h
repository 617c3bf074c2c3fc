#pragma once
// corvex-router's settings: built-in defaults, then a configuration file (--config), then the
// other command-line options. The file holds "Key = Value" lines; '#' starts a comment.
//
//   Key               Option          Default
//   Name              --name          corvex-router
//   UnixSocket        --socket        /run/corvex/router.sock
//   TcpEndpoint       --tcp           (none) "port" or "host:port"
//   DataDirectory     --data-dir      /var/lib/corvex-router
//   NumSenderThreads  --threads       4
//   NoticeTimeToLive  --notice-ttl    1209600 (seconds)
//   HeartbeatInterval --heartbeat     30 (seconds)
//   DeliveryTimeout   --delivery-timeout 10000 (milliseconds)
//   ConfirmTimeout    --confirm-timeout  30 (seconds; 0: never keep for non-confirming clients)
//   LogLevel          --log-level     2 (0 errors ... 3 detail)
//   LogConsole        --log-console   false
//   LogFileMaxSize    (file only)     10485760 (bytes)
//   LogFileCount      (file only)     5
#include <string>
#include <vector>

#include "messaging/RouterCore.h"
#include "messaging/RouterLog.h"

namespace router {

struct RouterConfig
{
  RouterOptions core;
  std::string unixSocket;
  std::string tcpEndpoint;
  unsigned long deliveryTimeoutMs = 10000;
  RouterLog::Options log;
  bool help = false;
};

RouterConfig DefaultRouterConfig();
// Applies "Key = Value" lines; std::invalid_argument naming the line on an unknown key or a
// bad value.
void ApplyRouterConfigText(RouterConfig& config, const std::string& text);
// Parses the arguments after the program name; std::invalid_argument on a bad one.
RouterConfig ParseRouterArguments(const std::vector<std::string>& arguments);
std::string RouterUsage();

}  // namespace router
