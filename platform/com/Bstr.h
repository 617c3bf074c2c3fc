#pragma once
// BSTR: a length-prefixed, allocated wide string, and its owning wrapper _bstr_t.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/com/WinTypes.h"

using OLECHAR = wchar_t;
using BSTR = OLECHAR*;

BSTR SysAllocString(const OLECHAR* s);
BSTR SysAllocStringLen(const OLECHAR* s, std::size_t len);  // s may be null: len uninitialised zeros
void SysFreeString(BSTR s);
std::size_t SysStringLen(BSTR s);  // characters, 0 for null

// Owning BSTR with value semantics. Narrow text is taken as UTF-8.
class _bstr_t
{
public:
  _bstr_t() = default;
  _bstr_t(const wchar_t* s);
  _bstr_t(const char* s);
  _bstr_t(std::wstring_view s);
  _bstr_t(BSTR s, bool copy);  // copy = false takes ownership
  _bstr_t(const _bstr_t& o);
  _bstr_t(_bstr_t&& o) noexcept;
  _bstr_t& operator=(const _bstr_t& o);
  _bstr_t& operator=(_bstr_t&& o) noexcept;
  ~_bstr_t();

  operator const wchar_t*() const { return m_s ? m_s : L""; }
  std::wstring wstr() const { return std::wstring(static_cast<const wchar_t*>(*this), length()); }
  std::string utf8() const;
  std::size_t length() const { return SysStringLen(m_s); }
  bool empty() const { return length() == 0; }
  BSTR GetBSTR() const { return m_s; }
  BSTR copy() const { return m_s ? SysAllocStringLen(m_s, length()) : nullptr; }
  void Attach(BSTR s);
  BSTR Detach();
  BSTR* GetAddress();  // frees the current string, for out parameters

  friend bool operator==(const _bstr_t& a, const _bstr_t& b) { return a.wstr() == b.wstr(); }

private:
  BSTR m_s = nullptr;
};
