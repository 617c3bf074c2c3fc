#pragma once
// The trace identity of the remote task stand-in.
#include "platform/com/Guid.h"

constexpr GUID TRACE_REMOTETASK = MakeGuid("{8D2F5B13-6C4A-4E97-B0D1-3A7E9C5F2B64}");
