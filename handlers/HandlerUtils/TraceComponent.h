#pragma once
// The trace identity of the document utilities.
#include "platform/com/Guid.h"

constexpr GUID TRACE_HANDLERUTILS = MakeGuid("{8E41B2D7-6C0A-4F35-9D18-2A7E5C3B9F61}");
