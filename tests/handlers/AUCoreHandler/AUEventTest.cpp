#include <gtest/gtest.h>

#include "TestSupport.h"
#include "handlers/AUCoreHandler/AUEvent.h"
#include "handlers/AUCoreHandler/AutoUpdateActions.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "platform/text/Unicode.h"

using namespace AUCoreHandler;
using HandlerUtils::timestamp_t;

namespace {

}  // namespace

TEST(AUEvent, ReadsAFailedUpdate)
{
  AUEvent event;
  event.Set(ReadSample("AUEvent-UpdateFailed.xml"));
  const Event_t data = event.GetEventData();
  EXPECT_EQ(data.type, L"corvex.mgt.entityAppEvent");
  EXPECT_EQ(data.timestamp, timestamp_t::FromString(L"20240311 081502"));
  EXPECT_EQ(data.user.userId, L"SYSTEM");
  EXPECT_EQ(data.user.domain, L"NT AUTHORITY");
  EXPECT_EQ(data.appInfo.number, 103);
  EXPECT_EQ(data.appInfo.message_inserts, (std::vector<std::wstring>{L"http://updates.hq.example:8080/corvex/kt", L"0x80041F00"}));
  std::wstring info;
  EXPECT_TRUE(event.GetEntityInfo(info));
  EXPECT_EQ(info, L"ALC 3.2.0.114 on PC7 (Windows XP SP2)");
}

TEST(AUEvent, OptionalPartsReadEmpty)
{
  AUEvent event;
  event.Set(ReadSample("AUEvent-UpdateComplete.xml"));
  const Event_t data = event.GetEventData();
  EXPECT_EQ(data.type, L"corvex.mgt.au.updateCompleteEvent");
  EXPECT_EQ(data.user, user_t{}) << "no user element: empty userId and domain";
  EXPECT_EQ(data.appInfo.message_inserts, std::vector<std::wstring>{L"4.87.1203"});
  std::wstring info = L"unchanged";
  EXPECT_FALSE(event.GetEntityInfo(info));

  // A user without a domain.
  event.Set(Replace(ReadSample("AUEvent-UpdateFailed.xml"), "<domain>NT AUTHORITY</domain>", ""));
  EXPECT_EQ(event.GetEventData().user, (user_t{L"SYSTEM", L""}));
}

TEST(AUEvent, RefusedDocumentsKeepTheHeldEvent)
{
  AUEvent event;
  event.Set(ReadSample("AUEvent-UpdateFailed.xml"));
  const Event_t before = event.GetEventData();

  const std::string noAppInfo = Replace(Replace(ReadSample("AUEvent-UpdateComplete.xml"), "<appInfo>", "<appData>"), "</appInfo>", "</appData>");
  EXPECT_EQ(ErrorOf<HandlerUtils::XMLException>([&] { event.Set(noAppInfo); }), "Failed to find node from path: ./ae:appInfo");
  EXPECT_EQ(ErrorOf<CorvexManagedEntity::MEInvalidException>(
                [&] { event.Set(Replace(ReadSample("AUEvent-UpdateComplete.xml"), "20240311 091233", "2024-03-11T09:12:33")); }),
            "InvalidXML: Badly formed timestamp string: 2024-03-11T09:12:33");
  EXPECT_EQ(ErrorOf<HandlerUtils::XMLException>([&] { event.Set(Replace(ReadSample("AUEvent-UpdateComplete.xml"), ">0<", ">none<")); })
                .rfind("Int extraction failed for ae:number", 0),
            0u);
  EXPECT_THROW(event.Set(std::string("<event")), HandlerUtils::XMLException);
  EXPECT_EQ(event.GetEventData(), before);
}

TEST(AUEvent, WritesWhatItReads)
{
  Event_t data;
  data.type = L"corvex.mgt.entityAppEvent";
  data.timestamp = timestamp_t::FromString(L"20240101 000001");
  data.user = {L"jsmith", L"BRANCH1"};
  data.appInfo.number = -5;
  data.appInfo.message_inserts = {L"first <one>", L"", L"Grüße"};
  AUEvent event;
  event.SetEventData(data);
  event.SetEntityInfo(L"ALC on PC7");

  const std::string text = event.ToKTXML_UTF8();
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
  const auto timestamp = text.find("<timestamp>20240101 000001</timestamp>");
  const auto user = text.find("<user><userId>jsmith</userId><domain>BRANCH1</domain></user>");
  const auto appInfo = text.find("<appInfo><number>-5</number><message><message_inserts><insert>first &lt;one&gt;</insert><insert/>");
  const auto entityInfo = text.find("<entityInfo xmlns=\"http://schemas.corvex.example/EntityInfo\">ALC on PC7</entityInfo></event>");
  EXPECT_NE(text.find("<event xmlns=\"http://schemas.corvex.example/KT/AUEvent\" type=\"corvex.mgt.entityAppEvent\">"), std::string::npos)
      << text;
  ASSERT_NE(timestamp, std::string::npos) << text;
  ASSERT_NE(user, std::string::npos) << text;
  ASSERT_NE(appInfo, std::string::npos) << text;
  ASSERT_NE(entityInfo, std::string::npos) << text;
  EXPECT_LT(timestamp, user);
  EXPECT_LT(user, appInfo);
  EXPECT_LT(appInfo, entityInfo);

  AUEvent reread;
  reread.Set(text);
  EXPECT_EQ(reread.GetEventData(), data);
  std::wstring info;
  EXPECT_TRUE(reread.GetEntityInfo(info));
  EXPECT_EQ(info, L"ALC on PC7");

  const std::wstring wide = event.ToKTXML();
  EXPECT_EQ(wide.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>", 0), 0u);
  AUEvent fromWide;
  fromWide.Set(Replace(ToUtf8(wide), "utf-16", "utf-8"));
  EXPECT_EQ(fromWide.GetEventData(), data);

  event.Reset();
  EXPECT_FALSE(event.GetEntityInfo(info));
  EXPECT_EQ(event.GetEventData().appInfo, appInfo_t{});
}

TEST(AutoUpdateActions, TheTwoFixedTexts)
{
  const AutoUpdateActions actions;
  EXPECT_EQ(actions.ToXML_UTF8(ALCClearUpdateErrorState),
            "<?xml version='1.0'?><action type=\"corvex.mgt.action.ALCClearUpdateErrorState\"/>");
  EXPECT_EQ(actions.ToXML_UTF8(ALCForceUpdate), "<?xml version='1.0'?><action type=\"corvex.mgt.action.ALCForceUpdate\"/>");
  EXPECT_EQ(ErrorOf<CorvexManagedEntity::MEException>([&] { actions.ToXML_UTF8(static_cast<AutoUpdateActionType>(2)); }),
            "Invalid auto update action type");
  EXPECT_THROW(actions.ToXML_UTF8(static_cast<AutoUpdateActionType>(-1)), CorvexManagedEntity::MEException);
}
