#pragma once
// Seeding of the crypto library's random generator from the kernel's random source, once per
// process before its first use.
#include <cstddef>
#include <cstdint>

namespace LanternSecurity {

// Seeds the generator unless an earlier call did. Win32GetCryptographicContext when the random
// source cannot be opened, RandomSeedGeneration when it gives too little, PRNGInitialisation
// when the generator still reports not seeded. A failed call leaves the next one to try again.
void InitPRNG();

// Fills `out` from the seeded generator; PRNGUninitialised while it reports not seeded.
void RandomBytes(std::uint8_t* out, std::size_t length);

}  // namespace LanternSecurity
