#include "security/Wipe.h"

#include <malloc.h>
#include <openssl/crypto.h>

namespace LanternSecurity {

void Wipe(std::string& text) noexcept
{
  OPENSSL_cleanse(text.data(), text.capacity());
  text.clear();
}

void Wipe(std::wstring& text) noexcept
{
  OPENSSL_cleanse(text.data(), text.capacity() * sizeof(wchar_t));
  text.clear();
}

bool WipeFreedMemory() noexcept
{
  // The allocator fills each freed block with this byte (and each new one with its complement).
  return mallopt(M_PERTURB, 0xA5) == 1;
}

}  // namespace LanternSecurity
