#pragma once
// Whether two platform configurations have the same effect on a computer. Attributes that only
// matter when a feature is on are compared only when the first configuration has it on; an
// attribute either side lacks (or cannot convert) counts as equal; the bootstrap, the log file's
// name and path and the entity information are not compared.
#include <string>

#include "handlers/AUCoreHandler/AUConfigInterfaces.h"

namespace AUCoreHandler {

// A missing child element of either side raises MEInvalidException.
bool SameUpdateConfig(const IAUConfig& a, const IAUConfig& b);

// Paths and URLs compared without regard to case, '/' against '\' or trailing separators.
bool PathCompare(const std::wstring& a, const std::wstring& b);

}  // namespace AUCoreHandler
