#pragma once
// CEventLogger: the service's one event source. Failures an administrator must see are reported
// here besides the trace. The constructor never throws; without a source every report does nothing.
#include <string>

#include "platform/com/WinTypes.h"
#include "platform/eventlog/EventLog.h"

class CEventLogger
{
public:
  CEventLogger(const wchar_t* sourceName, WORD category) noexcept;
  ~CEventLogger();
  CEventLogger(const CEventLogger&) = delete;
  CEventLogger& operator=(const CEventLogger&) = delete;

  void Report(DWORD eventId, WORD type) const noexcept;
  void Report(DWORD eventId, WORD type, const std::wstring& s1) const noexcept;
  void Report(DWORD eventId, WORD type, const std::wstring& s1, const std::wstring& s2) const noexcept;
  void Report(DWORD eventId, WORD type, const std::wstring& s1, const std::wstring& s2, const std::wstring& s3) const noexcept;

  bool HasSource() const noexcept { return m_source != nullptr; }
  const std::wstring& SourceName() const noexcept { return m_name; }
  WORD Category() const noexcept { return m_category; }
  const std::wstring& UserSid() const noexcept { return m_userSid; }

private:
  void Write(DWORD eventId, WORD type, const std::vector<std::wstring>& strings) const noexcept;

  HEVENTSOURCE m_source = nullptr;
  std::wstring m_name;
  std::wstring m_userSid;
  WORD m_category;
};

// The process's one event logger, source "Corvex Management Service", category 2.
extern CEventLogger g_EventLogger;

// A message refused because it names a computer that another address manages: a warning on
// the process's logger, once per sending address, so that a sender repeating itself cannot
// flood the log; every refusal is traced.
void ReportRefusedAddressClaim(const std::string& address, const std::wstring& computerName) noexcept;
