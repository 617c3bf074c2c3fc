#pragma once
// How long the texts handed to the procedures may be. The business layer cuts a text to its
// limit before setting it; a text the procedure takes longer than it declares is an error.
#include <cstddef>
#include <string>

namespace vrn::TextLimits {

constexpr std::size_t kComputerName = 31;
constexpr std::size_t kDomainName = 128;
constexpr std::size_t kDescription = 512;
constexpr std::size_t kScanName = 64;
constexpr std::size_t kUserName = 256;
constexpr std::size_t kAlertInsert = 256;
constexpr std::size_t kEntityInfo = 256;
constexpr std::size_t kInfectedItem = 256;
constexpr std::size_t kSource = 32;
constexpr std::size_t kVirusName = 32;
constexpr std::size_t kGroupName = 32;
constexpr std::size_t kCompanyName = 256;
// Never cut: two keys cut to the same text would make two envelopes one.
constexpr std::size_t kDeliveryKey = 255;

// The first `length` characters of the text.
inline std::wstring Cut(const std::wstring& text, std::size_t length) { return text.substr(0, length); }

}  // namespace vrn::TextLimits
