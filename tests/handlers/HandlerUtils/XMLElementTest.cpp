#include <gtest/gtest.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include "TraceCapture.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/text/Unicode.h"

using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;
using HandlerUtils::XMLException;

namespace {

const std::wstring kNs = L"http://corvex.example/KT/KTDexEvent";

XMLDocument Parsed(const std::string& text)
{
  XMLDocument doc;
  doc.SetXML(text);
  doc.SetSelectionNamespaces(L"xmlns:ev='" + kNs + L"'");
  return doc;
}

// The message of the XMLException that `f` raises.
template <class F>
std::string XmlError(F&& f)
{
  try {
    f();
  } catch (const XMLException& e) {
    return e.what();
  }
  return "(no exception)";
}

enum class Colour { red = 1, green = 2, blue = 3 };
const std::map<std::wstring, Colour> kColours{{L"green", Colour::green}, {L"Red", Colour::red}, {L"red", Colour::red}};

}  // namespace

TEST(XMLElement, SelectsWithBoundPrefixesOnly)
{
  XMLDocument doc = Parsed("<event xmlns='http://corvex.example/KT/KTDexEvent' type='t'><user><userId>u1</userId></user></event>");
  XMLElement root = doc.GetRoot();
  EXPECT_EQ(root.GetStringFromNode(L"ev:user/ev:userId"), L"u1");
  EXPECT_EQ(root.GetStringFromNode(L"./@type"), L"t");
  EXPECT_EQ(root.GetNode(L"ev:user").GetStringFromNode(L"ev:userId"), L"u1") << "paths are relative to the element";
  // Unprefixed names mean no namespace in XPath: the namespaced element is not found.
  EXPECT_EQ(XmlError([&] { root.GetNode(L"user"); }), "Failed to find node from path: user");
  EXPECT_FALSE(root.NodeExists(L"user"));
  EXPECT_TRUE(root.NodeExists(L"ev:user"));

  // An unbound prefix or a broken expression is a DOM failure, not a missing node, and
  // NodeExists lets it through.
  EXPECT_THROW(root.GetNode(L"zz:user"), WinRuntimeError);
  EXPECT_THROW(root.NodeExists(L"ev:user[["), WinRuntimeError);
  EXPECT_THROW(root.GetNode(L"count(ev:user)"), WinRuntimeError);  // not a node-set

  // Rebinding replaces the previous prefixes; a malformed list is refused.
  doc.SetSelectionNamespaces(L"xmlns:x=\"" + kNs + L"\"  xmlns:y='urn:other'");
  EXPECT_EQ(root.GetStringFromNode(L"x:user/x:userId"), L"u1");
  EXPECT_THROW(root.GetNode(L"ev:user"), WinRuntimeError);
  EXPECT_THROW(doc.SetSelectionNamespaces(L"xmlns:a=urn:unquoted"), WinRuntimeError);
  EXPECT_THROW(doc.SetSelectionNamespaces(L"foo:a='x'"), WinRuntimeError);
}

TEST(XMLElement, MissingNodeExceptionCarriesTheDocumentAndLogs)
{
  XMLDocument doc = Parsed("<r><a/></r>");
  TraceCapture capture(2);
  try {
    doc.GetRoot().GetNode(L"b/c");
    FAIL();
  } catch (const XMLException& e) {
    EXPECT_STREQ(e.what(), "Failed to find node from path: b/c");
    EXPECT_EQ(e.GetDocument().GetRoot().GetXML(), L"<r><a/></r>");
  }
  EXPECT_TRUE(capture.Contains("Getting from: <r><a/></r>"));
  EXPECT_TRUE(capture.Contains("Failed to find node from path: b/c"));
}

TEST(XMLElement, ElementListAppendsInDocumentOrder)
{
  XMLDocument doc = Parsed("<r><i>1</i><g><i>2</i></g><i>3</i></r>");
  std::vector<XMLElement> list{doc.GetRoot()};
  doc.GetRoot().GetElementList(L"//i", list);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[1].GetText(), L"1");
  EXPECT_EQ(list[2].GetText(), L"2");
  EXPECT_EQ(list[3].GetText(), L"3");

  TraceCapture capture;
  std::list<XMLElement> other{doc.GetRoot()};
  doc.GetRoot().GetElementList(L"nothing/here", other);
  EXPECT_EQ(other.size(), 1u);
  EXPECT_TRUE(capture.Contains("There are 0 items"));
}

TEST(XMLElement, BooleanRule)
{
  XMLDocument doc = Parsed("<r a='YES' b='No'><t>YES</t><o>1</o><f>False</f><z>0</z><s> Yes</s><e/><x>2</x></r>");
  XMLElement r = doc.GetRoot();
  EXPECT_TRUE(r.GetBoolFromNode(L"t"));
  EXPECT_TRUE(r.GetBoolFromNode(L"o"));
  EXPECT_FALSE(r.GetBoolFromNode(L"f"));
  EXPECT_FALSE(r.GetBoolFromNode(L"z"));
  EXPECT_TRUE(r.GetBoolFromAttribute(L"a"));
  EXPECT_FALSE(r.GetBoolFromAttribute(L"b"));
  EXPECT_EQ(XmlError([&] { r.GetBoolFromNode(L"s"); }), "Failed to find boolean value from path: s");
  EXPECT_EQ(XmlError([&] { r.GetBoolFromNode(L"e"); }), "Failed to find boolean value from path: e");
  EXPECT_EQ(XmlError([&] { r.GetBoolFromNode(L"x"); }), "Failed to find boolean value from path: x");
  EXPECT_EQ(XmlError([&] { r.GetBoolFromAttribute(L"missing"); }), "Failed to retrive attribute: missing");

  r.CreateBoolNode(L"n", true, L"");
  r.CreateBoolAttribute(L"c", false);
  EXPECT_EQ(r.GetStringFromNode(L"n"), L"true");
  EXPECT_EQ(r.GetStringFromAttribute(L"c"), L"false");
}

TEST(XMLElement, IntegerRule)
{
  XMLDocument doc = Parsed("<r n='  42x' big='4294967296' neg='-1'><a>12</a><b>12abc</b><c>abc</c><d/><e> -7 </e>"
                           "<f>2147483648</f><g>+5</g></r>");
  XMLElement r = doc.GetRoot();
  EXPECT_EQ(r.GetIntFromNode(L"a"), 12);
  EXPECT_EQ(r.GetIntFromNode(L"b"), 12);
  EXPECT_EQ(r.GetIntFromNode(L"e"), -7);
  EXPECT_EQ(r.GetIntFromNode(L"g"), 5);
  EXPECT_EQ(r.GetUnsignedIntFromNode(L"a"), 12u);
  EXPECT_EQ(r.GetIntFromAttribute(L"n"), 42);
  EXPECT_EQ(r.GetIntFromAttribute(L"neg"), -1);

  EXPECT_EQ(XmlError([&] { r.GetIntFromNode(L"c"); }), "Int extraction failed for c:int=0:str=abc");
  EXPECT_EQ(XmlError([&] { r.GetIntFromNode(L"d"); }), "Int extraction failed for d:int=0:str=");
  // Out of range: the extraction leaves the limit.
  EXPECT_EQ(XmlError([&] { r.GetIntFromNode(L"f"); }), "Int extraction failed for f:int=2147483647:str=2147483648");
  EXPECT_EQ(XmlError([&] { r.GetUnsignedIntFromNode(L"c"); }), "UnsignedInt extraction failed for c:int=0:str=abc");
  EXPECT_EQ(XmlError([&] { r.GetUnsignedIntFromAttribute(L"big"); }),
            "UnsignedInt extraction from Attribute failed for big:int=4294967295:str=4294967296");
  EXPECT_EQ(XmlError([&] { r.GetIntFromAttribute(L"big"); }),
            "Int extraction from Attribute failed for big:int=2147483647:str=4294967296");

  r.CreateIntNode(L"w", -2147483647 - 1, L"");
  r.CreateUnsignedIntNode(L"u", 4294967295u, L"");
  r.CreateIntAttribute(L"ia", 0);
  r.CreateUnsignedIntAttribute(L"ua", 7);
  EXPECT_EQ(r.GetStringFromNode(L"w"), L"-2147483648");
  EXPECT_EQ(r.GetStringFromNode(L"u"), L"4294967295");
  EXPECT_EQ(r.GetIntFromNode(L"w"), -2147483647 - 1);
  EXPECT_EQ(r.GetUnsignedIntFromNode(L"u"), 4294967295u);
  EXPECT_EQ(r.GetStringFromAttribute(L"ia"), L"0");
  EXPECT_EQ(r.GetUnsignedIntFromAttribute(L"ua"), 7u);
}

TEST(XMLElement, Enumerations)
{
  XMLDocument doc(L"r", kNs);
  doc.SetSelectionNamespaces(L"xmlns:ev='" + kNs + L"'");
  XMLElement r = doc.GetRoot();
  TraceCapture capture;
  // The first label in label order wins: "Red" sorts before "red".
  r.CreateEnumNode(L"c", Colour::red, kColours, kNs);
  r.CreateEnumNode(L"d", Colour::green, kColours, kNs);
  EXPECT_EQ(r.GetStringFromNode(L"ev:c"), L"Red");
  EXPECT_TRUE(capture.Contains("Colour>('c',...)"));
  EXPECT_EQ(XmlError([&] { r.CreateEnumNode(L"e", Colour::blue, kColours, kNs); }), "Enum specified does not exist");
  EXPECT_FALSE(r.NodeExists(L"ev:e")) << "nothing is written for a value without a label";

  Colour out = Colour::blue;
  EXPECT_TRUE(r.GetEnumFromNode(L"ev:c", kColours, out));  // "Red" read lower-cased
  EXPECT_EQ(out, Colour::red);
  r.CreateStringNode(L"g", L"GREEN", kNs);
  r.CreateStringNode(L"h", L"purple", kNs);
  EXPECT_TRUE(r.GetEnumFromNode(L"ev:g", kColours, out));
  EXPECT_EQ(out, Colour::green);
  EXPECT_FALSE(r.GetEnumFromNode(L"ev:h", kColours, out));
  EXPECT_EQ(out, Colour::green) << "an unknown label leaves the value";
  EXPECT_EQ(XmlError([&] { r.GetEnumFromNode(L"ev:none", kColours, out); }), "Failed to find node from path: ev:none");

  // A label with capitals can be written but not read back.
  const std::map<std::wstring, int> mixed{{L"doNothing", 0}};
  r.CreateEnumNode(L"a", 0, mixed, kNs);
  int value = 5;
  EXPECT_FALSE(r.GetEnumFromNode(L"ev:a", mixed, value));
  EXPECT_EQ(value, 5);
}

TEST(XMLElement, AttributesAndTextAreEscaped)
{
  XMLDocument doc(L"r", L"");
  XMLElement r = doc.GetRoot();
  r.CreateStringAttribute(L"a", L"x&y<\"z'");
  r.CreateStringAttribute(L"a", L"&amp;");  // replaces, and is not read as a reference
  r.CreateStringNode(L"t", L"]]> & <b>", L"");
  EXPECT_EQ(r.GetStringFromAttribute(L"a"), L"&amp;");
  XMLDocument back;
  back.SetXML(doc.ToXML_UTF8());
  EXPECT_EQ(back.GetRoot().GetStringFromAttribute(L"a"), L"&amp;");
  EXPECT_EQ(back.GetRoot().GetStringFromNode(L"t"), L"]]> & <b>");
  EXPECT_THROW(r.CreateStringAttribute(L"bad name", L"v"), WinRuntimeError);
  EXPECT_THROW(r.CreateStringAttribute(L"p:a", L"v"), WinRuntimeError) << "undeclared prefix";
  EXPECT_THROW(r.CreateStringAttribute(L"xmlns", L"urn:x"), WinRuntimeError);

  // Characters a document cannot carry are refused rather than written unreadably.
  EXPECT_THROW(r.CreateStringNode(L"c", std::wstring(L"a\x01" L"b"), L""), WinRuntimeError);
  EXPECT_THROW(r.CreateStringAttribute(L"a", std::wstring(1, L'\0')), WinRuntimeError);
  EXPECT_THROW(r.GetNode(L"t").SetText(L"\xFFFE"), WinRuntimeError);
  EXPECT_EQ(r.GetStringFromNode(L"t"), L"]]> & <b>");
  EXPECT_EQ(r.GetStringFromAttribute(L"a"), L"&amp;");
  EXPECT_FALSE(r.NodeExists(L"c")) << "a refused text leaves no empty node behind";
}

TEST(XMLElement, AttributeLookupUsesQualifiedNames)
{
  XMLDocument doc = Parsed("<r xmlns:p='urn:p' p:a='1' a='2' xmlns='urn:d'/>");
  XMLElement r = doc.GetRoot();
  EXPECT_EQ(r.GetStringFromAttribute(L"p:a"), L"1");
  EXPECT_EQ(r.GetStringFromAttribute(L"a"), L"2");
  EXPECT_EQ(r.GetStringFromAttribute(L"xmlns:p"), L"urn:p");
  EXPECT_EQ(r.GetStringFromAttribute(L"xmlns"), L"urn:d");
  r.CreateStringAttribute(L"p:b", L"3");
  EXPECT_EQ(r.GetStringFromAttribute(L"p:b"), L"3");
  EXPECT_EQ(XmlError([&] { r.GetStringFromAttribute(L"b"); }), "Failed to retrive attribute: b");
}

TEST(XMLElement, CreateNodeNamespaces)
{
  XMLDocument doc(L"config", L"urn:cfg");
  XMLElement root = doc.GetRoot();
  root.CreateNode(L"same", L"urn:cfg");
  root.CreateNode(L"p:other", L"urn:other").CreateNode(L"p:child", L"urn:other");
  root.CreateNode(L"plain", L"");
  EXPECT_EQ(root.GetXML(),
            L"<config xmlns=\"urn:cfg\"><same/><p:other xmlns:p=\"urn:other\"><p:child/></p:other><plain xmlns=\"\"/></config>");

  // The element-in-no-namespace stays outside the default namespace after reloading.
  XMLDocument back;
  back.SetXML(doc.ToXML());
  back.SetSelectionNamespaces(L"xmlns:c='urn:cfg' xmlns:o='urn:other'");
  EXPECT_TRUE(back.GetRoot().NodeExists(L"plain"));
  EXPECT_TRUE(back.GetRoot().NodeExists(L"c:same"));
  EXPECT_TRUE(back.GetRoot().NodeExists(L"o:other/o:child"));

  // A fragment's markup carries the declarations it inherits.
  EXPECT_EQ(back.GetRoot().GetNode(L"c:same").GetXML(), L"<same xmlns=\"urn:cfg\"/>");
}

TEST(XMLElement, FailingCreateNodeLeavesTheDocument)
{
  XMLDocument doc(L"r", L"urn:r");
  const std::wstring before = doc.GetRoot().GetXML();
  EXPECT_THROW(doc.GetRoot().CreateNode(L"1bad", L"urn:r"), WinRuntimeError);
  EXPECT_THROW(doc.GetRoot().CreateNode(L"", L"urn:r"), WinRuntimeError);
  EXPECT_THROW(doc.GetRoot().CreateNode(L"p:x", L""), WinRuntimeError);
  EXPECT_THROW(doc.GetRoot().CreateNode(L"xmlns:x", L"urn:x"), WinRuntimeError);
  XMLDocument other;
  other.SetXML(std::string("<r a='1'/>"));
  XMLElement attr = other.GetRoot().GetNode(L"@a");
  EXPECT_THROW(attr.CreateNode(L"x", L""), WinRuntimeError);
  EXPECT_EQ(doc.GetRoot().GetXML(), before);
}

TEST(XMLElement, SetTextReplacesContentAndKeepsHeldChildrenAlive)
{
  XMLDocument doc;
  doc.SetXML(std::string("<r a='1'><x><y>deep</y></x>tail</r>"));
  XMLElement r = doc.GetRoot();
  XMLElement y = r.GetNode(L"x/y");
  r.SetText(L"new <text>");
  EXPECT_EQ(r.GetText(), L"new <text>");
  EXPECT_EQ(r.GetXML(), L"<r a=\"1\">new &lt;text&gt;</r>");
  EXPECT_EQ(y.GetText(), L"deep") << "a removed node stays readable";
  r.SetText(L"");
  EXPECT_EQ(r.GetXML(), L"<r a=\"1\"/>");

  XMLElement a = r.GetNode(L"@a");
  a.SetText(L"2&3");
  EXPECT_EQ(r.GetStringFromAttribute(L"a"), L"2&3");
  EXPECT_EQ(a.GetXML(), L"a=\"2&amp;3\"");
}

TEST(XMLElement, NullElement)
{
  XMLDocument doc;
  XMLElement root = doc.GetRoot();  // an empty document has no root
  TraceCapture capture(2);
  EXPECT_TRUE(root.IsNull());
  EXPECT_FALSE(XMLDocument(L"r", L"").GetRoot().IsNull());
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Null", "Not Null"}));
  EXPECT_THROW(root.GetText(), WinRuntimeError);
  EXPECT_THROW(root.GetNode(L"a"), WinRuntimeError);
  EXPECT_THROW(root.CreateNode(L"a", L""), WinRuntimeError);
}

TEST(XMLElement, ReplaceWithACopyFromAnotherDocumentAndRemove)
{
  XMLDocument target;
  target.SetXML(std::string("<r xmlns='urn:r'><old/><keep/></r>"));
  XMLDocument source;
  source.SetXML(std::string("<n:new xmlns:n='urn:n' a='1'><n:child>text</n:child></n:new>"));
  XMLElement old = target.GetRoot().GetNode(L"*[local-name()='old']");
  EXPECT_TRUE(old.HasParentElement());
  EXPECT_FALSE(target.GetRoot().HasParentElement()) << "the root sits under the document, not an element";

  const XMLElement copy = old.ReplaceWithCopyOf(source.GetRoot());
  EXPECT_EQ(target.GetRoot().GetXML(),
            L"<r xmlns=\"urn:r\"><n:new xmlns:n=\"urn:n\" a=\"1\"><n:child>text</n:child></n:new><keep/></r>");
  EXPECT_TRUE(copy.HasParentElement());
  EXPECT_NE(old.GetXML().find(L"old xmlns:default=\"urn:r\""), std::wstring::npos) << "the replaced node stays readable";
  copy.SetText(L"changed");
  EXPECT_EQ(source.GetRoot().GetText(), L"text") << "the source is copied, not moved";

  copy.Remove();
  EXPECT_EQ(target.GetRoot().GetXML(), L"<r xmlns=\"urn:r\"><keep/></r>");
  EXPECT_THROW(XMLElement(nullptr, {}).ReplaceWithCopyOf(source.GetRoot()), WinRuntimeError);
}
