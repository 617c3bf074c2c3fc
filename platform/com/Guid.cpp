#include "platform/com/Guid.h"

#include <cstdio>
#include <random>

std::string GuidToString(const GUID& g)
{
  char buf[39];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::wstring GuidToWString(const GUID& g)
{
  const std::string s = GuidToString(g);
  return std::wstring(s.begin(), s.end());
}

HRESULT CLSIDFromString(const wchar_t* text, CLSID* out)
{
  if (!out)
    return E_INVALIDARG;
  if (!text)
    return CO_E_CLASSSTRING;
  auto g = GuidFromString(std::wstring_view(text));
  if (!g)
    return CO_E_CLASSSTRING;
  *out = *g;
  return S_OK;
}

int StringFromGUID2(const GUID& g, wchar_t* buf, int cch)
{
  const std::wstring s = GuidToWString(g);
  if (!buf || cch < static_cast<int>(s.size() + 1))
    return 0;
  for (std::size_t i = 0; i < s.size(); ++i)
    buf[i] = s[i];
  buf[s.size()] = L'\0';
  return static_cast<int>(s.size() + 1);
}

GUID NewGuid()
{
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  const std::uint64_t a = rng(), b = rng();
  GUID g;
  g.Data1 = static_cast<std::uint32_t>(a >> 32);
  g.Data2 = static_cast<std::uint16_t>(a >> 16);
  g.Data3 = static_cast<std::uint16_t>((a & 0x0FFF) | 0x4000);
  for (int k = 0; k < 8; ++k)
    g.Data4[k] = static_cast<std::uint8_t>(b >> (8 * k));
  g.Data4[0] = static_cast<std::uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}
