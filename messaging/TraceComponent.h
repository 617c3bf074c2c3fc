#pragma once
// The trace identities of the messaging client library and of the router.
#include "platform/com/Guid.h"

constexpr GUID TRACE_MESSAGING_LIBRARY = MakeGuid("{8E2B47D1-6C1A-4B3F-9D25-71A0C4E9B3F2}");
constexpr GUID TRACE_MESSAGING_ROUTER = MakeGuid("{3F9D0C62-A4E7-4E51-B8C3-2D6F1A9E0B74}");
