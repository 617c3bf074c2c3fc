#pragma once
// The sample documents of dexhandler/samples, as bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

inline std::string Sample(const std::string& name)
{
  std::ifstream in(std::string(DEX_SAMPLES_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
