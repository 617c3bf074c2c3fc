#include "handlers/TzLibHandler/Strategy.h"

#include <stdexcept>

#include "handlers/AUCoreHandler/Namespaces.h"
#include "handlers/AUCoreHandler/PathUtils.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "handlers/TzLibHandler/TraceComponent.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace TzLibHandler {

using AUCoreHandler::TzLibraryStatusNamespace;
using HandlerUtils::XMLElement;

namespace {

ProductID ProductFromLabel(const std::wstring& label)
{
  const auto& map = GetProductIDMap();
  const auto it = map.find(label);
  if (it == map.end())
    throw std::runtime_error("Invalid product id (" + ToUtf8(label) + ")");
  return it->second;
}

const std::wstring& LabelOf(const XMLElement& at, ProductID product)
{
  for (const auto& [label, value] : GetProductIDMap())
    if (value == product)
      return label;
  throw HandlerUtils::XMLException(HandlerUtils::XMLDocument(at.document), "Enum specified does not exist");
}

// Converts every element matching `path`, tracing the failure of any one.
template <class List, class Convert>
void ReadList(const XMLElement& root, const wchar_t* path, List& list, Convert convert)
{
  for (const XMLElement& element : root.SelectElements(path)) {
    try {
      list.push_back(convert(element));
    } catch (const std::exception& e) {
      trace::Trace(TRACE_TZLIBHANDLER, 0, L"Transforming exception %S: %S", util::TypeName(typeid(e)), e.what());
      throw;
    }
  }
}

}  // namespace

std::unique_ptr<StrategyBase> StrategyBase::NewStrategy(const EntityInfo_t& entityInfo)
{
  if (entityInfo == AUCoreHandler::TzLibraryStatusV1Format)
    return std::make_unique<V1Strategy>();
  throw CorvexManagedEntity::MEUnknownEntityException(L"Unknown entity info: " + entityInfo, entityInfo);
}

void V1Strategy::Validate(const UpdateLocations& locations) const
{
  for (const UpdateLocation& location : locations) {
    trace::CFunctionTrace scope(TRACE_TZLIBHANDLER, L"void ThrowIfInvalid(%s,%i,%s,%s)", location.path, location.productID,
                                location.version, location.latest ? L"latest" : L"nonLatest");
    if (!util::PathIsUNC(location.path))
      throw CorvexManagedEntity::MEInvalidException(L"Not a valid UNC path: " + location.path);
  }
}

void V1Strategy::FromXMLNode(const XMLElement& root, UpdateLocations& locations) const
{
  ReadList(root, L"tz1:updateLocationList/tz1:loc", locations, [](const XMLElement& element) {
    UpdateLocation location;
    location.version = element.GetStringFromAttribute(L"version");
    location.latest = element.GetBoolFromAttribute(L"latest");
    location.productID = ProductFromLabel(element.GetStringFromAttribute(L"productID"));
    location.path = element.GetStringFromNode(L"tz1:path");
    return location;
  });
}

void V1Strategy::FromXMLNode(const XMLElement& root, Packages& packages) const
{
  ReadList(root, L"tz1:packageList/tz1:package", packages, [](const XMLElement& element) {
    Package package;
    package.productVersion = element.GetStringFromAttribute(L"productVersion");
    package.engineVersion = element.GetStringFromAttribute(L"engineVersion");
    package.virusdataVersion = element.GetStringFromAttribute(L"virusdataVersion");
    package.ideChecksum = element.GetStringFromAttribute(L"ideChecksum");
    package.rolloutNumber = element.GetIntFromAttribute(L"rolloutNumber");
    package.productID = ProductFromLabel(element.GetStringFromAttribute(L"productID"));
    return package;
  });
}

void V1Strategy::ToXMLNode(const XMLElement& root, const UpdateLocations& locations) const
{
  const std::wstring& ns = TzLibraryStatusNamespace;
  const XMLElement list = root.CreateNode(L"updateLocationList", ns);
  for (const UpdateLocation& location : locations) {
    trace::Trace(TRACE_TZLIBHANDLER, 3, L"Processing update location (%s,%i,%s,%s)", location.path, location.productID,
                 location.version, location.latest ? L"latest" : L"nonLatest");
    const XMLElement loc = list.CreateNode(L"loc", ns);
    loc.CreateBoolAttribute(L"latest", location.latest);
    loc.CreateStringAttribute(L"version", location.version);
    loc.CreateStringAttribute(L"productID", LabelOf(root, location.productID));
    loc.CreateStringNode(L"path", location.path, ns);
  }
}

void V1Strategy::ToXMLNode(const XMLElement& root, const Packages& packages) const
{
  const std::wstring& ns = TzLibraryStatusNamespace;
  const XMLElement list = root.CreateNode(L"packageList", ns);
  for (const Package& package : packages) {
    const XMLElement element = list.CreateNode(L"package", ns);
    element.CreateStringAttribute(L"productID", LabelOf(root, package.productID));
    element.CreateStringAttribute(L"productVersion", package.productVersion);
    element.CreateStringAttribute(L"engineVersion", package.engineVersion);
    element.CreateStringAttribute(L"virusdataVersion", package.virusdataVersion);
    element.CreateStringAttribute(L"ideChecksum", package.ideChecksum);
    element.CreateIntAttribute(L"rolloutNumber", package.rolloutNumber);
  }
}

}  // namespace TzLibHandler
