#pragma once
// The shell's path tests that the update documents rely on: UNC paths and URLs.
#include <string>
#include <typeinfo>

namespace util {

// "\\server[\share...]" or "\\?\UNC\server[\share...]": a server name follows the leading
// backslashes. Device paths ("\\.\", "\\?\C:\") and forward slashes do not count.
bool PathIsUNC(const std::wstring& path);
// A scheme of at least two characters (a letter, then letters, digits, '+', '-' or '.')
// followed by ':'. A drive letter ("C:\") is not a scheme.
bool PathIsURL(const std::wstring& path);
// A URL whose scheme is http or https, in any case, followed by "//".
bool PathIsHttpURL(const std::wstring& path);

// The readable name of a type (for traces of caught exceptions and compared objects).
std::string TypeName(const std::type_info& type);

}  // namespace util
