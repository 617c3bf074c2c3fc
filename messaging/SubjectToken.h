#pragma once
// Addresses as NATS subject tokens. Every byte outside [A-Za-z0-9_-] becomes "=XX" (upper-case
// hex), '=' included, so that '.', '*', '>' and blanks never split or widen a subject and the
// same token is valid in subjects, consumer names and key-value keys.
#include <optional>
#include <string>
#include <string_view>

namespace messaging {

std::string EscapeToken(std::string_view address);
// The address a token stands for; nothing when the token is not one EscapeToken makes.
std::optional<std::string> UnescapeToken(std::string_view token);

}  // namespace messaging
