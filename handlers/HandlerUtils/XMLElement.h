#pragma once
// A node of a document with typed accessors addressed by XPath. Paths may use the prefixes bound
// on the document with XMLDocument::SetSelectionNamespaces. Reads never change the document; a
// failing read raises XMLException, a failing DOM call WinRuntimeError.
#include <map>
#include <string>
#include <typeinfo>
#include <vector>

#include "handlers/HandlerUtils/ElementTypes.h"
#include "handlers/HandlerUtils/TraceComponent.h"
#include "platform/com/WinTypes.h"
#include "platform/trace/Trace.h"

namespace HandlerUtils {

class XMLElement
{
public:
  XMLElement(ElementTypes::Document document, ElementTypes::Element element);

  // All descendant text, concatenated (an attribute's value for an attribute node).
  std::wstring GetText() const;
  // Replaces the node's content by one text node (nothing for an empty text).
  void SetText(const std::wstring& text) const;
  bool IsNull() const;
  // The node's markup, with the namespace declarations it needs.
  std::wstring GetXML() const;

  // Appends an element named `name` (qualified, prefix optional) in namespace `ns` (empty: none)
  // as the last child and returns it.
  XMLElement CreateNode(const std::wstring& name, const std::wstring& ns) const;

  // True when the node sits under an element (not at the top of its document).
  bool HasParentElement() const;
  // Puts a deep copy of `source` (from any document, with the namespace declarations it needs)
  // in this node's place and returns the copy. This node leaves the tree but stays readable.
  XMLElement ReplaceWithCopyOf(const XMLElement& source) const;
  // Takes the node out of its tree; it stays readable while views on it exist.
  void Remove() const;

  // The first node matching `path`; XMLException "Failed to find node from path: " when none.
  XMLElement GetNode(const std::wstring& path) const;
  bool NodeExists(const std::wstring& path) const;
  // Appends every node matching `path`, in document order; the list is not cleared first.
  template <class List>
  void GetElementList(const std::wstring& path, List& list) const
  {
    for (auto& e : SelectElements(path))
      list.push_back(std::move(e));
  }
  std::vector<XMLElement> SelectElements(const std::wstring& path) const;

  std::wstring GetStringFromAttribute(const std::wstring& name) const;
  void CreateStringAttribute(const std::wstring& name, const std::wstring& value) const;

  std::wstring GetStringFromNode(const std::wstring& path) const;
  XMLElement CreateStringNode(const std::wstring& name, const std::wstring& value, const std::wstring& ns) const;

  // Booleans: "true"/"yes"/"1" and "false"/"no"/"0", any case, nothing else.
  bool GetBoolFromNode(const std::wstring& path) const;
  XMLElement CreateBoolNode(const std::wstring& name, bool value, const std::wstring& ns) const;
  bool GetBoolFromAttribute(const std::wstring& name) const;
  void CreateBoolAttribute(const std::wstring& name, bool value) const;

  // Integers: a decimal number at the start of the text (leading blanks skipped, the rest ignored).
  LONG GetIntFromNode(const std::wstring& path) const;
  ULONG GetUnsignedIntFromNode(const std::wstring& path) const;
  XMLElement CreateIntNode(const std::wstring& name, LONG value, const std::wstring& ns) const;
  XMLElement CreateUnsignedIntNode(const std::wstring& name, ULONG value, const std::wstring& ns) const;
  LONG GetIntFromAttribute(const std::wstring& name) const;
  ULONG GetUnsignedIntFromAttribute(const std::wstring& name) const;
  void CreateIntAttribute(const std::wstring& name, LONG value) const;
  void CreateUnsignedIntAttribute(const std::wstring& name, ULONG value) const;

  // Writes the first label (in label order) whose value is `value`; XMLException
  // "Enum specified does not exist" when there is none.
  template <class T>
  XMLElement CreateEnumNode(const std::wstring& name, T value, const std::map<std::wstring, T>& map, const std::wstring& ns) const
  {
    trace::CFunctionTrace scope(TRACE_HANDLERUTILS, L"void XMLElement::CreateEnumNode<%S>('%s',...)", TypeName(typeid(T)), name);
    for (const auto& [label, v] : map)
      if (v == value)
        return CreateStringNode(name, label, ns);
    ThrowEnumMissing();
  }
  // Looks the lower-cased text of the node up as a label: true and `out` set when found, false
  // and `out` unchanged when not. A missing node raises as GetNode does.
  template <class T>
  bool GetEnumFromNode(const std::wstring& path, const std::map<std::wstring, T>& map, T& out) const
  {
    const auto it = map.find(ToLower(GetStringFromNode(path)));
    if (it == map.end())
      return false;
    out = it->second;
    return true;
  }

  ElementTypes::Document document;
  ElementTypes::Element element;

private:
  [[noreturn]] void ThrowEnumMissing() const;
  static std::string TypeName(const std::type_info& type);
  static std::wstring ToLower(std::wstring text);
};

}  // namespace HandlerUtils
