#pragma once
// The failures of data-access calls as the business layer raises them.
#include <string>

#include "platform/ado/ErrorInfo.h"
#include "platform/com/WinTypes.h"
#include "platform/errortext/ErrorText.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/text/Unicode.h"

// The error text of a failed data-access call: the thread's error description, else the
// HRESULT's text.
inline std::wstring AdoErrorText(HRESULT hr)
{
  std::wstring text = ado::ErrorCode() == hr ? ado::ErrorDescription() : std::wstring();
  return text.empty() ? FromUtf8(ErrorText(hr)) : text;
}

// A failed call raises WinRuntimeError with the HRESULT and that text.
inline void ThrowIfAdoFailed(HRESULT hr)
{
  if (FAILED(hr))
    throw WinRuntimeError::FromHResult(hr, ToUtf8(AdoErrorText(hr)));
}
