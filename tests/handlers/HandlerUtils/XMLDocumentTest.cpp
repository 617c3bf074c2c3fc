#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TraceCapture.h"
#include "handlers/HandlerUtils/StreamAdapters.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/text/Unicode.h"

using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;
using HandlerUtils::XMLException;

namespace {

const std::wstring kNs = L"http://corvex.example/KT/KTDexStatus";

std::size_t Count(const std::string& text, const std::string& what)
{
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
    ++n;
  return n;
}

// Runs `f` with standard error sent to a file and returns what was written there.
template <class F>
std::string StderrOf(F&& f)
{
  char path[] = "/tmp/handlerutils-stderr-XXXXXX";
  const int fd = mkstemp(path);
  std::fflush(stderr);
  const int saved = dup(2);
  dup2(fd, 2);
  trace::SetOutputFile("/dev/null");  // only what libxml2 itself might print is of interest
  f();
  trace::SetOutputFile("");
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(path);
  return text;
}

std::string LoadFailure(XMLDocument& doc, const std::string& text)
{
  try {
    doc.SetXML(text);
  } catch (const XMLException& e) {
    EXPECT_STREQ(e.what(), "Load failed: ");
    return e.parseError;
  }
  ADD_FAILURE() << "loaded: " << text;
  return {};
}

}  // namespace

TEST(XMLDocument, BuildsUnprefixedDocumentWithOneNamespaceDeclaration)
{
  XMLDocument doc(L"status", kNs);
  XMLElement entity = doc.GetRoot().CreateNode(L"entity", kNs);
  entity.CreateStringNode(L"productId", L"DEX", kNs);
  doc.GetRoot().CreateIntNode(L"quarantine", -3, kNs);
  const std::string xml = doc.ToXML_UTF8();
  EXPECT_EQ(xml,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<status xmlns=\"http://corvex.example/KT/KTDexStatus\"><entity><productId>DEX</productId></entity>"
            "<quarantine>-3</quarantine></status>\n");

  XMLDocument back;
  back.SetXML(xml);
  back.SetSelectionNamespaces(L"xmlns:s='" + kNs + L"'");
  EXPECT_EQ(back.GetRoot().GetStringFromNode(L"s:entity/s:productId"), L"DEX");
  EXPECT_EQ(back.GetRoot().GetIntFromNode(L"s:quarantine"), -3);
}

TEST(XMLDocument, SerialisingLeavesExactlyOneDeclaration)
{
  XMLDocument doc;
  doc.SetXML(std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><?keep me?><a>\xe9</a><?tail x?>"));
  const std::string first = doc.ToXML_UTF8();
  EXPECT_EQ(Count(first, "<?xml"), 1u);
  EXPECT_EQ(Count(first, "<?"), 1u) << "every processing instruction is replaced by the declaration";
  EXPECT_EQ(first.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
  EXPECT_NE(first.find("<a>\xc3\xa9</a>"), std::string::npos) << "latin-1 input comes out as UTF-8";

  // Repeated and mixed serialisations keep a single declaration naming the right encoding.
  const std::wstring wide = doc.ToXML();
  EXPECT_EQ(wide.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>", 0), 0u);
  EXPECT_EQ(Count(ToUtf8(wide), "<?"), 1u);
  EXPECT_EQ(doc.ToXML_UTF8(), first);
}

TEST(XMLDocument, NonAsciiTextRoundTripsThroughBothForms)
{
  const std::wstring text = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600 <&>\"'";
  XMLDocument doc(L"event", L"urn:test");
  doc.GetRoot().CreateStringNode(L"message", text, L"urn:test");
  doc.GetRoot().CreateStringAttribute(L"type", text);

  const std::string utf8 = doc.ToXML_UTF8();
  EXPECT_TRUE(IsValidUtf8(utf8));
  EXPECT_NE(utf8.find(ToUtf8(L"Gr\u00fc\u00dfe")), std::string::npos) << "non-ASCII is written as UTF-8, not as references";
  const std::wstring utf16 = doc.ToXML();

  for (int form = 0; form < 2; ++form) {
    XMLDocument back;
    if (form == 0)
      back.SetXML(utf8);
    else
      back.SetXML(utf16);  // declared utf-16: the wide form reloads as it is stored
    back.SetSelectionNamespaces(L"xmlns:t='urn:test'");
    EXPECT_EQ(back.GetRoot().GetStringFromNode(L"t:message"), text) << form;
    EXPECT_EQ(back.GetRoot().GetStringFromAttribute(L"type"), text) << form;
  }
}

TEST(XMLDocument, BytesHonourTheDeclaredEncoding)
{
  XMLDocument doc;
  std::u16string body = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>\u00e9t\u00e9</a>";
  std::string bytes("\xff\xfe", 2);
  for (char16_t c : body) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  doc.SetXML(bytes);
  EXPECT_EQ(doc.GetRoot().GetText(), L"\u00e9t\u00e9");

  // Without a declaration the bytes are UTF-8; bytes that are not UTF-8 are refused.
  doc.SetXML(std::string("<a>\xc3\xa9</a>"));
  EXPECT_EQ(doc.GetRoot().GetText(), L"\u00e9");
  EXPECT_FALSE(LoadFailure(doc, std::string("<a>\xe9</a>")).empty());
}

TEST(XMLDocument, MalformedTextRaisesAndKeepsTheDocument)
{
  XMLDocument doc;
  doc.SetXML(std::string("<good>1</good>"));
  XMLElement held = doc.GetRoot();
  const std::string reason = LoadFailure(doc, "<bad><unclosed></bad>");
  EXPECT_NE(reason.find("mismatch"), std::string::npos) << reason;
  EXPECT_EQ(doc.GetError().line, 1);
  EXPECT_EQ(ToUtf8(doc.GetError().reason), reason);
  EXPECT_EQ(doc.GetRoot().GetText(), L"1");
  EXPECT_EQ(held.GetText(), L"1");

  EXPECT_FALSE(LoadFailure(doc, "").empty());
  EXPECT_FALSE(LoadFailure(doc, "just text").empty());
  EXPECT_THROW(doc.SetXML(std::wstring(L"<a>")), XMLException);

  // A later good load clears the error.
  doc.SetXML(std::wstring(L"<other/>"));
  EXPECT_TRUE(doc.GetError().reason.empty());
  EXPECT_EQ(doc.GetRoot().GetXML(), L"<other/>");
}

TEST(XMLDocument, DocumentsNestedDeeperThanTheLimitAreRefused)
{
  auto nested = [](int depth, const std::string& inner = "") {
    std::string text;
    for (int i = 0; i < depth; ++i)
      text += "<e>" + std::string(i == 1 ? "<leaf/>text" : "");
    text += inner;
    for (int i = 0; i < depth; ++i)
      text += "</e>";
    return text;
  };
  XMLDocument doc;
  doc.SetXML(nested(64));  // the default limit
  const std::string reason = LoadFailure(doc, nested(65));
  EXPECT_NE(reason.find("nested deeper than 64 levels"), std::string::npos) << reason;
  EXPECT_EQ(doc.GetRoot().GetText(), L"text") << "the document keeps its content";

  HandlerUtils::SetMaximumDocumentDepth(3);
  doc.SetXML(nested(2, "<x/>"));           // depth 3 through an empty element
  EXPECT_FALSE(LoadFailure(doc, nested(3, "<x/>")).empty());
  EXPECT_FALSE(LoadFailure(doc, nested(2, "<x><y/></x>")).empty());
  doc.SetXML(nested(3, "text only"));     // text is not an element
  HandlerUtils::SetMaximumDocumentDepth(0);
  EXPECT_EQ(HandlerUtils::MaximumDocumentDepth(), 64u);
}

TEST(XMLDocument, ElementsOfAReplacedTreeStayUsable)
{
  XMLDocument doc;
  doc.SetXML(std::string("<a><b>old</b></a>"));
  XMLElement b = doc.GetRoot().GetNode(L"b");
  doc.SetXML(std::string("<x><y>new</y></x>"));
  EXPECT_EQ(b.GetText(), L"old");
  EXPECT_EQ(doc.GetRoot().GetStringFromNode(L"y"), L"new");
  XMLDocument copy = doc;  // copies share the document
  copy.SetXML(std::string("<z/>"));
  EXPECT_EQ(doc.GetRoot().GetXML(), L"<z/>");
}

TEST(XMLDocument, EntityDeclarationsAreRefused)
{
  XMLDocument doc;
  doc.SetXML(std::string("<safe/>"));
  const char* hostile[] = {
    // external entity read
    "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>",
    // external entity over the network
    "<!DOCTYPE r [<!ENTITY x SYSTEM \"http://127.0.0.1:1/x\">]><r>&x;</r>",
    // exponential expansion
    "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
    "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]><r>&d;&d;&d;</r>",
    // parameter entities
    "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]><r/>",
    // an internal entity, however harmless
    "<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;</r>",
  };
  const std::string err = StderrOf([&] {
    for (const char* text : hostile) {
      const std::string reason = LoadFailure(doc, text);
      EXPECT_NE(reason.find("Entity declarations are not allowed"), std::string::npos) << text << ": " << reason;
    }
  });
  EXPECT_EQ(doc.GetRoot().GetXML(), L"<safe/>");
  EXPECT_EQ(err.find("passwd"), std::string::npos);
  EXPECT_EQ(err.find("entity"), std::string::npos) << err;
}

TEST(XMLDocument, ExternalDtdIsNotFetchedAndErrorsAreNotPrinted)
{
  XMLDocument doc;
  const std::string err = StderrOf([&] {
    // The subset is named but never loaded: the document parses without it.
    doc.SetXML(std::string("<!DOCTYPE r SYSTEM \"file:///etc/passwd\"><r>ok</r>"));
    EXPECT_EQ(doc.GetRoot().GetText(), L"ok");
    // An undeclared entity reference is an error, reported only through the exception.
    EXPECT_FALSE(LoadFailure(doc, "<r>&undeclared;</r>").empty());
    EXPECT_FALSE(LoadFailure(doc, std::string("<a>\xff</a>")).empty());
    EXPECT_FALSE(LoadFailure(doc, "<?xml version='1.0' encoding='no-such-encoding'?><a/>").empty());
  });
  EXPECT_EQ(err, "");
  // Predefined entities and character references are not declarations.
  doc.SetXML(std::string("<r a='&lt;&#65;'>&amp;&#x263A;</r>"));
  EXPECT_EQ(doc.GetRoot().GetText(), L"&\u263A");
  EXPECT_EQ(doc.GetRoot().GetStringFromAttribute(L"a"), L"<A");
}

TEST(XMLDocument, LoadReadsLocalFilesOnly)
{
  char path[] = "/tmp/handlerutils-load-XXXXXX";
  const int fd = mkstemp(path);
  const std::string body = "<?xml version='1.0'?><cfg><v>7</v></cfg>";
  ASSERT_EQ(write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
  close(fd);

  XMLDocument doc;
  EXPECT_TRUE(doc.Load(path));
  EXPECT_EQ(doc.GetRoot().GetIntFromNode(L"v"), 7);
  EXPECT_TRUE(doc.Load(std::string("file://") + path));

  TraceCapture capture(0);
  EXPECT_FALSE(doc.Load("http://127.0.0.1:1/config.xml"));
  EXPECT_NE(ToUtf8(doc.GetError().reason).find("Only local files"), std::string::npos);
  EXPECT_FALSE(doc.Load(std::string(path) + ".missing"));
  EXPECT_EQ(doc.GetRoot().GetIntFromNode(L"v"), 7) << "a failed load keeps the document";
  std::ofstream(path) << "<broken>";
  EXPECT_FALSE(doc.Load(path));
  EXPECT_FALSE(capture.lines().empty());
  unlink(path);
}

TEST(XMLDocument, RemoveProcessingInstructionKeepsEverythingElse)
{
  XMLDocument doc;
  doc.SetXML(std::string("<?a 1?><!--c--><?b 2?><r/><?c 3?>"));
  TraceCapture capture;
  doc.RemoveProcessingInstruction();
  EXPECT_TRUE(capture.Contains("Removeing processing instruction @ 4"));
  EXPECT_TRUE(capture.Contains("Removeing processing instruction @ 0"));
  const std::wstring xml = doc.ToXML();
  EXPECT_EQ(xml, L"<?xml version=\"1.0\" encoding=\"utf-16\"?>\n<!--c-->\n<r/>\n");
}

TEST(XMLDocument, SaveFailureRaisesWinRuntimeError)
{
  // A sink that fails makes the save fail with the stream's "cannot save" code.
  struct FailingSink : util::IWriteStream
  {
    HRESULT WriteStream(const void*, ULONG, ULONG*) override { return E_UNEXPECTED; }
    HRESULT FlushStream() override { return S_OK; }
  } sink;
  util::ostringstream_To_IStream stream(sink);
  XMLDocument doc(L"r", L"");
  try {
    doc.Save(stream);
    FAIL() << "saved into a failing stream";
  } catch (const WinRuntimeError& e) {
    EXPECT_EQ(e.hr(), util::STG_E_CANTSAVE);
  }
}

TEST(XMLDocument, GetErrorWithoutDocument)
{
  TraceCapture capture(1);
  XMLDocument none{HandlerUtils::ElementTypes::Document()};
  const auto error = none.GetError();
  EXPECT_EQ(error.line, 0);
  EXPECT_TRUE(error.reason.empty());
  EXPECT_TRUE(capture.Contains("No document to retrive parse error from"));
  EXPECT_THROW(none.SetXML(std::string("<a/>")), WinRuntimeError);
}

TEST(XMLDocument, ParseErrorsAreKeptPerDocumentAcrossThreads)
{
  // Each thread's failures must report its own reason, never another thread's.
  std::vector<int> mismatches(4, 0);
  const std::string err = StderrOf([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t, &mismatches] {
        const std::string tag = "t" + std::to_string(t);
        for (int i = 0; i < 200; ++i) {
          XMLDocument doc;
          try {
            doc.SetXML("<" + tag + "></x" + tag + ">");
            ++mismatches[t];
          } catch (const XMLException& e) {
            if (e.parseError.find(tag) == std::string::npos || e.parseError.find("x" + tag) == std::string::npos)
              ++mismatches[t];
          }
          XMLDocument good;
          good.SetXML("<" + tag + ">" + std::to_string(i) + "</" + tag + ">");
          if (good.GetRoot().GetIntFromNode(L".") != i || !good.GetError().reason.empty())
            ++mismatches[t];
        }
      });
    }
    for (auto& th : threads)
      th.join();
  });
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
  EXPECT_EQ(err, "");
}
