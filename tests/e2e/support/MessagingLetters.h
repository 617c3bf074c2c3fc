#pragma once
// What the messaging end-to-end tests share: the client library's ORB for the whole run and letters numbered in their payload to follow order and count copies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/ClientLibrary.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tests/messaging/TestSupport.h"

namespace e2e {

inline constexpr char kNumberedType[] = "Test-Numbered";

// Sets the client library's ORB up once for the test program and shuts it down at the end.
// `foreignOrbFirst`: as in the service, another part of the process has set the ORB up first,
// without the library's options.
class OrbEnvironment : public ::testing::Environment
{
public:
  explicit OrbEnvironment(std::string program, bool foreignOrbFirst = false)
    : m_program(std::move(program)), m_foreignOrbFirst(foreignOrbFirst)
  {
  }
  void SetUp() override
  {
    if (m_foreignOrbFirst) {
      int argc = 0;
      CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
    }
    char* argv[] = {m_program.data(), nullptr};
    ZiriviridUrurezArevudUza::IClientLibrary::Instance()->InitORB(1, argv);
  }
  void TearDown() override { ZiriviridUrurezArevudUza::IClientLibrary::Instance()->ShutdownORB(); }

private:
  std::string m_program;
  bool m_foreignOrbFirst;
};

// A letter numbered in its payload.
inline CorvexMessaging::Message Numbered(const std::string& destination, CORBA::Long n, long ttl = 600)
{
  auto m = messaging_test::MakeMessage(destination, kNumberedType, ttl);
  m.custom_data <<= n;
  return m;
}

// first, first + 1, ..., last.
inline std::vector<CORBA::Long> Sequence(CORBA::Long first, CORBA::Long last)
{
  std::vector<CORBA::Long> v;
  for (CORBA::Long n = first; n <= last; ++n)
    v.push_back(n);
  return v;
}

}  // namespace e2e
