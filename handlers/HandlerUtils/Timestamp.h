#pragma once
// The timestamp of the event documents: an OLE date in UTC with a validity status, written as
// 15 characters "YYYYMMDD HHMMSS".
#include <string>

#include "platform/com/WinTypes.h"

namespace HandlerUtils {

class timestamp_t
{
public:
  enum DateTimeStatus { valid = 0, invalid = 1, null = 2 };

  // The current UTC time, to the second.
  timestamp_t();
  explicit timestamp_t(DATE date, DateTimeStatus status = valid);
  static timestamp_t Null() { return timestamp_t(0.0, null); }

  DATE GetDate() const noexcept { return m_date; }
  DateTimeStatus GetStatus() const noexcept { return m_status; }

  // "YYYYMMDD HHMMSS"; empty when null; "Invalid DateTime" when invalid or out of range.
  std::wstring ToString() const;
  // Raises CorvexManagedEntity::MEInvalidException for a badly formed or impossible text.
  static timestamp_t FromString(const std::wstring& text);

  // Same status and, when valid, the same second.
  friend bool operator==(const timestamp_t& a, const timestamp_t& b) noexcept;

private:
  DATE m_date;
  DateTimeStatus m_status;
};

}  // namespace HandlerUtils
