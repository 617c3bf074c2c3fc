#include "platform/eventlog/EventLog.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"

struct EventSource
{
  std::wstring name;
};

namespace {

struct Registry
{
  std::mutex lock;
  std::map<std::wstring, std::map<DWORD, std::wstring>> messages;
  std::function<void(const EventRecord&)> capture;
};

Registry& TheRegistry()
{
  static Registry* r = new Registry;  // used from every thread up to process end
  return *r;
}

int Priority(WORD type)
{
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

}  // namespace

HEVENTSOURCE RegisterEventSource(const wchar_t*, const wchar_t* sourceName)
{
  if (!sourceName || !*sourceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return new EventSource{sourceName};
}

bool DeregisterEventSource(HEVENTSOURCE source)
{
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  delete source;
  return true;
}

void RegisterEventMessages(const std::wstring& sourceName, std::map<DWORD, std::wstring> messages)
{
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  r.messages[sourceName] = std::move(messages);
}

std::wstring FormatEventText(const std::wstring& sourceName, DWORD eventId, const std::vector<std::wstring>& strings)
{
  std::wstring pattern;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    if (auto s = r.messages.find(sourceName); s != r.messages.end())
      if (auto m = s->second.find(eventId); m != s->second.end())
        pattern = m->second;
  }
  if (pattern.empty()) {
    // No message for the identifier: show what the report carried, like the platform's viewer.
    wchar_t buf[64];
    std::swprintf(buf, 64, L"The description for event ID %lu cannot be found.", static_cast<unsigned long>(eventId & 0xFFFF));
    std::wstring text = buf;
    for (const auto& s : strings)
      text += L" " + s;
    return text;
  }
  std::wstring out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == L'%' && i + 1 < pattern.size() && pattern[i + 1] >= L'1' && pattern[i + 1] <= L'9') {
      const std::size_t k = static_cast<std::size_t>(pattern[i + 1] - L'1');
      out += k < strings.size() ? strings[k] : std::wstring(pattern, i, 2);
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

bool ReportEvent(HEVENTSOURCE source, WORD type, WORD category, DWORD eventId, const wchar_t* user,
                 const std::vector<std::wstring>& strings)
{
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  EventRecord rec{source->name, type, category, eventId, user ? user : L"", strings, FormatEventText(source->name, eventId, strings)};
  char id[16];
  std::snprintf(id, sizeof id, "0x%08X", eventId);
  ::syslog(LOG_DAEMON | Priority(type), "%s [%s]: %s", ToUtf8(rec.source).c_str(), id, ToUtf8(rec.text).c_str());
  if (const char* file = std::getenv("CORVEX_EVENTLOG_FILE"); file && *file) {
    std::wstring joined;
    for (std::size_t i = 0; i < strings.size(); ++i)
      joined += (i ? L"|" : L"") + strings[i];
    const std::string line = std::string(id) + " " + std::to_string(type) + " [" + ToUtf8(joined) + "] " + ToUtf8(rec.text) + "\n";
    if (FILE* f = std::fopen(file, "ae")) {
      std::fputs(line.c_str(), f);
      std::fclose(f);
    }
  }
  std::function<void(const EventRecord&)> capture;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    capture = r.capture;
  }
  if (capture)
    capture(rec);
  return true;
}

void SetEventCapture(std::function<void(const EventRecord&)> capture)
{
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.lock);
  r.capture = std::move(capture);
}
