#include "handlers/TzLibHandler/TzLibraryStatus.h"

#include <typeinfo>

#include "handlers/AUCoreHandler/Namespaces.h"
#include "handlers/AUCoreHandler/PathUtils.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/TzLibHandler/Strategy.h"
#include "handlers/TzLibHandler/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace TzLibHandler {

using AUCoreHandler::TzLibraryStatusNamespace;
using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;

namespace {

// Runs an operation of the implementation, tracing whatever it raises before passing it on.
template <class Operation>
auto Guarded(Operation&& operation) -> decltype(operation())
{
  try {
    return operation();
  } catch (const std::exception& e) {
    trace::Trace(TRACE_TZLIBHANDLER, 0, L"Caught an exception %S: %S", util::TypeName(typeid(e)), e.what());
    throw;
  } catch (...) {
    trace::Trace(TRACE_TZLIBHANDLER, 0, L"Caught an exception %S: %S", "unknown", "(not a standard exception)");
    throw;
  }
}

XMLDocument BuildDocument(const EntityInfo_t& format, const UpdateLocations& locations, const Packages& packages)
{
  const auto strategy = StrategyBase::NewStrategy(format);
  XMLDocument document(L"tzlib", TzLibraryStatusNamespace);
  const XMLElement root = document.GetRoot();
  root.CreateStringAttribute(L"entity", format);
  strategy->ToXMLNode(root, locations);
  strategy->ToXMLNode(root, packages);
  return document;
}

}  // namespace

UpdateLocations TzLibraryStatusBase::GetUpdateLocations() const
{
  return Guarded([&] { return DoGetUpdateLocations(); });
}

void TzLibraryStatusBase::SetUpdateLocations(const UpdateLocations& locations)
{
  Guarded([&] { DoSetUpdateLocations(locations); });
}

Packages TzLibraryStatusBase::GetPackages() const
{
  return Guarded([&] { return DoGetPackages(); });
}

void TzLibraryStatusBase::SetPackages(const Packages& packages)
{
  Guarded([&] { DoSetPackages(packages); });
}

void TzLibraryStatusBase::GetEntityInfo(EntityInfo_t& entityInfo) const
{
  Guarded([&] { entityInfo = DoGetEntityInfo(); });
}

void TzLibraryStatusBase::Set(const CorvexManagedEntity::XML_UTF8_t& text)
{
  Guarded([&] { DoSet(text); });
}

void TzLibraryStatusBase::Set(const CorvexManagedEntity::XML_UTF16_t& text)
{
  Guarded([&] { DoSet(text); });
}

void TzLibraryStatusBase::Validate() const
{
  Guarded([&] { DoValidate(); });
}

CorvexManagedEntity::XML_UTF8_t TzLibraryStatusBase::ToXML_UTF8() const
{
  return Guarded([&] { return DoToXML_UTF8(DoGetEntityInfo()); });
}

CorvexManagedEntity::XML_UTF8_t TzLibraryStatusBase::ToXML_UTF8(const EntityInfo_t& targetEntityInfo) const
{
  return Guarded([&] { return DoToXML_UTF8(targetEntityInfo); });
}

CorvexManagedEntity::XML_UTF16_t TzLibraryStatusBase::ToXML() const
{
  return Guarded([&] { return DoToXML(DoGetEntityInfo()); });
}

CorvexManagedEntity::XML_UTF16_t TzLibraryStatusBase::ToXML(const EntityInfo_t& targetEntityInfo) const
{
  return Guarded([&] { return DoToXML(targetEntityInfo); });
}

bool TzLibraryStatusBase::operator==(const TzLibraryStatusBase& other) const
{
  return Guarded([&] {
    return DoGetEntityInfo() == other.DoGetEntityInfo() && DoGetUpdateLocations() == other.DoGetUpdateLocations() &&
           DoGetPackages() == other.DoGetPackages();
  });
}

// ---------------------------------------------------------------------------------------------

TzLibraryStatusImpl::TzLibraryStatusImpl() : m_entityInfo(AUCoreHandler::TzLibraryStatusV1Format) {}

template <class Text>
void TzLibraryStatusImpl::Load(const Text& text)
{
  trace::CFunctionTrace scope(TRACE_TZLIBHANDLER, "void TzLibraryStatusImpl::Set(%u characters)", static_cast<unsigned>(text.size()));
  XMLDocument document;
  document.SetXML(text);
  document.SetSelectionNamespaces(L"xmlns:tz1='" + TzLibraryStatusNamespace + L"'");
  const XMLElement root = document.GetRoot();
  EntityInfo_t entityInfo = root.GetStringFromAttribute(L"entity");
  const auto strategy = StrategyBase::NewStrategy(entityInfo);
  UpdateLocations locations;
  Packages packages;
  strategy->FromXMLNode(root, locations);
  strategy->FromXMLNode(root, packages);
  // Only a document read to the end replaces what is held.
  m_entityInfo = std::move(entityInfo);
  m_locations = std::move(locations);
  m_packages = std::move(packages);
}

void TzLibraryStatusImpl::DoSet(const CorvexManagedEntity::XML_UTF8_t& text) { Load(text); }

void TzLibraryStatusImpl::DoSet(const CorvexManagedEntity::XML_UTF16_t& text) { Load(text); }

void TzLibraryStatusImpl::DoValidate() const { StrategyBase::NewStrategy(m_entityInfo)->Validate(m_locations); }

CorvexManagedEntity::XML_UTF8_t TzLibraryStatusImpl::DoToXML_UTF8(const EntityInfo_t& targetEntityInfo) const
{
  return BuildDocument(targetEntityInfo, m_locations, m_packages).ToXML_UTF8();
}

CorvexManagedEntity::XML_UTF16_t TzLibraryStatusImpl::DoToXML(const EntityInfo_t& targetEntityInfo) const
{
  return BuildDocument(targetEntityInfo, m_locations, m_packages).ToXML();
}

}  // namespace TzLibHandler
