#pragma once
// The calling thread's error information: every call of the data-access layer that fails leaves
// the description of its failure here, as COM objects do with their error-information object.
#include <string>

#include "platform/com/WinTypes.h"

namespace ado {

// Records a failure and returns its HRESULT, so that failing paths read `return Fail(hr, text);`.
HRESULT Fail(HRESULT hr, const std::wstring& description);
HRESULT Fail(HRESULT hr, const std::string& utf8Description);

// The description of the thread's last failure; empty when none was recorded.
std::wstring ErrorDescription();
HRESULT ErrorCode();

}  // namespace ado
