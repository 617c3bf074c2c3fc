#include "handlers/HandlerUtils/Timestamp.h"

#include <cstdio>
#include <ctime>

#include "handlers/HandlerUtils/MEException.h"
#include "platform/oledate/OleDate.h"

namespace HandlerUtils {

namespace {

bool Digits(const std::wstring& text, std::size_t from, std::size_t to)
{
  for (std::size_t i = from; i < to; ++i)
    if (text[i] < L'0' || text[i] > L'9')
      return false;
  return true;
}

WORD Number(const std::wstring& text, std::size_t from, std::size_t count)
{
  WORD n = 0;
  for (std::size_t i = from; i < from + count; ++i)
    n = static_cast<WORD>(n * 10 + (text[i] - L'0'));
  return n;
}

}  // namespace

timestamp_t::timestamp_t() : m_date(OleDateFromTimeT(std::time(nullptr))), m_status(valid) {}

timestamp_t::timestamp_t(DATE date, DateTimeStatus status) : m_date(date), m_status(status) {}

std::wstring timestamp_t::ToString() const
{
  if (m_status == null)
    return std::wstring();
  SYSTEMTIME st{};
  if (m_status != valid || !VariantTimeToSystemTime(m_date, &st))
    return L"Invalid DateTime";
  wchar_t text[32];
  std::swprintf(text, sizeof text / sizeof *text, L"%04u%02u%02u %02u%02u%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
  return text;
}

timestamp_t timestamp_t::FromString(const std::wstring& text)
{
  using CorvexManagedEntity::MEInvalidException;
  if (text.size() != 15 || text[8] != L' ')
    throw MEInvalidException(L"Badly formed timestamp string: " + text);
  if (!Digits(text, 0, 8))
    throw MEInvalidException(L"Badly formed date in timestamp: " + text);
  if (!Digits(text, 9, 15))
    throw MEInvalidException(L"Badly formed time in timestamp: " + text);
  SYSTEMTIME st{};
  st.wYear = Number(text, 0, 4);
  st.wMonth = Number(text, 4, 2);
  st.wDay = Number(text, 6, 2);
  st.wHour = Number(text, 9, 2);
  st.wMinute = Number(text, 11, 2);
  st.wSecond = Number(text, 13, 2);
  DATE date = 0;
  if (!SystemTimeToVariantTime(&st, &date))
    throw MEInvalidException(L"Cannot convert timestamp: " + text);
  return timestamp_t(date);
}

bool operator==(const timestamp_t& a, const timestamp_t& b) noexcept
{
  if (a.m_status != b.m_status)
    return false;
  if (a.m_status != timestamp_t::valid)
    return true;
  const auto ta = TimeTFromOleDate(a.m_date);
  const auto tb = TimeTFromOleDate(b.m_date);
  return ta && tb ? *ta == *tb : a.m_date == b.m_date;
}

}  // namespace HandlerUtils
