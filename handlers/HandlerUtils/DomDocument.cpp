#include "handlers/HandlerUtils/DomDocument.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <libxml/xpathInternals.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "platform/errortext/ErrorText.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/text/Unicode.h"

namespace HandlerUtils {

namespace {

// No network, no DTD loading, no entity substitution; ignorable blanks dropped so that indentation
// does not turn into text. Size and depth limits stay on (no XML_PARSE_HUGE).
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void SilentGenericError(void*, const char*, ...) {}

// External entities and DTDs are never fetched, whatever asks for them.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

// What one parse reports: its first error, and whether the document declared entities.
struct ParseCapture
{
  XMLParseError first;
  bool failed = false;
  bool refused = false;
};

std::string Trimmed(const char* message)
{
  std::string s = message ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
    s.pop_back();
  return s;
}

void Record(ParseCapture& capture, int line, const std::string& reason)
{
  if (capture.failed)
    return;
  capture.failed = true;
  capture.first.line = line;
  capture.first.reason = FromUtf8(reason);
}

void OnParseError(void* userData, xmlErrorPtr error)
{
  auto* ctxt = static_cast<xmlParserCtxtPtr>(userData);
  if (!ctxt || !error || error->level < XML_ERR_ERROR)
    return;
  if (auto* capture = static_cast<ParseCapture*>(ctxt->_private))
    Record(*capture, error->line, Trimmed(error->message));
}

// Entity declarations are how expansion bombs and external-entity reads start; documents of
// this system never need them, so the parse ends at the first one.
void OnEntityDecl(void* ctx, const xmlChar* name, int, const xmlChar*, const xmlChar*, xmlChar*)
{
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  if (auto* capture = static_cast<ParseCapture*>(ctxt->_private)) {
    Record(*capture, ctxt->input ? ctxt->input->line : 0, "Entity declarations are not allowed: " + S(name));
    capture->refused = true;
  }
  ctxt->wellFormed = 0;
  xmlStopParser(ctxt);
}

int ReadFromStream(void* context, char* buffer, int len)
{
  ULONG read = 0;
  auto* stream = static_cast<util::ISequentialStream*>(context);
  if (len < 0 || FAILED(stream->Read(buffer, static_cast<ULONG>(len), &read)))
    return -1;
  return static_cast<int>(read);
}

int CloseNothing(void*) { return 0; }

void OnXPathError(void* userData, xmlErrorPtr error)
{
  if (auto* tree = static_cast<DomTree*>(userData); tree && error && tree->xpathError().empty())
    tree->xpathError() = Trimmed(error->message);
}

}  // namespace

void PrepareLibxml()
{
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlThrDefSetGenericErrorFunc(nullptr, SilentGenericError);
    xmlSetExternalEntityLoader(RefuseExternalEntity);
  });
  // libxml2 keeps the generic handler per thread; errors that carry no parser context (encoding
  // conversion, serialisation) would otherwise be printed.
  thread_local bool silenced = false;
  if (!silenced) {
    xmlSetGenericErrorFunc(nullptr, SilentGenericError);
    silenced = true;
  }
}

void ThrowDomError(HRESULT hr, const std::string& context)
{
  throw WinRuntimeError::FromHResult(hr, context + ": " + ErrorText(hr));
}

namespace {

struct SaveTarget
{
  util::ISequentialStream* stream;
  HRESULT hr = S_OK;
};

int WriteToStream(void* context, const char* buffer, int len)
{
  auto* target = static_cast<SaveTarget*>(context);
  ULONG written = 0;
  const HRESULT hr = len < 0 ? E_INVALIDARG : target->stream->Write(buffer, static_cast<ULONG>(len), &written);
  if (FAILED(hr)) {
    target->hr = hr;
    return -1;
  }
  return static_cast<int>(written);
}

}  // namespace

void SaveMarkup(xmlDocPtr doc, xmlNodePtr node, util::ISequentialStream& out)
{
  PrepareLibxml();
  SaveTarget target{&out};
  xmlSaveCtxtPtr ctxt = xmlSaveToIO(WriteToStream, CloseNothing, &target, "UTF-8", XML_SAVE_NO_DECL);
  if (!ctxt)
    ThrowDomError(E_OUTOFMEMORY, "xmlSaveToIO");
  const long written = node ? xmlSaveTree(ctxt, node) : xmlSaveDoc(ctxt, doc);
  const int closed = xmlSaveClose(ctxt);
  if (FAILED(target.hr))
    ThrowDomError(target.hr, "save");
  if (written < 0 || closed < 0)
    ThrowDomError(E_FAIL, "save");
}

std::string MarkupOf(xmlDocPtr doc, xmlNodePtr node)
{
  util::WriteStream_To_ostringstream sink;
  util::ostringstream_To_IStream stream(sink);
  SaveMarkup(doc, node, stream);
  return sink.GetStream();
}

// --- DomTree ---

DomTree::DomTree(xmlDocPtr doc) : m_doc(doc) {}

DomTree::~DomTree()
{
  if (m_xpath)
    xmlXPathFreeContext(m_xpath);
  // Retired nodes may use the document's dictionary: free them first.
  for (auto it = m_retired.rbegin(); it != m_retired.rend(); ++it)
    xmlFreeNode(*it);
  xmlFreeDoc(m_doc);
}

void DomTree::Retire(xmlNodePtr node)
{
  m_retired.reserve(m_retired.size() + 1);
  xmlUnlinkNode(node);
  m_retired.push_back(node);
}

xmlXPathContextPtr DomTree::XPath(const std::vector<std::pair<std::string, std::string>>& ns, unsigned generation)
{
  if (!m_xpath) {
    m_xpath = xmlXPathNewContext(m_doc);
    if (!m_xpath)
      ThrowDomError(E_OUTOFMEMORY, "xmlXPathNewContext");
    m_xpath->error = OnXPathError;
    m_xpath->userData = this;
  }
  if (m_nsGeneration != generation) {
    xmlXPathRegisteredNsCleanup(m_xpath);
    for (const auto& [prefix, uri] : ns)
      if (xmlXPathRegisterNs(m_xpath, X(prefix), X(uri)) != 0)
        ThrowDomError(E_OUTOFMEMORY, "xmlXPathRegisterNs");
    m_nsGeneration = generation;
  }
  return m_xpath;
}

// --- depth limit ---

namespace {

constexpr unsigned kDefaultMaximumDepth = 64;
std::atomic<unsigned> g_maximumDepth{kDefaultMaximumDepth};

// Walks the tree without recursion; true when some element lies deeper than `limit`.
bool DeeperThan(xmlNodePtr root, unsigned limit)
{
  unsigned depth = 1;
  xmlNodePtr node = root;
  while (node) {
    if (node->type == XML_ELEMENT_NODE && depth > limit)
      return true;
    if (node->children && node->type == XML_ELEMENT_NODE) {
      node = node->children;
      ++depth;
      continue;
    }
    while (node && !node->next && node != root) {
      node = node->parent;
      --depth;
    }
    if (!node || node == root)
      break;
    node = node->next;
  }
  return false;
}

}  // namespace

void SetMaximumDocumentDepth(unsigned depth)
{
  g_maximumDepth = depth ? depth : kDefaultMaximumDepth;
}

unsigned MaximumDocumentDepth()
{
  return g_maximumDepth;
}

// --- DomDocument ---

DomDocument::DomDocument()
{
  PrepareLibxml();
  xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
  if (!doc)
    ThrowDomError(E_OUTOFMEMORY, "xmlNewDoc");
  m_tree = std::make_shared<DomTree>(doc);
}

template <class Read>
bool DomDocument::Parse(Read&& read)
{
  PrepareLibxml();
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt)
    ThrowDomError(E_OUTOFMEMORY, "xmlNewParserCtxt");
  ParseCapture capture;
  ctxt->_private = &capture;
  ctxt->sax->serror = OnParseError;
  ctxt->sax->entityDecl = OnEntityDecl;
  xmlDocPtr doc = read(ctxt);
  if (doc && (capture.refused || !xmlDocGetRootElement(doc))) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  if (doc && DeeperThan(xmlDocGetRootElement(doc), g_maximumDepth)) {
    Record(capture, 0, "The document is nested deeper than " + std::to_string(g_maximumDepth.load()) + " levels");
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  xmlFreeParserCtxt(ctxt);
  if (!doc) {
    if (!capture.failed)
      Record(capture, 0, "The document is empty or could not be read");
    m_error = capture.first;
    return false;
  }
  try {
    m_tree = std::make_shared<DomTree>(doc);
  } catch (...) {
    xmlFreeDoc(doc);
    throw;
  }
  m_error = XMLParseError{};
  return true;
}

bool DomDocument::ParseMemory(const std::string& bytes, const char* encoding)
{
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    m_error = XMLParseError{0, L"The document is too large"};
    return false;
  }
  const int options = kParseOptions | (encoding ? XML_PARSE_IGNORE_ENC : 0);
  return Parse([&](xmlParserCtxtPtr ctxt) {
    return xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), nullptr, encoding, options);
  });
}

bool DomDocument::ParseStream(util::ISequentialStream& stream)
{
  return Parse([&](xmlParserCtxtPtr ctxt) {
    return xmlCtxtReadIO(ctxt, ReadFromStream, CloseNothing, &stream, nullptr, nullptr, kParseOptions);
  });
}

void DomDocument::SetSelectionNamespaces(const std::string& declarations)
{
  std::vector<std::pair<std::string, std::string>> bindings;
  const auto bad = [&](const std::string& why) {
    ThrowDomError(E_FAIL, "SelectionNamespaces \"" + declarations + "\": " + why);
  };
  std::size_t i = 0;
  const auto blank = [&] { return i < declarations.size() && (declarations[i] == ' ' || declarations[i] == '\t' || declarations[i] == '\r' || declarations[i] == '\n'); };
  while (true) {
    while (blank())
      ++i;
    if (i >= declarations.size())
      break;
    if (declarations.compare(i, 5, "xmlns") != 0)
      bad("expected xmlns");
    i += 5;
    std::string prefix;
    if (i < declarations.size() && declarations[i] == ':') {
      const std::size_t start = ++i;
      while (i < declarations.size() && declarations[i] != '=' && !blank())
        ++i;
      prefix = declarations.substr(start, i - start);
      if (xmlValidateNCName(X(prefix), 0) != 0)
        bad("invalid prefix '" + prefix + "'");
    }
    while (blank())
      ++i;
    if (i >= declarations.size() || declarations[i] != '=')
      bad("expected =");
    ++i;
    while (blank())
      ++i;
    if (i >= declarations.size() || (declarations[i] != '\'' && declarations[i] != '"'))
      bad("expected a quoted URI");
    const char quote = declarations[i++];
    const std::size_t end = declarations.find(quote, i);
    if (end == std::string::npos)
      bad("unterminated URI");
    std::string uri = declarations.substr(i, end - i);
    i = end + 1;
    if (i < declarations.size() && !blank())
      bad("declarations must be separated by blanks");
    // XPath 1.0 has no default namespace: an unprefixed declaration binds nothing.
    if (prefix.empty())
      continue;
    if (uri.empty())
      bad("empty namespace URI for prefix '" + prefix + "'");
    bindings.emplace_back(std::move(prefix), std::move(uri));
  }
  m_namespaces = std::move(bindings);
  ++m_nsGeneration;
}

std::vector<xmlNodePtr> DomDocument::Select(const ElementTypes::Element& context, const std::string& path, bool firstOnly)
{
  if (!context)
    ThrowDomError(E_POINTER, "selectNodes(" + path + ") on a null node");
  DomTree& tree = *context.tree();
  xmlXPathContextPtr xpath = tree.XPath(m_namespaces, m_nsGeneration);
  xpath->node = context.get();
  tree.xpathError().clear();
  std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> result(xmlXPathEval(X(path), xpath), xmlXPathFreeObject);
  if (!result)
    ThrowDomError(E_FAIL, "selectNodes(" + path + "): " + (tree.xpathError().empty() ? "invalid XPath expression" : tree.xpathError()));
  if (result->type != XPATH_NODESET)
    ThrowDomError(E_FAIL, "selectNodes(" + path + "): the expression does not give nodes");
  std::vector<xmlNodePtr> nodes;
  if (xmlNodeSetPtr set = result->nodesetval) {
    for (int i = 0; i < set->nodeNr; ++i) {
      // Namespace nodes are copies owned by the result, not nodes of the tree.
      if (set->nodeTab[i]->type == XML_NAMESPACE_DECL)
        continue;
      nodes.push_back(set->nodeTab[i]);
      if (firstOnly)
        break;
    }
  }
  return nodes;
}

}  // namespace HandlerUtils
