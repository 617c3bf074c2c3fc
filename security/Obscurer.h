#pragma once
// Obscuring of the update-server credentials that go on the setup program's command line: the
// text's UTF-16LE bytes encrypted into the cipher's blob, then Base64 in lines of 76.
#include <stdexcept>
#include <string>

#include "security/Cipher.h"

namespace Obscurity {

// Every failure of the obscurer; what() says why.
class ObscurityException : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

class Obscurer
{
public:
  Obscurer() = default;
  explicit Obscurer(LanternSecurity::Cipher cipher) : m_cipher(std::move(cipher)) {}

  // The obscured text. ObscurityException for an empty text or any failure on the way:
  // "Obscure:Failed to obscure data:sts=<status>:OpenSSLErr=<errors>" when the crypto library
  // fails, "Base64Encode returned false" when the encoding cannot be made.
  std::string obscure(const std::wstring& text);
  // The reverse, as the setup program does it on the target computer.
  std::wstring reveal(const std::string& obscured);

private:
  LanternSecurity::Cipher m_cipher;
};

}  // namespace Obscurity
