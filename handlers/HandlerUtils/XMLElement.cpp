#include "handlers/HandlerUtils/XMLElement.h"

#include <cxxabi.h>
#include <libxml/tree.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <locale>
#include <memory>
#include <sstream>

#include "handlers/HandlerUtils/DomDocument.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/text/Unicode.h"

namespace HandlerUtils {

namespace {

xmlNodePtr Need(const ElementTypes::Element& element, const char* operation)
{
  if (!element)
    ThrowDomError(E_POINTER, std::string(operation) + " on a null node");
  return element.get();
}

std::string QualifiedName(const xmlChar* prefix, const xmlChar* local)
{
  return prefix ? S(prefix) + ":" + S(local) : S(local);
}

// Splits "p:local"; prefix empty when there is none.
std::pair<std::string, std::string> SplitName(const std::string& name)
{
  const auto colon = name.find(':');
  if (colon == std::string::npos)
    return {std::string(), name};
  return {name.substr(0, colon), name.substr(colon + 1)};
}

bool IsNamespaceDeclaration(const std::string& name) { return name == "xmlns" || name.rfind("xmlns:", 0) == 0; }

void ValidateName(const std::string& name, const char* operation)
{
  if (name.empty() || xmlValidateQName(X(name), 0) != 0)
    ThrowDomError(E_INVALIDARG, std::string(operation) + ": '" + name + "' is not a valid name");
}

// Text that a document cannot carry would make the written document unreadable: refuse it.
std::string XmlText(const std::wstring& text, const char* operation)
{
  for (wchar_t c : text) {
    const auto u = static_cast<std::uint32_t>(c);
    const bool allowed = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u <= 0xD7FF) || (u >= 0xE000 && u <= 0xFFFD) ||
                         (u >= 0x10000 && u <= 0x10FFFF);
    if (!allowed) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", u);
      ThrowDomError(E_INVALIDARG, std::string(operation) + ": character " + code + " cannot appear in a document");
    }
  }
  return ToUtf8(text);
}

std::wstring ContentOf(xmlNodePtr node)
{
  std::unique_ptr<xmlChar, void (*)(void*)> text(xmlNodeGetContent(node), xmlFree);
  return text ? FromUtf8(reinterpret_cast<const char*>(text.get())) : std::wstring();
}

// The stream extraction of a decimal number: leading blanks skipped, the rest ignored; the NUL
// appended keeps a text that ends with the number from setting end-of-file.
template <class T>
bool ExtractNumber(const std::wstring& text, T& value)
{
  std::wstringstream stream;
  stream.imbue(std::locale::classic());
  stream << text << L'\0';
  value = 0;
  stream >> value;
  return stream.good();
}

template <class T>
T ParseNumber(const XMLElement& self, const std::wstring& text, const wchar_t* what, const std::wstring& where)
{
  T value = 0;
  if (ExtractNumber(text, value))
    return value;
  const std::wstring message = what + where + L":int=" + std::to_wstring(value) + L":str=" + text;
  trace::Trace(TRACE_HANDLERUTILS, 0, L"%s", message);
  throw XMLException(XMLDocument(self.document), message);
}

std::wstring Lower(std::wstring text)
{
  for (auto& c : text)
    c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

bool ParseBool(const XMLElement& self, const std::wstring& value, const std::wstring& where)
{
  const std::wstring text = Lower(value);
  if (text == L"true" || text == L"yes" || text == L"1")
    return true;
  if (text == L"false" || text == L"no" || text == L"0")
    return false;
  throw XMLException(XMLDocument(self.document), L"Failed to find boolean value from path: " + where);
}

const wchar_t* BoolText(bool value) { return value ? L"true" : L"false"; }

}  // namespace

XMLElement::XMLElement(ElementTypes::Document document, ElementTypes::Element element)
  : document(std::move(document)), element(std::move(element))
{
}

std::wstring XMLElement::GetText() const
{
  return ContentOf(Need(element, "get text"));
}

void XMLElement::SetText(const std::wstring& text) const
{
  xmlNodePtr node = Need(element, "put text");
  const std::string value = XmlText(text, "put text");
  switch (node->type) {
    case XML_ELEMENT_NODE: {
      xmlNodePtr replacement = nullptr;
      if (!value.empty() && !(replacement = xmlNewDocText(node->doc, X(value))))
        ThrowDomError(E_OUTOFMEMORY, "put text");
      // Old children may still be held by XMLElements: keep them alive, out of the tree.
      while (node->children)
        element.tree()->Retire(node->children);
      if (replacement)
        xmlAddChild(node, replacement);
      return;
    }
    case XML_ATTRIBUTE_NODE: {
      auto* attr = reinterpret_cast<xmlAttrPtr>(node);
      if (!attr->parent || !xmlSetNsProp(attr->parent, attr->ns, attr->name, X(value)))
        ThrowDomError(E_FAIL, "put text on attribute " + S(attr->name));
      return;
    }
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      xmlNodeSetContent(node, X(value));
      return;
    default:
      ThrowDomError(E_FAIL, "put text: not supported on this node type");
  }
}

bool XMLElement::IsNull() const
{
  const bool null = !element;
  trace::Trace(TRACE_HANDLERUTILS, 2, "%s", null ? "Null" : "Not Null");
  return null;
}

std::wstring XMLElement::GetXML() const
{
  xmlNodePtr node = Need(element, "get xml");
  switch (node->type) {
    case XML_DOCUMENT_NODE:
      return FromUtf8(MarkupOf(node->doc, nullptr));
    case XML_ELEMENT_NODE: {
      // A copy in a document of its own carries the namespace declarations that the node
      // inherits from its ancestors.
      std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> scratch(xmlNewDoc(BAD_CAST "1.0"), xmlFreeDoc);
      xmlNodePtr copy = scratch ? xmlDocCopyNode(node, scratch.get(), 1) : nullptr;
      if (!copy)
        ThrowDomError(E_OUTOFMEMORY, "get xml");
      xmlDocSetRootElement(scratch.get(), copy);
      return FromUtf8(MarkupOf(scratch.get(), copy));
    }
    case XML_ATTRIBUTE_NODE: {
      std::string markup = MarkupOf(node->doc, node);
      if (!markup.empty() && markup.front() == ' ')
        markup.erase(0, 1);
      return FromUtf8(markup);
    }
    default:
      return FromUtf8(MarkupOf(node->doc, node));
  }
}

XMLElement XMLElement::CreateNode(const std::wstring& name, const std::wstring& ns) const
{
  trace::CFunctionTrace scope(TRACE_HANDLERUTILS, L"XMLElement XMLElement::CreateNode('%s','%s')", name, ns);
  xmlNodePtr parent = Need(element, "createNode");
  const std::string qname = ToUtf8(name);
  const std::string uri = ToUtf8(ns);
  ValidateName(qname, "createNode");
  const auto [prefix, local] = SplitName(qname);
  if (!prefix.empty() && uri.empty())
    ThrowDomError(E_INVALIDARG, "createNode: the prefix of '" + qname + "' needs a namespace");
  if (prefix == "xmlns")
    ThrowDomError(E_INVALIDARG, "createNode: '" + qname + "' uses the reserved prefix xmlns");
  const bool underDocument = parent->type == XML_DOCUMENT_NODE;
  if (!underDocument && parent->type != XML_ELEMENT_NODE)
    ThrowDomError(E_FAIL, "createNode: this node type cannot have element children");
  if (underDocument && xmlDocGetRootElement(parent->doc))
    ThrowDomError(E_FAIL, "createNode: the document already has a root element");

  std::unique_ptr<xmlNode, void (*)(xmlNodePtr)> node(xmlNewDocNode(parent->doc, nullptr, X(local), nullptr), xmlFreeNode);
  if (!node)
    ThrowDomError(E_OUTOFMEMORY, "createNode");
  const xmlChar* wantedPrefix = prefix.empty() ? nullptr : X(prefix);
  xmlNsPtr inScope = underDocument ? nullptr : xmlSearchNs(parent->doc, parent, wantedPrefix);
  if (!uri.empty()) {
    // Reuse a binding in scope so that children do not repeat their parent's declaration.
    xmlNsPtr ns = inScope && S(inScope->href) == uri ? inScope : xmlNewNs(node.get(), X(uri), wantedPrefix);
    if (!ns)
      ThrowDomError(E_FAIL, "createNode: cannot declare namespace '" + uri + "'");
    xmlSetNs(node.get(), ns);
  } else if (inScope && inScope->href && *inScope->href) {
    // Under a default namespace an element in no namespace must undeclare it.
    if (!xmlNewNs(node.get(), BAD_CAST "", nullptr))
      ThrowDomError(E_OUTOFMEMORY, "createNode");
  }
  xmlNodePtr added = xmlAddChild(parent, node.get());
  if (!added)
    ThrowDomError(E_FAIL, "createNode: appendChild failed");
  node.release();
  return XMLElement(document, ElementTypes::Element(element.tree(), added));
}

bool XMLElement::HasParentElement() const
{
  const xmlNodePtr node = element.get();
  return node && node->parent && node->parent->type == XML_ELEMENT_NODE;
}

XMLElement XMLElement::ReplaceWithCopyOf(const XMLElement& source) const
{
  const xmlNodePtr old = Need(element, "replaceChild");
  Need(source.element, "replaceChild");
  // The copy brings its own namespace declarations along, so it reads the same in its new place.
  const xmlNodePtr copy = xmlDocCopyNode(source.element.get(), old->doc, 1);
  if (!copy)
    ThrowDomError(E_OUTOFMEMORY, "replaceChild");
  xmlReplaceNode(old, copy);
  // Views may still hold the old node: keep it alive, out of the tree.
  element.tree()->Retire(old);
  return XMLElement(document, ElementTypes::Element(element.tree(), copy));
}

void XMLElement::Remove() const
{
  if (element)
    element.tree()->Retire(element.get());
}

XMLElement XMLElement::GetNode(const std::wstring& path) const
{
  if (trace::IsEnabled(2))
    trace::Trace(TRACE_HANDLERUTILS, 2, L"Getting from: %s", GetXML());
  if (!document)
    ThrowDomError(E_POINTER, "selectSingleNode without a document");
  const auto nodes = document->Select(element, ToUtf8(path), true);
  if (nodes.empty())
    throw XMLException(XMLDocument(document), L"Failed to find node from path: " + path);
  return XMLElement(document, ElementTypes::Element(element.tree(), nodes.front()));
}

bool XMLElement::NodeExists(const std::wstring& path) const
{
  try {
    GetNode(path);
    return true;
  } catch (const XMLException&) {
    return false;
  }
}

std::vector<XMLElement> XMLElement::SelectElements(const std::wstring& path) const
{
  if (!document)
    ThrowDomError(E_POINTER, "selectNodes without a document");
  const auto nodes = document->Select(element, ToUtf8(path), false);
  trace::Trace(TRACE_HANDLERUTILS, 3, "There are %li items", static_cast<long>(nodes.size()));
  std::vector<XMLElement> list;
  list.reserve(nodes.size());
  for (xmlNodePtr n : nodes)
    list.emplace_back(document, ElementTypes::Element(element.tree(), n));
  return list;
}

std::wstring XMLElement::GetStringFromAttribute(const std::wstring& name) const
{
  xmlNodePtr node = Need(element, "getAttribute");
  if (node->type == XML_ELEMENT_NODE) {
    const std::string qname = ToUtf8(name);
    if (IsNamespaceDeclaration(qname)) {
      const std::string prefix = qname.size() > 6 ? qname.substr(6) : std::string();
      for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
        if (S(ns->prefix) == prefix)
          return FromUtf8(S(ns->href));
    } else {
      for (xmlAttrPtr attr = node->properties; attr; attr = attr->next)
        if (QualifiedName(attr->ns ? attr->ns->prefix : nullptr, attr->name) == qname)
          return ContentOf(reinterpret_cast<xmlNodePtr>(attr));
    }
  }
  throw XMLException(XMLDocument(document), L"Failed to retrive attribute: " + name);
}

void XMLElement::CreateStringAttribute(const std::wstring& name, const std::wstring& value) const
{
  xmlNodePtr node = Need(element, "setAttribute");
  if (node->type != XML_ELEMENT_NODE)
    ThrowDomError(E_FAIL, "setAttribute: not an element");
  const std::string qname = ToUtf8(name);
  ValidateName(qname, "setAttribute");
  if (IsNamespaceDeclaration(qname))
    ThrowDomError(E_INVALIDARG, "setAttribute: namespaces are declared by creating nodes in them, not by '" + qname + "'");
  const auto [prefix, local] = SplitName(qname);
  xmlNsPtr ns = nullptr;
  if (!prefix.empty() && !(ns = xmlSearchNs(node->doc, node, X(prefix))))
    ThrowDomError(E_INVALIDARG, "setAttribute: the prefix of '" + qname + "' is not declared");
  if (!xmlSetNsProp(node, ns, X(local), X(XmlText(value, "setAttribute"))))
    ThrowDomError(E_OUTOFMEMORY, "setAttribute " + qname);
}

std::wstring XMLElement::GetStringFromNode(const std::wstring& path) const { return GetNode(path).GetText(); }

XMLElement XMLElement::CreateStringNode(const std::wstring& name, const std::wstring& value, const std::wstring& ns) const
{
  XmlText(value, "createNode");  // refused before anything is added
  XMLElement node = CreateNode(name, ns);
  node.SetText(value);
  return node;
}

bool XMLElement::GetBoolFromNode(const std::wstring& path) const { return ParseBool(*this, GetStringFromNode(path), path); }

XMLElement XMLElement::CreateBoolNode(const std::wstring& name, bool value, const std::wstring& ns) const
{
  return CreateStringNode(name, BoolText(value), ns);
}

bool XMLElement::GetBoolFromAttribute(const std::wstring& name) const
{
  return ParseBool(*this, GetStringFromAttribute(name), name);
}

void XMLElement::CreateBoolAttribute(const std::wstring& name, bool value) const { CreateStringAttribute(name, BoolText(value)); }

LONG XMLElement::GetIntFromNode(const std::wstring& path) const
{
  return ParseNumber<LONG>(*this, GetStringFromNode(path), L"Int extraction failed for ", path);
}

ULONG XMLElement::GetUnsignedIntFromNode(const std::wstring& path) const
{
  return ParseNumber<ULONG>(*this, GetStringFromNode(path), L"UnsignedInt extraction failed for ", path);
}

XMLElement XMLElement::CreateIntNode(const std::wstring& name, LONG value, const std::wstring& ns) const
{
  return CreateStringNode(name, std::to_wstring(value), ns);
}

XMLElement XMLElement::CreateUnsignedIntNode(const std::wstring& name, ULONG value, const std::wstring& ns) const
{
  return CreateStringNode(name, std::to_wstring(value), ns);
}

LONG XMLElement::GetIntFromAttribute(const std::wstring& name) const
{
  return ParseNumber<LONG>(*this, GetStringFromAttribute(name), L"Int extraction from Attribute failed for ", name);
}

ULONG XMLElement::GetUnsignedIntFromAttribute(const std::wstring& name) const
{
  return ParseNumber<ULONG>(*this, GetStringFromAttribute(name), L"UnsignedInt extraction from Attribute failed for ", name);
}

void XMLElement::CreateIntAttribute(const std::wstring& name, LONG value) const { CreateStringAttribute(name, std::to_wstring(value)); }

void XMLElement::CreateUnsignedIntAttribute(const std::wstring& name, ULONG value) const
{
  CreateStringAttribute(name, std::to_wstring(value));
}

void XMLElement::ThrowEnumMissing() const { throw XMLException(XMLDocument(document), "Enum specified does not exist"); }

std::string XMLElement::TypeName(const std::type_info& type)
{
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

std::wstring XMLElement::ToLower(std::wstring text) { return Lower(std::move(text)); }

}  // namespace HandlerUtils
