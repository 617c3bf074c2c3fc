// The inbound messages built from envelopes: what the router's notices, the agents' events and
// the delivery failures are turned into, and what each refuses before anything is queued.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "idl/DEX_PTLMessages.hh"
#include "managementservice/messages/DeliveryFailure.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/Receiver.h"
#include "managementservice/messages/RouterMessage.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/OrbEnvironment.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new servicetest::OrbEnvironment);

CorvexMessaging::Envelope Envelope(const char* type, std::initializer_list<const char*> routers,
                                   const char* originator = "corvex-router")
{
  CorvexMessaging::Envelope e;
  e.originator = originator;
  e.message_id = 7;
  e.client_info.type = type;
  e.client_info.destination = "PTLManagementService";
  e.client_info.delivery_options = "";
  e.timestamps.length(static_cast<CORBA::ULong>(routers.size()));
  CORBA::ULong i = 0;
  for (const char* name : routers) {
    e.timestamps[i].name = name;
    e.timestamps[i++].utc_time = 1700000000;
  }
  return e;
}

CorvexMessaging::Envelope Notice(const char* type, std::initializer_list<const char*> routers, const char* reported)
{
  CorvexMessaging::Envelope e = Envelope(type, routers);
  e.client_info.custom_data <<= reported;
  return e;
}

bool Authorised(const CorvexMessaging::Envelope&) { return true; }
bool Forged(const CorvexMessaging::Envelope&) { return false; }

template <class Call>
std::string Refusal(Call call)
{
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "accepted";
}

}  // namespace

TEST(RouterMessage, TheAddressIsTheRouterPathBetweenTheFirstAndLastTimestampThenTheReportedName)
{
  const RouterMessage far(Notice("Tz-RouterLogon", {"R0", "R1", "R2", "R3"}, "PC7"), &Authorised);
  EXPECT_EQ(far.FullAddress(), "R2.R1.PC7");
  EXPECT_TRUE(far.IsLogon());

  const RouterMessage three(Notice("Tz-RouterLogoff", {"R0", "R1", "R2"}, "PC7"), &Authorised);
  EXPECT_EQ(three.FullAddress(), "R1.PC7");
  EXPECT_FALSE(three.IsLogon());

  for (auto routers : {std::initializer_list<const char*>{"R0"}, {"R0", "R1"}})
    EXPECT_EQ(RouterMessage(Notice("Tz-RouterLogoff", routers, "PC7"), &Authorised).FullAddress(), "PC7");
}

TEST(RouterMessage, RefusesNoticesTheRouterDidNotSendOrThatSayNothingUsable)
{
  const auto logon = Notice("Tz-RouterLogon", {"R0"}, "PC7");
  EXPECT_EQ(Refusal([&] { RouterMessage(logon, &Forged); }), "Not authorized");
  // The library's own check: a hand-made envelope carries no seal of this process's router.
  EXPECT_EQ(Refusal([&] { RouterMessage{logon}; }), "Not authorized");

  auto unnamed = Envelope("Tz-RouterLogon", {"R0"});
  EXPECT_EQ(Refusal([&] { RouterMessage(unnamed, &Authorised); }), "Bad router message (no router name) !");
  unnamed.client_info.custom_data <<= CORBA::Long(7);
  EXPECT_EQ(Refusal([&] { RouterMessage(unnamed, &Authorised); }), "Bad router message (no router name) !");

  EXPECT_EQ(Refusal([&] { RouterMessage(Notice("Tz-RouterUpdate", {"R0"}, "PC7"), &Authorised); }),
            "Bad router message (neither logon nor logoff) !");
  EXPECT_EQ(Refusal([&] { RouterMessage(Notice("Tz-RouterLogon", {}, "PC7"), &Authorised); }), "No timestamps");
}

TEST(EntityEventMessage, TakesTheEventFromItsAppEvent2AndRefusesAnyOtherPayload)
{
  CorvexMessaging::Envelope e = Envelope("Tz-EntityEvent", {"R0"}, "PC7.Agent");
  DEX_PTLMessages::AppEvent2 event;
  event.entity = "DEX";
  event.event = "<event/>";
  event.domain = L"CORP";
  event.computer_name = L"Pc7-\u00e9";
  e.client_info.custom_data <<= event;
  const EntityEventMessage message(e);
  EXPECT_EQ(message.Entity(), "DEX");
  EXPECT_EQ(message.Event(), "<event/>");
  EXPECT_EQ(message.Domain(), L"CORP");
  EXPECT_EQ(message.ComputerName(), L"Pc7-\u00e9");
  EXPECT_EQ(message.Address(), "PC7");
  EXPECT_EQ(message.DeliveryKey(), "");  // hand-made, so the library gives it no key

  const std::string refusal = "EntityEventMessage::EntityEventMessage() bad envelope, no AppEvent2.";
  CorvexMessaging::Envelope empty = Envelope("Tz-EntityEvent", {"R0"}, "PC7.Agent");
  EXPECT_EQ(Refusal([&] { EntityEventMessage{empty}; }), refusal);
  DEX_PTLMessages::AppConfiguration other;
  other.entity = "DEX";
  other.config = "<config/>";
  empty.client_info.custom_data <<= other;
  EXPECT_EQ(Refusal([&] { EntityEventMessage{empty}; }), refusal);

  event.computer_name = L"PC7\u0085";  // a C1 control: not a refusal, the name is kept
  e.client_info.custom_data <<= event;
  EXPECT_EQ(EntityEventMessage(e).ComputerName(), L"PC7\u0085");

  // Found by fuzzing: a payload that names itself an AppEvent2 but does not read as one.
  e.client_info.custom_data = servicetest::Impostor(DEX_PTLMessages::_tc_AppEvent2);
  EXPECT_EQ(Refusal([&] { EntityEventMessage{e}; }), "malformed payload (MARSHAL)");
}

TEST(Delivery_Failure, ANoticeWithoutTheUndeliveredEnvelopeChangesNothing)
{
  testsupport::TestClocks clocks;
  testsupport::TraceCapture traces;
  CorvexMessaging::Envelope notice = Envelope("MS-DeliveryFailed-Timeout", {"R0"});
  notice.client_info.custom_data <<= "PC7.Agent";
  Delivery_Failure failure(notice);
  // No database is configured: a call to it would fail rather than return S_FALSE.
  EXPECT_EQ(failure.Process(), S_FALSE);
  EXPECT_TRUE(traces.Has(3, "Panic ! No envelope in Unrouteable."));

  notice.client_info.custom_data = servicetest::Impostor(CorvexMessaging::_tc_Envelope);
  EXPECT_EQ(Delivery_Failure(notice).Process(), E_FAIL);
  EXPECT_TRUE(traces.Has(0, "Error: malformed payload (MARSHAL)"));
  EXPECT_TRUE(clocks.Take().empty());
}

TEST(Receiver, QueuesTheNoticesAndEventsItHasProcessorsForAndDropsRefusedOnes)
{
  testsupport::TraceCapture traces;
  Receiver receiver(false, [] { return nullptr; }, [] {});
  ProcessingQueue& queue = ProcessingQueue::Instance();
  const std::size_t before = queue.Count();

  CorvexMessaging::Envelope undelivered = Envelope("Tz-GetStatus", {"R0"}, "PTLManagementService");
  undelivered.client_info.destination = "PC7.Agent";
  for (const char* type : {"MS-DeliveryFailed-Timeout", "MS-DeliveryFailed-Unrouteable"}) {
    CorvexMessaging::Envelope notice = Envelope(type, {"R0"});
    notice.client_info.custom_data <<= undelivered;
    receiver.Receive(notice);
  }
  EXPECT_EQ(queue.Count(), before + 2);

  // Unsealed router notices and an event without its payload are refused by their creators.
  receiver.Receive(Notice("Tz-RouterLogon", {"R0"}, "PC7"));
  receiver.Receive(Envelope("Tz-EntityEvent", {"R0"}, "PC7.Agent"));
  EXPECT_EQ(queue.Count(), before + 2);
  EXPECT_TRUE(traces.Has(0, "CreatorFn Caught (Not authorized)"));
  EXPECT_TRUE(traces.Has(0, "CreatorFn Caught (EntityEventMessage::EntityEventMessage() bad envelope, no AppEvent2.)"));
  EXPECT_TRUE(traces.Has(2, "NULL message for [Tz-EntityEvent], skipping"));
}
