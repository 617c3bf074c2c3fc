#pragma once
// Event sources: each report goes to syslog (facility daemon) as "<source> [<id>]: <text>", the
// text made from the message table registered for the source (the installer's message file) with
// its %1..%3 insertion strings filled in. When $CORVEX_EVENTLOG_FILE names a file, each report is
// also appended there as one line "<id> <type> [<string>|<string>...] <text>" (for administrators
// without a syslog daemon, and for tests of whole processes). Tests can capture every report.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

constexpr WORD EVENTLOG_SUCCESS = 0;
constexpr WORD EVENTLOG_ERROR_TYPE = 1;
constexpr WORD EVENTLOG_WARNING_TYPE = 2;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 4;

struct EventSource;
using HEVENTSOURCE = EventSource*;

// Null (with the last error set) when the source name is empty.
HEVENTSOURCE RegisterEventSource(const wchar_t* server, const wchar_t* sourceName);
bool DeregisterEventSource(HEVENTSOURCE source);
// user: the reporting account's SID text, may be null.
bool ReportEvent(HEVENTSOURCE source, WORD type, WORD category, DWORD eventId, const wchar_t* user,
                 const std::vector<std::wstring>& strings);

// The message file of a source: identifier to text with %1, %2, %3 insertion points.
void RegisterEventMessages(const std::wstring& sourceName, std::map<DWORD, std::wstring> messages);

struct EventRecord
{
  std::wstring source;
  WORD type;
  WORD category;
  DWORD id;
  std::wstring user;
  std::vector<std::wstring> strings;
  std::wstring text;
};
// Test hook: receives every report (in addition to syslog). Pass an empty function to remove it.
void SetEventCapture(std::function<void(const EventRecord&)> capture);
// The text a report shows: the source's message with its insertion strings filled in.
std::wstring FormatEventText(const std::wstring& sourceName, DWORD eventId, const std::vector<std::wstring>& strings);
