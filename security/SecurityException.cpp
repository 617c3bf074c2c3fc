#include "security/SecurityException.h"

namespace LanternSecurity {

namespace {
std::string PlaceOf(const char* file, int line)
{
  std::string f = file ? file : "";
  const auto slash = f.rfind('/');
  if (slash != std::string::npos)
    f.erase(0, slash + 1);
  return f + ":" + std::to_string(line);
}
}  // namespace

SecurityException::SecurityException(const char* text, const char* file, int line)
    : std::runtime_error(std::string(text) + " (" + PlaceOf(file, line) + ")"), m_text(text), m_place(PlaceOf(file, line))
{
}

}  // namespace LanternSecurity
