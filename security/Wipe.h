#pragma once
// Wiping of texts that held a credential, so that a released buffer does not keep it.
#include <string>

namespace LanternSecurity {

void Wipe(std::string& text) noexcept;
void Wipe(std::wstring& text) noexcept;

// From now on every heap block the process frees is overwritten before it can be kept or reused.
// Our own copies of a credential are wiped where they go; this covers the copies that libraries
// make and free on their own (the ORB's request buffers and its unmarshalled strings, for one).
// Call once at the start of a process that handles credentials, before it starts threads.
// False when the allocator does not offer it (a sanitizer's allocator, for one).
bool WipeFreedMemory() noexcept;

}  // namespace LanternSecurity
