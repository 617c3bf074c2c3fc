#pragma once
// The executable's string table.
#include <string>

#include "platform/com/WinTypes.h"

constexpr unsigned IDS_SERVICENAME = 100;

// The string of a resource identifier; empty when there is none.
std::wstring LoadResourceString(unsigned id);
