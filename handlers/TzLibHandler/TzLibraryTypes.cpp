#include "handlers/TzLibHandler/TzLibraryTypes.h"

#include <tuple>

namespace TzLibHandler {

const std::map<std::wstring, ProductID>& GetProductIDMap()
{
  static const std::map<std::wstring, ProductID> map{
      {L"DEXKTNT", DEXKTNT},
      {L"DEXKTXP", DEXKTXP},
      {L"DEXKT9X", DEXKT9X},
      {L"DEXKTOSX", DEXKTOSX},
  };
  return map;
}

bool operator<(const UpdateLocation& a, const UpdateLocation& b)
{
  return std::tie(a.productID, a.version, a.latest, a.path) < std::tie(b.productID, b.version, b.latest, b.path);
}

bool operator<(const Package& a, const Package& b)
{
  return std::tie(a.productID, a.productVersion, a.engineVersion, a.virusdataVersion, a.ideChecksum, a.rolloutNumber) <
         std::tie(b.productID, b.productVersion, b.engineVersion, b.virusdataVersion, b.ideChecksum, b.rolloutNumber);
}

}  // namespace TzLibHandler
