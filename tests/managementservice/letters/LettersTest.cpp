// The letters against a real database: the address lookup, how each letter is filled (time to
// live read anew from the registry), what a failed lookup or a refused letter leads to.
#include <gtest/gtest.h>

#include "businesslogic/entities/Computer.h"
#include "idl/DEX_PTLMessages.hh"
#include "managementservice/letters/ComputerLetters.h"
#include "managementservice/letters/MsgsysAddress.h"
#include "resources/EventMessages.h"
#include "tests/managementservice/ServiceDatabase.h"

namespace {

class LettersTest : public ::testing::Test
{
protected:
  servicetest::ServiceDatabase m_service;
  servicetest::CapturedEvents m_events;
};

}  // namespace

TEST_F(LettersTest, EachLetterGoesToTheAgentWithTheTimeToLiveOfTheMoment)
{
  const CComputer pc = CComputer::CreateComputer("BRANCH1.PC7", L"PC7", L"CORP");
  std::string address;
  ASSERT_EQ(GetMsgsysAddress(pc.GetID(), address), S_OK);
  EXPECT_EQ(address, "BRANCH1.PC7");

  ASSERT_EQ(Refresh_Now(pc.GetID()).Process(), S_OK);
  m_service.SetServiceValue(L"MessageTimeoutSecs", 60);
  ASSERT_EQ(Override_Central_Config(pc.GetID(), false).Process(), S_OK);
  ASSERT_EQ(SendDoAction(pc.GetID(), "ALC", "<action/>", "c-1").Process(), S_OK);

  const auto sent = m_service.connection.Sent();
  ASSERT_EQ(sent.size(), 3u);
  for (const auto& m : sent) {
    EXPECT_STREQ(m.destination.in(), "BRANCH1.PC7.Agent");
    EXPECT_EQ(m.prio, 0);
    EXPECT_STREQ(m.delivery_options.in(), "");
  }
  EXPECT_STREQ(sent[0].type.in(), "Tz-GetStatus");
  EXPECT_EQ(sent[0].ttl, 1209600);
  CORBA::TypeCode_var empty = sent[0].custom_data.type();
  EXPECT_EQ(empty->kind(), CORBA::tk_null);

  EXPECT_STREQ(sent[1].type.in(), "Tz-ApplyCentralConfig");
  EXPECT_EQ(sent[1].ttl, 60);
  CORBA::Boolean apply = true;
  ASSERT_TRUE(sent[1].custom_data >>= CORBA::Any::to_boolean(apply));
  EXPECT_FALSE(apply);

  EXPECT_STREQ(sent[2].type.in(), "Tz-DoAction");
  const DEX_PTLMessages::DoActionContent* action = nullptr;
  ASSERT_TRUE(sent[2].custom_data >>= action);
  EXPECT_STREQ(action->entity.in(), "ALC");
  EXPECT_STREQ(action->correlationId.in(), "c-1");
  EXPECT_STREQ(action->action.in(), "<action/>");
  EXPECT_TRUE(m_events.All().empty());
}

TEST_F(LettersTest, AFailedAddressLookupSendsNothingAndReportsNothing)
{
  const CComputer unmanaged = CComputer::CreateComputer(L"BROWSED", L"CORP");
  const long unknown = unmanaged.GetID() + 1000;
  std::string address;
  const HRESULT notFound = GetMsgsysAddress(unknown, address);
  EXPECT_EQ(notFound, static_cast<HRESULT>(0x806B0027));  // return value 39
  EXPECT_EQ(Refresh_Now(unknown).Process(), notFound);
  EXPECT_EQ(SendDoAction(unknown, "ALC", "<action/>", "").Process(), notFound);
  EXPECT_EQ(Override_Central_Config(unmanaged.GetID(), true).Process(), static_cast<HRESULT>(0x806B002F));  // 47
  EXPECT_TRUE(m_service.connection.Sent().empty());
  EXPECT_TRUE(m_events.All().empty());
}

TEST_F(LettersTest, ALetterTheConnectionRefusesIsReportedOnceAsAWarning)
{
  const CComputer pc = CComputer::CreateComputer("PC9", L"PC9", L"CORP");
  m_service.connection.refuse = true;
  EXPECT_EQ(Refresh_Now(pc.GetID()).Process(), S_OK);
  EXPECT_EQ(m_service.connection.Sent().size(), 1u);  // not retried
  const auto seen = m_events.All();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].id, EVMSG_LETTER_NOT_ACCEPTED);
  EXPECT_EQ(seen[0].type, EVENTLOG_WARNING_TYPE);
  ASSERT_EQ(seen[0].strings.size(), 1u);
  EXPECT_EQ(seen[0].strings[0], L"PC9");
}
