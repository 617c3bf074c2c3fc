// Messages that name a computer another address manages: refused without touching it, reported
// once per sending address, and never fatal to the service (a stranger must not be able to stop
// it by naming a known computer).
#include <gtest/gtest.h>

#include <vector>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "managementservice/messages/StatusMessage.h"
#include "platform/eventlog/EventLog.h"
#include "resources/EventMessages.h"
#include "tests/managementservice/ServiceDatabase.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using namespace servicetest;

class AddressClaim : public ::testing::Test
{
protected:
  AddressClaim() { StatusMessage::SetAuthoriser([](const CorvexMessaging::Envelope&) { return true; }); }
  ~AddressClaim() override { StatusMessage::SetAuthoriser({}); }

  HRESULT Status(const std::string& address, const std::wstring& name, const std::wstring& comment)
  {
    AgentDetails agent;
    agent.name = name;
    agent.comment = comment;
    return StatusMessage(StatusReply(address, {{"Agent", Agent(agent)}})).Process();
  }
  HRESULT Event(const std::string& address, const std::wstring& name)
  {
    CorvexMessaging::Envelope e = MakeEnvelope("Tz-EntityEvent", (address + ".Agent").c_str());
    DEX_PTLMessages::AppEvent2 event;
    event.entity = "DEX";
    event.event = DexSample("event-virus-detected.xml").c_str();
    event.domain = L"CORP";
    event.computer_name = name.c_str();
    e.client_info.custom_data <<= event;
    return EntityEventMessage(e).Process();
  }
  ComputerDetails Details(const std::string& address)
  {
    ComputerDetails d;
    CComputer::GetFromMessageSystemAddress(address).GetComputerDetails(d);
    return d;
  }

  ServiceDatabase m_service;
};

}  // namespace

TEST_F(AddressClaim, AStatusReplyNamingAnotherAddresssComputerIsRefusedAndReportedOnce)
{
  ASSERT_EQ(Status("claim.PC7", L"PC7", L"the real one"), S_OK);
  const long id = CComputer::GetFromMessageSystemAddress("claim.PC7").GetID();

  CapturedEvents captured;
  // Refused, not thrown: a COM error here would end the service.
  EXPECT_EQ(Status("claim.INTRUDER", L"pc7", L"mine now"), E_FAIL);
  EXPECT_EQ(Status("claim.INTRUDER", L"PC7", L"mine now"), E_FAIL);
  EXPECT_EQ(CComputer::GetFromMessageSystemAddress("claim.PC7").GetID(), id);
  EXPECT_EQ(Details("claim.PC7").description, L"the real one");
  EXPECT_FALSE(CComputer::IsMessageSystemAddressRegistered("claim.INTRUDER"));

  const std::vector<EventRecord> warnings = captured.OfType(EVENTLOG_WARNING_TYPE);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find(L"claim.INTRUDER"), std::wstring::npos) << warnings[0].text;
  EXPECT_NE(warnings[0].text.find(L"pc7"), std::wstring::npos) << warnings[0].text;
  EXPECT_EQ(captured.OfType(EVENTLOG_WARNING_TYPE).size(), 1u);
  for (const auto& e : captured.All())
    EXPECT_NE(e.id, EVMSG_FATAL_ERROR) << e.text;

  // Another stranger is reported in its turn; the real computer still reports.
  EXPECT_EQ(Status("claim.OTHER", L"PC7", L"x"), E_FAIL);
  EXPECT_EQ(captured.OfType(EVENTLOG_WARNING_TYPE).size(), 2u);
  EXPECT_EQ(Status("claim.PC7", L"PC7", L"still me"), S_OK);
  EXPECT_EQ(Details("claim.PC7").description, L"still me");
}

TEST_F(AddressClaim, AnEventNamingAnotherAddresssComputerStoresNoAlert)
{
  ASSERT_EQ(Status("event.PC9", L"PC9", L"real"), S_OK);
  CapturedEvents captured;
  EXPECT_EQ(Event("event.INTRUDER", L"PC9"), E_FAIL);
  EXPECT_EQ(m_service.Sql("SELECT count(*) FROM dbo.\"Alerts\""), "0");
  EXPECT_FALSE(CComputer::IsMessageSystemAddressRegistered("event.INTRUDER"));
  ASSERT_EQ(captured.OfType(EVENTLOG_WARNING_TYPE).size(), 1u);
  EXPECT_NE(captured.OfType(EVENTLOG_WARNING_TYPE)[0].text.find(L"event.INTRUDER"), std::wstring::npos);

  // The computer's own events are applied as before.
  EXPECT_EQ(Event("event.PC9", L"PC9"), S_OK);
  EXPECT_EQ(m_service.Sql("SELECT count(*) FROM dbo.\"Alerts\""), "1");
}

TEST_F(AddressClaim, AComputerFoundByBrowsingIsBoundToItsAgentsFirstAddress)
{
  const long browsed = CComputer::CreateComputer(L"BROWSED7", L"CORP").GetID();
  CapturedEvents captured;
  ASSERT_EQ(Status("bind.BROWSED7", L"BROWSED7", L"agent installed"), S_OK);
  EXPECT_EQ(CComputer::GetFromMessageSystemAddress("bind.BROWSED7").GetID(), browsed);
  EXPECT_TRUE(captured.OfType(EVENTLOG_WARNING_TYPE).empty());
}
