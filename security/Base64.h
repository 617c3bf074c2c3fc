#pragma once
// The Base64 codec of obscured texts: the standard alphabet with "=" padding, lines of 76
// characters joined by CR LF (none after the last line).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace LanternSecurity {

constexpr std::size_t kBase64LineLength = 76;

// False only when the output cannot be made (out is then empty).
bool Base64Encode(const std::uint8_t* data, std::size_t length, std::string& out);
// Skips CR and LF; false for any other character outside the alphabet, for misplaced padding
// or a length that is not a whole number of groups.
bool Base64Decode(const std::string& text, std::vector<std::uint8_t>& out);

}  // namespace LanternSecurity
