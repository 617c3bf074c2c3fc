#pragma once
// Collects the trace lines of one component while alive, at every level up to `level`.
#include <string>
#include <vector>

#include "platform/trace/Trace.h"

class TraceCapture
{
public:
  struct Line
  {
    int level;
    std::string text;
  };

  explicit TraceCapture(const GUID& component, int level = 3) : m_previous(trace::Level())
  {
    trace::SetLevel(level);
    trace::SetCapture([this, component](int lineLevel, const GUID& from, const std::string& text) {
      if (from == component)
        m_lines.push_back({lineLevel, text});
    });
  }
  ~TraceCapture()
  {
    trace::SetCapture(nullptr);
    trace::SetLevel(m_previous);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // True when a line at `level` (any level when negative) contains `text`.
  bool Contains(const std::string& text, int level = -1) const
  {
    for (const auto& line : m_lines)
      if ((level < 0 || line.level == level) && line.text.find(text) != std::string::npos)
        return true;
    return false;
  }

private:
  int m_previous;
  std::vector<Line> m_lines;
};
