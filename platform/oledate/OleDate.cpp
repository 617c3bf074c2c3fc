#include "platform/oledate/OleDate.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

constexpr long long kEpochOffsetDays = 25569;  // 1899-12-30 to 1970-01-01

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d)
{
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y += m <= 2;
}

// Seconds since 1899-12-30 00:00 of an OLE DATE, rounded to the nearest second.
std::optional<long long> SecondsFromOle(DATE d)
{
  if (!std::isfinite(d) || d < kOleDateMin || d > kOleDateMax + 0.5 / 86400)
    return std::nullopt;
  const double whole = std::trunc(d);
  const double linear = whole + std::fabs(d - whole);
  return static_cast<long long>(std::llround(linear * 86400.0));
}

DATE OleFromSeconds(long long s)
{
  const long long day = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
  const double frac = static_cast<double>(s - day * 86400) / 86400.0;
  return day >= 0 ? static_cast<double>(day) + frac : static_cast<double>(day) - frac;
}

bool ValidCivil(long long y, int m, int d, int hh, int mm, int ss)
{
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1 || hh < 0 || hh > 23 || mm < 0 || mm > 59 || ss < 0 || ss > 59)
    return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

}  // namespace

long long DaysFromCivil(long long y, unsigned m, unsigned d)
{
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

std::optional<DATE> OleDateFromTm(const std::tm& t)
{
  const long long y = t.tm_year + 1900LL;
  if (!ValidCivil(y, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec))
    return std::nullopt;
  const long long days = DaysFromCivil(y, static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday)) + kEpochOffsetDays;
  return OleFromSeconds(days * 86400 + t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec);
}

std::optional<std::tm> TmFromOleDate(DATE d)
{
  const auto secs = SecondsFromOle(d);
  if (!secs)
    return std::nullopt;
  long long day = *secs >= 0 ? *secs / 86400 : -((-*secs + 86399) / 86400);
  const long long rest = *secs - day * 86400;
  long long y;
  unsigned m, dd;
  CivilFromDays(day - kEpochOffsetDays, y, m, dd);
  if (y > 9999)
    return std::nullopt;
  std::tm t{};
  t.tm_year = static_cast<int>(y - 1900);
  t.tm_mon = static_cast<int>(m) - 1;
  t.tm_mday = static_cast<int>(dd);
  t.tm_hour = static_cast<int>(rest / 3600);
  t.tm_min = static_cast<int>(rest / 60 % 60);
  t.tm_sec = static_cast<int>(rest % 60);
  const long long wd = (day - kEpochOffsetDays + 4) % 7;  // 1970-01-01 was a Thursday
  t.tm_wday = static_cast<int>(wd < 0 ? wd + 7 : wd);
  t.tm_yday = static_cast<int>(day - kEpochOffsetDays - DaysFromCivil(y, 1, 1));
  return t;
}

DATE OleDateFromTimeT(std::time_t t) { return OleFromSeconds(static_cast<long long>(t) + kEpochOffsetDays * 86400); }

std::optional<std::time_t> TimeTFromOleDate(DATE d)
{
  const auto secs = SecondsFromOle(d);
  if (!secs)
    return std::nullopt;
  return static_cast<std::time_t>(*secs - kEpochOffsetDays * 86400);
}

DATE LocalOleDateFromTimeT(std::time_t t)
{
  std::tm local{};
  localtime_r(&t, &local);
  return OleDateFromTimeT(t + local.tm_gmtoff);
}

std::optional<std::time_t> TimeTFromLocalOleDate(DATE d)
{
  auto t = TmFromOleDate(d);
  if (!t)
    return std::nullopt;
  t->tm_isdst = -1;
  return std::mktime(&*t);
}

int SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* out)
{
  if (!st || !out)
    return 0;
  std::tm t{};
  t.tm_year = st->wYear - 1900;
  t.tm_mon = st->wMonth - 1;
  t.tm_mday = st->wDay;
  t.tm_hour = st->wHour;
  t.tm_min = st->wMinute;
  t.tm_sec = st->wSecond;
  const auto d = OleDateFromTm(t);
  if (!d)
    return 0;
  *out = *d;
  return 1;
}

int VariantTimeToSystemTime(DATE d, SYSTEMTIME* out)
{
  const auto t = out ? TmFromOleDate(d) : std::nullopt;
  if (!t)
    return 0;
  out->wYear = static_cast<WORD>(t->tm_year + 1900);
  out->wMonth = static_cast<WORD>(t->tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(t->tm_wday);
  out->wDay = static_cast<WORD>(t->tm_mday);
  out->wHour = static_cast<WORD>(t->tm_hour);
  out->wMinute = static_cast<WORD>(t->tm_min);
  out->wSecond = static_cast<WORD>(t->tm_sec);
  out->wMilliseconds = 0;
  return 1;
}

namespace {
void Fill(SYSTEMTIME* out, const std::tm& t, long ms)
{
  out->wYear = static_cast<WORD>(t.tm_year + 1900);
  out->wMonth = static_cast<WORD>(t.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  out->wDay = static_cast<WORD>(t.tm_mday);
  out->wHour = static_cast<WORD>(t.tm_hour);
  out->wMinute = static_cast<WORD>(t.tm_min);
  out->wSecond = static_cast<WORD>(t.tm_sec);
  out->wMilliseconds = static_cast<WORD>(ms);
}
}  // namespace

void GetSystemTime(SYSTEMTIME* out)
{
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm t{};
  gmtime_r(&ts.tv_sec, &t);
  Fill(out, t, ts.tv_nsec / 1000000);
}

void GetLocalTime(SYSTEMTIME* out)
{
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm t{};
  localtime_r(&ts.tv_sec, &t);
  Fill(out, t, ts.tv_nsec / 1000000);
}

std::string FormatOleDate(DATE d)
{
  const auto t = TmFromOleDate(d);
  if (!t)
    return "invalid date";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour,
                t->tm_min, t->tm_sec);
  return buf;
}
