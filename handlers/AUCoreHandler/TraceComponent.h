#pragma once
// The trace identity of the update documents.
#include "platform/com/Guid.h"

constexpr GUID TRACE_AUCOREHANDLER = MakeGuid("{3F6B92C4-1D7E-4A08-B5E3-72C9A04D1E58}");
