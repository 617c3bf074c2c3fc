#include <gtest/gtest.h>

#include <vector>

#include "platform/eventlog/EventLog.h"

TEST(EventLog, ReportsCarryTextWithInsertionStrings)
{
  std::vector<EventRecord> seen;
  SetEventCapture([&](const EventRecord& r) { seen.push_back(r); });
  RegisterEventMessages(L"Test Source", {{0xC0001F47, L"found %1, expected %2"}});
  HEVENTSOURCE src = RegisterEventSource(nullptr, L"Test Source");
  ASSERT_NE(src, nullptr);
  EXPECT_TRUE(ReportEvent(src, EVENTLOG_ERROR_TYPE, 2, 0xC0001F47, L"S-1-22-1-0", {L"7", L"8"}));
  EXPECT_TRUE(ReportEvent(src, EVENTLOG_WARNING_TYPE, 2, 0x80001F49, nullptr, {L"PC7"}));
  EXPECT_TRUE(DeregisterEventSource(src));
  EXPECT_FALSE(ReportEvent(nullptr, EVENTLOG_ERROR_TYPE, 2, 1, nullptr, {}));
  EXPECT_EQ(RegisterEventSource(nullptr, L""), nullptr);
  SetEventCapture(nullptr);

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].text, L"found 7, expected 8");
  EXPECT_EQ(seen[0].category, 2);
  EXPECT_EQ(seen[0].user, L"S-1-22-1-0");
  EXPECT_EQ(seen[1].text, L"The description for event ID 8009 cannot be found. PC7");
}
