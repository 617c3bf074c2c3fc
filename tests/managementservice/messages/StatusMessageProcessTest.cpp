// Applying status replies to a real database: the computer's details, connection state and
// arrival, its update configuration with the locations read from it, and the clocks.
#include <gtest/gtest.h>

#include <algorithm>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "managementservice/messages/ConnectedState.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "managementservice/messages/StatusMessage.h"
#include "resources/EventMessages.h"
#include "platform/text/Unicode.h"
#include "tests/managementservice/ServiceDatabase.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using namespace servicetest;
using Ticks = std::vector<VRN_Clock>;

class StatusMessageProcess : public ::testing::Test
{
protected:
  StatusMessageProcess()
  {
    StatusMessage::SetAuthoriser([](const CorvexMessaging::Envelope&) { return true; });
  }
  ~StatusMessageProcess() override { StatusMessage::SetAuthoriser({}); }

  HRESULT Apply(const CorvexMessaging::Envelope& reply) { return StatusMessage(reply).Process(); }
  ComputerDetails Details(const std::string& address)
  {
    ComputerDetails d;
    CComputer::GetFromMessageSystemAddress(address).GetComputerDetails(d);
    return d;
  }

  ServiceDatabase m_service;
};

}  // namespace

TEST_F(StatusMessageProcess, AFirstReplyMakesTheComputerWithWhatItReported)
{
  AgentDetails agent;
  agent.name = L"RECEPTION-WORKSTATION-NUMBER-0001-OF-THE-HQ";  // 43 characters
  agent.os = "LINUX";
  agent.ip = 0xC0A80A21;
  const std::string alc = AUSample("AUConfig-Tandem.xml");
  ASSERT_EQ(Apply(StatusReply("PC7", {{"Agent", Agent(agent)}, {"ALC", StatusAndConfig("", alc)}})), S_OK);
  // Membership first (a new computer), the computer's state last (however processing ends).
  Ticks ticks = m_service.clocks.Take();
  ASSERT_FALSE(ticks.empty());
  EXPECT_EQ(ticks.front(), 2);
  EXPECT_EQ(ticks.back(), 1);

  const CComputer pc = CComputer::GetFromMessageSystemAddress("PC7");
  const ComputerDetails d = Details("PC7");
  EXPECT_EQ(d.name, agent.name.substr(0, 31));
  EXPECT_EQ(d.domainName, L"CORP");
  EXPECT_EQ(d.operatingSystem, 0);
  EXPECT_EQ(d.ipAddress, 0xC0A80A21u);
  EXPECT_EQ(d.servicePack, L"Service Pack 2");
  EXPECT_EQ(d.description, L"front desk");
  EXPECT_EQ(d.lastLoggedOnUser, L"jsmith");
  EXPECT_EQ(d.connected, FlagYes);
  EXPECT_NE(d.lastMessageTime.status, DateTimeValue::null);
  EXPECT_EQ(d.primaryCID, L"HTTP://updates.hq.example:8080/corvex/kt/");
  EXPECT_EQ(pc.GetAUConfigXML(), FromUtf8(alc));

  // Known now: only the computer-state clock ticks; new details replace the old.
  agent.os = "WIN2003";
  ASSERT_EQ(Apply(StatusReply("PC7", {{"Agent", Agent(agent)}})), S_OK);
  ticks = m_service.clocks.Take();
  EXPECT_EQ(std::count(ticks.begin(), ticks.end(), 2), 0);
  EXPECT_EQ(ticks.back(), 1);
  EXPECT_EQ(Details("PC7").operatingSystem, 9);
  EXPECT_EQ(pc.GetAUConfigXML(), FromUtf8(alc));  // a reply without one leaves it as it was
}

TEST_F(StatusMessageProcess, ADisconnectedComputerReportingIsConnectedAgain)
{
  ASSERT_EQ(Apply(StatusReply("PC8", {{"Agent", Agent({})}})), S_OK);
  m_service.Database().Exec("UPDATE dbo.\"Computers\" SET \"Connected\" = false");
  EXPECT_EQ(Details("PC8").connected, FlagNo);
  ASSERT_EQ(Apply(StatusReply("PC8", {{"Agent", Agent({})}})), S_OK);
  EXPECT_EQ(Details("PC8").connected, FlagYes);
}

TEST_F(StatusMessageProcess, TheAntiVirusDocumentsReachTheDatabaseThroughTheSink)
{
  const std::string status = DexSample("status.xml");
  const std::string configuration = DexSample("configuration.xml");
  ASSERT_EQ(Apply(StatusReply("PC5", {{"Agent", Agent({})}, {"DEX", StatusAndConfig(status, configuration)}})), S_OK);
  ComputerDetails d = Details("PC5");
  EXPECT_EQ(d.dexInstalled, FlagYes);
  EXPECT_EQ(d.dexOnAccess, FlagYes);
  EXPECT_EQ(d.dexVersion, L"4.2.1.318");
  EXPECT_EQ(d.virusDataVersion, L"2024.03.14.002");
  EXPECT_FALSE(CComputer::GetFromMessageSystemAddress("PC5").GetDexConfigXML().empty());

  // Installed, not running: the status any is empty.
  ASSERT_EQ(Apply(StatusReply("PC5", {{"Agent", Agent({})}, {"DEX", CORBA::Any()}})), S_OK);
  d = Details("PC5");
  EXPECT_EQ(d.dexInstalled, FlagYes);
  EXPECT_EQ(d.dexOnAccess, FlagNo);

  // Gone from the computer.
  ASSERT_EQ(Apply(StatusReply("PC5", {{"Agent", Agent({})}})), S_OK);
  EXPECT_EQ(Details("PC5").dexInstalled, FlagNo);
}

TEST_F(StatusMessageProcess, AConfigurationTheSinkCannotReadFailsTheReplyAfterTheDetails)
{
  TraceLines traces;
  m_service.clocks.Take();
  ASSERT_EQ(Apply(StatusReply("PC6", {{"Agent", Agent({})}, {"DEX", StatusAndConfig("", "<config")}})), E_FAIL);
  EXPECT_TRUE(traces.Has("Caught exception: `", 0));
  // A new computer's membership, then the computer's state as processing ends: no check ran.
  EXPECT_EQ(m_service.clocks.Take(), (Ticks{2, 1}));
  // What came before the anti-virus documents is stored; the service goes on.
  EXPECT_EQ(Details("PC6").name, L"PC7");
  EXPECT_TRUE(CComputer::GetFromMessageSystemAddress("PC6").GetDexConfigXML().empty());
}

TEST_F(StatusMessageProcess, NamesAreStoredAsReportedEvenWithControlCharacters)
{
  // A reply and an event are refused only for what their handling names; an odd character in
  // a name is not among it.
  AgentDetails agent;
  agent.name = L"BELL\aPC";
  agent.domain = L"CO\tRP";
  ASSERT_EQ(Apply(StatusReply("PC10", {{"Agent", Agent(agent)}})), S_OK);
  EXPECT_EQ(Details("PC10").name, L"BELL\aPC");
  EXPECT_EQ(Details("PC10").domainName, L"CO\tRP");

  CorvexMessaging::Envelope e = MakeEnvelope("Tz-EntityEvent", "PC11.Agent");
  DEX_PTLMessages::AppEvent2 event;
  event.entity = "DEX";
  event.event = DexSample("event-virus-detected.xml").c_str();
  event.domain = L"CORP";
  event.computer_name = L"TAB\tPC";
  e.client_info.custom_data <<= event;
  ASSERT_EQ(EntityEventMessage(e).Process(), S_OK);
  EXPECT_EQ(Details("PC11").name, L"TAB\tPC");
}

TEST_F(StatusMessageProcess, AConnectionStateTheWrapperAnswersWithSFalseIsNoFailure)
{
  ASSERT_EQ(Apply(StatusReply("PC12", {{"Agent", Agent({L"PC12"})}})), S_OK);
  // The statement is refused with an integrity violation while the procedure delivered 0: the
  // wrapper answers S_FALSE, a success.
  m_service.Database().Exec(R"SQL(
CREATE FUNCTION dbo.test_refuse() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN RAISE unique_violation USING MESSAGE = 'refused for the test'; END $$;
CREATE TRIGGER test_refuse BEFORE UPDATE ON dbo."Computers" FOR EACH ROW EXECUTE FUNCTION dbo.test_refuse();
)SQL");
  CapturedEvents reports;
  TraceLines traces;
  EXPECT_EQ(UpdateComputerConnectedState("PC12", false), S_OK);
  for (const auto& r : reports.All())
    EXPECT_NE(r.id, EVMSG_FATAL_ERROR);
  EXPECT_FALSE(traces.Has("UpdateComputerConnectedState failed with", 0));
}
