// Decoding a status reply: what each entity contributes, what is skipped, and every refusal.
#include <gtest/gtest.h>

#include <memory>

#include "managementservice/messages/StatusMessage.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using namespace servicetest;

class StatusMessageDecoding : public ::testing::Test
{
protected:
  void SetUp() override
  {
    StatusMessage::SetAuthoriser([this](const CorvexMessaging::Envelope&) { return m_authorised; });
  }
  void TearDown() override { StatusMessage::SetAuthoriser({}); }

  // The refusal's text, or "" when the reply is accepted.
  std::string Refusal(const CorvexMessaging::Envelope& e)
  {
    try {
      StatusMessage m(e);
    } catch (const std::exception& ex) {
      return ex.what();
    }
    return "";
  }

  bool m_authorised = true;
};

}  // namespace

TEST_F(StatusMessageDecoding, TakesEachEntityItKnowsAndSkipsTheRest)
{
  TraceLines traces;
  const std::string alc = AUSample("AUConfig-Tandem.xml");
  AgentDetails details;
  details.name = std::wstring(40, L'N');
  StatusMessage m(StatusReply("PC7", {{"Unknown", CORBA::Any()},
                                      {"Agent", Agent(details)},
                                      {"DEX", StatusAndConfig("<status/>", "<config/>")},
                                      {"ALC", StatusAndConfig("", alc)},
                                      {"TzLib", StatusAndConfig("<lib/>", "")}}));
  EXPECT_TRUE(traces.Has("Processor for [Unknown] not found, skipping !"));
  EXPECT_TRUE(traces.Has("Agent_status has 5 in sequence."));
  EXPECT_EQ(m.Address(), "PC7");
  EXPECT_EQ(m.ComputerName(), details.name);  // cut to the parameter's size when stored, not here
  EXPECT_EQ(m.Domain(), L"CORP");
  EXPECT_EQ(m.OperatingSystem(), "WINXP");
  EXPECT_EQ(m.IpAddress(), 0x0A000007u);
  EXPECT_EQ(m.LastLoggedOnUser(), L"jsmith");
  EXPECT_EQ(m.DexAvailability(), 1);
  EXPECT_EQ(m.DexStatus(), "<status/>");
  EXPECT_EQ(m.DexConfiguration(), "<config/>");
  EXPECT_EQ(m.AUConfiguration(), alc);
  EXPECT_EQ(m.PrimaryLocation(), L"HTTP://updates.hq.example:8080/corvex/kt/");
  EXPECT_TRUE(m.LibraryPresent());
  EXPECT_EQ(m.LibraryStatus(), "<lib/>");
  EXPECT_EQ(m.LibraryConfiguration(), "");
}

TEST_F(StatusMessageDecoding, AnEmptyAntiVirusStatusMeansInstalledButNotActive)
{
  StatusMessage emptyAny(StatusReply("PC7", {{"Agent", Agent({})}, {"DEX", CORBA::Any()}}));
  EXPECT_EQ(emptyAny.DexAvailability(), 2);
  StatusMessage emptyText(StatusReply("PC7", {{"Agent", Agent({})}, {"DEX", StatusAndConfig("", "<config/>")}}));
  EXPECT_EQ(emptyText.DexAvailability(), 2);
  EXPECT_EQ(emptyText.DexConfiguration(), "<config/>");
  StatusMessage none(StatusReply("PC7", {{"Agent", Agent({})}}));
  EXPECT_EQ(none.DexAvailability(), 0);
  EXPECT_FALSE(none.LibraryPresent());
}

TEST_F(StatusMessageDecoding, RefusesWhatIsNotAnAgentsWholeStatus)
{
  CORBA::Any text;
  text <<= "not a status";
  const auto agent = std::make_pair(std::string("Agent"), Agent({}));
  EXPECT_EQ(Refusal(StatusReply("PC7", {{"DEX", StatusAndConfig("<s/>", "")}})), "No computer name");
  EXPECT_EQ(Refusal(StatusReply("PC7", {{"Agent", text}})), "Bad AppStatus (no ComputerStatus, i.e. Agent) !");
  EXPECT_EQ(Refusal(StatusReply("PC7", {agent, {"DEX", text}})), "Bad AppStatus (not DEX_PTLMessages::StatusAndConfig) !");
  EXPECT_EQ(Refusal(StatusReply("PC7", {agent, {"ALC", text}})), "Bad AppStatus (not an ALCStatus) !");
  EXPECT_EQ(Refusal(StatusReply("PC7", {agent, {"TzLib", text}})), "");  // ignored, not refused
  EXPECT_NE(Refusal(StatusReply("PC7", {agent, {"ALC", StatusAndConfig("", "<AUConfig")}})), "");

  CorvexMessaging::Envelope router = MakeEnvelope("Tz-GetStatus-Reply", "ROUTER");
  CorvexMessaging::Status routerStatus;
  routerStatus.name = "ROUTER";
  routerStatus.parentRouter = "";
  routerStatus.loggedOn = true;
  router.client_info.custom_data <<= routerStatus;
  EXPECT_EQ(Refusal(router), "Should not get a router message");
  CorvexMessaging::Envelope nothing = MakeEnvelope("Tz-GetStatus-Reply", "PC7.Agent");
  EXPECT_EQ(Refusal(nothing), "Bad Agent_status !");

  // Control characters in a name are not among the refusals: the name is kept as reported.
  AgentDetails escaped;
  escaped.name = L"PC7\x1b[31m";
  escaped.domain = L"CORP\n";
  EXPECT_EQ(Refusal(StatusReply("PC7", {{"Agent", Agent(escaped)}})), "");
  EXPECT_EQ(StatusMessage(StatusReply("PC7", {{"Agent", Agent(escaped)}})).ComputerName(), L"PC7\x1b[31m");

  // Found by fuzzing: payloads that name a type but do not read as one.
  CorvexMessaging::Envelope impostor = MakeEnvelope("Tz-GetStatus-Reply", "PC7.Agent");
  impostor.client_info.custom_data = Impostor(DEX_PTLMessages::_tc_AgentStatus);
  EXPECT_EQ(Refusal(impostor), "malformed payload (MARSHAL)");
  EXPECT_EQ(Refusal(StatusReply("PC7", {{"Agent", Impostor(DEX_PTLMessages::_tc_ComputerStatus2)}})), "malformed payload (MARSHAL)");
  EXPECT_EQ(Refusal(StatusReply("PC7", {agent, {"DEX", Impostor(DEX_PTLMessages::_tc_StatusAndConfig)}})),
            "malformed payload (MARSHAL)");

  m_authorised = false;
  EXPECT_EQ(Refusal(StatusReply("PC7", {agent})), "Not authorized");
}

TEST_F(StatusMessageDecoding, TheCreatorDropsAReplyWithoutAnAgentStatus)
{
  TraceLines traces;
  CorvexMessaging::Envelope router = MakeEnvelope("Tz-GetStatus-Reply", "ROUTER");
  CorvexMessaging::Status routerStatus;
  routerStatus.name = "ROUTER";
  routerStatus.parentRouter = "";
  routerStatus.loggedOn = true;
  router.client_info.custom_data <<= routerStatus;
  EXPECT_EQ(CreatorFn<StatusMessage>(router), nullptr);
  EXPECT_TRUE(traces.Has("CreatorFn Caught (Invalid envelope for Tz-GetStatus-Reply)"));
  std::unique_ptr<DecodedMessage> ok(CreatorFn<StatusMessage>(StatusReply("PC7", {{"Agent", Agent({})}})));
  EXPECT_NE(dynamic_cast<StatusMessage*>(ok.get()), nullptr);
}

TEST(StatusMessageTables, OperatingSystemNamesAndUnknownOnesGiveZero)
{
  EXPECT_EQ(StatusMessage::OperatingSystemCode("WIN95"), 1);
  EXPECT_EQ(StatusMessage::OperatingSystemCode("WINNT4SERVER"), 5);
  EXPECT_EQ(StatusMessage::OperatingSystemCode("WIN2003"), 9);
  EXPECT_EQ(StatusMessage::OperatingSystemCode("MACOSX"), 11);
  EXPECT_EQ(StatusMessage::OperatingSystemCode("winxp"), 0);
  EXPECT_EQ(StatusMessage::OperatingSystemCode("LINUX"), 0);
  EXPECT_EQ(StatusMessage::OperatingSystemCode(""), 0);
}
