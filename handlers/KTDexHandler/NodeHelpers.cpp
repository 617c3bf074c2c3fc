#include "handlers/KTDexHandler/NodeHelpers.h"

#include "handlers/KTDexHandler/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace KTDexHandler {

void FromXMLNode(const HandlerUtils::XMLElement& node, const std::wstring& path, std::vector<std::wstring>& list)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, L"void FromXMLNode(XMLElement, '%s', list&)", path);
  for (const auto& item : node.SelectElements(path))
    list.push_back(item.GetText());
}

HandlerUtils::XMLElement ToXMLNode(const HandlerUtils::XMLElement& parent, const std::wstring& container, const std::wstring& item,
                                   const std::vector<std::wstring>& list, const std::wstring& ns)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, L"XMLElement ToXMLNode(XMLElement, '%s', '%s', list(%u))", container, item, list.size());
  HandlerUtils::XMLElement node = parent.CreateNode(container, ns);
  for (const auto& text : list)
    node.CreateStringNode(item, text, ns);
  return node;
}

void ReadOptionalText(const HandlerUtils::XMLElement& node, const std::wstring& path, std::wstring& value)
{
  if (node.NodeExists(path))
    value = node.GetStringFromNode(path);
}

void ReadOptionalBool(const HandlerUtils::XMLElement& node, const std::wstring& path, bool& value)
{
  if (node.NodeExists(path))
    value = node.GetBoolFromNode(path);
}

}  // namespace KTDexHandler
