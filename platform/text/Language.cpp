#include "platform/text/Language.h"

#include <cstdlib>

namespace {

constexpr LANGID MakeLangID(unsigned primary, unsigned sub) { return static_cast<LANGID>((sub << 10) | primary); }
constexpr LANGID kEnglishUS = MakeLangID(0x09, 1);

struct Language
{
  const char* code;
  unsigned primary;
  // Country codes in sub-language order (1, 2, ...); the first is the default.
  const char* countries[6];
};

const Language kLanguages[] = {
    {"en", 0x09, {"US", "GB", "AU", "CA", "NZ", "IE"}},
    {"de", 0x07, {"DE", "CH", "AT", "LU", "LI", nullptr}},
    {"fr", 0x0c, {"FR", "BE", "CA", "CH", "LU", "MC"}},
    {"es", 0x0a, {"ES", "MX", nullptr, nullptr, nullptr, nullptr}},
    {"it", 0x10, {"IT", "CH", nullptr, nullptr, nullptr, nullptr}},
    {"nl", 0x13, {"NL", "BE", nullptr, nullptr, nullptr, nullptr}},
    {"pt", 0x16, {"BR", "PT", nullptr, nullptr, nullptr, nullptr}},
    {"ja", 0x11, {"JP", nullptr, nullptr, nullptr, nullptr, nullptr}},
    {"sv", 0x1d, {"SE", "FI", nullptr, nullptr, nullptr, nullptr}},
};

}  // namespace

LANGID LangIDFromLocaleName(const std::string& locale)
{
  const std::string language = locale.substr(0, locale.find_first_of("_.@"));
  std::string country;
  if (const auto underscore = locale.find('_'); underscore != std::string::npos)
    country = locale.substr(underscore + 1, locale.find_first_of(".@", underscore) - underscore - 1);
  for (const Language& known : kLanguages) {
    if (language != known.code)
      continue;
    for (unsigned i = 0; i < 6 && known.countries[i]; ++i)
      if (country == known.countries[i])
        return MakeLangID(known.primary, i + 1);
    return MakeLangID(known.primary, 1);
  }
  return kEnglishUS;
}

LANGID GetUserDefaultLangID()
{
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* value = std::getenv(name); value && *value)
      return LangIDFromLocaleName(value);
  return kEnglishUS;
}
