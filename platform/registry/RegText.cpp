// The .reg export syntax: a header line, then [key] sections with "name"=value lines.
#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace {

[[noreturn]] void Fail(std::size_t line, const std::string& what)
{
  throw std::runtime_error("line " + std::to_string(line) + ": " + what);
}

std::string TrimRight(std::string s)
{
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
    s.pop_back();
  return s;
}

std::string TrimLeft(const std::string& s)
{
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
    ++i;
  return s.substr(i);
}

// Reads a quoted string starting at s[i] == '"'; leaves i after the closing quote.
std::string Quoted(const std::string& s, std::size_t& i, std::size_t line)
{
  std::string out;
  ++i;
  for (; i < s.size(); ++i) {
    if (s[i] == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
        Fail(line, "bad escape in quoted text");
      out += s[++i];
    } else if (s[i] == '"') {
      ++i;
      return out;
    } else {
      out += s[i];
    }
  }
  Fail(line, "unterminated quoted text");
}

std::vector<BYTE> HexBytes(const std::string& s, std::size_t line)
{
  std::vector<BYTE> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
      ++i;
    if (i >= s.size())
      break;
    std::size_t j = i;
    while (j < s.size() && std::isxdigit(static_cast<unsigned char>(s[j])))
      ++j;
    if (j - i != 2)
      Fail(line, "hex bytes must be two hex digits separated by commas");
    out.push_back(static_cast<BYTE>(std::stoul(s.substr(i, 2), nullptr, 16)));
    i = j;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
      ++i;
    if (i < s.size()) {
      if (s[i] != ',')
        Fail(line, "hex bytes must be two hex digits separated by commas");
      ++i;
      if (i >= s.size())
        Fail(line, "trailing comma in hex bytes");
    }
  }
  return out;
}

std::vector<BYTE> Utf16z(const std::wstring& w)
{
  std::vector<BYTE> out;
  for (char16_t c : ToUtf16(w)) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

// The text of well-formed string data that the quoted form can carry, else false.
bool QuotableText(const std::vector<BYTE>& data, std::wstring& out)
{
  if (data.size() < 2 || data.size() % 2)
    return false;
  std::u16string u;
  for (std::size_t i = 0; i < data.size(); i += 2)
    u.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  if (u.back() != 0)
    return false;
  u.pop_back();
  for (char16_t c : u)
    if (c == 0 || c == u'\n' || c == u'\r')
      return false;
  out = FromUtf16(u);
  return Utf16z(out) == data;  // lone surrogates would not survive the round trip
}

std::string Escape(const std::string& s)
{
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"')
      out += '\\';
    out += c;
  }
  return out;
}

std::string HexList(const std::vector<BYTE>& data, std::size_t prefixLen)
{
  std::string out;
  std::size_t col = prefixLen;
  for (std::size_t i = 0; i < data.size(); ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", data[i]);
    out += b;
    col += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++col;
      if (col > 76) {
        out += "\\\n  ";
        col = 2;
      }
    }
  }
  return out;
}

}  // namespace

std::vector<RegKeyText> ParseRegText(const std::string& input)
{
  std::string text = input;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0)
    text.erase(0, 3);
  if (!IsValidUtf8(text))
    throw std::runtime_error("line 1: the file is not UTF-8 text");

  // Split into logical lines, joining hex continuations that end with a backslash.
  std::vector<std::pair<std::size_t, std::string>> lines;
  {
    std::size_t lineNo = 0, pos = 0;
    std::string pending;
    std::size_t pendingLine = 0;
    while (pos <= text.size()) {
      const std::size_t nl = text.find('\n', pos);
      std::string raw = TrimRight(text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos));
      ++lineNo;
      pos = nl == std::string::npos ? text.size() + 1 : nl + 1;
      if (!pending.empty()) {
        raw = TrimLeft(raw);
      } else {
        pendingLine = lineNo;
      }
      if (!raw.empty() && raw.back() == '\\' && (!pending.empty() || raw.find("=hex") != std::string::npos)) {
        pending += raw.substr(0, raw.size() - 1);
        continue;
      }
      lines.emplace_back(pendingLine, pending + raw);
      pending.clear();
    }
    if (!pending.empty())
      Fail(pendingLine, "hex continuation runs past the end of the file");
  }

  std::vector<RegKeyText> keys;
  bool header = false;
  for (const auto& [no, line] : lines) {
    if (line.empty() || line[0] == ';')
      continue;
    if (!header) {
      if (line != "Windows Registry Editor Version 5.00")
        Fail(no, "expected the header \"Windows Registry Editor Version 5.00\"");
      header = true;
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3)
        Fail(no, "a key line must be [path]");
      const std::string path = line.substr(1, line.size() - 2);
      if (path[0] == '-')
        Fail(no, "key deletion lines are not supported");
      const auto root = path.substr(0, path.find('\\'));
      if (root != "HKEY_LOCAL_MACHINE" && root != "HKEY_CLASSES_ROOT")
        Fail(no, "unknown root key \"" + root + "\"");
      if (path.find("\\\\") != std::string::npos || path.back() == '\\')
        Fail(no, "empty key name in path");
      keys.push_back({FromUtf8(path), {}});
      continue;
    }
    if (keys.empty())
      Fail(no, "value line before any [key] line");
    std::size_t i = 0;
    std::wstring name;
    if (line[0] == '@') {
      i = 1;
    } else if (line[0] == '"') {
      name = FromUtf8(Quoted(line, i, no));
    } else {
      Fail(no, "a value line must start with \"name\" or @");
    }
    if (i >= line.size() || line[i] != '=')
      Fail(no, "expected '=' after the value name");
    const std::string rhs = line.substr(i + 1);
    RegValueText v{name, REG_SZ, {}};
    if (!rhs.empty() && rhs[0] == '"') {
      std::size_t j = 0;
      const std::string s = Quoted(rhs, j, no);
      if (j != rhs.size())
        Fail(no, "text after the closing quote");
      v.data = Utf16z(FromUtf8(s));
    } else if (rhs.rfind("dword:", 0) == 0) {
      const std::string hex = rhs.substr(6);
      if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        Fail(no, "dword: needs one to eight hex digits");
      const unsigned long d = std::stoul(hex, nullptr, 16);
      v.type = REG_DWORD;
      v.data = {static_cast<BYTE>(d), static_cast<BYTE>(d >> 8), static_cast<BYTE>(d >> 16), static_cast<BYTE>(d >> 24)};
    } else if (rhs.rfind("hex:", 0) == 0) {
      v.type = REG_BINARY;
      v.data = HexBytes(rhs.substr(4), no);
    } else if (rhs.rfind("hex(", 0) == 0) {
      const auto close = rhs.find("):");
      const std::string t = close == std::string::npos ? "" : rhs.substr(4, close - 4);
      if (t.empty() || t.size() > 8 || t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        Fail(no, "hex(type): needs a hex type");
      v.type = static_cast<DWORD>(std::stoul(t, nullptr, 16));
      v.data = HexBytes(rhs.substr(close + 2), no);
    } else {
      Fail(no, "unknown value form (expected \"text\", dword:, hex: or hex(n):)");
    }
    keys.back().values.push_back(std::move(v));
  }
  if (!header && !text.empty())
    Fail(1, "expected the header \"Windows Registry Editor Version 5.00\"");
  return keys;
}

std::string FormatRegText(const std::vector<RegKeyText>& keys)
{
  std::string out = "Windows Registry Editor Version 5.00\n";
  for (const auto& k : keys) {
    out += "\n[" + ToUtf8(k.path) + "]\n";
    for (const auto& v : k.values) {
      std::string line = v.name.empty() ? "@=" : "\"" + Escape(ToUtf8(v.name)) + "\"=";
      std::wstring text;
      if (v.type == REG_SZ && QuotableText(v.data, text)) {
        line += "\"" + Escape(ToUtf8(text)) + "\"";
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        char b[16];
        std::snprintf(b, sizeof b, "dword:%08x",
                      v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<unsigned>(v.data[3]) << 24));
        line += b;
      } else if (v.type == REG_BINARY) {
        line += "hex:";
        line += HexList(v.data, line.size());
      } else {
        char b[20];
        std::snprintf(b, sizeof b, "hex(%x):", v.type);
        line += b;
        line += HexList(v.data, line.size());
      }
      out += line + "\n";
    }
  }
  return out;
}
