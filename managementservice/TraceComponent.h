#pragma once
// The trace identities of the management service's own components.
#include "platform/com/Guid.h"

constexpr GUID TRACE_MANAGEMENTSERVICE = MakeGuid("{5C1E4A70-2D3B-4F8E-9A61-0B7C3D2E1F40}");
// The flow of messages through the service: arrival, start and end of processing.
constexpr GUID TRACE_MESSAGEFLOW = MakeGuid("{5C1E4A71-2D3B-4F8E-9A61-0B7C3D2E1F40}");
