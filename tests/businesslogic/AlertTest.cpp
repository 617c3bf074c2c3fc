// Alerts against a real server: both creation forms and their read-back with texts cut to their
// limits, the clock each change ticks, an envelope's alert stored once by its delivery key,
// marking alerts as dealt with, and the purge settings with the purge by age and by count they
// set off.
#include <gtest/gtest.h>

#include <ctime>
#include <optional>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/AlertDetails.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/oledate/OleDate.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

using Ticks = std::vector<VRN_Clock>;

// Records what an alert hands over.
struct Receiver : CAlertDetailsBase
{
  void SetVirusDetails(DATE time, const std::wstring& user, const std::wstring& name, LONG type, const std::wstring& item,
                       LONG scanner, LONG action, bool outstanding) override
  {
    virus.SetVirusDetails(time, user, name, type, item, scanner, action, outstanding);
  }
  void SetErrorDetails(const ErrorDetails& details) override { error = details; }

  Alerts::VirusAlertDetails virus;
  std::optional<ErrorDetails> error;
};

class AlertTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
    m_clocks.Take();
  }
  CAlertList Alerts(const CComputer& c)
  {
    CAlertList alerts;
    c.GetAlertList(alerts);
    return alerts;
  }
  std::string Query(const std::string& sql) { return m_db.Exec(sql).Text(0, 0); }
  // An alert of the computer, dated `daysAgo` days back.
  void AddOldAlert(const CComputer& c, int daysAgo)
  {
    c.CreateVirusDetectedAlert(LocalOleDateFromTimeT(std::time(nullptr)) - daysAgo, L"Old", 1, L"item", 1, 1, L"user");
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
  const DATE m_when = 45000.25;  // 15 March 2023, 06:00
};

TEST_F(AlertTest, ErrorAlertsStoreFiveInsertsCutToTheirLimitsAndReadBack)
{
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"DOMAIN");
  m_clocks.Take();
  pc.CreateErrorAlert(m_when, std::wstring(40, L's'), std::wstring(300, L'e'), std::wstring(300, L'u'), 2101, L"ScanAborted",
                      {L"Weekly", std::wstring(300, L'i')});
  EXPECT_EQ(m_clocks.Take(), (Ticks{1}));
  pc.CreateErrorAlert(m_when, L"DEX", L"", L"", 1, L"X", {L"1", L"2", L"3", L"4", L"5", L"6"});

  const CAlertList alerts = Alerts(pc);
  ASSERT_EQ(alerts.size(), 2u);
  Receiver first;
  alerts[0].GetAlertDetails(first);
  ASSERT_TRUE(first.error);
  EXPECT_FALSE(first.virus.detailsSet);
  EXPECT_DOUBLE_EQ(first.error->timeDetected, m_when);
  EXPECT_EQ(first.error->source, std::wstring(32, L's'));
  EXPECT_EQ(first.error->entityInfo, std::wstring(256, L'e'));
  EXPECT_EQ(first.error->userName, std::wstring(256, L'u'));
  EXPECT_EQ(first.error->number, 2101);
  EXPECT_EQ(first.error->messageCode, L"ScanAborted");
  EXPECT_EQ(first.error->inserts, (std::vector<std::wstring>{L"Weekly", std::wstring(256, L'i'), L"", L"", L""}));
  EXPECT_TRUE(first.error->outstanding);

  Receiver second;
  alerts[1].GetAlertDetails(second);
  ASSERT_TRUE(second.error);
  EXPECT_EQ(second.error->inserts, (std::vector<std::wstring>{L"1", L"2", L"3", L"4", L"5"})) << "a sixth insert is ignored";

  // The message code is not cut: one longer than the procedure takes is refused, nothing stored.
  EXPECT_THROW(pc.CreateErrorAlert(m_when, L"DEX", L"", L"", 1, std::wstring(257, L'c'), {}), std::runtime_error);
  EXPECT_EQ(Alerts(pc).size(), 2u);
}

TEST_F(AlertTest, VirusAlertsAreCutToTheirLimitsAndReadBackThroughTheVirusRecord)
{
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"DOMAIN");
  m_clocks.Take();
  CAlert::CreateVirusDetectedAlert(pc, m_when, std::wstring(40, L'v'), 3, std::wstring(300, L'i'), 4, 5, L"DOMAIN\\alice");
  EXPECT_EQ(m_clocks.Take(), (Ticks{1}));

  const CAlertList alerts = Alerts(pc);
  ASSERT_EQ(alerts.size(), 1u);
  Receiver details;
  alerts[0].GetAlertDetails(details);
  EXPECT_FALSE(details.error);
  const Alerts::VirusAlertDetails& virus = details.virus;
  ASSERT_TRUE(virus.detailsSet);
  EXPECT_DOUBLE_EQ(virus.timeDetected, m_when);
  EXPECT_EQ(virus.virusName, std::wstring(32, L'v'));
  EXPECT_EQ(virus.infectedItem, std::wstring(256, L'i'));
  EXPECT_EQ(virus.userName, L"DOMAIN\\alice");
  EXPECT_EQ(virus.virusType, 3);
  EXPECT_EQ(virus.scannerType, 4);
  EXPECT_EQ(virus.actionTaken, 5);
  EXPECT_TRUE(virus.outstanding);
}

TEST_F(AlertTest, AlertsForAComputerWithoutARowAreRefusedWithoutATick)
{
  const CComputer ghost(987654);
  try {
    ghost.CreateVirusDetectedAlert(m_when, L"EICAR", 1, L"item", 1, 1, L"user");
    FAIL() << "no exception";
  } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
    EXPECT_STREQ(e.what(), "Computer does not exist");
    ASSERT_TRUE(e.Computer());
    EXPECT_EQ(e.Computer()->GetID(), 987654);
  }
  EXPECT_THROW(ghost.CreateErrorAlert(m_when, L"DEX", L"", L"", 1, L"X", {}), vrn::Exceptions::ComputerDoesNotExist);
  EXPECT_THROW(ghost.MarkAlertsAsDealtWith(), vrn::Exceptions::ComputerDoesNotExist);
  EXPECT_TRUE(m_clocks.Take().empty());
  EXPECT_EQ(Query("SELECT count(*) FROM dbo.\"Alerts\""), "0");
}

TEST_F(AlertTest, AnEnvelopeNamedByItsDeliveryKeyStoresItsAlertOnce)
{
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"DOMAIN");
  auto alerts = [&] { return Query("SELECT count(*) FROM dbo.\"Alerts\""); };
  auto virus = [&](const std::string& key) {
    const CAlertEnvelopeScope once(key);
    pc.CreateVirusDetectedAlert(m_when, L"EICAR", 1, L"item", 1, 1, L"user");
  };
  virus("CVX_INBOX/1/7");
  virus("CVX_INBOX/1/7");  // delivered again after a crash
  {
    const CAlertEnvelopeScope again("CVX_INBOX/1/7");
    pc.CreateErrorAlert(m_when, L"DEX", L"", L"", 1, L"E1", {});
  }
  EXPECT_EQ(alerts(), "1");
  EXPECT_EQ(Query("SELECT \"OutstandingVirusAlerts\" + \"OutstandingErrorAlerts\" FROM dbo.\"Computers\""), "1");
  virus("CVX_INBOX/1/8");
  EXPECT_EQ(alerts(), "2");

  // No key (an envelope the library did not authorise) and no scope check nothing.
  virus("");
  virus("");
  pc.CreateVirusDetectedAlert(m_when, L"EICAR", 1, L"item", 1, 1, L"user");
  EXPECT_EQ(alerts(), "5");

  // A refused alert leaves no record behind, so its envelope still counts when it comes again.
  {
    const CAlertEnvelopeScope once("CVX_INBOX/1/9");
    EXPECT_THROW(CComputer(987654).CreateVirusDetectedAlert(m_when, L"EICAR", 1, L"item", 1, 1, L"user"),
                 vrn::Exceptions::ComputerDoesNotExist);
  }
  virus("CVX_INBOX/1/9");
  EXPECT_EQ(alerts(), "6");

  // The longest key the database holds is checked; a longer one, which the library never gives,
  // names no envelope rather than fail the alert.
  virus(std::string(255, 'k'));
  virus(std::string(255, 'k'));
  EXPECT_EQ(alerts(), "7");
  testsupport::TraceCapture traces;
  virus(std::string(256, 'k'));
  virus(std::string(256, 'k'));
  EXPECT_EQ(alerts(), "9");
  EXPECT_TRUE(traces.Has(0, "Delivery key of 256 characters is too long, the envelope goes unnamed"));
}

TEST_F(AlertTest, MarkingOneAlertOrAllAsDealtWith)
{
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"DOMAIN");
  const CComputer other = CComputer::CreateComputer(L"PC2", L"DOMAIN");
  for (int i = 0; i < 3; ++i)
    pc.CreateVirusDetectedAlert(m_when, L"EICAR", 1, L"item", 1, 1, L"user");
  other.CreateVirusDetectedAlert(m_when, L"EICAR", 1, L"item", 1, 1, L"user");
  const CAlertList alerts = Alerts(pc);
  const auto outstanding = [](const CAlert& alert) {
    Receiver details;
    alert.GetAlertDetails(details);
    return details.virus.outstanding;
  };
  m_clocks.Take();

  pc.MarkAlertsAsDealtWith(&alerts[1]);
  EXPECT_EQ(m_clocks.Take(), (Ticks{1}));
  EXPECT_TRUE(outstanding(alerts[0]));
  EXPECT_FALSE(outstanding(alerts[1]));

  // Another computer's alert is not this computer's to mark.
  EXPECT_THROW(other.MarkAlertsAsDealtWith(&alerts[0]), CSPException);
  EXPECT_TRUE(outstanding(alerts[0]));

  pc.MarkAlertsAsDealtWith();
  for (const CAlert& alert : alerts)
    EXPECT_FALSE(outstanding(alert));
  EXPECT_TRUE(outstanding(Alerts(other).at(0)));
}

TEST_F(AlertTest, PurgeSettingsRoundTripAndPurgeByAgeAndByCount)
{
  std::wstring company;
  PTLDB::AlertPurgeType method = -1;
  int months = -1, maximum = -1;
  CAlert::GetPurgeDetails(company, method, months, maximum);
  EXPECT_EQ(company, L"");
  EXPECT_EQ(method, 0);

  const CComputer pc = CComputer::CreateComputer(L"PC1", L"DOMAIN");
  AddOldAlert(pc, 200);
  AddOldAlert(pc, 100);
  for (int i = 0; i < 4; ++i)
    AddOldAlert(pc, 1);

  // By age: older than three months goes.
  const std::wstring name(256, L'c');
  CAlert::SetPurgeDetails(name, 1, 3, 0);
  CAlert::GetPurgeDetails(company, method, months, maximum);
  EXPECT_EQ(company, name);
  EXPECT_EQ(method, 1);
  EXPECT_EQ(months, 3);
  EXPECT_EQ(maximum, 0);
  EXPECT_EQ(Alerts(pc).size(), 4u);

  // By count: the newest two stay.
  CAlert::SetPurgeDetails(L"Example Ltd", 2, 3, 2);
  EXPECT_EQ(Alerts(pc).size(), 2u);

  // Refusals change nothing: a company name over 256 characters, a value out of range.
  try {
    CAlert::SetPurgeDetails(std::wstring(257, L'c'), 0, 1, 0);
    FAIL() << "no exception";
  } catch (const vrn::Exceptions::InvalidCompanyNameLength& e) {
    EXPECT_STREQ(e.what(), "Invalid company name");
    EXPECT_EQ(e.CompanyName().size(), 257u);
  }
  EXPECT_THROW(CAlert::SetPurgeDetails(L"Other", 9, 1, 0), CSPException);
  CAlert::GetPurgeDetails(company, method, months, maximum);
  EXPECT_EQ(method, 2);
  EXPECT_EQ(maximum, 2);
}

TEST_F(AlertTest, PurgeSettingsTraceAnyErrorBeforePassingItOn)
{
  // A return value that does not fit a 32-bit integer fails in the conversion of its value.
  m_db.Exec("DROP FUNCTION dbo.\"SetPurgeSettings\"");
  m_db.Exec("CREATE FUNCTION dbo.\"SetPurgeSettings\"(OUT \"@RETURN_VALUE\" bigint, \"@Method\" integer, "
            "\"@Months\" integer, \"@Maximum\" integer) LANGUAGE plpgsql AS $$ BEGIN \"@RETURN_VALUE\" := 10000000000; END $$");
  RenewDatabaseConnection();
  testsupport::TraceCapture traces;
  EXPECT_THROW(CAlert::SetPurgeDetails(L"Example Ltd", 1, 1, 0), WinRuntimeError);
  EXPECT_TRUE(traces.Has(0, "Caught exception WinRuntimeError : ")) << "traced before it is passed on";

  // A standard exception is traced with its type and text.
  m_db.Exec("DROP FUNCTION dbo.\"SetPurgeSettings\"");
  m_db.Exec("CREATE FUNCTION dbo.\"SetPurgeSettings\"(OUT \"@RETURN_VALUE\" integer, \"@Method\" integer, "
            "\"@Months\" integer, \"@Maximum\" integer) LANGUAGE plpgsql AS $$ BEGIN \"@RETURN_VALUE\" := 36; END $$");
  RenewDatabaseConnection();
  EXPECT_THROW(CAlert::SetPurgeDetails(L"Example Ltd", 1, 1, 0), CSPException);
  EXPECT_TRUE(traces.Has(0, "Caught exception CSPException : ErrorNotSupported"));
}

TEST_F(AlertTest, APurgeTheDatabaseCannotCarryOutIsPurgeFailed)
{
  m_db.Exec("CREATE OR REPLACE FUNCTION dbo.\"SetPurgeSettings\"(OUT \"@RETURN_VALUE\" integer, \"@Method\" integer, "
            "\"@Months\" integer, \"@Maximum\" integer) LANGUAGE plpgsql AS $$ BEGIN \"@RETURN_VALUE\" := 4; END $$");
  RenewDatabaseConnection();
  try {
    CAlert::SetPurgeDetails(L"Example Ltd", 1, 1, 0);
    FAIL() << "no exception";
  } catch (const vrn::Exceptions::PurgeFailed& e) {
    EXPECT_STREQ(e.what(), "Alert Purge Failed");
  }
}

}  // namespace
