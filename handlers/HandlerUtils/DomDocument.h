#pragma once
// The DOM behind XMLDocument and XMLElement, on libxml2. Internal to the document utilities.
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "handlers/HandlerUtils/ElementTypes.h"
#include "handlers/HandlerUtils/StreamAdapters.h"
#include "handlers/HandlerUtils/XMLDocument.h"

namespace HandlerUtils {

// One tree. Nodes taken out of it stay allocated until the tree goes, so that an XMLElement
// held on a removed node never dangles.
class DomTree
{
public:
  explicit DomTree(xmlDocPtr doc);
  ~DomTree();
  DomTree(const DomTree&) = delete;
  DomTree& operator=(const DomTree&) = delete;

  xmlDocPtr doc() const noexcept { return m_doc; }
  // Unlinks the node from its parent and keeps it until the tree is destroyed.
  void Retire(xmlNodePtr node);
  // The XPath context of this tree with the given prefix bindings registered.
  xmlXPathContextPtr XPath(const std::vector<std::pair<std::string, std::string>>& ns, unsigned generation);
  std::string& xpathError() noexcept { return m_xpathError; }

private:
  xmlDocPtr m_doc;
  std::vector<xmlNodePtr> m_retired;
  xmlXPathContextPtr m_xpath = nullptr;
  unsigned m_nsGeneration = 0;
  std::string m_xpathError;
};

class DomDocument
{
public:
  DomDocument();

  const std::shared_ptr<DomTree>& tree() const noexcept { return m_tree; }
  xmlDocPtr doc() const noexcept { return m_tree->doc(); }

  // Parses bytes; `encoding` forces an encoding (null: the declaration's, else UTF-8). On
  // success the document holds the new tree; on failure it keeps the old one. Either way the
  // parse error is updated.
  bool ParseMemory(const std::string& bytes, const char* encoding);
  // Parses what the stream gives, as ParseMemory.
  bool ParseStream(util::ISequentialStream& stream);

  void SetSelectionNamespaces(const std::string& declarations);
  // The nodes matching `path` relative to `context`, in document order; namespace nodes are left
  // out. An XPath error raises WinRuntimeError.
  std::vector<xmlNodePtr> Select(const ElementTypes::Element& context, const std::string& path, bool firstOnly);

  const XMLParseError& error() const noexcept { return m_error; }
  void SetError(XMLParseError error) { m_error = std::move(error); }

private:
  template <class Read>
  bool Parse(Read&& read);

  std::shared_ptr<DomTree> m_tree;
  std::vector<std::pair<std::string, std::string>> m_namespaces;  // prefix, URI
  unsigned m_nsGeneration = 1;
  XMLParseError m_error;
};

// UTF-8 text of a libxml2 string, and the reverse.
inline const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
inline std::string S(const xmlChar* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); }

// Raises WinRuntimeError for a failed DOM call: E_OUTOFMEMORY when libxml2 returned nothing
// for an allocation, otherwise `hr`, with the call's context.
[[noreturn]] void ThrowDomError(HRESULT hr, const std::string& context);

// Writes a node (null: the whole document) as UTF-8 markup without an XML declaration of its
// own. A failed write raises WinRuntimeError with the stream's result code.
void SaveMarkup(xmlDocPtr doc, xmlNodePtr node, util::ISequentialStream& out);
std::string MarkupOf(xmlDocPtr doc, xmlNodePtr node);

// Silences libxml2's own error output on the calling thread (errors are captured per parse).
void PrepareLibxml();

}  // namespace HandlerUtils
