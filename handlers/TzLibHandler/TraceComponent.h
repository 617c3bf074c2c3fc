#pragma once
// The trace identity of the library status document.
#include "platform/com/Guid.h"

constexpr GUID TRACE_TZLIBHANDLER = MakeGuid("{A2C47E19-58B3-4D6F-8E02-9B1F3C6D7A45}");
