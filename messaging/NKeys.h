#pragma once
// NATS user nkeys: Ed25519 key pairs written as NATS writes them. A seed ("SU...") is the base32
// text (no padding) of two prefix bytes, the 32-byte Ed25519 seed and a CRC-16 (little-endian); a
// public key ("U...") of one prefix byte, the 32-byte public key and the CRC-16. The server knows
// a user by the public key; the client proves it holds the seed by signing the server's nonce.
//
// Seeds are secrets: they never go to a log or an exception's text, and the buffers that held
// them are wiped when done.
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace messaging {

// A text that is not a user seed or public key, a seed file that cannot be read, or a failure
// of the crypto library.
class NKeyError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

// Holds a seed's text and wipes it when it goes.
class SeedText
{
public:
  SeedText() = default;
  explicit SeedText(std::string text) : m_text(std::move(text)) {}
  ~SeedText();
  SeedText(const SeedText&) = delete;
  SeedText& operator=(const SeedText&) = delete;
  SeedText(SeedText&& other) noexcept;
  SeedText& operator=(SeedText&& other) noexcept;

  const std::string& Text() const { return m_text; }

private:
  std::string m_text;
};

struct UserKeyPair
{
  SeedText seed;          // "SU..."
  std::string publicKey;  // "U..."
};

// A fresh pair from 32 bytes of the crypto library's private random generator.
UserKeyPair NewUserKeyPair();

// The public key of a seed; NKeyError when the text is not a well-formed user seed.
std::string PublicKeyFromSeed(std::string_view seed);

// The Ed25519 signature of the bytes, as the server checks it against the public key.
// libnats 3.4.1 sends no signature at all when its first byte is zero (through
// natsOptions_SetNKey and its own seed-file signer alike), so about one connect in 256 is refused
// as an "Authorization Violation": connect again, the next nonce gives another signature.
std::array<unsigned char, 64> Sign(std::string_view seed, const void* data, std::size_t size);

// True when the text is a well-formed user public key (prefix, length, alphabet and CRC).
bool IsUserPublicKey(std::string_view text);
// True when the text is a well-formed user seed.
bool IsUserSeed(std::string_view text);

// The seed a seed file holds: one user seed, optionally followed by a line end. Anything else
// (another key type, a public key, extra text, a broken CRC, a file over 4 KB, a directory) is
// refused with NKeyError naming the file but not its content.
SeedText ReadSeedFile(const std::string& path);

// CRC-16/XMODEM (polynomial 0x1021, initial value 0), the checksum of nkey texts.
std::uint16_t NKeyCrc16(const unsigned char* data, std::size_t size);

}  // namespace messaging
