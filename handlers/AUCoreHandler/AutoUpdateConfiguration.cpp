#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"

#include <map>
#include <new>

#include "handlers/AUCoreHandler/AUConfig.h"
#include "handlers/AUCoreHandler/Namespaces.h"
#include "handlers/AUCoreHandler/SameUpdateConfig.h"
#include "handlers/AUCoreHandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace AUCoreHandler {

using CorvexManagedEntity::MECreateDOMFailed;
using CorvexManagedEntity::MEMalformedException;
using CorvexManagedEntity::MEUnknownPlatform;
using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;

namespace {

std::string BuildDefaultDocument()
{
  const std::string location =
      "<server BandwidthLimit='0' AutoDial='false' UserPassword='' UserName='' UseCorvex='false' ConnectionAddress='' "
      "AllowLocalConfig='false'/>"
      "<proxy ProxyType='0' ProxyUserPassword='' ProxyUserName='' ProxyPortNumber='8080' ProxyAddress='' AllowLocalConfig='false'/>";
  std::string text = "<?xml version='1.0' encoding='utf-8'?>\n<AUConfigurations xmlns='" + ToUtf8(AUConfigNamespace) + "'>\n";
  for (const wchar_t* platform : Platforms) {
    text += "  <AUConfig platform='" + ToUtf8(platform) + "' version='1'>";
    text += "<corvex_address address='" + ToUtf8(CorvexUpdateAddress) + "'/>";
    text += "<primary_location>" + location + "</primary_location>";
    text += "<secondary_location>" + location + "</secondary_location>";
    text += "<schedule AllowLocalConfig='false' SchedEnable='true' Frequency='5' DetectDialUp='false'/>";
    text += "<logging AllowLocalConfig='false' LogLevel='50' LogEnable='true' LogFileName='' LogFilePath='' MaxLogFileSize='1'/>";
    text += "<bootstrap Location='' UsePrimaryServerAddress='true'/>";
    text += "</AUConfig>\n";
  }
  return text + "</AUConfigurations>\n";
}

// Where a parse failed, from the parser's error and the start of the text.
template <class Text>
std::string LoadFailure(const XMLDocument& document, const Text& text)
{
  const HandlerUtils::XMLParseError error = document.GetError();
  std::wstring start;
  if constexpr (std::is_same_v<Text, std::string>)
    start = FromUtf8(text.substr(0, 64));
  else
    start = text.substr(0, 64);
  const std::wstring line = L"line " + std::to_wstring(error.line);
  trace::Trace(TRACE_AUCOREHANDLER, 0, "Loading XML failed: '%ls'\n%ls\n%ls", error.reason, line, start);
  return "Loading XML failed: '" + ToUtf8(error.reason) + "' " + ToUtf8(line);
}

}  // namespace

const CorvexManagedEntity::XML_UTF8_t& DefaultAUConfigDocument()
{
  static const std::string text = BuildDefaultDocument();
  return text;
}

class AutoUpdateConfigurationImpl
{
public:
  // Raises MECreateDOMFailed when no document can be made.
  AutoUpdateConfigurationImpl() : document(NewDocument()) {}

  bool HasRoot() const { return static_cast<bool>(document.GetRoot().element); }

  template <class Text>
  void Load(const Text& text)
  {
    try {
      document.SetXML(text);
    } catch (const HandlerUtils::XMLException&) {
      throw MEMalformedException(LoadFailure(document, text));
    }
    cache.clear();
  }

  // Every platform present and readable.
  void Validate()
  {
    for (const wchar_t* platform : Platforms)
      GetConfig(platform).Exercise();
  }

  AUConfig& GetConfig(const std::wstring& platform)
  {
    trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, L"IAUConfig& AutoUpdateConfiguration::GetConfig('%s')", platform);
    if (const auto it = cache.find(platform); it != cache.end())
      return *it->second;
    try {
      if (!HasRoot()) {
        Load(DefaultAUConfigDocument());
        if (!HasRoot())
          throw MEMalformedException(std::string("Bad data for auto-initialisation"));
      }
      for (const XMLElement& element : document.GetRoot().SelectElements(L"*[local-name()='AUConfig']")) {
        std::wstring name;
        if (ReadAttribute(element, L"platform", name) && name == platform)
          return *cache.emplace(platform, std::make_unique<AUConfig>(element)).first->second;
      }
    } catch (const WinRuntimeError& e) {
      trace::Trace(TRACE_AUCOREHANDLER, 0, "Getting config failed: hr=0x%p (%hs)", e.hr(), e.what());
      throw MEMalformedException(std::string(e.what()));
    }
    throw MEUnknownPlatform(L"Unknown platform: '" + platform + L"'");
  }

  XMLDocument document;
  std::map<std::wstring, std::unique_ptr<AUConfig>> cache;

private:
  static XMLDocument NewDocument()
  {
    try {
      return XMLDocument();
    } catch (const WinRuntimeError& e) {
      trace::Trace(TRACE_AUCOREHANDLER, 0, "Creating DOM object failed: hr=0x%p", e.hr());
    } catch (const std::bad_alloc&) {
      trace::Trace(TRACE_AUCOREHANDLER, 0, "Creating DOM object failed: hr=0x%p", E_OUTOFMEMORY);
    }
    throw MECreateDOMFailed();
  }
};

AutoUpdateConfiguration::AutoUpdateConfiguration() : m_impl(std::make_unique<AutoUpdateConfigurationImpl>()) {}

AutoUpdateConfiguration::~AutoUpdateConfiguration() = default;

AutoUpdateConfiguration::AutoUpdateConfiguration(const AutoUpdateConfiguration& other) : AutoUpdateConfiguration() { *this = other; }

AutoUpdateConfiguration& AutoUpdateConfiguration::operator=(const AutoUpdateConfiguration& other)
{
  if (this == &other)
    return *this;
  auto copy = std::make_unique<AutoUpdateConfigurationImpl>();
  if (other.IsInitialised())
    copy->Load(XMLDocument(other.Impl().document).GetRoot().GetXML());
  m_impl = std::move(copy);
  return *this;
}

AutoUpdateConfiguration::AutoUpdateConfiguration(AutoUpdateConfiguration&& other) noexcept = default;
AutoUpdateConfiguration& AutoUpdateConfiguration::operator=(AutoUpdateConfiguration&& other) noexcept = default;

AutoUpdateConfigurationImpl& AutoUpdateConfiguration::Impl() const
{
  // A moved-from object behaves as a new one.
  if (!m_impl)
    const_cast<AutoUpdateConfiguration*>(this)->m_impl = std::make_unique<AutoUpdateConfigurationImpl>();
  return *m_impl;
}

bool AutoUpdateConfiguration::IsInitialised() const { return m_impl && m_impl->HasRoot(); }

void AutoUpdateConfiguration::Reset()
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, "void AutoUpdateConfiguration::Reset()");
  m_impl = std::make_unique<AutoUpdateConfigurationImpl>();
}

namespace {

// Resets the object, then loads and checks the text. After a failure the object holds no
// document (the text did not parse) or the document as read (a platform is missing or broken);
// callers discard it.
template <class Text>
void ResetAndLoad(std::unique_ptr<AutoUpdateConfigurationImpl>& impl, const Text& text)
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, "void AutoUpdateConfiguration::Set(%u characters)", static_cast<unsigned>(text.size()));
  impl = std::make_unique<AutoUpdateConfigurationImpl>();
  impl->Load(text);
  impl->Validate();
}

}  // namespace

void AutoUpdateConfiguration::Set(const std::string& text) { ResetAndLoad(m_impl, text); }

void AutoUpdateConfiguration::Set(const std::wstring& text) { ResetAndLoad(m_impl, text); }

IAUConfig& AutoUpdateConfiguration::GetConfig(const std::wstring& platform) { return Impl().GetConfig(platform); }

void AutoUpdateConfiguration::CreateConfig()
{
  auto created = std::make_unique<AutoUpdateConfigurationImpl>();
  created->Load(DefaultAUConfigDocument());
  m_impl = std::move(created);
}

CorvexManagedEntity::XML_UTF8_t AutoUpdateConfiguration::ToXML_UTF8()
{
  if (!IsInitialised())
    CreateConfig();
  return Impl().document.ToXML_UTF8();
}

CorvexManagedEntity::XML_UTF8_t AutoUpdateConfiguration::ToXML_UTF8(const std::wstring& platform)
{
  return GetConfig(platform).ToXML_UTF8();
}

CorvexManagedEntity::XML_UTF16_t AutoUpdateConfiguration::ToXML()
{
  if (!IsInitialised())
    CreateConfig();
  return Impl().document.ToXML();
}

CorvexManagedEntity::XML_UTF16_t AutoUpdateConfiguration::ToXML(const std::wstring& platform) { return GetConfig(platform).ToXML(); }

bool AutoUpdateConfiguration::GetEntityInfo(std::wstring& value) const
{
  if (!IsInitialised())
    return false;
  const auto found = m_impl->document.GetRoot().SelectElements(L"descendant-or-self::*[local-name()='entityInfo']");
  if (found.empty())
    return false;
  value = found.front().GetText();
  return !value.empty();
}

bool AutoUpdateConfiguration::operator==(const AutoUpdateConfiguration& other) const
{
  if (!IsInitialised() || !other.IsInitialised())
    return IsInitialised() == other.IsInitialised();
  for (const wchar_t* platform : Platforms)
    if (!SameUpdateConfig(Impl().GetConfig(platform), other.Impl().GetConfig(platform)))
      return false;
  return true;
}

bool IsPlatformConfigured(AutoUpdateConfiguration& configuration, const std::wstring& platform)
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, L"bool IsPlatformConfigured(configuration, '%s')", platform);
  try {
    std::wstring address;
    return configuration.GetConfig(platform).GetPrimaryLocation().GetServer().GetAddress(address) && !address.empty();
  } catch (const std::exception& e) {
    trace::Trace(TRACE_AUCOREHANDLER, 0, "Caught exception '%hs'", e.what());
    return false;
  }
}

}  // namespace AUCoreHandler
