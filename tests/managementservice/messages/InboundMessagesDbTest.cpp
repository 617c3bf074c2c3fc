// The router's notices and the delivery failures processed against a real database: they set a
// computer's connected state and tick the computer-state clock, whether or not the computer
// exists. (Events are applied end to end in tests/e2e/service.)
#include <gtest/gtest.h>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/PTLSession.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/Computer.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/DeliveryFailure.h"
#include "managementservice/messages/MessageSession.h"
#include "managementservice/messages/RouterMessage.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

using Ticks = std::vector<VRN_Clock>;

class OrbEnvironment : public ::testing::Environment
{
public:
  void SetUp() override
  {
    int argc = 0;
    orb = CORBA::ORB_init(argc, nullptr);
  }
  void TearDown() override { orb->destroy(); }
  CORBA::ORB_var orb;
};
const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

CorvexMessaging::Envelope Envelope(const char* type, const char* originator)
{
  CorvexMessaging::Envelope e;
  e.originator = originator;
  e.message_id = 7;
  e.client_info.type = type;
  e.client_info.destination = "PTLManagementService";
  e.client_info.delivery_options = "";
  e.timestamps.length(1);
  e.timestamps[0].name = "corvex-router";
  e.timestamps[0].utc_time = 1700000000;
  return e;
}

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
    SetMessageSession(nullptr);
    m_session.Close();
  }

  HRESULT Notice(const char* type, const char* computer)
  {
    CorvexMessaging::Envelope e = Envelope(type, "corvex-router");
    e.client_info.custom_data <<= computer;
    return RouterMessage(e, &Authorised).Process();
  }
  HRESULT Undelivered(const char* type, const char* destination)
  {
    CorvexMessaging::Envelope letter = Envelope("Tz-GetStatus", "PTLManagementService");
    letter.client_info.destination = destination;
    CorvexMessaging::Envelope notice = Envelope(type, "corvex-router");
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

TEST_F(InboundMessages, TheAlertOfAnEnvelopeDeliveredAgainIsStoredOnce)
{
  CComputer pc9 = CComputer::CreateComputer("PC9", L"PC9", L"CORP");
  auto alerts = [&] {
    return m_db.Exec("SELECT count(*) FROM dbo.\"Alerts\" a JOIN dbo.\"Computers\" c USING (\"ComputerID\") "
                     "WHERE c.\"ComputerName\" = 'PC9'").Text(0, 0);
  };
  auto apply = [&](const std::string& originator, long id) {
    const CAlertEnvelopeScope once(originator, id);
    CAlert::CreateVirusDetectedAlert(pc9, 45000.0, L"EICAR", 0, L"x", 0, 0, L"");
  };
  apply("PC9.Agent", 7);
  EXPECT_EQ(alerts(), "1");
  apply("PC9.Agent", 7);  // the same envelope, delivered again after a crash
  EXPECT_EQ(alerts(), "1");
  EXPECT_EQ(Column("PC9", "OutstandingVirusAlerts"), "1");
  {
    const CAlertEnvelopeScope again("PC9.Agent", 7);
    CAlert::CreateErrorAlert(pc9, 45000.0, L"DEX", L"", L"", 1, L"E1", {});
  }
  EXPECT_EQ(alerts(), "1");

  // Another envelope, or the same id from another sender, is another event.
  apply("PC9.Agent", 8);
  apply("PC9", 7);
  EXPECT_EQ(alerts(), "3");

  // A refused alert leaves no record behind, so the envelope still counts when it comes again.
  CComputer gone = CComputer::CreateComputer("GONE", L"GONE", L"CORP");
  m_db.Exec("UPDATE dbo.\"Computers\" SET \"Deleted\" = true WHERE \"ComputerName\" = 'GONE'");
  {
    const CAlertEnvelopeScope once("PC9.Agent", 9);
    EXPECT_ANY_THROW(CAlert::CreateVirusDetectedAlert(gone, 45000.0, L"EICAR", 0, L"x", 0, 0, L""));
  }
  apply("PC9.Agent", 9);
  EXPECT_EQ(alerts(), "4");

  // Alerts made outside an envelope are never taken for repeats.
  CAlert::CreateVirusDetectedAlert(pc9, 45000.0, L"EICAR", 0, L"x", 0, 0, L"");
  CAlert::CreateVirusDetectedAlert(pc9, 45000.0, L"EICAR", 0, L"x", 0, 0, L"");
  EXPECT_EQ(alerts(), "6");
}
