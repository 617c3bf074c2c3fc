#pragma once
// The cipher engine of obscured texts: a built-in key material, a fresh 8-byte salt per text,
// key and IV derived from both, and the cipher's standard block padding. The blob it makes is
//   7 (algorithm identifier), 8 (salt length), the salt, the cipher text.
// The component that reveals the text on the target computer uses the same key material,
// cipher and digest.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "security/MemBuff.h"

namespace LanternSecurity {

constexpr std::uint8_t kAlgorithmIdentifier = 7;
constexpr std::uint8_t kSaltLength = 8;
constexpr std::size_t kBlobHeaderLength = 2 + kSaltLength;

// A failure inside the crypto library: the step's status and the library's error queue as text.
class CipherFailure : public std::runtime_error
{
public:
  CipherFailure(int status, const std::string& openSslErrors);
  int Status() const noexcept { return m_status; }
  const std::string& OpenSslErrors() const noexcept { return m_errors; }

private:
  int m_status;
  std::string m_errors;
};

class Cipher
{
public:
  // Where a text's salt comes from: the seeded random generator unless one is given (a fixed
  // salt makes the output reproducible, which known-answer checks of the format need).
  using SaltSource = std::function<void(std::uint8_t* salt, std::size_t length)>;
  Cipher() = default;
  explicit Cipher(SaltSource salt) : m_salt(std::move(salt)) {}

  // Statuses of the steps that can fail.
  static constexpr int kStatusKeyDerivation = 40;
  static constexpr int kStatusAllocation = 41;
  static constexpr int kStatusContext = 42;
  static constexpr int kStatusInit = 43;
  static constexpr int kStatusUpdate = 44;
  static constexpr int kStatusFinal = 45;
  static constexpr int kStatusBadBlob = 46;

  // The blob of `length` input bytes. NoInputData for none; the generator is seeded first
  // (InitPRNG's exceptions); CipherFailure for a failing library step.
  MemBuff Encrypt(const std::uint8_t* input, std::size_t length);
  // The input bytes of a blob; UnproperInputData for a blob of another layout, CipherFailure
  // when it does not decrypt.
  MemBuff Decrypt(const std::uint8_t* blob, std::size_t length);

private:
  SaltSource m_salt;
};

// The crypto library's error queue as one text (emptied as it is read): library, function and
// reason of each entry with ":flags=", ":data=" and ":at=" parts.
std::string OpenSslErrorQueueText();

}  // namespace LanternSecurity
