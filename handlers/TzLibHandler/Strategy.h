#pragma once
// The reading and writing of a library status body, one strategy per document format.
#include <memory>
#include <string>

#include "handlers/HandlerUtils/XMLElement.h"
#include "handlers/TzLibHandler/TzLibraryTypes.h"

namespace TzLibHandler {

class StrategyBase
{
public:
  virtual ~StrategyBase() = default;

  // The strategy of a format; MEUnknownEntityException "Unknown entity info: <value>" for a
  // format that is not known.
  static std::unique_ptr<StrategyBase> NewStrategy(const EntityInfo_t& entityInfo);

  // MEInvalidException "Not a valid UNC path: <path>" for the first location whose path is not UNC.
  virtual void Validate(const UpdateLocations& locations) const = 0;
  // Read from the document's root; the prefix tz1 is bound to the document's namespace.
  virtual void FromXMLNode(const HandlerUtils::XMLElement& root, UpdateLocations& locations) const = 0;
  virtual void FromXMLNode(const HandlerUtils::XMLElement& root, Packages& packages) const = 0;
  // Append the lists (always as containers, even when empty) under the root.
  virtual void ToXMLNode(const HandlerUtils::XMLElement& root, const UpdateLocations& locations) const = 0;
  virtual void ToXMLNode(const HandlerUtils::XMLElement& root, const Packages& packages) const = 0;
};

// The format TzLibraryStatus.xsd.
class V1Strategy final : public StrategyBase
{
public:
  void Validate(const UpdateLocations& locations) const override;
  void FromXMLNode(const HandlerUtils::XMLElement& root, UpdateLocations& locations) const override;
  void FromXMLNode(const HandlerUtils::XMLElement& root, Packages& packages) const override;
  void ToXMLNode(const HandlerUtils::XMLElement& root, const UpdateLocations& locations) const override;
  void ToXMLNode(const HandlerUtils::XMLElement& root, const Packages& packages) const override;
};

}  // namespace TzLibHandler
