#pragma once
// The trace identity of the business layer (database access and the managed-entity model).
#include "platform/com/Guid.h"

constexpr GUID TRACE_BUSINESSLOGIC = MakeGuid("{3F6A2C19-8B7E-4D05-A1C4-92E65B7D0F38}");
