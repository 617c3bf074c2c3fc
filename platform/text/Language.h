#pragma once
// The user's language as a Windows language identifier: primary language in the low 10 bits,
// sub-language above them. Taken from the POSIX locale (LC_ALL, LC_MESSAGES, LANG in that order).
#include <cstdint>
#include <string>

using LANGID = std::uint16_t;

// English (United States), 0x0409, when the locale names no language we know.
LANGID GetUserDefaultLangID();
// The identifier of a locale name such as "en_GB.UTF-8" or "de_AT"; 0x0409 for others.
LANGID LangIDFromLocaleName(const std::string& locale);
