#include "handlers/AUCoreHandler/AUConfig.h"

#include "handlers/AUCoreHandler/SameUpdateConfig.h"
#include "handlers/AUCoreHandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace AUCoreHandler {

using CorvexManagedEntity::MEInvalidException;
using CorvexManagedEntity::MEMalformedException;
using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;

namespace {

XMLElement NullElement() { return XMLElement(nullptr, {}); }

// A view inside a configuration document has an element for a parent; a configuration of its
// own is its document's root.
bool IsInsideDocument(const XMLElement& element) { return element.HasParentElement(); }

bool IsAUConfigElement(const XMLElement& element)
{
  return element.element && !element.SelectElements(L"self::*[local-name()='AUConfig']").empty();
}

}  // namespace

AUConfig::AUConfig() : m_element(NullElement()), m_entityInfo(NullElement()) {}

AUConfig::AUConfig(XMLElement element) : m_element(element), m_entityInfo(element) {}

AUConfig::~AUConfig() = default;

ILocation& AUConfig::GetPrimaryLocation() const
{
  const std::function<void(const std::wstring&)> changed = [this](const std::wstring& address) { OnPrimaryAddressChanged(address); };
  return ChildView(m_primary, m_element, L"primary_location", "invalid primary location", changed);
}

ILocation& AUConfig::GetSecondaryLocation() const
{
  return ChildView(m_secondary, m_element, L"secondary_location", "invalid secondary location",
                   std::function<void(const std::wstring&)>());
}

ISchedule& AUConfig::GetSchedule() const { return ChildView(m_schedule, m_element, L"schedule", "invalid schedule"); }

ILogging& AUConfig::GetLogging() const { return ChildView(m_logging, m_element, L"logging", "invalid logging"); }

IBootstrap& AUConfig::GetBootstrap() const { return BootstrapView(); }

Bootstrap& AUConfig::BootstrapView() const
{
  const std::function<bool(std::wstring&)> primary = [this](std::wstring& address) { return ReadPrimaryAddress(address); };
  return ChildView(m_bootstrap, m_element, L"bootstrap", "invalid bootstrap", primary);
}

bool AUConfig::GetCorvexAddress(std::wstring& value) const
{
  return ChildView(m_corvexAddress, m_element, L"corvex_address", "invalid Corvex address").GetAddress(value);
}

void AUConfig::SetCorvexAddress(const std::wstring& value)
{
  ChildView(m_corvexAddress, m_element, L"corvex_address", "invalid Corvex address").SetAddress(value);
}

bool AUConfig::ReadPrimaryAddress(std::wstring& address) const
{
  try {
    return GetPrimaryLocation().GetServer().GetAddress(address);
  } catch (const MEInvalidException&) {
    return false;
  }
}

void AUConfig::OnPrimaryAddressChanged(const std::wstring& address) const
{
  // A configuration without a bootstrap element has nothing to follow the server.
  if (FindChild(m_element, L"bootstrap").element)
    BootstrapView().FollowPrimaryServer(address);
}

void AUConfig::Set(const std::wstring& text) { SetText(text); }
void AUConfig::Set(const std::string& text) { SetText(text); }

template <class Text>
void AUConfig::SetText(const Text& text)
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, "void AUConfig::Set(text)");
  XMLDocument parsed;
  try {
    parsed.SetXML(text);
  } catch (const HandlerUtils::XMLException&) {
    const HandlerUtils::XMLParseError error = parsed.GetError();
    throw MEMalformedException("Loading AUConfig failed: line " + std::to_string(error.line) + ": " + ToUtf8(error.reason));
  }
  const XMLElement root = parsed.GetRoot();
  if (!IsAUConfigElement(root))
    throw MEInvalidException(std::string("not an AUConfig document"));
  const AUConfig replacement(root);
  replacement.Exercise();  // refuse a broken configuration before anything changes

  if (!IsInsideDocument(m_element)) {
    Rebind(root);
    return;
  }
  // Inside a whole configuration this element answers for its platform: it must stay that one.
  std::wstring mine, theirs;
  GetPlatform(mine);
  replacement.GetPlatform(theirs);
  if (mine != theirs)
    throw MEInvalidException(L"the configuration of platform '" + theirs + L"' cannot replace that of '" + mine + L"'");
  Rebind(ReplaceElement(m_element, root));
}

void AUConfig::Rebind(XMLElement element)
{
  m_element = std::move(element);
  RebindChild(m_primary, m_element, L"primary_location");
  RebindChild(m_secondary, m_element, L"secondary_location");
  RebindChild(m_schedule, m_element, L"schedule");
  RebindChild(m_logging, m_element, L"logging");
  RebindChild(m_bootstrap, m_element, L"bootstrap");
  RebindChild(m_corvexAddress, m_element, L"corvex_address");
  m_entityInfo.Rebind(m_element);
}

bool AUConfig::GetEntityInfo(std::wstring& value) const { return m_entityInfo.GetEntityInfo(value); }

void AUConfig::SetEntityInfo(const std::wstring& value) { m_entityInfo.SetEntityInfo(value); }

bool AUConfig::GetPlatform(std::wstring& value) const { return ReadAttribute(m_element, L"platform", value); }

bool AUConfig::GetVersion(std::wstring& value) const { return ReadAttribute(m_element, L"version", value); }

void AUConfig::Exercise() const
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, "void AUConfig::Exercise()");
  bool same = false;
  try {
    same = SameUpdateConfig(*this, *this);
  } catch (const MEInvalidException& e) {
    trace::Trace(TRACE_AUCOREHANDLER, 0, "Configuration cannot be read: %s", e.what());
  }
  if (!same)
    throw MEMalformedException(std::string("Bad XML"));
  std::wstring info;
  GetEntityInfo(info);
}

XMLDocument AUConfig::Copy(const std::wstring* entityInfo) const
{
  if (!m_element.element)
    throw MEInvalidException(std::string("invalid configuration"));
  XMLDocument copy;
  copy.SetXML(m_element.GetXML());
  if (entityInfo) {
    EntityInfo info(copy.GetRoot());
    if (entityInfo->empty())
      info.Reset();
    else
      info.SetEntityInfo(*entityInfo);
  }
  return copy;
}

CorvexManagedEntity::XML_UTF8_t AUConfig::ToXML_UTF8() const { return Copy(nullptr).ToXML_UTF8(); }

CorvexManagedEntity::XML_UTF8_t AUConfig::ToXML_UTF8(const std::wstring& entityInfo) const { return Copy(&entityInfo).ToXML_UTF8(); }

CorvexManagedEntity::XML_UTF16_t AUConfig::ToXML() const { return Copy(nullptr).ToXML(); }

CorvexManagedEntity::XML_UTF16_t AUConfig::ToXML(const std::wstring& entityInfo) const { return Copy(&entityInfo).ToXML(); }

}  // namespace AUCoreHandler
