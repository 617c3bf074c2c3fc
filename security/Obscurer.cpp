#include "security/Obscurer.h"

#include <openssl/crypto.h>

#include <vector>

#include "platform/text/Unicode.h"
#include "security/Base64.h"
#include "security/MemBuff.h"
#include "security/SecurityException.h"

namespace Obscurity {

namespace {
constexpr const char* kObscureFailed = "Obscure:Failed to obscure data:";
}

std::string Obscurer::obscure(const std::wstring& text)
{
  try {
    LanternSecurity::MemBuff input;
    {
      // The UTF-16 copy of the credential lives only until its bytes are in the wiped buffer.
      std::u16string units = ToUtf16(text);
      try {
        input = LanternSecurity::MemBuff(units.size() * 2);
      } catch (...) {
        OPENSSL_cleanse(units.data(), units.capacity() * sizeof(char16_t));
        throw;
      }
      for (std::size_t i = 0; i < units.size(); ++i) {
        input.Data()[2 * i] = static_cast<std::uint8_t>(units[i] & 0xFF);
        input.Data()[2 * i + 1] = static_cast<std::uint8_t>(units[i] >> 8);
      }
      OPENSSL_cleanse(units.data(), units.capacity() * sizeof(char16_t));
    }
    const LanternSecurity::MemBuff blob = m_cipher.Encrypt(input.Data(), input.Length());
    std::string encoded;
    if (!LanternSecurity::Base64Encode(blob.Data(), blob.Length(), encoded))
      throw ObscurityException("Base64Encode returned false");
    return encoded;
  } catch (const LanternSecurity::CipherFailure& e) {
    throw ObscurityException(kObscureFailed + std::string(e.what()));
  } catch (const LanternSecurity::SecurityException& e) {
    throw ObscurityException(std::string(kObscureFailed) + e.Text());
  }
}

std::wstring Obscurer::reveal(const std::string& obscured)
{
  std::vector<std::uint8_t> blob;
  if (!LanternSecurity::Base64Decode(obscured, blob))
    throw ObscurityException("Base64Decode returned false");
  try {
    const LanternSecurity::MemBuff plain = m_cipher.Decrypt(blob.data(), blob.size());
    if (plain.Length() % 2)
      throw ObscurityException("Reveal:odd number of bytes");
    std::u16string units(plain.Length() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
      units[i] = static_cast<char16_t>(plain.Data()[2 * i] | plain.Data()[2 * i + 1] << 8);
    return FromUtf16(units);
  } catch (const LanternSecurity::CipherFailure& e) {
    throw ObscurityException("Reveal:Failed to reveal data:" + std::string(e.what()));
  } catch (const LanternSecurity::SecurityException& e) {
    throw ObscurityException("Reveal:Failed to reveal data:" + e.Text());
  }
}

}  // namespace Obscurity
