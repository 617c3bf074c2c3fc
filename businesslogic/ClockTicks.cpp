#include "businesslogic/ClockTicks.h"

#include "businesslogic/Clocks.h"
#include "businesslogic/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace vrn {

void TickClock(VRN_Clock id) { CClocks().GetClock(id).Tick(); }

CClockTickGuard::~CClockTickGuard() noexcept(false)
{
  if (std::uncaught_exceptions() == m_exceptions) {
    TickClock(m_id);
    return;
  }
  try {
    TickClock(m_id);
  } catch (const std::exception& e) {
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "Clock %i could not tick: %s", static_cast<long>(m_id), e.what());
  } catch (...) {
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "Clock %i could not tick", static_cast<long>(m_id));
  }
}

}  // namespace vrn
