#pragma once
// The executable's registry scripts (resources of type REGISTRY), run by the registrar with the
// replacements %MODULE% (the executable's path) and %APPID%.
#include <string>

constexpr unsigned IDR_MANAGEMENTSERVICE = 101;  // the AppID
constexpr unsigned IDR_COMPUTERACTIONS = 103;
constexpr unsigned IDR_COMPUTERACTIONSKT = 105;
constexpr unsigned IDR_KTCOMPUTERSEARCH = 106;
constexpr unsigned IDR_KTCOMPUTERINSTALL = 107;
constexpr unsigned IDR_CLOCKS = 206;

// The script of a resource identifier; empty when there is none.
std::wstring LoadRegistryScript(unsigned id);
