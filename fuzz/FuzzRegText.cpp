// Fuzz target: the registry file reader. Text it accepts must format and parse back to the
// same keys and values; malformed text is refused with std::runtime_error only.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "platform/registry/Registry.h"

namespace {

bool Same(const std::vector<RegKeyText>& a, const std::vector<RegKeyText>& b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].path != b[k].path || a[k].values.size() != b[k].values.size())
      return false;
    for (std::size_t v = 0; v < a[k].values.size(); ++v) {
      const auto& x = a[k].values[v];
      const auto& y = b[k].values[v];
      if (x.name != y.name || x.type != y.type || x.data != y.data)
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<RegKeyText> keys;
  if (!fuzz::Tolerate<std::runtime_error>([&] { keys = ParseRegText(text); }))
    return 0;
  const std::string written = FormatRegText(keys);
  fuzz::Check(Same(ParseRegText(written), keys));
  return 0;
}
