#include "security/Base64.h"

#include <new>

namespace LanternSecurity {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int ValueOf(char c)
{
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  if (c == '/')
    return 63;
  return -1;
}
}  // namespace

bool Base64Encode(const std::uint8_t* data, std::size_t length, std::string& out)
{
  out.clear();
  try {
    const std::size_t chars = (length + 2) / 3 * 4;
    out.reserve(chars + chars / kBase64LineLength * 2);
    std::size_t column = 0;
    auto put = [&](char c) {
      if (column == kBase64LineLength) {
        out += "\r\n";
        column = 0;
      }
      out += c;
      ++column;
    };
    for (std::size_t i = 0; i < length; i += 3) {
      const std::uint32_t b0 = data[i];
      const std::uint32_t b1 = i + 1 < length ? data[i + 1] : 0;
      const std::uint32_t b2 = i + 2 < length ? data[i + 2] : 0;
      const std::uint32_t group = b0 << 16 | b1 << 8 | b2;
      put(kAlphabet[group >> 18 & 63]);
      put(kAlphabet[group >> 12 & 63]);
      put(i + 1 < length ? kAlphabet[group >> 6 & 63] : '=');
      put(i + 2 < length ? kAlphabet[group & 63] : '=');
    }
    return true;
  } catch (const std::bad_alloc&) {
    out.clear();
    return false;
  }
}

bool Base64Decode(const std::string& text, std::vector<std::uint8_t>& out)
{
  out.clear();
  std::uint32_t group = 0;
  int inGroup = 0;
  int padding = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n')
      continue;
    if (c == '=') {
      if (inGroup < 2)
        return false;
      ++padding;
      group <<= 6;
      ++inGroup;
    } else {
      const int v = ValueOf(c);
      if (v < 0 || padding)
        return false;
      group = group << 6 | static_cast<std::uint32_t>(v);
      ++inGroup;
    }
    if (inGroup == 4) {
      out.push_back(static_cast<std::uint8_t>(group >> 16));
      if (padding < 2)
        out.push_back(static_cast<std::uint8_t>(group >> 8));
      if (padding < 1)
        out.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      inGroup = 0;
      if (padding)
        padding = 3;  // nothing may follow a padded group
    }
  }
  return inGroup == 0;
}

}  // namespace LanternSecurity
