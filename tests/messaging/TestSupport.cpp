#include "tests/messaging/TestSupport.h"

#include <cstdlib>

#include "messaging/Letters.h"

namespace messaging_test {

void EnsureOrb()
{
  static CORBA::ORB_var orb = [] {
    int argc = 0;
    return CORBA::ORB_init(argc, nullptr);
  }();
}

TempDir::TempDir()
{
  std::string pattern = (std::filesystem::temp_directory_path() / "corvex-msg-XXXXXX").string();
  if (!mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir()
{
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

CorvexMessaging::Message MakeMessage(const std::string& destination, const std::string& type, long ttl)
{
  return messaging::MakeLetter(destination, type, ttl);
}

}  // namespace messaging_test
