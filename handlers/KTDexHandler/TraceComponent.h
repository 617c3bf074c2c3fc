#pragma once
// The trace identity of the anti-virus document handlers.
#include "platform/com/Guid.h"

constexpr GUID TRACE_KTDEXHANDLER = MakeGuid("{2B7F51C4-9E03-4D6A-8C21-F5A04E7B3D19}");
