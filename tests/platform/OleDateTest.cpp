#include <gtest/gtest.h>

#include <cmath>

#include "platform/oledate/OleDate.h"

namespace {
std::tm Tm(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return t;
}
}  // namespace

TEST(OleDate, KnownDates)
{
  EXPECT_EQ(*OleDateFromTm(Tm(1899, 12, 30)), 0.0);
  EXPECT_EQ(*OleDateFromTm(Tm(1900, 1, 1)), 2.0);
  EXPECT_EQ(*OleDateFromTm(Tm(1970, 1, 1)), 25569.0);
  EXPECT_EQ(*OleDateFromTm(Tm(2000, 1, 1, 12)), 36526.5);
  EXPECT_EQ(*OleDateFromTm(Tm(1899, 12, 29, 6)), -1.25);  // the fraction runs forward before day 0
  EXPECT_EQ(FormatOleDate(-1.25), "1899-12-29 06:00:00");
  EXPECT_EQ(FormatOleDate(2958465.0), "9999-12-31 00:00:00");
  EXPECT_EQ(FormatOleDate(1e7), "invalid date");
  EXPECT_FALSE(OleDateFromTm(Tm(2023, 2, 29)));
  EXPECT_TRUE(OleDateFromTm(Tm(2024, 2, 29)));
}

TEST(OleDate, TimeTAndSystemTime)
{
  EXPECT_EQ(OleDateFromTimeT(0), 25569.0);
  EXPECT_EQ(*TimeTFromOleDate(25569.75), 18 * 3600);
  const std::time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC
  EXPECT_EQ(*TimeTFromOleDate(OleDateFromTimeT(t)), t);
  EXPECT_EQ(FormatOleDate(OleDateFromTimeT(t)), "2023-11-14 22:13:20");
  EXPECT_FALSE(TimeTFromOleDate(std::nan("")));

  SYSTEMTIME st{};
  ASSERT_TRUE(VariantTimeToSystemTime(OleDateFromTimeT(t), &st));
  EXPECT_EQ(st.wYear, 2023);
  EXPECT_EQ(st.wDayOfWeek, 2);  // Tuesday
  DATE back;
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &back));
  EXPECT_EQ(back, OleDateFromTimeT(t));
  st.wMonth = 13;
  EXPECT_FALSE(SystemTimeToVariantTime(&st, &back));

  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);  // POSIX rule: no time zone files needed
  tzset();
  EXPECT_EQ(FormatOleDate(LocalOleDateFromTimeT(t)), "2023-11-14 17:13:20");
  EXPECT_EQ(*TimeTFromLocalOleDate(LocalOleDateFromTimeT(t)), t);
  unsetenv("TZ");
  tzset();
}
