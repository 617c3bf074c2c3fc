#pragma once
// GUID value type, with parsing and formatting in the registry form "{XXXXXXXX-XXXX-...}".
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/WinTypes.h"

struct GUID
{
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::array<std::uint8_t, 8> Data4{};

  friend constexpr bool operator==(const GUID&, const GUID&) = default;
  friend constexpr auto operator<=>(const GUID&, const GUID&) = default;
};
using CLSID = GUID;
using IID = GUID;

constexpr HRESULT CO_E_CLASSSTRING = MakeHr(0x800401F3);

namespace guid_detail {
constexpr int Hex(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
template <class Ch>
constexpr std::optional<GUID> Parse(std::basic_string_view<Ch> s)
{
  if (s.size() == 38) {
    if (s.front() != Ch('{') || s.back() != Ch('}'))
      return std::nullopt;
    s = s.substr(1, 36);
  }
  if (s.size() != 36)
    return std::nullopt;
  std::uint8_t bytes[16]{};
  int b = 0;
  for (std::size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != Ch('-'))
        return std::nullopt;
      ++i;
      continue;
    }
    const auto c0 = s[i], c1 = s[i + 1];
    if (c0 > 0x7F || c1 > 0x7F)
      return std::nullopt;
    const int hi = Hex(static_cast<char>(c0)), lo = Hex(static_cast<char>(c1));
    if (hi < 0 || lo < 0)
      return std::nullopt;
    bytes[b++] = static_cast<std::uint8_t>(hi * 16 + lo);
    i += 2;
  }
  GUID g;
  g.Data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) | bytes[3];
  g.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int k = 0; k < 8; ++k)
    g.Data4[k] = bytes[8 + k];
  return g;
}
}  // namespace guid_detail

// Parses "{...}" or the bare 36-character form; nullopt on anything else.
constexpr std::optional<GUID> GuidFromString(std::string_view s) { return guid_detail::Parse(s); }
constexpr std::optional<GUID> GuidFromString(std::wstring_view s) { return guid_detail::Parse(s); }

// For compile-time constants: an invalid literal fails the build.
consteval GUID MakeGuid(const char* literal)
{
  auto g = guid_detail::Parse(std::string_view(literal));
  if (!g)
    throw "invalid GUID literal";
  return *g;
}

// "{94118687-66D6-464D-8893-94A0851C4C50}": upper-case hex, braces.
std::string GuidToString(const GUID& g);
std::wstring GuidToWString(const GUID& g);

HRESULT CLSIDFromString(const wchar_t* text, CLSID* out);
// Writes the braced form into buf; returns the characters written including the terminator,
// or 0 when cch is too small.
int StringFromGUID2(const GUID& g, wchar_t* buf, int cch);

// A new random (version 4) GUID.
GUID NewGuid();
