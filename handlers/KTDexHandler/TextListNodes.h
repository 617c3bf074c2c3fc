#pragma once
// A list of texts in a document: a container element holding one item element per text.
#include <string>
#include <vector>

#include "handlers/HandlerUtils/XMLElement.h"

namespace KTDexHandler {

// Appends the text of every element matching `path` (relative to `node`), in document order.
void FromXMLNode(const HandlerUtils::XMLElement& node, const std::wstring& path, std::vector<std::wstring>& list);
// Creates `container` under `parent`, always, holding one `item` per text.
HandlerUtils::XMLElement ToXMLNode(const HandlerUtils::XMLElement& parent, const std::wstring& container, const std::wstring& item,
                                   const std::vector<std::wstring>& list, const std::wstring& ns);

}  // namespace KTDexHandler
