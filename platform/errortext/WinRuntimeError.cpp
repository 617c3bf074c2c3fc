#include "platform/errortext/WinRuntimeError.h"

#include <cstdio>

#include "platform/errortext/ErrorText.h"

WinRuntimeError WinRuntimeError::FromWin32(LONG code, const std::string& context)
{
  std::string text = Win32ErrorText(static_cast<DWORD>(code));
  if (text.empty()) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "Win32 error %ld", static_cast<long>(code));
    text = buf;
  }
  return WinRuntimeError(context.empty() ? text : context + ": " + text, HRESULT_FROM_WIN32(code), code);
}

WinRuntimeError WinRuntimeError::FromHResult(HRESULT hr, const std::string& description)
{
  return WinRuntimeError(description.empty() ? ErrorText(hr) : description, hr, 0);
}
