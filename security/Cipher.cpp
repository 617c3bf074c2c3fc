#include "security/Cipher.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "security/InitPRNG.h"
#include "security/SecurityException.h"

namespace LanternSecurity {

namespace {

// The key material, kept as four scrambled pieces; it exists in clear only while a key is
// derived, and the pieces are scrambled again right after.
std::uint8_t g_piece0[12] = {0x76, 0x73, 0x0D, 0x40, 0x98, 0x2D, 0xDC, 0x57, 0x17, 0xF9, 0x71, 0x55};
std::uint8_t g_piece1[12] = {0xCC, 0xBC, 0x5A, 0x7E, 0xFC, 0xFF, 0x0C, 0xF5, 0x8C, 0x12, 0x8B, 0x7D};
std::uint8_t g_piece2[24] = {0x78, 0x54, 0xB6, 0x97, 0xBD, 0xDB, 0x8F, 0xB0, 0x59, 0xD4, 0xA7, 0x5A,
                             0x77, 0x18, 0x6D, 0x4E, 0x43, 0x92, 0xB8, 0x41, 0x18, 0xEF, 0xF7, 0x92};
std::uint8_t g_piece3[24] = {0x47, 0x33, 0x9D, 0xB0, 0x95, 0xB3, 0xF8, 0x32, 0xC7, 0x45, 0x8C, 0x1A,
                             0x68, 0x7A, 0x51, 0x9E, 0x6A, 0x1A, 0x34, 0xCB, 0x77, 0x23, 0x66, 0x1D};
std::mutex g_pieceMutex;

// Scrambling is its own inverse: a position- and piece-dependent mask.
void Scramble(std::uint8_t* piece, std::size_t length, unsigned pieceIndex)
{
  for (std::size_t i = 0; i < length; ++i)
    piece[i] ^= static_cast<std::uint8_t>(0xA5 ^ (i * 29 + pieceIndex * 71));
}

MemBuff KeyMaterial()
{
  std::lock_guard<std::mutex> lock(g_pieceMutex);
  struct Piece { std::uint8_t* data; std::size_t length; };
  const Piece pieces[] = {{g_piece0, sizeof g_piece0}, {g_piece1, sizeof g_piece1},
                          {g_piece2, sizeof g_piece2}, {g_piece3, sizeof g_piece3}};
  MemBuff material(sizeof g_piece0 + sizeof g_piece1 + sizeof g_piece2 + sizeof g_piece3);
  std::size_t at = 0;
  unsigned index = 0;
  for (const Piece& p : pieces) {
    Scramble(p.data, p.length, index);
    std::memcpy(material.Data() + at, p.data, p.length);
    Scramble(p.data, p.length, index);
    at += p.length;
    ++index;
  }
  return material;
}

const EVP_CIPHER* TheCipher() { return EVP_aes_256_cbc(); }
const EVP_MD* TheDigest() { return EVP_sha256(); }

struct ContextFree
{
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

[[noreturn]] void Fail(int status) { throw CipherFailure(status, OpenSslErrorQueueText()); }

// Key and IV buffers of the library's maximum sizes; the cipher takes what it needs.
struct KeyAndIv
{
  MemBuff key{EVP_MAX_KEY_LENGTH};
  MemBuff iv{EVP_MAX_IV_LENGTH};
};

void Derive(const std::uint8_t* salt, KeyAndIv& out)
{
  const MemBuff material = KeyMaterial();
  if (EVP_BytesToKey(TheCipher(), TheDigest(), salt, material.Data(), static_cast<int>(material.Length()), 1,
                     out.key.Data(), out.iv.Data()) == 0)
    Fail(Cipher::kStatusKeyDerivation);
}

// Runs the cipher over input into out (which has room for input + one block) and gives the
// number of bytes written.
std::size_t Run(bool encrypt, const KeyAndIv& k, const std::uint8_t* input, std::size_t length, std::uint8_t* out)
{
  Context ctx(EVP_CIPHER_CTX_new());
  if (!ctx)
    Fail(Cipher::kStatusContext);
  if (EVP_CipherInit_ex(ctx.get(), TheCipher(), nullptr, k.key.Data(), k.iv.Data(), encrypt ? 1 : 0) != 1)
    Fail(Cipher::kStatusInit);
  int n = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &n, input, static_cast<int>(length)) != 1)
    Fail(Cipher::kStatusUpdate);
  int tail = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + n, &tail) != 1)
    Fail(Cipher::kStatusFinal);
  return static_cast<std::size_t>(n) + static_cast<std::size_t>(tail);
}

}  // namespace

CipherFailure::CipherFailure(int status, const std::string& openSslErrors)
    : std::runtime_error("sts=" + std::to_string(status) + ":OpenSSLErr=" + openSslErrors), m_status(status),
      m_errors(openSslErrors)
{
}

std::string OpenSslErrorQueueText()
{
  std::string text;
  const char* file = nullptr;
  const char* func = nullptr;
  const char* data = nullptr;
  int line = 0;
  int flags = 0;
  while (const unsigned long code = ERR_get_error_all(&file, &line, &func, &data, &flags)) {
    if (!text.empty())
      text += ";";
    const char* lib = ERR_lib_error_string(code);
    const char* reason = ERR_reason_error_string(code);
    text += std::string(lib ? lib : "?") + ":" + (func ? func : "?") + ":" + (reason ? reason : "?");
    text += ":flags=" + std::to_string(flags);
    text += std::string(":data=") + ((flags & ERR_TXT_STRING) && data ? data : "");
    text += ":at=" + std::string(file ? file : "?") + ":" + std::to_string(line);
  }
  return text;
}

MemBuff Cipher::Encrypt(const std::uint8_t* input, std::size_t length)
{
  if (!input || length == 0)
    LANTERN_THROW(NoInputData);
  std::uint8_t salt[kSaltLength];
  if (m_salt) {
    m_salt(salt, sizeof salt);
  } else {
    InitPRNG();
    RandomBytes(salt, sizeof salt);
  }
  KeyAndIv k;
  Derive(salt, k);
  // Header, then the input and at most one block of padding.
  MemBuff blob(kBlobHeaderLength + length + EVP_MAX_BLOCK_LENGTH);
  blob.Data()[0] = kAlgorithmIdentifier;
  blob.Data()[1] = kSaltLength;
  std::memcpy(blob.Data() + 2, salt, sizeof salt);
  const std::size_t cipherLength = Run(true, k, input, length, blob.Data() + kBlobHeaderLength);
  blob.Shrink(kBlobHeaderLength + cipherLength);
  return blob;
}

MemBuff Cipher::Decrypt(const std::uint8_t* blob, std::size_t length)
{
  if (!blob || length == 0)
    LANTERN_THROW(NoInputData);
  if (length <= kBlobHeaderLength || blob[0] != kAlgorithmIdentifier || blob[1] != kSaltLength)
    LANTERN_THROW(UnproperInputData);
  KeyAndIv k;
  Derive(blob + 2, k);
  const std::size_t cipherLength = length - kBlobHeaderLength;
  MemBuff plain(cipherLength + EVP_MAX_BLOCK_LENGTH);
  const std::size_t n = Run(false, k, blob + kBlobHeaderLength, cipherLength, plain.Data());
  plain.Shrink(n);
  return plain;
}

}  // namespace LanternSecurity
