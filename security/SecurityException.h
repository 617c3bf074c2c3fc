#pragma once
// The credential code's own failures: each kind carries a fixed text and the source place where
// it was raised (file and line), so a report says what failed and where without any data.
#include <stdexcept>
#include <string>

namespace LanternSecurity {

class SecurityException : public std::runtime_error
{
public:
  SecurityException(const char* text, const char* file, int line);
  const std::string& Text() const noexcept { return m_text; }
  const std::string& Place() const noexcept { return m_place; }

private:
  std::string m_text;
  std::string m_place;
};

#define LANTERN_SECURITY_EXCEPTION(Name, Text)                                         \
  class Name : public SecurityException                                                \
  {                                                                                    \
  public:                                                                              \
    static constexpr const char* kText = Text;                                         \
    Name(const char* file, int line) : SecurityException(kText, file, line) {}         \
  };

LANTERN_SECURITY_EXCEPTION(InsufficientMemory, "Dynamic memory allocation failed.")
LANTERN_SECURITY_EXCEPTION(InternalInconsistency, "Internal system inconsistency.")
LANTERN_SECURITY_EXCEPTION(NoInputData, "No input data.")
LANTERN_SECURITY_EXCEPTION(UnproperInputData, "Unproper input data.")
LANTERN_SECURITY_EXCEPTION(PRNGUninitialised, "OpenSSL PRNG is not initialised.")
LANTERN_SECURITY_EXCEPTION(Win32GetCryptographicContext, "Creating Win32 cryptographic context failed.")
LANTERN_SECURITY_EXCEPTION(RandomSeedGeneration, "Random seed generation failed.")
LANTERN_SECURITY_EXCEPTION(PRNGInitialisation, "PRNG initialisation failed, probably mo enough random seed.")

#undef LANTERN_SECURITY_EXCEPTION

}  // namespace LanternSecurity

// Raises one of the kinds above with the place it was raised at.
#define LANTERN_THROW(Name) throw ::LanternSecurity::Name(__FILE__, __LINE__)
