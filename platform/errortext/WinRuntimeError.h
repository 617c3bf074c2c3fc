#pragma once
// A std::runtime_error carrying a Win32 error or an HRESULT and its error text. Raised by every
// failed registry, data-access or document call.
#include <stdexcept>
#include <string>

#include "platform/com/WinTypes.h"

class WinRuntimeError : public std::runtime_error
{
public:
  // A Win32 error code; the message is the code's text.
  static WinRuntimeError FromWin32(LONG code, const std::string& context = {});
  // An HRESULT; the message is the given description, else the HRESULT's text.
  static WinRuntimeError FromHResult(HRESULT hr, const std::string& description = {});

  HRESULT hr() const noexcept { return m_hr; }
  // The Win32 code when the error came from one, else 0.
  LONG win32() const noexcept { return m_win32; }

private:
  WinRuntimeError(const std::string& what, HRESULT hr, LONG win32) : std::runtime_error(what), m_hr(hr), m_win32(win32) {}
  HRESULT m_hr;
  LONG m_win32;
};
