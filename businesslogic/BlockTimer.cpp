#include "businesslogic/BlockTimer.h"

#include <time.h>

#include "platform/trace/Trace.h"

namespace {

constexpr std::uint64_t kNanosecondsPerSecond = 1000000000u;

}  // namespace

std::uint64_t CBlockTimer::Frequency() noexcept
{
  timespec resolution{};
  return clock_getres(CLOCK_MONOTONIC, &resolution) == 0 ? kNanosecondsPerSecond : 0;
}

std::uint64_t CBlockTimer::Counter() noexcept
{
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
    return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * kNanosecondsPerSecond + static_cast<std::uint64_t>(now.tv_nsec);
}

CBlockTimer::CBlockTimer(const GUID& component, const char* label)
  : m_component(component), m_label(label ? label : ""), m_frequency(Frequency())
{
  if (m_frequency == 0)
    return;
  trace::Trace(m_component, 2, "Start timing %s ... ", m_label);
  m_start = Counter();
}

CBlockTimer::~CBlockTimer()
{
  if (m_frequency == 0) {
    trace::Trace(m_component, 2, "OS does not support high performance counter");
    return;
  }
  const std::uint64_t ticks = Counter() - m_start;
  trace::Trace(m_component, 2, "Finished timeing %s: Time for block %lu ms (%lu ticks at %lu ticks per second)", m_label,
               ticks / (m_frequency / 1000), ticks, m_frequency);
}
