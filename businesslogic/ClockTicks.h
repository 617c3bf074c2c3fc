#pragma once
// Ticking the service's change clocks after a change to the data behind a console view, at
// once or when a scope is left.
#include <exception>

#include "idl/ManagementServiceInterfaces.h"

namespace vrn {

// The clock identities, by what their ticks announce.
constexpr VRN_Clock kGroupTreeClock = 0;
constexpr VRN_Clock kComputerStateClock = 1;
constexpr VRN_Clock kGroupMembershipClock = 2;

// Ticks one clock through the registered broker's clocks object.
void TickClock(VRN_Clock id);

// Ticks the clock when the scope is left, normally or by an exception. A failed tick is raised
// on a normal exit and traced while another exception is on its way.
class CClockTickGuard
{
public:
  explicit CClockTickGuard(VRN_Clock id) noexcept : m_id(id), m_exceptions(std::uncaught_exceptions()) {}
  ~CClockTickGuard() noexcept(false);
  CClockTickGuard(const CClockTickGuard&) = delete;
  CClockTickGuard& operator=(const CClockTickGuard&) = delete;

private:
  VRN_Clock m_id;
  int m_exceptions;
};

}  // namespace vrn
