#include "handlers/AUCoreHandler/AUConfigElements.h"

#include <climits>
#include <cwctype>

#include "handlers/AUCoreHandler/Namespaces.h"
#include "handlers/AUCoreHandler/PathUtils.h"
#include "handlers/AUCoreHandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/trace/Trace.h"

namespace AUCoreHandler {

using CorvexManagedEntity::MEInvalidException;
using HandlerUtils::XMLElement;

namespace {

std::wstring Upper(std::wstring text)
{
  for (auto& c : text)
    c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return text;
}

std::wstring Lower(std::wstring text)
{
  for (auto& c : text)
    c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

// Digits from `pos` on, up to the first non-digit; 0 when there are none.
long ReadDecimal(const std::wstring& text, std::size_t pos)
{
  long value = 0;
  for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
    if (value > (LONG_MAX - 9) / 10)
      break;
    value = value * 10 + (text[pos] - L'0');
  }
  return value;
}

}  // namespace

void ThrowMissingChild(const char* error) { throw MEInvalidException(std::string(error)); }

XMLElement FindChild(const XMLElement& parent, const wchar_t* localName)
{
  if (!parent.element)
    return XMLElement(parent.document, {});
  auto children = parent.SelectElements(std::wstring(L"*[local-name()='") + localName + L"']");
  return children.empty() ? XMLElement(parent.document, {}) : std::move(children.front());
}

bool ReadAttribute(const XMLElement& element, const wchar_t* name, std::wstring& value)
{
  if (!element.element)
    return false;
  try {
    const auto found = element.SelectElements(std::wstring(L"@") + name);
    if (found.empty())
      return false;
    value = found.front().GetText();
    return true;
  } catch (const WinRuntimeError& e) {
    trace::Trace(TRACE_AUCOREHANDLER, 0, "Reading attribute %S failed: %s", name, e.what());
    return false;
  }
}

XMLElement ReplaceElement(const XMLElement& target, const XMLElement& source) { return target.ReplaceWithCopyOf(source); }

void RemoveElement(const XMLElement& element) { element.Remove(); }

// ---------------------------------------------------------------------------------------------

AttributeHolder::AttributeHolder(XMLElement element, const char* what) : m_element(std::move(element)), m_what(what) {}

void AttributeHolder::Rebind(XMLElement element) { m_element = std::move(element); }

bool AttributeHolder::ReadString(const wchar_t* name, std::wstring& value) const { return ReadAttribute(m_element, name, value); }

namespace {

// An attribute that is present, converted by one of the element's typed readers; false when
// the text does not convert.
template <class T>
bool ReadConverted(const XMLElement& element, const wchar_t* name, T& value, T (XMLElement::*convert)(const std::wstring&) const)
{
  std::wstring text;
  if (!ReadAttribute(element, name, text))
    return false;
  try {
    value = (element.*convert)(name);
    return true;
  } catch (const HandlerUtils::XMLException&) {
    return false;  // traced where it was raised
  } catch (const WinRuntimeError& e) {
    trace::Trace(TRACE_AUCOREHANDLER, 0, "Reading attribute %S failed: %s", name, e.what());
    return false;
  }
}

}  // namespace

bool AttributeHolder::ReadBool(const wchar_t* name, bool& value) const
{
  return ReadConverted(m_element, name, value, &XMLElement::GetBoolFromAttribute);
}

bool AttributeHolder::ReadULong(const wchar_t* name, ULONG& value) const
{
  return ReadConverted(m_element, name, value, &XMLElement::GetUnsignedIntFromAttribute);
}

void AttributeHolder::NeedElement() const
{
  if (!IsBound())
    throw MEInvalidException(std::string("invalid ") + m_what);
}

void AttributeHolder::WriteString(const wchar_t* name, const std::wstring& value)
{
  NeedElement();
  trace::Trace(TRACE_AUCOREHANDLER, 2, L"Setting %S %s='%s'", m_what, name, value);
  m_element.CreateStringAttribute(name, value);
}

void AttributeHolder::WriteSecret(const wchar_t* name, const std::wstring& value)
{
  NeedElement();
  trace::Trace(TRACE_AUCOREHANDLER, 2, L"Setting %S %s (%u characters)", m_what, name, static_cast<unsigned>(value.size()));
  m_element.CreateStringAttribute(name, value);
}

void AttributeHolder::WriteBool(const wchar_t* name, bool value)
{
  NeedElement();
  trace::Trace(TRACE_AUCOREHANDLER, 2, L"Setting %S %s=%s", m_what, name, value ? L"true" : L"false");
  m_element.CreateBoolAttribute(name, value);
}

void AttributeHolder::WriteULong(const wchar_t* name, ULONG value)
{
  NeedElement();
  trace::Trace(TRACE_AUCOREHANDLER, 2, L"Setting %S %s=%lu", m_what, name, value);
  m_element.CreateUnsignedIntAttribute(name, value);
}

// ---------------------------------------------------------------------------------------------

Server::Server(XMLElement element, std::function<void(const std::wstring&)> addressChanged)
  : AttributeHolder(std::move(element), "server"), m_addressChanged(std::move(addressChanged))
{
}

bool Server::GetAllowLocalConfig(bool& value) const { return ReadBool(L"AllowLocalConfig", value); }
void Server::SetAllowLocalConfig(bool value) { WriteBool(L"AllowLocalConfig", value); }
bool Server::GetAddress(std::wstring& value) const { return ReadString(L"ConnectionAddress", value); }

void Server::SetAddress(const std::wstring& value)
{
  WriteString(L"ConnectionAddress", value);
  if (m_addressChanged)
    m_addressChanged(value);
}

bool Server::GetUseCorvex(bool& value) const { return ReadBool(L"UseCorvex", value); }
void Server::SetUseCorvex(bool value) { WriteBool(L"UseCorvex", value); }

bool Server::GetPortNumber(long& value) const
{
  std::wstring address;
  if (!GetAddress(address))
    return false;
  const std::wstring lower = Lower(address);
  if (lower.empty() || lower.find(L"http://") == std::wstring::npos) {
    value = -1;
    return true;
  }
  const auto colon = lower.find(L':', 6);
  value = colon == std::wstring::npos ? 80 : ReadDecimal(lower, colon + 1);
  return true;
}

bool Server::GetUsername(std::wstring& value) const { return ReadString(L"UserName", value); }
void Server::SetUserName(const std::wstring& value) { WriteString(L"UserName", value); }
bool Server::GetUserPassword(std::wstring& value) const { return ReadString(L"UserPassword", value); }
void Server::SetUserPassword(const std::wstring& value) { WriteSecret(L"UserPassword", value); }

bool Server::GetConnectionType(std::wstring& value) const
{
  std::wstring address;
  if (!GetAddress(address))
    return false;
  const std::wstring upper = Upper(address);
  if (upper.find(L"HTTP://") != std::wstring::npos)
    value = upper.substr(0, 4);
  else if (upper.compare(0, 2, L"\\\\") == 0)
    value = L"UNC";
  else
    value.clear();
  return true;
}

bool Server::GetAutoDial(bool& value) const { return ReadBool(L"AutoDial", value); }
void Server::SetAutoDial(bool value) { WriteBool(L"AutoDial", value); }
bool Server::GetBandwidthLimit(ULONG& value) const { return ReadULong(L"BandwidthLimit", value); }
void Server::SetBandwidthLimit(ULONG value) { WriteULong(L"BandwidthLimit", value); }

// ---------------------------------------------------------------------------------------------

Proxy::Proxy(XMLElement element) : AttributeHolder(std::move(element), "proxy") {}

bool Proxy::GetAllowLocalConfig(bool& value) const { return ReadBool(L"AllowLocalConfig", value); }
void Proxy::SetAllowLocalConfig(bool value) { WriteBool(L"AllowLocalConfig", value); }
bool Proxy::GetAddress(std::wstring& value) const { return ReadString(L"ProxyAddress", value); }
void Proxy::SetAddress(const std::wstring& value) { WriteString(L"ProxyAddress", value); }
bool Proxy::GetPortNumber(ULONG& value) const { return ReadULong(L"ProxyPortNumber", value); }
void Proxy::SetPortNumber(ULONG value) { WriteULong(L"ProxyPortNumber", value); }
bool Proxy::GetUsername(std::wstring& value) const { return ReadString(L"ProxyUserName", value); }
void Proxy::SetUserName(const std::wstring& value) { WriteString(L"ProxyUserName", value); }
bool Proxy::GetUserPassword(std::wstring& value) const { return ReadString(L"ProxyUserPassword", value); }
void Proxy::SetUserPassword(const std::wstring& value) { WriteSecret(L"ProxyUserPassword", value); }

bool Proxy::GetEnable(bool& value) const
{
  ULONG type = 0;
  if (!ReadULong(L"ProxyType", type))
    return false;
  value = type != 0;
  return true;
}

void Proxy::SetEnable(bool value) { WriteULong(L"ProxyType", value ? 1 : 0); }

// ---------------------------------------------------------------------------------------------

Location::Location(XMLElement element, std::function<void(const std::wstring&)> addressChanged)
  : AttributeHolder(std::move(element), "location"), m_addressChanged(std::move(addressChanged))
{
}

Location::~Location() = default;

IServer& Location::GetServer() const { return ChildView(m_server, Element(), L"server", "invalid server", m_addressChanged); }

IProxy& Location::GetProxy() const { return ChildView(m_proxy, Element(), L"proxy", "invalid proxy"); }

void Location::Rebind(XMLElement element)
{
  AttributeHolder::Rebind(std::move(element));
  RebindChild(m_server, Element(), L"server");
  RebindChild(m_proxy, Element(), L"proxy");
}

// ---------------------------------------------------------------------------------------------

Schedule::Schedule(XMLElement element) : AttributeHolder(std::move(element), "schedule") {}

bool Schedule::GetAllowLocalConfig(bool& value) const { return ReadBool(L"AllowLocalConfig", value); }
void Schedule::SetAllowLocalConfig(bool value) { WriteBool(L"AllowLocalConfig", value); }
bool Schedule::GetEnable(bool& value) const { return ReadBool(L"SchedEnable", value); }
void Schedule::SetEnable(bool value) { WriteBool(L"SchedEnable", value); }
bool Schedule::GetFrequency(ULONG& value) const { return ReadULong(L"Frequency", value); }
void Schedule::SetFrequency(ULONG value) { WriteULong(L"Frequency", value); }
bool Schedule::GetDetectDialUp(bool& value) const { return ReadBool(L"DetectDialUp", value); }
void Schedule::SetDetectDialUp(bool value) { WriteBool(L"DetectDialUp", value); }

// ---------------------------------------------------------------------------------------------

Logging::Logging(XMLElement element) : AttributeHolder(std::move(element), "logging") {}

bool Logging::GetAllowLocalConfig(bool& value) const { return ReadBool(L"AllowLocalConfig", value); }
void Logging::SetAllowLocalConfig(bool value) { WriteBool(L"AllowLocalConfig", value); }
bool Logging::GetEnable(bool& value) const { return ReadBool(L"LogEnable", value); }
void Logging::SetEnable(bool value) { WriteBool(L"LogEnable", value); }
bool Logging::GetLevel(ULONG& value) const { return ReadULong(L"LogLevel", value); }
void Logging::SetLevel(ULONG value) { WriteULong(L"LogLevel", value); }
bool Logging::GetMaxFileSize(ULONG& value) const { return ReadULong(L"MaxLogFileSize", value); }
void Logging::SetMaxFileSize(ULONG value) { WriteULong(L"MaxLogFileSize", value); }
bool Logging::GetFileName(std::wstring& value) const { return ReadString(L"LogFileName", value); }
void Logging::SetFileName(const std::wstring& value) { WriteString(L"LogFileName", value); }
bool Logging::GetFilePath(std::wstring& value) const { return ReadString(L"LogFilePath", value); }
void Logging::SetFilePath(const std::wstring& value) { WriteString(L"LogFilePath", value); }

// ---------------------------------------------------------------------------------------------

Bootstrap::Bootstrap(XMLElement element, std::function<bool(std::wstring&)> primaryAddress)
  : AttributeHolder(std::move(element), "bootstrap"), m_primaryAddress(std::move(primaryAddress))
{
}

bool Bootstrap::GetLocation(std::wstring& value) const { return ReadString(L"Location", value); }
void Bootstrap::SetLocation(const std::wstring& value) { WriteString(L"Location", value); }
bool Bootstrap::GetUsePrimaryServerAddress(bool& value) const { return ReadBool(L"UsePrimaryServerAddress", value); }

void Bootstrap::SetUsePrimaryServerAddress(bool value)
{
  WriteBool(L"UsePrimaryServerAddress", value);
  std::wstring address;
  if (value && m_primaryAddress && m_primaryAddress(address))
    FollowPrimaryServer(address);
}

bool Bootstrap::FollowsHttpServer() const
{
  bool follow = false;
  std::wstring address;
  return GetUsePrimaryServerAddress(follow) && follow && m_primaryAddress && m_primaryAddress(address) &&
         util::PathIsHttpURL(address);
}

void Bootstrap::FollowPrimaryServer(const std::wstring& address)
{
  bool follow = false;
  if (!GetUsePrimaryServerAddress(follow) || !follow)
    return;
  if (util::PathIsUNC(address)) {
    trace::Trace(TRACE_AUCOREHANDLER, 2, L"path `%s` is UNC", address);
    SetLocation(address);
    return;
  }
  SetLocation(std::wstring());
  if (util::PathIsHttpURL(address))
    trace::Trace(TRACE_AUCOREHANDLER, 2, L"path `%s` is HTTP", address);
  else
    trace::Trace(TRACE_AUCOREHANDLER, 0, L"path `%s` not UNC or HTTP", address);
}

// ---------------------------------------------------------------------------------------------

EntityInfo::EntityInfo(XMLElement parent) : m_parent(std::move(parent)) {}

bool EntityInfo::GetEntityInfo(std::wstring& value) const
{
  const XMLElement info = FindChild(m_parent, L"entityInfo");
  if (!info.element)
    return false;
  value = info.GetText();
  return !value.empty();
}

void EntityInfo::SetEntityInfo(const std::wstring& value)
{
  if (!m_parent.element)
    throw MEInvalidException(std::string("invalid entity information"));
  XMLElement info = FindChild(m_parent, L"entityInfo");
  if (!info.element)
    info = m_parent.CreateNode(L"entityInfo", EntityInfoNamespace);
  info.SetText(value);
}

void EntityInfo::Reset() { RemoveElement(FindChild(m_parent, L"entityInfo")); }

}  // namespace AUCoreHandler
