#pragma once
// A flag the database may not know: stored as 1, 0 or NULL.
#include <optional>

#include "platform/com/WinTypes.h"

enum FlagState : LONG { FlagYes = 11, FlagNo = 12, FlagUnknown = 13 };

// A nullable bit as read from the database: NULL is FlagUnknown.
constexpr FlagState FlagStateFromBit(std::optional<bool> bit) noexcept
{
  return !bit ? FlagUnknown : (*bit ? FlagYes : FlagNo);
}

// "yes", "no" or "unknown", for people reading it.
constexpr const char* FlagStateText(FlagState flag) noexcept
{
  switch (flag) {
    case FlagYes: return "yes";
    case FlagNo: return "no";
    default: return "unknown";
  }
}
