#pragma once
// _com_error (an HRESULT with its error information) and CAtlException (an HRESULT).
#include <string>

#include "platform/com/WinTypes.h"

class _com_error
{
public:
  explicit _com_error(HRESULT hr, std::wstring description = {}, std::wstring source = {});

  HRESULT Error() const noexcept { return m_hr; }
  // The error information's description; empty when there is none.
  const std::wstring& Description() const noexcept { return m_description; }
  const std::wstring& Source() const noexcept { return m_source; }
  // The text of the HRESULT from the error-text library.
  const char* ErrorMessage() const noexcept { return m_message.c_str(); }

private:
  HRESULT m_hr;
  std::wstring m_description;
  std::wstring m_source;
  std::string m_message;
};

[[noreturn]] void _com_issue_error(HRESULT hr);
[[noreturn]] void _com_issue_errorex(HRESULT hr, const std::wstring& description);

// Throws _com_error when hr is a failure.
inline void ThrowIfFailed(HRESULT hr)
{
  if (FAILED(hr))
    _com_issue_error(hr);
}

class CAtlException
{
public:
  CAtlException(HRESULT hr = E_FAIL) noexcept : m_hr(hr) {}
  operator HRESULT() const noexcept { return m_hr; }
  HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) { throw CAtlException(hr); }
