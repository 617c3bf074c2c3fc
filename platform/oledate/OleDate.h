#pragma once
// OLE DATE: days since 30 December 1899 as a double. Before that day the integer part counts
// days back and the fraction still runs forward (-1.25 is 29 December 1899, 06:00).
// One conversion module for the whole system; conversions round to the nearest second.
#include <ctime>
#include <optional>
#include <string>

#include "platform/com/WinTypes.h"

constexpr DATE kOleDateMin = -657434.0;            // 1 January 100
constexpr DATE kOleDateMax = 2958465.9999884259;   // 31 December 9999 23:59:59

struct SYSTEMTIME
{
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// Broken-down time, with tm's conventions (tm_year since 1900, tm_mon 0-11). Out of range gives nullopt.
std::optional<DATE> OleDateFromTm(const std::tm& t);
std::optional<std::tm> TmFromOleDate(DATE d);

// time_t (UTC seconds) and the DATE of the same instant in UTC.
DATE OleDateFromTimeT(std::time_t t);
std::optional<std::time_t> TimeTFromOleDate(DATE d);

// time_t and the DATE of the same instant as local wall-clock time.
DATE LocalOleDateFromTimeT(std::time_t t);
std::optional<std::time_t> TimeTFromLocalOleDate(DATE d);

// The platform's SYSTEMTIME conversions: TRUE (1) on success, 0 on a value out of range.
int SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* out);
int VariantTimeToSystemTime(DATE d, SYSTEMTIME* out);
void GetSystemTime(SYSTEMTIME* out);  // UTC now
void GetLocalTime(SYSTEMTIME* out);   // local now

// Days since 1970-01-01 of a proleptic Gregorian date (m 1-12, d 1-31), for any year.
long long DaysFromCivil(long long y, unsigned m, unsigned d);

// "YYYY-MM-DD HH:MM:SS"; "invalid date" when out of range.
std::string FormatOleDate(DATE d);
