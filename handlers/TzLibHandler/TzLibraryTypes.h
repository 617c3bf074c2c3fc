#pragma once
// The values of the library status document: where the update packages of each product
// edition can be fetched, and which packages the library server holds.
#include <map>
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

namespace TzLibHandler {

// The format identifier of a library status document (its root's entity attribute).
using EntityInfo_t = std::wstring;

// The anti-virus product's editions. A fixed underlying type: a number from outside that names
// none of them is a value the type can hold, so it can be checked and refused.
enum ProductID : int
{
  DEXKTNT = 0,
  DEXKTXP = 1,
  DEXKT9X = 2,
  DEXKTOSX = 3,
};

// Label to product identifier, as written in the document (labels compared exactly).
const std::map<std::wstring, ProductID>& GetProductIDMap();

struct UpdateLocation
{
  ProductID productID = DEXKTNT;
  std::wstring version;
  bool latest = false;  // the location holds the latest version, not a previous one
  std::wstring path;    // a UNC path

  friend bool operator==(const UpdateLocation&, const UpdateLocation&) = default;
  friend bool operator<(const UpdateLocation& a, const UpdateLocation& b);
};

struct Package
{
  ProductID productID = DEXKTNT;
  std::wstring productVersion;
  std::wstring engineVersion;
  std::wstring virusdataVersion;
  std::wstring ideChecksum;
  LONG rolloutNumber = 0;

  friend bool operator==(const Package&, const Package&) = default;
  friend bool operator<(const Package& a, const Package& b);
};

// Equal when they hold the same elements in the same order.
using UpdateLocations = std::vector<UpdateLocation>;
using Packages = std::vector<Package>;

}  // namespace TzLibHandler
