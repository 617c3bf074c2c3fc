#include "handlers/HandlerUtils/XMLDocument.h"

#include <libxml/tree.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "handlers/HandlerUtils/DomDocument.h"
#include "handlers/HandlerUtils/StreamAdapters.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"

namespace HandlerUtils {

namespace {

DomDocument& Need(const ElementTypes::Document& document, const char* operation)
{
  if (!document)
    ThrowDomError(E_POINTER, std::string(operation) + " without a document");
  return *document;
}

// The document node itself, as the parent of a new root element.
XMLElement DocumentNode(const ElementTypes::Document& document)
{
  return XMLElement(document, ElementTypes::Element(document->tree(), reinterpret_cast<xmlNodePtr>(document->doc())));
}

// A local path from a path or a file: URL; empty for any other URL.
std::string LocalPath(const std::string& path)
{
  if (path.rfind("file://", 0) == 0) {
    std::string rest = path.substr(7);
    if (rest.rfind("localhost/", 0) == 0)
      rest.erase(0, 9);
    return rest.empty() || rest.front() != '/' ? std::string() : rest;
  }
  const auto scheme = path.find("://");
  if (scheme != std::string::npos && path.find('/') > scheme)
    return std::string();
  return path;
}

}  // namespace

XMLDocument::XMLDocument() : document(std::make_shared<DomDocument>()) {}

XMLDocument::XMLDocument(ElementTypes::Document document) : document(std::move(document)) {}

XMLDocument::XMLDocument(const std::wstring& rootName, const std::wstring& ns) : XMLDocument()
{
  root = DocumentNode(document).CreateNode(rootName, ns).element;
}

void XMLDocument::SetSelectionNamespaces(const std::wstring& ns) const
{
  Need(document, "SelectionNamespaces").SetSelectionNamespaces(ToUtf8(ns));
}

bool XMLDocument::Load(const std::string& path)
{
  trace::CFunctionTrace scope(TRACE_HANDLERUTILS, "bool XMLDocument::Load('%s')", path);
  DomDocument& dom = Need(document, "load");
  const std::string local = LocalPath(path);
  std::ifstream file;
  if (!local.empty())
    file.open(local, std::ios::binary);
  std::string bytes;
  if (file.is_open())
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (!file.is_open() || file.bad()) {
    // Only local files: loading never reaches out to the network.
    const std::string reason = local.empty() ? "Only local files can be loaded: " + path : Win32ErrorText(ERROR_FILE_NOT_FOUND) + " " + path;
    dom.SetError(XMLParseError{0, FromUtf8(reason)});
    trace::Trace(TRACE_HANDLERUTILS, 0, "%s", reason);
    return false;
  }
  if (!dom.ParseMemory(bytes, nullptr)) {
    trace::Trace(TRACE_HANDLERUTILS, 0, L"%s", dom.error().reason);
    return false;
  }
  root = ElementTypes::Element();
  return true;
}

void XMLDocument::SetXML(const std::string& text)
{
  util::istringstream_To_IStream stream(text);
  if (!Need(document, "load").ParseStream(stream))
    throw XMLException(*this, "Load failed: ");
  root = ElementTypes::Element();
}

void XMLDocument::SetXML(const std::wstring& text)
{
  // The text is already decoded: parse its UTF-8 form whatever the declaration says.
  if (!Need(document, "loadXML").ParseMemory(ToUtf8(text), "UTF-8"))
    throw XMLException(*this, "Load failed: ");
  root = ElementTypes::Element();
}

void XMLDocument::InsertDeclaration(const char* encoding)
{
  RemoveProcessingInstruction();
  xmlDocPtr doc = document->doc();
  const std::string data = std::string("version=\"1.0\" encoding=\"") + encoding + "\"";
  xmlNodePtr pi = xmlNewDocPI(doc, BAD_CAST "xml", X(data));
  if (!pi)
    ThrowDomError(E_OUTOFMEMORY, "createProcessingInstruction");
  xmlNodePtr added = doc->children ? xmlAddPrevSibling(doc->children, pi) : xmlAddChild(reinterpret_cast<xmlNodePtr>(doc), pi);
  if (!added) {
    xmlFreeNode(pi);
    ThrowDomError(E_FAIL, "insertBefore");
  }
}

std::string XMLDocument::ToXML_UTF8()
{
  Need(document, "save");
  InsertDeclaration("utf-8");
  util::WriteStream_To_ostringstream sink;
  util::ostringstream_To_IStream stream(sink);
  Save(stream);
  if (FAILED(sink.FlushStream()))
    ThrowDomError(E_UNEXPECTED, "flush");
  trace::Trace(TRACE_HANDLERUTILS, 3, "XMLDocument::ToXML_UTF8() document %u chars long", static_cast<unsigned>(sink.GetStream().size()));
  return sink.GetStream();
}

std::wstring XMLDocument::ToXML()
{
  Need(document, "xml");
  InsertDeclaration("utf-16");
  std::wstring xml = FromUtf8(MarkupOf(document->doc(), nullptr));
  trace::Trace(TRACE_HANDLERUTILS, 3, "XMLDocument::ToXML() document %u chars long", static_cast<unsigned>(xml.size()));
  return xml;
}

void XMLDocument::Save(util::IStream& stream) const
{
  SaveMarkup(Need(document, "save").doc(), nullptr, stream);
}

XMLElement XMLDocument::GetRoot() const
{
  const DomDocument& dom = Need(document, "documentElement");
  xmlNodePtr current = xmlDocGetRootElement(dom.doc());
  if (root.get() != current)
    root = ElementTypes::Element(dom.tree(), current);
  return XMLElement(document, root);
}

XMLParseError XMLDocument::GetError() const
{
  if (!document) {
    trace::Trace(TRACE_HANDLERUTILS, 1, "No document to retrive parse error from");
    return XMLParseError{};
  }
  return document->error();
}

void XMLDocument::RemoveProcessingInstruction()
{
  DomDocument& dom = Need(document, "childNodes");
  std::vector<xmlNodePtr> children;
  for (xmlNodePtr child = dom.doc()->children; child; child = child->next)
    children.push_back(child);
  for (std::size_t i = children.size(); i-- > 0;) {
    if (children[i]->type == XML_PI_NODE) {
      trace::Trace(TRACE_HANDLERUTILS, 3, "Removeing processing instruction @ %li", static_cast<long>(i));
      dom.tree()->Retire(children[i]);
    }
  }
}

}  // namespace HandlerUtils
