// Pieces that need no server: the block timer's traces, the tick guard on normal and exceptional
// exits, and addresses in exception messages.
#include <gtest/gtest.h>

#include <thread>

#include "businesslogic/BlockTimer.h"
#include "businesslogic/ClockTicks.h"
#include "businesslogic/TraceComponent.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

TEST(CBlockTimer, TracesTheLabelAndTheElapsedTime)
{
  testsupport::TraceCapture traces;
  {
    CBlockTimer timer(TRACE_BUSINESSLOGIC, "Sleeping block");
    EXPECT_TRUE(traces.Has(2, "Start timing Sleeping block ... "));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_TRUE(traces.Has(2, "Finished timeing Sleeping block: Time for block 3"));
  EXPECT_TRUE(traces.Has(2, " ticks at 1000000000 ticks per second)"));
  EXPECT_FALSE(traces.Has(2, "OS does not support high performance counter"));
}

TEST(CClockTickGuard, TicksOnEveryExitAndRaisesAFailedTickOnlyOnANormalOne)
{
  {
    testsupport::TestClocks clocks;
    {
      vrn::CClockTickGuard first(vrn::kComputerStateClock);
      vrn::CClockTickGuard second(vrn::kGroupMembershipClock);
    }
    EXPECT_EQ(clocks.Take(), (std::vector<VRN_Clock>{2, 1}));
    EXPECT_THROW(
        {
          vrn::CClockTickGuard guard(vrn::kGroupTreeClock);
          throw std::runtime_error("operation failed");
        },
        std::runtime_error);
    EXPECT_EQ(clocks.Take(), (std::vector<VRN_Clock>{0}));
  }
  // Without a broker the tick fails: raised on a normal exit, traced under another exception.
  EXPECT_THROW({ vrn::CClockTickGuard guard(vrn::kGroupTreeClock); }, std::logic_error);
  testsupport::TraceCapture traces;
  try {
    vrn::CClockTickGuard guard(vrn::kGroupTreeClock);
    throw std::runtime_error("operation failed");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "operation failed");
  }
  EXPECT_TRUE(traces.Has(0, "Clock 0 could not tick: CServerBrokerRegistrar::GetBroker: Broker is not set"));
}

TEST(ComputerExceptions, AddressesAreWidenedIntoTheirMessages)
{
  const std::string address = "BRANCH1.PC\xE9";
  EXPECT_EQ(vrn::Exceptions::InvalidMessageSystemAddress(address).Message(),
            L"The address specified is too long it must be less than 255 chars address :BRANCH1.PC\u00E9");
  EXPECT_EQ(vrn::Exceptions::UnknownMessageSystemAddress(address).Message(), L"The computer is not managed address :BRANCH1.PC\u00E9");
}

}  // namespace
