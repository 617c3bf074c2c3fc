#include "messaging/RouterConfig.h"

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "messaging/MessagingConstants.h"
#include "messaging/ProcessSupport.h"
#include "messaging/RouterLocation.h"

namespace router {

namespace {

std::string Trim(const std::string& s)
{
  const auto begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos)
    return {};
  return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

long Number(const std::string& key, const std::string& value, long minimum)
{
  return messaging::ParseWholeNumber(key, value, minimum, 0x7FFFFFFF);
}

bool Flag(const std::string& key, const std::string& value)
{
  if (value == "1" || value == "true" || value == "yes")
    return true;
  if (value == "0" || value == "false" || value == "no")
    return false;
  throw std::invalid_argument(key + ": expected true or false, got `" + value + "`");
}

void Set(RouterConfig& c, const std::string& key, const std::string& value)
{
  if (key == "Name") {
    if (value.empty() || value.find_first_of(" \t:.") != std::string::npos)
      throw std::invalid_argument("Name: a router name is one word without ':' or '.', got `" + value + "`");
    c.core.name = value;
  } else if (key == "UnixSocket") {
    if (value.empty() || value.front() != '/' || value.find(':') != std::string::npos)
      throw std::invalid_argument("UnixSocket: expected an absolute path without ':', got `" + value + "`");
    c.unixSocket = value;
  } else if (key == "TcpEndpoint") {
    if (!value.empty()) {
      const auto colon = value.rfind(':');
      messaging::ParseWholeNumber(key, colon == std::string::npos ? value : value.substr(colon + 1), 1, 65535);
    }
    c.tcpEndpoint = value;
  } else if (key == "DataDirectory") {
    if (value.empty())
      throw std::invalid_argument("DataDirectory: empty");
    c.core.dataDirectory = value;
  } else if (key == "NumSenderThreads") {
    c.core.senderThreads = static_cast<int>(Number(key, value, 1));
  } else if (key == "NoticeTimeToLive") {
    c.core.noticeTtlSeconds = Number(key, value, 1);
  } else if (key == "HeartbeatInterval") {
    c.core.heartbeatSeconds = Number(key, value, 1);
  } else if (key == "ConfirmTimeout") {
    c.core.confirmTimeoutSeconds = Number(key, value, 0);
  } else if (key == "DeliveryTimeout") {
    c.deliveryTimeoutMs = static_cast<unsigned long>(Number(key, value, 1));
  } else if (key == "LogLevel") {
    c.log.level = static_cast<int>(Number(key, value, 0));
  } else if (key == "LogConsole") {
    c.log.console = Flag(key, value);
  } else if (key == "LogFileMaxSize") {
    c.log.maxFileSize = Number(key, value, 0);
  } else if (key == "LogFileCount") {
    c.log.fileCount = static_cast<int>(Number(key, value, 0));
  } else {
    throw std::invalid_argument("unknown setting `" + key + "`");
  }
}

const std::map<std::string, std::string>& OptionKeys()
{
  static const std::map<std::string, std::string> keys = {
    {"--name", "Name"},
    {"--socket", "UnixSocket"},
    {"--tcp", "TcpEndpoint"},
    {"--data-dir", "DataDirectory"},
    {"--threads", "NumSenderThreads"},
    {"--notice-ttl", "NoticeTimeToLive"},
    {"--heartbeat", "HeartbeatInterval"},
    {"--delivery-timeout", "DeliveryTimeout"},
    {"--confirm-timeout", "ConfirmTimeout"},
    {"--log-level", "LogLevel"},
  };
  return keys;
}

}  // namespace

RouterConfig DefaultRouterConfig()
{
  RouterConfig c;
  c.unixSocket = messaging::DEFAULT_ROUTER_SOCKET;
  return c;
}

void ApplyRouterConfigText(RouterConfig& config, const std::string& text)
{
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string content = Trim(line.substr(0, line.find('#')));
    if (content.empty())
      continue;
    const auto equals = content.find('=');
    if (equals == std::string::npos)
      throw std::invalid_argument("line " + std::to_string(number) + ": expected Key = Value");
    try {
      Set(config, Trim(content.substr(0, equals)), Trim(content.substr(equals + 1)));
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("line " + std::to_string(number) + ": " + e.what());
    }
  }
}

RouterConfig ParseRouterArguments(const std::vector<std::string>& arguments)
{
  RouterConfig config = DefaultRouterConfig();
  // The file first, so that options given beside it win.
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] != "--config")
      continue;
    if (i + 1 >= arguments.size())
      throw std::invalid_argument("--config needs a file");
    std::ifstream in(arguments[i + 1]);
    if (!in)
      throw std::invalid_argument("cannot read configuration file " + arguments[i + 1]);
    std::ostringstream text;
    text << in.rdbuf();
    try {
      ApplyRouterConfigText(config, text.str());
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(arguments[i + 1] + ": " + e.what());
    }
  }
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--config") {
      ++i;
    } else if (a == "--help" || a == "-h") {
      config.help = true;
    } else if (a == "--log-console") {
      config.log.console = true;
    } else if (auto key = OptionKeys().find(a); key != OptionKeys().end()) {
      if (i + 1 >= arguments.size())
        throw std::invalid_argument(a + " needs a value");
      Set(config, key->second, arguments[++i]);
    } else {
      throw std::invalid_argument("unknown option `" + a + "`");
    }
  }
  config.log.file = config.core.dataDirectory / MessagingConstants::LOGS_FOLDER / "router.log";
  return config;
}

std::string RouterUsage()
{
  return "usage: corvex-router [--config FILE] [--name NAME] [--socket PATH] [--tcp [HOST:]PORT]\n"
         "                     [--data-dir DIR] [--threads N] [--notice-ttl SECONDS] [--heartbeat SECONDS]\n"
         "                     [--delivery-timeout MS] [--confirm-timeout SECONDS] [--log-level 0-3]\n"
         "                     [--log-console]\n"
         "Routes envelopes between messaging clients. Clients find it at\n"
         "corbaloc:omniunix:<socket>:/CorvexRouter (and corbaloc:iiop:<host>:<port>/CorvexRouter).\n"
         "Stops cleanly on SIGTERM or SIGINT.\n";
}

}  // namespace router
