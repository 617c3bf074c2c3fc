#include <gtest/gtest.h>

#include "Samples.h"
#include "dexhandler/DexEvent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "tests/handlers/KTDexHandler/TestSupport.h"

using DexHandler::DexEvent;
using namespace KTDexHandler;

namespace {

Event_t ReadKT(const std::wstring& document)
{
  KTDexEvent event;
  event.Set(document);
  return event.GetEventData();
}

Event_t AppEvent()
{
  Event_t e;
  e.type = kAppEventType;
  e.timestamp = HandlerUtils::timestamp_t::FromString(L"20240316 071502");
  e.user = {L"SYSTEM", L"NT AUTHORITY"};
  e.appInfo = {2201, {L"VirusDataOutOfDate", {L"2024.02.01.001", L"44"}}};
  return e;
}

}  // namespace

TEST(DexEvent, ApplicationEventCarriesItsEntityInformation)
{
  DexEvent event;
  event.Set(Sample("event-app.xml"));
  std::wstring entityInfo;
  ASSERT_TRUE(event.GetEntityInfo(entityInfo));
  EXPECT_EQ(entityInfo, L"Corvex Anti-Virus scanner service");

  const std::wstring document = event.GetKTXML();
  EXPECT_EQ(document.find(L"entityInfo"), std::wstring::npos);
  EXPECT_EQ(ReadKT(document), AppEvent());
}

TEST(DexEvent, OtherEventsCarryNoEntityInformation)
{
  for (const char* name : {"event-virus-detected.xml", "event-scan-complete.xml"}) {
    DexEvent event;
    event.Set(Sample(name));
    std::wstring entityInfo = L"unchanged";
    EXPECT_FALSE(event.GetEntityInfo(entityInfo)) << name;
    EXPECT_EQ(entityInfo, L"unchanged");
    EXPECT_EQ(ReadKT(event.GetKTXML()), event.GetEventData()) << name;
  }

  // An application event without the element, and a virus event that has one, give none.
  DexEvent bare;
  bare.Set(DexEvent::ToAgentText(AppEvent()));
  std::wstring entityInfo;
  EXPECT_FALSE(bare.GetEntityInfo(entityInfo));
  std::string tagged = Sample("event-virus-detected.xml");
  tagged.insert(tagged.find("</event>"), "<entityInfo xmlns=\"http://schemas.corvex.example/EntityInfo\">x</entityInfo>");
  DexEvent virusWithInfo;
  virusWithInfo.Set(tagged);
  EXPECT_FALSE(virusWithInfo.GetEntityInfo(entityInfo));
}

TEST(DexEvent, AgentTextRoundTrips)
{
  DexEvent event;
  event.Set(DexEvent::ToAgentText(AppEvent(), std::wstring(L"scanner")));
  std::wstring entityInfo;
  ASSERT_TRUE(event.GetEntityInfo(entityInfo));
  EXPECT_EQ(entityInfo, L"scanner");
  EXPECT_EQ(event.GetEventData(), AppEvent());

  Event_t scan = AppEvent();
  scan.type = kScanCompleteEventType;
  EXPECT_EQ(DexEvent::ToAgentText(scan, std::wstring(L"not for this type")).find("entityInfo"), std::string::npos);
}

TEST(DexEvent, FailingSetKeepsWhatWasHeld)
{
  DexEvent event;
  std::wstring entityInfo;
  EXPECT_FALSE(event.GetEntityInfo(entityInfo));
  EXPECT_EQ(MessageOf<CorvexManagedEntity::MEException>([&] { event.GetKTXML(); }), "DexEvent holds no event");

  event.Set(Sample("event-app.xml"));
  std::string broken = Sample("event-app.xml");
  broken.replace(broken.find("20240316 071502"), 15, "2024-03-16 0715");
  EXPECT_THROW(event.Set(broken), CorvexManagedEntity::MEInvalidException);
  EXPECT_THROW(event.Set(std::string("not xml")), HandlerUtils::XMLException);
  EXPECT_EQ(event.GetEventData(), AppEvent());
  EXPECT_TRUE(event.GetEntityInfo(entityInfo));
}

TEST(Samples, StatusSampleReads)
{
  KTDexStatus status;
  status.Set(Sample("status.xml"));
  EXPECT_EQ(status.GetDetails().quarantine, 3);
  EXPECT_EQ(status.GetDetails().ideList.size(), 3u);
  EXPECT_TRUE(status.GetDetails().onAccess);
}
