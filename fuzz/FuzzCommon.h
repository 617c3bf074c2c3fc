#pragma once
// What every fuzz target shares: a finding is an abort, and documented refusals are tolerated.
#include <cstdlib>

namespace fuzz {

inline void Check(bool condition)
{
  if (!condition)
    std::abort();
}

// Runs f; exceptions of the listed types are the documented way to refuse input.
template <class... Allowed, class F>
bool Tolerate(F&& f)
{
  try {
    f();
    return true;
  } catch (const std::exception& e) {
    if ((... || (dynamic_cast<const Allowed*>(&e) != nullptr)))
      return false;
    throw;
  }
}

}  // namespace fuzz
