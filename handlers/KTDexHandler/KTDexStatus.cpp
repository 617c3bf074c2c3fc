#include "handlers/KTDexHandler/KTDexStatus.h"

#include "handlers/KTDexHandler/Namespaces.h"
#include "handlers/KTDexHandler/NodeHelpers.h"
#include "handlers/KTDexHandler/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace KTDexHandler {

using HandlerUtils::XMLElement;

KTDexStatusFromXMLHelper::KTDexStatusFromXMLHelper(const CorvexManagedEntity::XML_UTF8_t& text)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "KTDexStatusFromXMLHelper::KTDexStatusFromXMLHelper(utf8)");
  SetXML(text);
  BindPrefix();
}

KTDexStatusFromXMLHelper::KTDexStatusFromXMLHelper(const CorvexManagedEntity::XML_UTF16_t& text)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "KTDexStatusFromXMLHelper::KTDexStatusFromXMLHelper(utf16)");
  SetXML(text);
  BindPrefix();
}

void KTDexStatusFromXMLHelper::BindPrefix() const { SetSelectionNamespaces(SelectionNamespace(L"s", kStatusNamespace)); }

KTDexStatusDetails KTDexStatusFromXMLHelper::Read() const
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "KTDexStatusDetails KTDexStatusFromXMLHelper::Read()");
  KTDexStatusDetails details;
  const XMLElement root = GetRoot();

  const XMLElement entity = root.GetNode(L"s:entity");
  details.productId = entity.GetStringFromNode(L"s:productId");
  details.productVersion = entity.GetStringFromNode(L"s:product-version");

  const XMLElement vdl = root.GetNode(L"s:vdl-info");
  details.virusEngineVersion = vdl.GetStringFromNode(L"s:virus-engine-version");
  details.virusDataVersion = vdl.GetStringFromNode(L"s:virus-data-version");
  details.ideChecksum = vdl.GetStringFromNode(L"s:ideChecksum");
  FromXMLNode(vdl, L"s:idelist/s:ide", details.ideList);

  details.onAccess = root.GetBoolFromNode(L"s:on-access");
  details.quarantine = root.NodeExists(L"s:quarantine") ? root.GetIntFromNode(L"s:quarantine") : 0;
  return details;
}

KTDexStatusToXMLHelper::KTDexStatusToXMLHelper(const KTDexStatusDetails& details) : XMLDocument(L"status", kStatusNamespace)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "KTDexStatusToXMLHelper::KTDexStatusToXMLHelper()");
  const std::wstring& ns = kStatusNamespace;
  const XMLElement root = GetRoot();

  const XMLElement entity = root.CreateNode(L"entity", ns);
  entity.CreateStringNode(L"productId", details.productId, ns);
  entity.CreateStringNode(L"product-version", details.productVersion, ns);

  root.CreateBoolNode(L"on-access", details.onAccess, ns);
  root.CreateIntNode(L"quarantine", details.quarantine, ns);

  const XMLElement vdl = root.CreateNode(L"vdl-info", ns);
  vdl.CreateStringNode(L"virus-engine-version", details.virusEngineVersion, ns);
  vdl.CreateStringNode(L"virus-data-version", details.virusDataVersion, ns);
  vdl.CreateStringNode(L"ideChecksum", details.ideChecksum, ns);
  ToXMLNode(vdl, L"idelist", L"ide", details.ideList, ns);
}

void KTDexStatus::Set(const CorvexManagedEntity::XML_UTF8_t& text)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void KTDexStatus::Set(utf8)");
  m_details = KTDexStatusFromXMLHelper(text).Read();
}

void KTDexStatus::Set(const CorvexManagedEntity::XML_UTF16_t& text)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void KTDexStatus::Set(utf16)");
  m_details = KTDexStatusFromXMLHelper(text).Read();
}

CorvexManagedEntity::XML_UTF8_t KTDexStatus::ToXML_UTF8() const
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "XML_UTF8_t KTDexStatus::ToXML_UTF8()");
  return KTDexStatusToXMLHelper(m_details).ToXML_UTF8();
}

CorvexManagedEntity::XML_UTF16_t KTDexStatus::ToXML() const
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "XML_UTF16_t KTDexStatus::ToXML()");
  return KTDexStatusToXMLHelper(m_details).ToXML();
}

}  // namespace KTDexHandler
