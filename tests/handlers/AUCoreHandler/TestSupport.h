#pragma once
// What the update and library document tests share: the sample documents and small helpers.
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"

inline std::string ReadSample(const std::string& name)
{
  std::ifstream file(std::string(CORVEX_AU_SAMPLES) + "/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (!file)
    throw std::runtime_error("sample not readable: " + name);
  return bytes.str();
}

// The text with the first `from` replaced; a `from` that is not there is a broken test.
inline std::string Replace(std::string text, const std::string& from, const std::string& to)
{
  const auto at = text.find(from);
  if (at == std::string::npos)
    throw std::logic_error("not in the text: " + from);
  return text.replace(at, from.size(), to);
}

// The message of the E that f raises, or "(no exception)".
template <class E, class F>
std::string ErrorOf(F&& f)
{
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "(no exception)";
}

// One platform of the built-in document, as a document of its own.
inline std::string DefaultPlatformText(const wchar_t* platform)
{
  AUCoreHandler::AutoUpdateConfiguration defaults;
  return defaults.ToXML_UTF8(platform);
}
