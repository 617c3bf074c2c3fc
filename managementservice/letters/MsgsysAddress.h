#pragma once
// The messaging-system address of a computer, read through the service's session: S_OK (or
// S_FALSE) with the address, else the HRESULT of the failed lookup. Never throws.
#include <string>

#include "platform/com/WinTypes.h"

HRESULT GetMsgsysAddress(const long computerId, std::string& address);
