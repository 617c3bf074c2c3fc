#pragma once
// Reading and writing the small recurring shapes of the anti-virus documents: lists of texts
// (a container element holding one item element per text) and elements that may be absent.
#include <string>
#include <vector>

#include "handlers/HandlerUtils/XMLElement.h"
#include "handlers/KTDexHandler/LabelMaps.h"

namespace KTDexHandler {

// Appends the text of every element matching `path` (relative to `node`), in document order.
void FromXMLNode(const HandlerUtils::XMLElement& node, const std::wstring& path, std::vector<std::wstring>& list);
// Creates `container` under `parent`, always, holding one `item` per text.
HandlerUtils::XMLElement ToXMLNode(const HandlerUtils::XMLElement& parent, const std::wstring& container, const std::wstring& item,
                                   const std::vector<std::wstring>& list, const std::wstring& ns);

// The readers below leave `value` unchanged when the element is absent.
void ReadOptionalText(const HandlerUtils::XMLElement& node, const std::wstring& path, std::wstring& value);
void ReadOptionalBool(const HandlerUtils::XMLElement& node, const std::wstring& path, bool& value);
// An unknown label keeps `value` too.
template <class T>
void ReadOptionalEnum(const HandlerUtils::XMLElement& node, const std::wstring& path, const LabelMap<T>& map, T& value)
{
  if (node.NodeExists(path))
    node.GetEnumFromNode(path, map, value);
}

}  // namespace KTDexHandler
