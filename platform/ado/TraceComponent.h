#pragma once
// The trace identity of the data-access layer.
#include "platform/com/Guid.h"

namespace ado {
constexpr GUID TRACE_ADO = MakeGuid("{8E0D7B52-61A4-4C39-B2F7-3A95C0E41D6B}");
}
