#pragma once
// A computer's messaging-system address: narrow text of at most 255 characters. The database
// holds it as wide text, each character carried over as it is.
#include <cstddef>
#include <string>

namespace vrn {

constexpr std::size_t kMaxMessageSystemAddressLength = 255;

inline std::wstring WidenAddress(const std::string& address)
{
  std::wstring wide;
  wide.reserve(address.size());
  for (char c : address)
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

inline std::string NarrowAddress(const std::wstring& address)
{
  std::string narrow;
  narrow.reserve(address.size());
  for (wchar_t c : address)
    narrow.push_back(static_cast<char>(c));
  return narrow;
}

}  // namespace vrn
