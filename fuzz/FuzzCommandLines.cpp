// Fuzz target: the command lines and configuration text of the programs. The input's lines
// are the arguments: corvex-relay's numbers, corvex-agent-sim's arguments and corvexctl's
// numbers. Bad input is refused with
// std::invalid_argument only; options that read files are left out.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/FuzzCommon.h"
#include "messaging/ProcessSupport.h"
#include "tools/agent-sim/AgentSimOptions.h"
#include "tools/corvexctl/Arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    args.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  for (const auto& a : args)
    if (a == "--config" || a == "--computers" || a == "--documents")
      return 0;

  for (const auto& a : args)
    fuzz::Tolerate<std::invalid_argument>([&] {
      const long n = messaging::ParseWholeNumber("--notice-ttl", a, 1, 0x7FFFFFFF);
      fuzz::Check(n >= 1 && n <= 0x7FFFFFFF);
    });
  fuzz::Tolerate<std::invalid_argument>([&] {
    const auto options = agentsim::ParseAgentSimArguments(args);
    fuzz::Check(options.agents >= 1);
  });
  for (const auto& a : args) {
    const long n = corvexctl::Number(a.c_str());
    fuzz::Check(n == -1 || corvexctl::Number(std::to_string(n).c_str()) == n);
  }
  return 0;
}
