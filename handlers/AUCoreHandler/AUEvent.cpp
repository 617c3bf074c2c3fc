#include "handlers/AUCoreHandler/AUEvent.h"

#include "handlers/AUCoreHandler/Namespaces.h"
#include "handlers/AUCoreHandler/TraceComponent.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "platform/trace/Trace.h"

namespace AUCoreHandler {

using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;

namespace {

// The text of the first node matching `path`; empty when there is none.
std::wstring OptionalText(const XMLElement& from, const wchar_t* path)
{
  const auto found = from.SelectElements(path);
  return found.empty() ? std::wstring() : found.front().GetText();
}

XMLDocument BuildDocument(const Event_t& event, const std::wstring& entityInfo)
{
  const std::wstring& ns = AUEventNamespace;
  XMLDocument document(L"event", ns);
  const XMLElement root = document.GetRoot();
  root.CreateStringNode(L"timestamp", event.timestamp.ToString(), ns);
  const XMLElement user = root.CreateNode(L"user", ns);
  user.CreateStringNode(L"userId", event.user.userId, ns);
  user.CreateStringNode(L"domain", event.user.domain, ns);
  const XMLElement appInfo = root.CreateNode(L"appInfo", ns);
  appInfo.CreateIntNode(L"number", event.appInfo.number, ns);
  const XMLElement inserts = appInfo.CreateNode(L"message", ns).CreateNode(L"message_inserts", ns);
  for (const std::wstring& insert : event.appInfo.message_inserts)
    inserts.CreateStringNode(L"insert", insert, ns);
  root.CreateStringAttribute(L"type", event.type);
  if (!entityInfo.empty())
    root.CreateStringNode(L"entityInfo", entityInfo, EntityInfoNamespace);
  return document;
}

}  // namespace

void AUEvent::Reset()
{
  m_event = Event_t();
  m_entityInfo.clear();
}

bool AUEvent::GetEntityInfo(std::wstring& value) const
{
  if (m_entityInfo.empty())
    return false;
  value = m_entityInfo;
  return true;
}

void AUEvent::Set(const std::string& text)
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, "void AUEvent::Set(%u bytes)", static_cast<unsigned>(text.size()));
  XMLDocument document;
  document.SetXML(text);
  document.SetSelectionNamespaces(L"xmlns:ae='" + AUEventNamespace + L"' xmlns:ei='" + EntityInfoNamespace + L"'");
  const XMLElement root = document.GetRoot();

  Event_t event;
  const std::wstring entityInfo = OptionalText(root, L"ei:entityInfo");
  event.type = root.GetStringFromNode(L"attribute::type");
  event.timestamp = HandlerUtils::timestamp_t::FromString(root.GetStringFromNode(L"ae:timestamp"));
  if (const auto users = root.SelectElements(L"ae:user"); !users.empty()) {
    event.user.userId = users.front().GetStringFromNode(L"ae:userId");
    event.user.domain = OptionalText(users.front(), L"ae:domain");
  }
  const XMLElement appInfo = root.GetNode(L"./ae:appInfo");
  event.appInfo.number = appInfo.GetIntFromNode(L"ae:number");
  for (const XMLElement& insert : appInfo.SelectElements(L"./ae:message/ae:message_inserts/ae:insert"))
    event.appInfo.message_inserts.push_back(insert.GetText());

  m_event = std::move(event);
  m_entityInfo = entityInfo;
}

CorvexManagedEntity::XML_UTF16_t AUEvent::ToKTXML() const { return BuildDocument(m_event, m_entityInfo).ToXML(); }

CorvexManagedEntity::XML_UTF8_t AUEvent::ToKTXML_UTF8() const { return BuildDocument(m_event, m_entityInfo).ToXML_UTF8(); }

}  // namespace AUCoreHandler
