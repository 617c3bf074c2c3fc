#pragma once
// Recording whether a computer's agent can be reached, from the router's notices and from
// letters that came back undelivered.
#include <string>

#include "platform/com/WinTypes.h"

// UpdateComputerConnectedState on the message session, the address cut to 255 characters.
// S_OK when stored. A failed call is traced, reported to the event log and returned; a non-zero
// return value (50 included) is traced and gives E_FAIL.
HRESULT UpdateComputerConnectedState(const std::string& address, bool connected);
