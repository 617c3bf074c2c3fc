#pragma once
// The database interface version: major and minor, written "major.minor".
#include <string>

#include "platform/com/WinTypes.h"

struct DatabaseVersion
{
  LONG major = 0;
  LONG minor = 0;

  std::wstring ToString() const { return std::to_wstring(major) + L"." + std::to_wstring(minor); }
  // Versions of the same major number are compatible; the minor number is only reported.
  bool IsCompatibleWith(const DatabaseVersion& other) const { return major == other.major; }
};

// The version this service requires.
constexpr DatabaseVersion kRequiredDatabaseVersion{8, 0};
