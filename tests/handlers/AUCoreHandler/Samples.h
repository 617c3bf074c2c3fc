#pragma once
// The sample documents kept beside the update handlers.
#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadSample(const std::string& name)
{
  std::ifstream file(std::string(CORVEX_AU_SAMPLES) + "/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (!file)
    throw std::runtime_error("sample not readable: " + name);
  return bytes.str();
}
