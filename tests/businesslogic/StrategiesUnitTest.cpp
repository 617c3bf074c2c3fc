// The message sink and its strategies where they decide without the database: the entity names
// without a strategy, the texts they skip, and the availability values they do not know. No
// database is configured here, so a strategy that wrongly reached for it would throw.
#include <gtest/gtest.h>

#include "businesslogic/exceptions/EntityExceptions.h"
#include "businesslogic/strategies/MessageSink.h"
#include "businesslogic/strategies/MessageStrategyFactory.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

const CComputer kComputer(7);

}  // namespace

TEST(MessageSink, EntitiesWithoutAStrategyAreUnrecognised)
{
  const vrn::CMessageSink sink(kComputer);
  for (const char* entity : {"DEX9X", "Agent", "", "dex"}) {
    try {
      sink.ProcessMessage(entity, "<status/>", "<config/>", vrn::InstalledAndReporting);
      ADD_FAILURE() << entity << " has a strategy";
    } catch (const vrn::Exceptions::UnrecognisedEntity& e) {
      EXPECT_EQ(e.what(), std::string("Unrecognised Entity :") + entity);
    }
    EXPECT_THROW(sink.ProcessEventMessage(entity, "<event/>"), vrn::Exceptions::UnrecognisedEntity) << entity;
  }
  for (const char* entity : {"DEX", "ALC", "TzLib"})
    EXPECT_NO_THROW(priv::CMessageStrategyFactory::Instance().GetStrategy(entity)) << entity;
}

TEST(MessageSink, EmptyAntiVirusTextsAndUnknownAvailabilitiesWriteNothing)
{
  testsupport::TraceCapture traces;
  const vrn::CMessageSink sink(kComputer);
  sink.ProcessMessage("DEX", "", "", vrn::InstalledAndReporting);
  EXPECT_TRUE(traces.Has(1, "Empty Dex configuration"));
  EXPECT_TRUE(traces.Has(1, "Empty Dex status"));

  sink.ProcessMessage("DEX", "<status/>", "", static_cast<vrn::Availability>(5));
  EXPECT_TRUE(traces.Has(0, "Unexpected Dex status availability: 5"));

  // The update component's status and configuration are not stored from these messages.
  EXPECT_NO_THROW(sink.ProcessMessage("ALC", "<status/>", "<config/>", vrn::InstalledAndReporting));
}

TEST(MessageSink, ALibraryServerHasNoEventsAndRefusesAStatusThatDoesNotRead)
{
  const vrn::CMessageSink sink(kComputer);
  try {
    sink.ProcessEventMessage("TzLib", "<event/>");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Not implemented!");
  }
  EXPECT_THROW(sink.ProcessMessage("TzLib", "<tzlib", "", vrn::InstalledAndReporting), std::exception);
}
