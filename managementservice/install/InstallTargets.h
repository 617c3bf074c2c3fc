#pragma once
// The requested computers by group, each group with its update configuration: where an install
// request learns which setup program and update server each computer gets.
#include <vector>

#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "platform/com/WinTypes.h"

struct InstallGroup
{
  AUCoreHandler::AutoUpdateConfiguration configuration;
  std::vector<LONG> computers;  // ascending identities
};

// Computers that no group holds are left out.
std::vector<InstallGroup> GroupsOfRequestedComputers(const std::vector<LONG>& requested);
