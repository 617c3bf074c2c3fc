#include "handlers/AUCoreHandler/PathUtils.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cwctype>
#include <memory>

namespace util {

namespace {

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

bool IsAsciiAlpha(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The scheme of a URL ("http" of "http://host"); empty when the text is not a URL.
std::wstring Scheme(const std::wstring& text)
{
  const auto colon = text.find(L':');
  if (colon == std::wstring::npos || colon < 2 || !IsAsciiAlpha(text[0]))
    return {};
  for (std::size_t i = 1; i < colon; ++i) {
    const wchar_t c = text[i];
    if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != L'+' && c != L'-' && c != L'.')
      return {};
  }
  std::wstring scheme = text.substr(0, colon);
  for (auto& c : scheme)
    c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return scheme;
}

}  // namespace

bool PathIsUNC(const std::wstring& path)
{
  std::wstring rest;
  if (StartsWith(path, L"\\\\?\\UNC\\"))
    rest = path.substr(8);
  else if (StartsWith(path, L"\\\\"))
    rest = path.substr(2);
  else
    return false;
  const std::wstring server = rest.substr(0, rest.find(L'\\'));
  return !server.empty() && server != L"?" && server != L"." && server.find(L'/') == std::wstring::npos;
}

bool PathIsURL(const std::wstring& path) { return !Scheme(path).empty(); }

bool PathIsHttpURL(const std::wstring& path)
{
  const std::wstring scheme = Scheme(path);
  return (scheme == L"http" || scheme == L"https") && path.compare(scheme.size(), 3, L"://") == 0;
}

std::string TypeName(const std::type_info& type)
{
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

}  // namespace util
