#include "security/Wipe.h"

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

}  // namespace LanternSecurity
