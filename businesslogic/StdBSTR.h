#pragma once
// The owning BSTR the business layer reads text parameters into.
#include "platform/com/Bstr.h"

namespace util {
using stdBSTR = _bstr_t;
}
