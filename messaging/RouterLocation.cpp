#include "messaging/RouterLocation.h"

#include <fstream>
#include <stdexcept>

namespace messaging {

namespace {

bool StartsWith(const std::string& s, const char* prefix)
{
  return s.rfind(prefix, 0) == 0;
}

bool IsPort(const std::string& text)
{
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const long port = std::stol(text);
  return port > 0 && port <= 65535;
}

}  // namespace

std::string RouterReference(const std::string& location)
{
  if (location.empty())
    throw std::invalid_argument("router location is empty");
  if (StartsWith(location, "corbaloc:") || StartsWith(location, "IOR:"))
    return location;
  if (location.front() == '/') {
    if (location.find(':') != std::string::npos)
      throw std::invalid_argument("router socket path must not contain ':': " + location);
    return "corbaloc:omniunix:" + location + ":/" + ROUTER_OBJECT_KEY;
  }
  const auto colon = location.rfind(':');
  if (colon == std::string::npos || colon == 0 || !IsPort(location.substr(colon + 1)))
    throw std::invalid_argument("router location is neither an absolute socket path nor host:port: " + location);
  return "corbaloc:iiop:" + location + "/" + ROUTER_OBJECT_KEY;
}

std::string RouterIorFile(const std::string& socketPath)
{
  return socketPath + ".ior";
}

std::string CurrentRouterReference(const std::string& location)
{
  if (!location.empty() && location.front() == '/') {
    std::ifstream in(RouterIorFile(location));
    std::string ior;
    if (std::getline(in, ior) && StartsWith(ior, "IOR:"))
      return ior;
  }
  return RouterReference(location);
}

}  // namespace messaging
