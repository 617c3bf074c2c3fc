// Every event the process reports while a CapturedEvents lives, for tests to read back.
#pragma once

#include <mutex>
#include <vector>

#include "platform/eventlog/EventLog.h"

namespace testsupport {

class CapturedEvents
{
public:
  CapturedEvents()
  {
    SetEventCapture([this](const EventRecord& e) {
      std::lock_guard lock(m_mutex);
      m_events.push_back(e);
    });
  }
  ~CapturedEvents() { SetEventCapture(nullptr); }
  CapturedEvents(const CapturedEvents&) = delete;
  CapturedEvents& operator=(const CapturedEvents&) = delete;

  std::vector<EventRecord> All() const
  {
    std::lock_guard lock(m_mutex);
    return m_events;
  }
  std::vector<EventRecord> WithId(DWORD id) const
  {
    return Where([id](const EventRecord& e) { return e.id == id; });
  }
  std::vector<EventRecord> OfType(WORD type) const
  {
    return Where([type](const EventRecord& e) { return e.type == type; });
  }

private:
  template <typename Match>
  std::vector<EventRecord> Where(Match match) const
  {
    std::lock_guard lock(m_mutex);
    std::vector<EventRecord> out;
    for (const EventRecord& e : m_events)
      if (match(e))
        out.push_back(e);
    return out;
  }

  mutable std::mutex m_mutex;
  std::vector<EventRecord> m_events;
};

}  // namespace testsupport
