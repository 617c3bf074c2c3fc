#include "handlers/KTDexHandler/KTDexEvent.h"

#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/KTDexHandler/Namespaces.h"
#include "handlers/KTDexHandler/NodeHelpers.h"
#include "handlers/KTDexHandler/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace KTDexHandler {

using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;

// The part readers use the prefix ev, which the event reader binds on the document.

void ToXMLNode(const XMLElement& parent, const user_t& user)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const user_t&)");
  const XMLElement node = parent.CreateNode(L"user", kEventNamespace);
  node.CreateStringNode(L"userId", user.userId, kEventNamespace);
  node.CreateStringNode(L"domain", user.domain, kEventNamespace);
}

void FromXMLNode(const XMLElement& node, user_t& user)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, user_t&)");
  user.userId = node.GetStringFromNode(L"ev:userId");
  user.domain.clear();
  ReadOptionalText(node, L"ev:domain", user.domain);
}

void ToXMLNode(const XMLElement& parent, const virusInfectionInfo_t& info)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const virusInfectionInfo_t&)");
  const std::wstring& ns = kEventNamespace;
  const XMLElement node = parent.CreateNode(L"infectionInfo", ns);
  node.CreateEnumNode(L"virusType", info.virusType, GetVirusTypeMap(), ns);
  node.CreateStringNode(L"virusName", info.virusName, ns);
  node.CreateStringNode(L"item", info.item, ns);
  node.CreateEnumNode(L"scanType", info.scanType, GetScanTypeMap(), ns);
  node.CreateEnumNode(L"actionTaken", info.actionTaken, GetVirusActionMap(), ns);
}

void FromXMLNode(const XMLElement& node, virusInfectionInfo_t& info)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, virusInfectionInfo_t&)");
  ReadOptionalEnum(node, L"ev:virusType", GetVirusTypeMap(), info.virusType);
  ReadOptionalText(node, L"ev:virusName", info.virusName);
  info.item = node.GetStringFromNode(L"ev:item");
  ReadOptionalEnum(node, L"ev:scanType", GetScanTypeMap(), info.scanType);
  ReadOptionalEnum(node, L"ev:actionTaken", GetVirusActionMap(), info.actionTaken);
}

void ToXMLNode(const XMLElement& parent, const message_t& message)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const message_t&)");
  const XMLElement node = parent.CreateNode(L"message", kEventNamespace);
  node.CreateStringNode(L"message_code", message.message_code, kEventNamespace);
  ToXMLNode(node, L"message_inserts", L"insert", message.message_inserts, kEventNamespace);
}

void FromXMLNode(const XMLElement& node, message_t& message)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, message_t&)");
  ReadOptionalText(node, L"ev:message_code", message.message_code);
  FromXMLNode(node, L"ev:message_inserts/ev:insert", message.message_inserts);
}

void ToXMLNode(const XMLElement& parent, const appInfo_t& info)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const appInfo_t&)");
  const XMLElement node = parent.CreateNode(L"appInfo", kEventNamespace);
  node.CreateIntNode(L"number", info.number, kEventNamespace);
  ToXMLNode(node, info.message);
}

void FromXMLNode(const XMLElement& node, appInfo_t& info)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, appInfo_t&)");
  // Read unsigned, kept in the signed field the database stores: message numbers with the top
  // bit set travel as their two's-complement value.
  info.number = static_cast<LONG>(node.GetUnsignedIntFromNode(L"ev:number"));
  FromXMLNode(node.GetNode(L"ev:message"), info.message);
}

void ToXMLNode(const XMLElement& parent, const scanComplete_t& scan)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const scanComplete_t&)");
  const XMLElement node = parent.CreateNode(L"scanComplete", kEventNamespace);
  node.CreateStringNode(L"scanName", scan.scanName, kEventNamespace);
}

void FromXMLNode(const XMLElement& node, scanComplete_t& scan)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, scanComplete_t&)");
  if (node.NodeExists(L"ev:scanName"))
    scan.scanName = node.GetStringFromNode(L"ev:scanName");
  else
    trace::Trace(TRACE_KTDEXHANDLER, 1, "No scanName ???");
}

class KTDexEventImpl
{
public:
  template <class Text>
  void Set(const Text& text)
  {
    XMLDocument document;
    document.SetXML(text);
    document.SetSelectionNamespaces(SelectionNamespace(L"ev", kEventNamespace));
    m_event = Read(document.GetRoot());
  }

  XMLDocument Write() const
  {
    XMLDocument document(L"event", kEventNamespace);
    const XMLElement root = document.GetRoot();
    root.CreateStringAttribute(L"type", m_event.type);
    root.CreateStringNode(L"timestamp", m_event.timestamp.ToString(), kEventNamespace);
    ToXMLNode(root, m_event.user);
    if (m_event.type == kAppEventType)
      ToXMLNode(root, m_event.appInfo);
    else if (m_event.type == kVirusDetectedEventType)
      ToXMLNode(root, m_event.infectionInfo);
    else if (m_event.type == kScanCompleteEventType)
      ToXMLNode(root, m_event.scanComplete);
    return document;
  }

  Event_t m_event;

private:
  static Event_t Read(const XMLElement& root)
  {
    Event_t event;
    event.type = root.GetStringFromNode(L"./@type");
    event.timestamp = HandlerUtils::timestamp_t::FromString(root.GetStringFromNode(L"ev:timestamp"));
    if (root.NodeExists(L"ev:user"))
      FromXMLNode(root.GetNode(L"ev:user"), event.user);
    if (event.type == kAppEventType)
      FromXMLNode(root.GetNode(L"ev:appInfo"), event.appInfo);
    else if (event.type == kVirusDetectedEventType)
      FromXMLNode(root.GetNode(L"ev:infectionInfo"), event.infectionInfo);
    else if (event.type == kScanCompleteEventType)
      FromXMLNode(root.GetNode(L"ev:scanComplete"), event.scanComplete);
    return event;
  }
};

KTDexEvent::KTDexEvent() = default;
KTDexEvent::KTDexEvent(const KTDexEvent& other) = default;
KTDexEvent& KTDexEvent::operator=(const KTDexEvent& other) = default;
KTDexEvent::KTDexEvent(KTDexEvent&& other) = default;
KTDexEvent& KTDexEvent::operator=(KTDexEvent&& other) noexcept = default;
KTDexEvent::~KTDexEvent() = default;

void KTDexEvent::Reset()
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void KTDexEvent::Reset()");
  m_impl->m_event = Event_t();
}

Event_t KTDexEvent::GetEventData() const { return m_impl->m_event; }

void KTDexEvent::SetEventData(const Event_t& event) { m_impl->m_event = event; }

void KTDexEvent::Set(const CorvexManagedEntity::XML_UTF8_t& text)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void KTDexEvent::Set(utf8)");
  m_impl->Set(text);
}

void KTDexEvent::Set(const CorvexManagedEntity::XML_UTF16_t& text)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void KTDexEvent::Set(utf16)");
  m_impl->Set(text);
}

CorvexManagedEntity::XML_UTF8_t KTDexEvent::ToXML_UTF8() const
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "XML_UTF8_t KTDexEvent::ToXML_UTF8()");
  return m_impl->Write().ToXML_UTF8();
}

CorvexManagedEntity::XML_UTF16_t KTDexEvent::ToXML() const
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "XML_UTF16_t KTDexEvent::ToXML()");
  return m_impl->Write().ToXML();
}

}  // namespace KTDexHandler
