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
}
