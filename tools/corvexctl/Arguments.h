#pragma once
#include <cerrno>
#include <cstdlib>

namespace corvexctl {

// A whole non-negative decimal number, or -1.
inline long Number(const char* text)
{
  if (!text || !*text)
    return -1;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  return *end == '\0' && errno == 0 && v >= 0 ? v : -1;
}

}  // namespace corvexctl
