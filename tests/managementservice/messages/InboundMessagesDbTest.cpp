// The router's notices and the delivery failures processed against a real database: they set a
// computer's connected state and tick the computer-state clock, whether or not the computer
// exists. An event's alert is stored once per delivery key. (Events are applied end to end in
// tests/e2e/service.)
#include <gtest/gtest.h>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/PTLSession.h"
#include "businesslogic/entities/Computer.h"
#include "idl/DEX_PTLMessages.hh"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/DeliveryFailure.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "managementservice/messages/MessageSession.h"
#include "managementservice/messages/RouterMessage.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/OrbEnvironment.h"
#include "tests/managementservice/ServiceTestSupport.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using Ticks = std::vector<VRN_Clock>;

const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new servicetest::OrbEnvironment);

bool Authorised(const CorvexMessaging::Envelope&) { return true; }

class InboundMessages : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
    m_session.Open();
    SetMessageSession(&m_session);
  }
  void TearDown() override
  {
    ReceivedMessage::SetDeliveryKeySource({});
    SetMessageSession(nullptr);
    m_session.Close();
  }

  HRESULT Notice(const char* type, const char* computer)
  {
    CorvexMessaging::Envelope e = servicetest::RoutedEnvelope(type, "corvex-router");
    e.client_info.custom_data <<= computer;
    return RouterMessage(e, &Authorised).Process();
  }
  HRESULT Undelivered(const char* type, const char* destination)
  {
    CorvexMessaging::Envelope letter = servicetest::RoutedEnvelope("Tz-GetStatus", "PTLManagementService");
    letter.client_info.destination = destination;
    CorvexMessaging::Envelope notice = servicetest::RoutedEnvelope(type, "corvex-router");
    notice.client_info.custom_data <<= letter;
    return Delivery_Failure(notice).Process();
  }
  std::string Column(const std::string& name, const std::string& column)
  {
    const auto r = m_db.Exec("SELECT coalesce(\"" + column + "\"::text, 'NULL') FROM dbo.\"Computers\" WHERE \"ComputerName\" = '" +
                             name + "'");
    return r.Rows() == 0 ? "(none)" : r.Text(0, 0);
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
  CPTLSession m_session{TRACE_MANAGEMENTSERVICE};
};

}  // namespace

TEST_F(InboundMessages, RouterNoticesSetTheConnectedStateAndTheArrival)
{
  CComputer::CreateComputer("PC1", L"PC1", L"CORP");
  m_clocks.Take();
  EXPECT_EQ(Notice("Tz-RouterLogon", "PC1"), S_OK);
  EXPECT_EQ(Column("PC1", "Connected"), "true");
  EXPECT_NE(Column("PC1", "LastMessageTime"), "NULL");
  EXPECT_EQ(m_clocks.Take(), Ticks{1});
  EXPECT_EQ(Notice("Tz-RouterLogoff", "PC1"), S_OK);
  EXPECT_EQ(Column("PC1", "Connected"), "false");

  // An address no computer has: the procedure's answer and the failed lookup are logged, the
  // result is a failure, and the clock still ticks.
  testsupport::TraceCapture traces;
  m_clocks.Take();
  EXPECT_EQ(Notice("Tz-RouterLogoff", "NOBODY"), E_FAIL);
  EXPECT_TRUE(traces.Has(0, "UpdateComputerConnectedState return value 48"));
  EXPECT_TRUE(traces.Has(0, "comp[NOBODY].MessageRecieved()  The computer is not managed address :NOBODY"));
  EXPECT_EQ(m_clocks.Take(), Ticks{1});
}

TEST_F(InboundMessages, AnUndeliveredLetterMarksItsComputerNotConnected)
{
  CComputer::CreateComputer("PC2", L"PC2", L"CORP");
  ASSERT_EQ(Notice("Tz-RouterLogon", "PC2"), S_OK);
  m_clocks.Take();
  EXPECT_EQ(Undelivered("MS-DeliveryFailed-Timeout", "PC2.Agent"), S_OK);
  EXPECT_EQ(Column("PC2", "Connected"), "false");
  EXPECT_EQ(m_clocks.Take(), Ticks{1});

  // A destination without an entity is the computer's address itself.
  ASSERT_EQ(Notice("Tz-RouterLogon", "PC2"), S_OK);
  EXPECT_EQ(Undelivered("MS-DeliveryFailed-Unrouteable", "PC2"), S_OK);
  EXPECT_EQ(Column("PC2", "Connected"), "false");

  m_clocks.Take();
  EXPECT_EQ(Undelivered("MS-DeliveryFailed-Unrouteable", "GHOST.Agent"), E_FAIL);
  EXPECT_EQ(m_clocks.Take(), Ticks{1});
}

TEST_F(InboundMessages, AnEventsAlertIsStoredOncePerDeliveryKey)
{
  std::string key;
  ReceivedMessage::SetDeliveryKeySource([&](const CorvexMessaging::Envelope&) { return key; });
  // Every envelope is the same: one virus found on PC9, message id 7 from PC9.Agent.
  auto deliver = [&](const std::string& deliveryKey) {
    key = deliveryKey;
    CorvexMessaging::Envelope e = servicetest::RoutedEnvelope("Tz-EntityEvent", "PC9.Agent");
    DEX_PTLMessages::AppEvent2 event;
    event.entity = "DEX";
    event.event = servicetest::DexSample("event-virus-detected.xml").c_str();
    event.domain = L"CORP";
    event.computer_name = L"PC9";
    e.client_info.custom_data <<= event;
    return EntityEventMessage(e).Process();
  };
  auto alerts = [&] { return m_db.Exec("SELECT count(*) FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2").Text(0, 0); };

  EXPECT_EQ(deliver("CVX_INBOX/1/41"), S_OK);
  EXPECT_EQ(deliver("CVX_INBOX/1/41"), S_OK);  // the same letter again, after a crash
  EXPECT_EQ(alerts(), "1");
  EXPECT_EQ(Column("PC9", "OutstandingVirusAlerts"), "1");
  // The same originator and message id in another letter (the router's counter started again)
  // is another event.
  EXPECT_EQ(deliver("CVX_INBOX/1/90"), S_OK);
  EXPECT_EQ(alerts(), "2");
  // No key, as for an envelope the library did not authorise: nothing to check against.
  EXPECT_EQ(deliver(""), S_OK);
  EXPECT_EQ(deliver(""), S_OK);
  EXPECT_EQ(alerts(), "4");
}
