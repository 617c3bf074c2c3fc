#pragma once
// Payloads are copied and read through the ORB's type codes and code sets, so a test program
// that handles envelopes initialises the ORB once for the whole run:
//   const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new servicetest::OrbEnvironment);
#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>

namespace servicetest {

class OrbEnvironment : public ::testing::Environment
{
public:
  void SetUp() override
  {
    int argc = 0;
    orb = CORBA::ORB_init(argc, nullptr);
  }
  void TearDown() override { orb->destroy(); }
  CORBA::ORB_var orb;
};

}  // namespace servicetest
