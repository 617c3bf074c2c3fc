#include "messaging/Addresses.h"

#include <algorithm>

#include "platform/text/Unicode.h"

namespace messaging {

bool IsValidClientAddress(const std::string& address)
{
  if (address.empty() || address.size() > 255 || address.front() == '.' || address.back() == '.')
    return false;
  return std::none_of(address.begin(), address.end(), [](unsigned char c) { return c <= ' ' || c == ':'; }) &&
         IsCleanText(address);
}

std::string ComputerOf(const std::string& address)
{
  const auto dot = address.rfind('.');
  return dot == std::string::npos ? std::string() : address.substr(0, dot);
}

}  // namespace messaging
