#include "messaging/NKeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace messaging {

namespace {

constexpr unsigned char kUserPrefix = 20 << 3;  // 'U'
constexpr unsigned char kSeedPrefix = 18 << 3;  // 'S'
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kSeedRawSize = 2 + kKeySize + 2;
constexpr std::size_t kPublicRawSize = 1 + kKeySize + 2;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

constexpr std::size_t EncodedSize(std::size_t raw) { return (raw * 8 + 4) / 5; }

// A fixed-size buffer that is wiped when it goes.
template <std::size_t N>
struct Secret
{
  unsigned char bytes[N] = {};
  ~Secret() { OPENSSL_cleanse(bytes, N); }
};

std::string Base32(const unsigned char* data, std::size_t size)
{
  std::string text;
  text.reserve(EncodedSize(size));
  unsigned buffer = 0;
  int bits = 0;
  for (std::size_t i = 0; i < size; ++i) {
    buffer = (buffer << 8) | data[i];
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      text += kAlphabet[(buffer >> bits) & 31];
    }
  }
  if (bits > 0)
    text += kAlphabet[(buffer << (5 - bits)) & 31];
  OPENSSL_cleanse(&buffer, sizeof buffer);
  return text;
}

// Decodes exactly `size` bytes; false on a wrong length, a character outside the alphabet or
// set bits in the final character's padding (one key, one text).
bool FromBase32(std::string_view text, unsigned char* out, std::size_t size)
{
  if (text.size() != EncodedSize(size))
    return false;
  unsigned buffer = 0;
  int bits = 0;
  std::size_t n = 0;
  bool ok = true;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= '2' && c <= '7')
      v = c - '2' + 26;
    else {
      ok = false;
      break;
    }
    buffer = (buffer << 5) | static_cast<unsigned>(v);
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      out[n++] = static_cast<unsigned char>(buffer >> bits);
    }
  }
  if (ok && (n != size || (buffer & ((1u << bits) - 1)) != 0))
    ok = false;
  OPENSSL_cleanse(&buffer, sizeof buffer);
  return ok;
}

void PutCrc(unsigned char* raw, std::size_t payload)
{
  const std::uint16_t crc = NKeyCrc16(raw, payload);
  raw[payload] = static_cast<unsigned char>(crc & 0xFF);
  raw[payload + 1] = static_cast<unsigned char>(crc >> 8);
}

bool CrcMatches(const unsigned char* raw, std::size_t payload)
{
  const std::uint16_t crc = NKeyCrc16(raw, payload);
  return raw[payload] == (crc & 0xFF) && raw[payload + 1] == (crc >> 8);
}

// The 32-byte Ed25519 seed of a seed text.
bool DecodeSeed(std::string_view text, Secret<kSeedRawSize>& raw)
{
  return FromBase32(text, raw.bytes, kSeedRawSize) && raw.bytes[0] == (kSeedPrefix | (kUserPrefix >> 5)) &&
         raw.bytes[1] == static_cast<unsigned char>((kUserPrefix & 31) << 3) && CrcMatches(raw.bytes, 2 + kKeySize);
}

struct PkeyFree
{
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey KeyFromSeed(std::string_view seed)
{
  Secret<kSeedRawSize> raw;
  if (!DecodeSeed(seed, raw))
    throw NKeyError("not a user nkey seed");
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, raw.bytes + 2, kKeySize));
  if (!key)
    throw NKeyError("the crypto library refused an Ed25519 seed");
  return key;
}

std::string PublicKeyText(EVP_PKEY* key)
{
  unsigned char raw[kPublicRawSize];
  std::size_t size = kKeySize;
  raw[0] = kUserPrefix;
  if (EVP_PKEY_get_raw_public_key(key, raw + 1, &size) != 1 || size != kKeySize)
    throw NKeyError("the crypto library did not give an Ed25519 public key");
  PutCrc(raw, 1 + kKeySize);
  return Base32(raw, kPublicRawSize);
}

}  // namespace

std::uint16_t NKeyCrc16(const unsigned char* data, std::size_t size)
{
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i]) << 8;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}

SeedText::~SeedText()
{
  if (!m_text.empty())
    OPENSSL_cleanse(m_text.data(), m_text.size());
}

SeedText::SeedText(SeedText&& other) noexcept : m_text(std::move(other.m_text))
{
  other.m_text.clear();
}

SeedText& SeedText::operator=(SeedText&& other) noexcept
{
  if (this != &other) {
    if (!m_text.empty())
      OPENSSL_cleanse(m_text.data(), m_text.size());
    m_text = std::move(other.m_text);
    other.m_text.clear();
  }
  return *this;
}

UserKeyPair NewUserKeyPair()
{
  Secret<kSeedRawSize> raw;
  raw.bytes[0] = kSeedPrefix | (kUserPrefix >> 5);
  raw.bytes[1] = static_cast<unsigned char>((kUserPrefix & 31) << 3);
  if (RAND_priv_bytes(raw.bytes + 2, kKeySize) != 1)
    throw NKeyError("no random bytes for a new key");
  PutCrc(raw.bytes, 2 + kKeySize);
  UserKeyPair pair;
  pair.seed = SeedText(Base32(raw.bytes, kSeedRawSize));
  pair.publicKey = PublicKeyFromSeed(pair.seed.Text());
  return pair;
}

std::string PublicKeyFromSeed(std::string_view seed)
{
  return PublicKeyText(KeyFromSeed(seed).get());
}

std::array<unsigned char, 64> Sign(std::string_view seed, const void* data, std::size_t size)
{
  const Pkey key = KeyFromSeed(seed);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::array<unsigned char, 64> signature{};
  std::size_t length = signature.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &length, static_cast<const unsigned char*>(data), size) != 1 ||
      length != signature.size())
    throw NKeyError("Ed25519 signing failed");
  return signature;
}

bool IsUserPublicKey(std::string_view text)
{
  unsigned char raw[kPublicRawSize];
  return FromBase32(text, raw, kPublicRawSize) && raw[0] == kUserPrefix && CrcMatches(raw, 1 + kKeySize);
}

bool IsUserSeed(std::string_view text)
{
  Secret<kSeedRawSize> raw;
  return DecodeSeed(text, raw);
}

SeedText ReadSeedFile(const std::string& path)
{
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw NKeyError("cannot open the seed file " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
    ::close(fd);
    throw NKeyError(path + " is not a seed file (not a small regular file)");
  }
  Secret<4097> buffer;
  std::size_t size = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.bytes + size, sizeof buffer.bytes - size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw NKeyError("cannot read the seed file " + path + ": " + std::strerror(error));
    }
    if (n == 0)
      break;
    size += static_cast<std::size_t>(n);
    if (size == sizeof buffer.bytes)
      break;
  }
  ::close(fd);
  std::string_view text(reinterpret_cast<const char*>(buffer.bytes), size);
  if (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r')
    text.remove_suffix(1);
  if (!IsUserSeed(text))
    throw NKeyError(path + " does not hold a user nkey seed");
  return SeedText(std::string(text));
}

}  // namespace messaging
