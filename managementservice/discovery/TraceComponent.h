#pragma once
// The trace identity of computer discovery and the console's search object.
#include "platform/com/Guid.h"

constexpr GUID TRACE_DISCOVERY = MakeGuid("{5C1E4A72-2D3B-4F8E-9A61-0B7C3D2E1F40}");
