#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/Bstr.h"
#include "platform/trace/Trace.h"

namespace {
constexpr GUID kComponent = MakeGuid("{11111111-2222-3333-4444-555555555555}");

template <class Ch, class... A>
std::string F(const Ch* fmt, const A&... args)
{
  return trace::Format(std::basic_string_view<Ch>(fmt), std::vector<trace::Arg>{trace::MakeArg(args)...});
}
}  // namespace

TEST(TraceFormat, WindowsStringConventions)
{
  const wchar_t* wide = L"w\u00e9";
  const char* narrow = "n";
  EXPECT_EQ(F("%s|%S|%hs|%ls", narrow, wide, narrow, wide), "n|w\xc3\xa9|n|w\xc3\xa9");
  EXPECT_EQ(F(L"%s|%S|%hs|%ls", wide, narrow, narrow, wide), "w\xc3\xa9|n|n|w\xc3\xa9");
  EXPECT_EQ(F(L"`%s`, %d", std::wstring(L"Corvex"), 2), "`Corvex`, 2");
  EXPECT_EQ(F("%s", _bstr_t(L"bstr")), "bstr");
  EXPECT_EQ(F("%-5s|%5s|%.2s", "ab", "cd", "xyz"), "ab   |   cd|xy");
}

TEST(TraceFormat, NumbersAndPointers)
{
  EXPECT_EQ(F("%d %u %ld %lu %x %08X", -5, 7u, 123456789L, 4000000000ul, 255, 0xBEEF), "-5 7 123456789 4000000000 ff 0000BEEF");
  // An HRESULT shown with %x or %p keeps its 32 bits.
  EXPECT_EQ(F("hr=0x%08x", static_cast<std::int32_t>(0x80004005)), "hr=0x80004005");
  EXPECT_EQ(F("hr=0x%p", static_cast<std::int32_t>(0x80004005)), "hr=0x80004005");
  EXPECT_EQ(F("%p", reinterpret_cast<void*>(0x1234)), "0000000000001234");
  EXPECT_EQ(F("%.2f %%", 1.005), "1.00 %");
  EXPECT_EQ(F("%*d", 4, 7), "   7");
  EXPECT_EQ(F("%I64d %c", 5LL, 'x'), "5 x");
}

TEST(TraceFormat, BadArgumentsNeverCrash)
{
  EXPECT_EQ(F("%s %d"), "<missing> <missing>");
  EXPECT_EQ(F("%d", "text"), "<bad arg>");
  EXPECT_EQ(F("%s", 5), "<bad arg>");
  EXPECT_EQ(F("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(F("%n", 1), "<bad format>");
  EXPECT_EQ(F("trailing %", 1), "trailing <bad format>");
  EXPECT_EQ(F("%99999999d", 1).size(), 256u);  // width is capped
  EXPECT_EQ(F("%d", 1, 2, 3), "1");             // extra arguments are ignored
}

TEST(Trace, LevelsCaptureAndScopes)
{
  std::vector<std::pair<int, std::string>> lines;
  trace::SetCapture([&](int level, const GUID& g, const std::string& text) {
    EXPECT_EQ(g, kComponent);
    lines.emplace_back(level, text);
  });
  const int saved = trace::Level();
  trace::SetLevel(2);
  trace::Trace(kComponent, 2, "Connect done.\n");
  trace::Trace(kComponent, 3, "too detailed");
  {
    trace::CFunctionTrace scope(kComponent, "CComputer::CComputer(%u)", 7u);
  }
  trace::SetLevel(3);
  {
    trace::CFunctionTrace scope(kComponent, L"Scope(%s)", L"x");
    trace::Trace(kComponent, 3, L"inside %d", 1);
  }
  trace::SetLevel(saved);
  trace::SetCapture(nullptr);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::make_pair(2, std::string("Connect done.")));
  EXPECT_EQ(lines[1], std::make_pair(3, std::string("> Scope(x)")));
  EXPECT_EQ(lines[2], std::make_pair(3, std::string("inside 1")));
  EXPECT_EQ(lines[3], std::make_pair(3, std::string("< Scope(x)")));
}
