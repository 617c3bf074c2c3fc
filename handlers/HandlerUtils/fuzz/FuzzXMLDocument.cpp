// Fuzz target: loading a document from bytes or wide text, then every reader over every node,
// a text replacement, and the two serialisations. A serialised document must load again and
// serialise to the same bytes; anything but the documented exceptions is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/Timestamp.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;
using HandlerUtils::XMLException;

namespace {

const std::map<std::wstring, int> kLabels{{L"true", 1}, {L"normal", 0}, {L"extensive", 1}, {L"unknown", 300}};

template <class F>
void Tolerate(F&& f)
{
  try {
    f();
  } catch (const XMLException&) {
  } catch (const CorvexManagedEntity::MEInvalidException&) {
  }
}

void ReadEverything(const XMLElement& element)
{
  element.GetText();
  element.GetXML();
  Tolerate([&] { element.GetBoolFromNode(L"."); });
  Tolerate([&] { element.GetIntFromNode(L"."); });
  Tolerate([&] { element.GetUnsignedIntFromNode(L"."); });
  Tolerate([&] { HandlerUtils::timestamp_t::FromString(element.GetText()).ToString(); });
  int label = -1;
  Tolerate([&] { element.GetEnumFromNode(L".", kLabels, label); });
  Tolerate([&] { element.GetStringFromAttribute(L"type"); });
  Tolerate([&] { element.GetIntFromAttribute(L"id"); });
  Tolerate([&] { element.GetBoolFromAttribute(L"latest"); });
  element.NodeExists(L"s:entity/s:productId");
  std::vector<XMLElement> attributes;
  element.GetElementList(L"@*", attributes);
  for (const auto& a : attributes)
    a.GetText();
}

void Check(bool condition)
{
  if (!condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  trace::SetLevel(-1);  // exceptions log at level 0: keep the run quiet
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0)
    return 0;
  const std::uint8_t mode = data[0];
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  XMLDocument doc;
  try {
    if (mode & 1)
      doc.SetXML(FromUtf8(bytes));
    else
      doc.SetXML(bytes);
  } catch (const XMLException&) {
    Check(!doc.GetError().reason.empty());
    return 0;
  }
  doc.SetSelectionNamespaces(L"xmlns:s='http://corvex.example/KT/KTDexStatus' xmlns:ev='urn:ev'");

  std::vector<XMLElement> nodes;
  doc.GetRoot().GetElementList(L"//node()", nodes);
  std::size_t visited = 0;
  for (const auto& node : nodes) {
    if (++visited > 256)
      break;
    ReadEverything(node);
  }

  if (mode & 2) {
    // Replace the content of an element chosen by the input, keeping references to removed nodes.
    XMLElement target = nodes.empty() ? doc.GetRoot() : nodes[(mode >> 3) % nodes.size()];
    try {
      target.SetText(L"replaced \u00e9 <&>");
    } catch (const WinRuntimeError&) {
      // documents and doctype nodes take no text
    }
    for (const auto& node : nodes)
      node.GetText();
  }
  if (mode & 4) {
    // Names and values taken from the document itself: bad names must be refused, good ones
    // must give a document that still reads back.
    const std::wstring text = doc.GetRoot().GetText().substr(0, 64);
    try {
      doc.GetRoot().CreateNode(text, L"urn:fuzz").CreateStringAttribute(text, text);
    } catch (const WinRuntimeError&) {
    }
    try {
      doc.GetRoot().CreateStringNode(L"p:v", text, L"urn:p");
      doc.GetRoot().CreateStringAttribute(L"v", text);
    } catch (const WinRuntimeError&) {
      Check(false);  // the text came from a document: it is always writable
    }
  }

  const std::string utf8 = doc.ToXML_UTF8();
  const std::wstring wide = doc.ToXML();
  XMLDocument again;
  again.SetXML(utf8);
  Check(again.ToXML_UTF8() == utf8);
  XMLDocument wideAgain;
  wideAgain.SetXML(wide);
  Check(wideAgain.ToXML() == wide);

  // Reloading keeps the elements of the previous tree readable.
  doc.SetXML(utf8);
  for (const auto& node : nodes)
    node.GetText();
  return 0;
}
