#pragma once
// A DOM document: loading from bytes or wide text, the two serialised forms, the document
// element, XPath prefix bindings and the parser's last error. Copies share the document.
//
// Parsing never reads the network or the file system and never expands entities: a document
// that declares entities is refused like a malformed one.
#include <string>

#include "handlers/HandlerUtils/ElementTypes.h"
#include "handlers/HandlerUtils/XMLElement.h"
#include "platform/com/WinTypes.h"

namespace util {
struct IStream;
}

namespace HandlerUtils {

struct XMLParseError
{
  LONG line = 0;
  std::wstring reason;
};

// The deepest nesting of elements a parsed document may have (process-wide, default 64): a
// deeper one is refused as the parser refuses malformed text, so that no reader recurses
// without bound. 0 restores the default.
void SetMaximumDocumentDepth(unsigned depth);
unsigned MaximumDocumentDepth();

class XMLDocument
{
public:
  // An empty document.
  XMLDocument();
  explicit XMLDocument(ElementTypes::Document document);
  // A document whose root element is `rootName` in namespace `ns`.
  XMLDocument(const std::wstring& rootName, const std::wstring& ns);

  // `ns`: blank-separated declarations such as "xmlns:s='http://host/KT/KTDexStatus'". Replaces
  // the previous bindings; an unreadable list raises WinRuntimeError.
  void SetSelectionNamespaces(const std::wstring& ns) const;

  // Loads a local file (a path or a file: URL). False, with the reason traced, on any failure.
  bool Load(const std::string& path);
  // Bytes: the encoding named in the XML declaration applies (UTF-8 when none).
  // XMLException "Load failed: " when the parser refuses them; the document keeps its content.
  void SetXML(const std::string& text);
  // Wide text: any encoding in the declaration is ignored.
  void SetXML(const std::wstring& text);

  // Replaces the document's processing instructions by one declaring version "1.0" and
  // encoding "utf-8" and returns the UTF-8 bytes.
  std::string ToXML_UTF8();
  // As above, declared "utf-16", as wide text.
  std::wstring ToXML();
  // Writes the document as UTF-8 into `stream`; a write failure raises WinRuntimeError.
  void Save(util::IStream& stream) const;

  XMLElement GetRoot() const;
  XMLParseError GetError() const;
  void RemoveProcessingInstruction();

  ElementTypes::Document document;

private:
  void InsertDeclaration(const char* encoding);
  mutable ElementTypes::Element root;
};

}  // namespace HandlerUtils
