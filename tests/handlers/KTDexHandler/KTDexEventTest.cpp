#include <gtest/gtest.h>

#include <cwctype>

#include "TestSupport.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "handlers/KTDexHandler/KTDexEvent.h"
#include "handlers/KTDexHandler/Namespaces.h"
#include "platform/text/Unicode.h"

using namespace KTDexHandler;
using HandlerUtils::timestamp_t;
using HandlerUtils::XMLException;

namespace {

std::string Event(const std::string& type, const std::string& body)
{
  return "<event xmlns=\"" + ToUtf8(kEventNamespace) + "\" type=\"" + type + "\"><timestamp>20240314 093015</timestamp>" + body +
         "</event>";
}

const std::string kUser = "<user><userId>jsmith</userId><domain>CORP</domain></user>";

std::string Infection(const std::string& parts)
{
  return Event("corvex.mgt.dex.virusDetectedEvent", kUser + "<infectionInfo>" + parts + "</infectionInfo>");
}

Event_t Read(const std::string& text)
{
  KTDexEvent event;
  event.Set(text);
  return event.GetEventData();
}

}  // namespace

TEST(KTDexEvent, VirusDetectedReadsLabelsInAnyCaseAndKeepsDefaultsForUnknownOnes)
{
  const Event_t e = Read(Infection("<virusType>Worm</virusType><virusName>W32/Kellan.B</virusName><item>C:\\a.exe</item>"
                                   "<scanType>OnDemand</scanType><actionTaken>Disinfected</actionTaken>"));
  EXPECT_EQ(e.type, kVirusDetectedEventType);
  EXPECT_EQ(e.timestamp.ToString(), L"20240314 093015");
  EXPECT_EQ(e.user, (user_t{L"jsmith", L"CORP"}));
  EXPECT_EQ(e.infectionInfo.virusType, VirusType::unknown);
  EXPECT_EQ(static_cast<LONG>(e.infectionInfo.actionTaken), 109);
  EXPECT_EQ(e.infectionInfo.scanType, ScanType::ondemand);
  EXPECT_EQ(e.infectionInfo.virusName, L"W32/Kellan.B");
  EXPECT_EQ(e.infectionInfo.item, L"C:\\a.exe");
}

TEST(KTDexEvent, VirusDetectedNeedsOnlyTheItem)
{
  const Event_t e = Read(Infection("<item>C:\\b.exe</item>"));
  EXPECT_EQ(e.infectionInfo, (virusInfectionInfo_t{VirusType::unknown, L"", L"C:\\b.exe", ScanType::unknown, VirusAction::unknown}));
  EXPECT_EQ(MessageOf<XMLException>([] { Read(Infection("<virusName>x</virusName>")); }), "Failed to find node from path: ev:item");
}

TEST(KTDexEvent, AbsentUserDomainAndScanNameReadEmpty)
{
  const Event_t e = Read(Event("corvex.mgt.dex.scanCompleteEvent", "<scanComplete><scanName>Weekly</scanName></scanComplete>"));
  EXPECT_EQ(e.user, user_t{});
  EXPECT_EQ(e.scanComplete.scanName, L"Weekly");
  EXPECT_EQ(Read(Event("x", "<user><userId>bob</userId></user>")).user, (user_t{L"bob", L""}));
  EXPECT_TRUE(Read(Event("corvex.mgt.dex.scanCompleteEvent", kUser + "<scanComplete/>")).scanComplete.scanName.empty());
}

TEST(KTDexEvent, UnlistedTypeRoundTripsWithTypeTimestampAndUserOnly)
{
  const std::string source = Event("corvex.mgt.dex.somethingNewEvent",
                                   kUser + "<appInfo><number>5</number><message/></appInfo><scanComplete><scanName>s</scanName></scanComplete>");
  KTDexEvent event;
  event.Set(source);
  const Event_t read = event.GetEventData();
  EXPECT_EQ(read.appInfo, appInfo_t{});
  EXPECT_EQ(read.scanComplete, scanComplete_t{});

  const std::string written = event.ToXML_UTF8();
  EXPECT_TRUE(InOrder(written, {"<event xmlns=\"http://schemas.corvex.example/KT/KTDexEvent\" type=\"corvex.mgt.dex.somethingNewEvent\">",
                                "<timestamp>20240314 093015</timestamp>",
                                "<user><userId>jsmith</userId><domain>CORP</domain></user></event>"}))
    << written;
  EXPECT_EQ(Read(written), read);
}

TEST(KTDexEvent, ApplicationEventRoundTripsWithInsertsInOrder)
{
  Event_t e;
  e.type = kAppEventType;
  e.timestamp = timestamp_t::FromString(L"20231231 235959");
  e.user = {L"svc", L""};
  e.appInfo.number = 2201;
  e.appInfo.message = {L"VirusDataOutOfDate", {L"2024.1", L"44", L""}};
  // Parts that this type does not carry are not written.
  e.scanComplete.scanName = L"ignored";

  KTDexEvent event;
  event.SetEventData(e);
  const std::string text = event.ToXML_UTF8();
  EXPECT_TRUE(InOrder(text, {"<timestamp>20231231 235959</timestamp>", "<user>", "<appInfo><number>2201</number><message>",
                             "<message_code>VirusDataOutOfDate</message_code>",
                             "<message_inserts><insert>2024.1</insert><insert>44</insert><insert/></message_inserts>"}))
    << text;
  EXPECT_EQ(text.find("scanComplete"), std::string::npos);

  e.scanComplete = {};
  EXPECT_EQ(Read(text), e);
  KTDexEvent wide;
  wide.Set(event.ToXML());
  EXPECT_EQ(wide.GetEventData(), e);
}

TEST(KTDexEvent, ApplicationNumberAboveTheSignedRangeKeepsItsBits)
{
  const Event_t e = Read(Event("corvex.mgt.entityAppEvent", "<appInfo><number>2147745792</number><message/></appInfo>"));
  EXPECT_EQ(static_cast<ULONG>(e.appInfo.number), 2147745792u);
  EXPECT_TRUE(e.appInfo.message.message_code.empty());
  EXPECT_EQ(MessageOf<XMLException>([] { Read(Event("corvex.mgt.entityAppEvent", "<appInfo><number>1</number></appInfo>")); }),
            "Failed to find node from path: ev:message");
  EXPECT_EQ(MessageOf<XMLException>([] { Read(Event("corvex.mgt.entityAppEvent", kUser)); }), "Failed to find node from path: ev:appInfo");
}

TEST(KTDexEvent, FailingSetKeepsTheHeldEvent)
{
  KTDexEvent event;
  event.Set(Event("corvex.mgt.dex.scanCompleteEvent", "<scanComplete><scanName>Daily</scanName></scanComplete>"));
  const Event_t before = event.GetEventData();

  const std::string badTime = "<event xmlns=\"" + ToUtf8(kEventNamespace) + "\" type=\"t\"><timestamp>20240314T093015</timestamp></event>";
  EXPECT_EQ(MessageOf<CorvexManagedEntity::MEInvalidException>([&] { event.Set(badTime); }),
            "InvalidXML: Badly formed timestamp string: 20240314T093015");
  const std::string noType = "<event xmlns=\"" + ToUtf8(kEventNamespace) + "\"><timestamp>20240314 093015</timestamp></event>";
  EXPECT_EQ(MessageOf<XMLException>([&] { event.Set(noType); }), "Failed to find node from path: ./@type");
  EXPECT_EQ(event.GetEventData(), before);

  event.Reset();
  EXPECT_TRUE(event.GetEventData().type.empty());
}

TEST(LabelMaps, EveryLabelButDoNothingIsLowerCaseSoThatItReadsBack)
{
  auto check = [](const auto& map, std::size_t size) {
    EXPECT_EQ(map.size(), size);
    for (const auto& [label, value] : map) {
      std::wstring lower = label;
      for (auto& c : lower)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
      EXPECT_EQ(lower == label, label != L"doNothing") << ToUtf8(label);
    }
  };
  check(GetScanLevelMap(), 2);
  check(GetActionMap(), 3);
  check(GetDaysMap(), 7);
  check(GetScanTypeMap(), 5);
  check(GetVirusActionMap(), 16);
  check(GetVirusTypeMap(), 3);
  check(GetLanguageMap(), 10);
}
