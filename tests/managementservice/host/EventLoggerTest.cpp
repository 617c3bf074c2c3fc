#include <gtest/gtest.h>

#include <vector>

#include "managementservice/host/EventLogger.h"
#include "resources/EventMessages.h"

namespace {
struct Captured
{
  Captured() { SetEventCapture([this](const EventRecord& r) { events.push_back(r); }); }
  ~Captured() { SetEventCapture(nullptr); }
  std::vector<EventRecord> events;
};
}  // namespace

TEST(CEventLogger, TheProcessLoggerReportsUnderTheServiceName)
{
  Captured c;
  EXPECT_TRUE(g_EventLogger.HasSource());
  g_EventLogger.Report(EVMSG_MESSAGING_CONNECTED, EVENTLOG_INFORMATION_TYPE);
  g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, L"database gone");
  g_EventLogger.Report(EVMSG_WRONG_DATABASE_VERSION, EVENTLOG_ERROR_TYPE, L"7", L"8");
  g_EventLogger.Report(EVMSG_GENERIC, EVENTLOG_INFORMATION_TYPE, L"a", L"b", L"c");
  ASSERT_EQ(c.events.size(), 4u);
  for (const auto& e : c.events) {
    EXPECT_EQ(e.source, L"Corvex Management Service");
    EXPECT_EQ(e.category, 2);
    EXPECT_EQ(e.user.rfind(L"S-1-22-1-", 0), 0u);
  }
  EXPECT_EQ(c.events[0].id, 0x40001F42u);
  EXPECT_TRUE(c.events[0].strings.empty());
  EXPECT_EQ(c.events[1].text, L"A database or COM error occurred: database gone");
  EXPECT_EQ(c.events[2].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(c.events[2].text,
            L"The database has interface version 7 but the service needs version 8. Upgrade the database or the service.");
  EXPECT_EQ(c.events[3].strings.size(), 3u);
}

TEST(CEventLogger, WithoutASourceReportsDoNothing)
{
  Captured c;
  CEventLogger logger(L"", 2);  // registration fails; the constructor must not throw
  EXPECT_FALSE(logger.HasSource());
  logger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, L"x");
  EXPECT_TRUE(c.events.empty());
  CEventLogger nameless(nullptr, 2);
  EXPECT_FALSE(nameless.HasSource());
}
