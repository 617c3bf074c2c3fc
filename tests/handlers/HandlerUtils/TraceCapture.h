#pragma once
// Collects the trace lines of the document utilities while alive.
#include <string>
#include <vector>

#include "handlers/HandlerUtils/TraceComponent.h"
#include "platform/trace/Trace.h"

class TraceCapture
{
public:
  explicit TraceCapture(int level = 3) : m_previous(trace::Level())
  {
    trace::SetLevel(level);
    trace::SetCapture([this](int, const GUID& component, const std::string& text) {
      if (component == TRACE_HANDLERUTILS)
        m_lines.push_back(text);
    });
  }
  ~TraceCapture()
  {
    trace::SetCapture(nullptr);
    trace::SetLevel(m_previous);
  }
  bool Contains(const std::string& text) const
  {
    for (const auto& line : m_lines)
      if (line.find(text) != std::string::npos)
        return true;
    return false;
  }
  const std::vector<std::string>& lines() const { return m_lines; }

private:
  int m_previous;
  std::vector<std::string> m_lines;
};
