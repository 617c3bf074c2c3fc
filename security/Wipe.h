#pragma once
// Wiping of texts that held a credential, so that a released buffer does not keep it.
#include <string>

namespace LanternSecurity {

void Wipe(std::string& text) noexcept;
void Wipe(std::wstring& text) noexcept;

}  // namespace LanternSecurity
