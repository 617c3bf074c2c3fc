#include "messaging/SubjectToken.h"

namespace messaging {

namespace {

bool Plain(unsigned char c)
{
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

int HexValue(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;  // lower case is not produced, so it is not accepted: one address, one token
}

}  // namespace

std::string EscapeToken(std::string_view address)
{
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string token;
  token.reserve(address.size() + 8);
  for (const char ch : address) {
    const auto c = static_cast<unsigned char>(ch);
    if (Plain(c)) {
      token += ch;
    } else {
      token += '=';
      token += kHex[c >> 4];
      token += kHex[c & 0xF];
    }
  }
  return token;
}

std::optional<std::string> UnescapeToken(std::string_view token)
{
  std::string address;
  address.reserve(token.size());
  for (std::size_t i = 0; i < token.size(); ++i) {
    const auto c = static_cast<unsigned char>(token[i]);
    if (Plain(c)) {
      address += token[i];
      continue;
    }
    if (c != '=' || i + 2 >= token.size())
      return std::nullopt;
    const int high = HexValue(token[i + 1]);
    const int low = HexValue(token[i + 2]);
    if (high < 0 || low < 0)
      return std::nullopt;
    const auto decoded = static_cast<unsigned char>(high * 16 + low);
    if (Plain(decoded))
      return std::nullopt;  // an escape that EscapeToken would not write
    address += static_cast<char>(decoded);
    i += 2;
  }
  return address;
}

}  // namespace messaging
