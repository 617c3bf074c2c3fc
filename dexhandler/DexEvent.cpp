#include "dexhandler/DexEvent.h"

#include "dexhandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/KTDexHandler/Namespaces.h"
#include "platform/trace/Trace.h"

namespace DexHandler {

using namespace KTDexHandler;

void DexEvent::Set(const std::string& agentText)
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, "void DexEvent::Set(const std::string&)");
  KTDexEvent event;
  event.Set(agentText);

  HandlerUtils::XMLDocument document;
  document.SetXML(agentText);
  document.SetSelectionNamespaces(SelectionNamespace(L"ei", kEntityInfoNamespace));
  const HandlerUtils::XMLElement root = document.GetRoot();
  std::optional<std::wstring> entityInfo;
  if (root.NodeExists(L"ei:entityInfo"))
    entityInfo = root.GetStringFromNode(L"ei:entityInfo");

  m_event = event.GetEventData();
  m_entityInfo = std::move(entityInfo);
}

std::wstring DexEvent::GetKTXML() const
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, "std::wstring DexEvent::GetKTXML()");
  Require();
  KTDexEvent event;
  event.SetEventData(*m_event);
  return event.ToXML();
}

bool DexEvent::GetEntityInfo(std::wstring& entityInfo) const
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, "bool DexEvent::GetEntityInfo(std::wstring&)");
  if (!m_event || m_event->type != kAppEventType || !m_entityInfo)
    return false;
  entityInfo = *m_entityInfo;
  return true;
}

std::string DexEvent::ToAgentText(const Event_t& event, const std::optional<std::wstring>& entityInfo)
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, "std::string DexEvent::ToAgentText(const Event_t&, entityInfo)");
  KTDexEvent document;
  document.SetEventData(event);
  if (!entityInfo || event.type != kAppEventType)
    return document.ToXML_UTF8();
  HandlerUtils::XMLDocument agentForm;
  agentForm.SetXML(document.ToXML_UTF8());
  agentForm.GetRoot().CreateStringNode(L"entityInfo", *entityInfo, kEntityInfoNamespace);
  return agentForm.ToXML_UTF8();
}

const Event_t& DexEvent::GetEventData() const
{
  Require();
  return *m_event;
}

void DexEvent::Require() const
{
  if (!m_event)
    throw CorvexManagedEntity::MEException("DexEvent holds no event");
}

}  // namespace DexHandler
