#pragma once
// A whole-number query parameter of an API request, checked against its range.
#include <httplib.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "web/ApiError.h"

namespace corvexweb {

// The parameter's value within [low, high], or none when it is absent or empty; anything else is
// a "bad_request" naming the parameter and its range.
inline std::optional<long long> QueryNumber(const httplib::Request& req, const char* name, long long low, long long high)
{
  if (!req.has_param(name) || req.get_param_value(name).empty())
    return std::nullopt;
  const std::string text = req.get_param_value(name);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || v < low || v > high)
    throw ApiError(400, "bad_request", std::string("\"") + name + "\" must be a whole number from " + std::to_string(low) +
                                         " to " + std::to_string(high));
  return v;
}

}  // namespace corvexweb
