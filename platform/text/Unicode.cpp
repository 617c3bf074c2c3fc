#include "platform/text/Unicode.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

void AppendUtf8(std::string& out, char32_t c)
{
  if (!IsScalar(c))
    c = kReplacement;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one code point at s[i]; advances i; returns false on a malformed sequence
// (i then points past the first bad byte).
bool DecodeUtf8(std::string_view s, std::size_t& i, char32_t& c)
{
  const auto b0 = static_cast<unsigned char>(s[i++]);
  if (b0 < 0x80) {
    c = b0;
    return true;
  }
  int extra;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    c = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    c = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    c = b0 & 0x07;
    min = 0x10000;
  } else {
    return false;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= s.size())
      return false;
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80)
      return false;
    c = (c << 6) | (b & 0x3F);
    ++i;
  }
  return c >= min && IsScalar(c);
}

}  // namespace

// Each conversion allocates its result once, at its final size: a buffer grown on the way
// would be released with a copy of the text in it, and some of these texts are passwords.
std::string ToUtf8(std::wstring_view w)
{
  std::size_t bytes = 0;
  for (wchar_t ch : w) {
    char32_t c = static_cast<char32_t>(ch);
    if (!IsScalar(c))
      c = kReplacement;
    bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  }
  std::string out;
  out.reserve(bytes);
  for (wchar_t ch : w)
    AppendUtf8(out, static_cast<char32_t>(ch));
  return out;
}

std::wstring FromUtf8(std::string_view s)
{
  // Never more characters than bytes.
  std::wstring out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out += static_cast<wchar_t>(b);
      ++i;
      continue;
    }
    char32_t c;
    out += static_cast<wchar_t>(DecodeUtf8(s, i, c) ? c : kReplacement);
  }
  return out;
}

bool IsValidUtf8(std::string_view s)
{
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t c;
    if (!DecodeUtf8(s, i, c))
      return false;
  }
  return true;
}

namespace {

bool IsControl(char32_t c)
{
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

bool IsCleanText(std::string_view utf8)
{
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t c;
    if (!DecodeUtf8(utf8, i, c) || IsControl(c))
      return false;
  }
  return true;
}

bool IsCleanText(std::wstring_view w)
{
  for (wchar_t ch : w) {
    const auto c = static_cast<char32_t>(ch);
    if (!IsScalar(c) || IsControl(c))
      return false;
  }
  return true;
}

std::u16string ToUtf16(std::wstring_view w)
{
  std::size_t units = 0;
  for (wchar_t ch : w)
    units += IsScalar(static_cast<char32_t>(ch)) && static_cast<char32_t>(ch) >= 0x10000 ? 2 : 1;
  std::u16string out;
  out.reserve(units);
  for (wchar_t ch : w) {
    char32_t c = static_cast<char32_t>(ch);
    if (!IsScalar(c))
      c = kReplacement;
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
  }
  return out;
}

std::wstring FromUtf16(std::u16string_view s)
{
  std::wstring out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    out += static_cast<wchar_t>(c);
  }
  return out;
}
