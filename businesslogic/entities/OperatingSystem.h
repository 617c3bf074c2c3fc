#pragma once
#include "platform/com/WinTypes.h"

namespace PTLDB {
// The 32-bit operating-system code stored with a computer; its values come from status replies
// and from discovery.
using OperatingSystem = LONG;
}  // namespace PTLDB
