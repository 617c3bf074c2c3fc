#include <gtest/gtest.h>

#include "platform/text/Unicode.h"

TEST(Unicode, RoundTripsAndBadInput)
{
  const std::wstring w = L"A\u00e9\u4e2d\U0001F600";
  EXPECT_EQ(FromUtf8(ToUtf8(w)), w);
  EXPECT_EQ(FromUtf16(ToUtf16(w)), w);
  EXPECT_EQ(ToUtf16(L"\U0001F600").size(), 2u);
  EXPECT_EQ(FromUtf8("a\xff" "b"), L"a\ufffd" L"b");
  EXPECT_EQ(FromUtf8("\xc0\xaf"), L"\ufffd");  // overlong form
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));    // encoded surrogate
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_EQ(FromUtf16(u"\xd800x"), L"\ufffdx");
  // Plain ASCII, and ASCII runs before and after other characters.
  EXPECT_EQ(ToUtf8(L""), "");
  EXPECT_EQ(ToUtf8(L"<config a=\"1\"/>"), "<config a=\"1\"/>");
  EXPECT_EQ(ToUtf8(L"ab\u00e9cd"), "ab\xc3\xa9" "cd");
  EXPECT_EQ(FromUtf8("<x/>"), L"<x/>");
  EXPECT_EQ(FromUtf8("ab\xc3\xa9" "cd\xff"), L"ab\u00e9cd\ufffd");
  EXPECT_EQ(FromUtf8(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Unicode, CleanTextRefusesControlsAndMalformedText)
{
  EXPECT_TRUE(IsCleanText("PC7.Agent"));
  EXPECT_TRUE(IsCleanText("Rechner-M\xc3\xbcller"));  // non-ASCII names are fine
  EXPECT_TRUE(IsCleanText(L"M\u00fcller \U0001F600"));
  for (const char* bad : {"PC\n7", "PC\x7f", "tab\t", "\xc2\x85next-line", "a\xff", "\xed\xa0\x80"})
    EXPECT_FALSE(IsCleanText(bad)) << bad;
  EXPECT_FALSE(IsCleanText(std::string_view("nul\0x", 5)));
  EXPECT_FALSE(IsCleanText(L"esc\x1b"));
  EXPECT_FALSE(IsCleanText(L"c1\x9b"));
  EXPECT_FALSE(IsCleanText(std::wstring(1, static_cast<wchar_t>(0xD800))));
}
