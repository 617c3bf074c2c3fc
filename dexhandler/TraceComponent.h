#pragma once
// The trace identity of the anti-virus handler library.
#include "platform/com/Guid.h"

constexpr GUID TRACE_DEXHANDLER = MakeGuid("{C4A93E07-5B2D-4F18-A6E1-7D30B9F25C8E}");
