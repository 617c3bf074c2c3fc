#include "platform/com/Bstr.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/text/Unicode.h"

namespace {
// The character count sits in front of the characters, like the platform's BSTR.
struct Header
{
  std::size_t length;
};
Header* HeaderOf(BSTR s) { return reinterpret_cast<Header*>(s) - 1; }
}  // namespace

BSTR SysAllocStringLen(const OLECHAR* s, std::size_t len)
{
  void* mem = std::malloc(sizeof(Header) + (len + 1) * sizeof(OLECHAR));
  if (!mem)
    return nullptr;
  auto* h = static_cast<Header*>(mem);
  h->length = len;
  auto* chars = reinterpret_cast<OLECHAR*>(h + 1);
  if (s)
    std::memcpy(chars, s, len * sizeof(OLECHAR));
  else
    std::memset(chars, 0, len * sizeof(OLECHAR));
  chars[len] = L'\0';
  return chars;
}

BSTR SysAllocString(const OLECHAR* s)
{
  return s ? SysAllocStringLen(s, std::wcslen(s)) : nullptr;
}

void SysFreeString(BSTR s)
{
  if (s)
    std::free(HeaderOf(s));
}

std::size_t SysStringLen(BSTR s) { return s ? HeaderOf(s)->length : 0; }

static BSTR AllocOrThrow(const wchar_t* s, std::size_t n)
{
  BSTR b = SysAllocStringLen(s, n);
  if (!b)
    throw std::bad_alloc();
  return b;
}

_bstr_t::_bstr_t(const wchar_t* s) : m_s(s ? AllocOrThrow(s, std::wcslen(s)) : nullptr) {}
_bstr_t::_bstr_t(const char* s)
{
  if (s) {
    const std::wstring w = FromUtf8(s);
    m_s = AllocOrThrow(w.data(), w.size());
  }
}
_bstr_t::_bstr_t(std::wstring_view s) : m_s(AllocOrThrow(s.data(), s.size())) {}
_bstr_t::_bstr_t(BSTR s, bool copy) : m_s(copy && s ? AllocOrThrow(s, SysStringLen(s)) : s) {}
_bstr_t::_bstr_t(const _bstr_t& o) : m_s(o.m_s ? AllocOrThrow(o.m_s, o.length()) : nullptr) {}
_bstr_t::_bstr_t(_bstr_t&& o) noexcept : m_s(o.m_s) { o.m_s = nullptr; }
_bstr_t& _bstr_t::operator=(const _bstr_t& o)
{
  if (this != &o) {
    _bstr_t tmp(o);
    std::swap(m_s, tmp.m_s);
  }
  return *this;
}
_bstr_t& _bstr_t::operator=(_bstr_t&& o) noexcept
{
  std::swap(m_s, o.m_s);
  return *this;
}
_bstr_t::~_bstr_t() { SysFreeString(m_s); }

std::string _bstr_t::utf8() const { return ToUtf8(wstr()); }

void _bstr_t::Attach(BSTR s)
{
  SysFreeString(m_s);
  m_s = s;
}

BSTR _bstr_t::Detach()
{
  BSTR s = m_s;
  m_s = nullptr;
  return s;
}

BSTR* _bstr_t::GetAddress()
{
  SysFreeString(m_s);
  m_s = nullptr;
  return &m_s;
}
