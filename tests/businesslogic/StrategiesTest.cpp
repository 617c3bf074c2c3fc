// The message sink against a real database: what the anti-virus and library-server strategies
// store from status and configuration documents, what they refuse and leave untouched, the
// group configuration entity, and what events become.
#include <gtest/gtest.h>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/entities/DexConfiguration.h"
#include "businesslogic/entities/TzLibraryServer.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "businesslogic/strategies/MessageSink.h"
#include "dexhandler/DexEvent.h"
#include "handlers/AUCoreHandler/AUEvent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"
#include "platform/oledate/OleDate.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

KTDexHandler::KTDexStatusDetails SampleStatus()
{
  KTDexHandler::KTDexStatusDetails s;
  s.productId = L"DEX";
  s.productVersion = L"4.2.1.318";
  s.onAccess = true;
  s.quarantine = 3;
  s.virusEngineVersion = L"3.17.0";
  s.virusDataVersion = L"2024.03.14.002";
  s.ideChecksum = L"9F3A61C2";
  s.ideList = {L"a.ide", L"b.ide"};
  return s;
}

std::string StatusText(const KTDexHandler::KTDexStatusDetails& details)
{
  KTDexHandler::KTDexStatus status;
  status.SetDetails(details);
  return status.ToXML_UTF8();
}

// A configuration that differs from the defaults, as the agent sends it.
KTDexHandler::KTDexConfiguration SampleConfiguration()
{
  KTDexHandler::KTDexConfiguration c;
  KTDexHandler::config_t values = c.GetConfig();
  values.entity.entityInfo = L"Anti-virus on PC1";
  values.onAccessScan.extensions.userDefined = {L"js"};
  c.SetConfig(values);
  return c;
}

TzLibHandler::TzLibraryStatusImpl LibraryStatus(const std::wstring& path)
{
  TzLibHandler::TzLibraryStatusImpl status;
  status.SetUpdateLocations({{TzLibHandler::DEXKTXP, L"4.87", true, path}});
  status.SetPackages({{TzLibHandler::DEXKTXP, L"4.87", L"3.17.0", L"2024.05.02.001", L"4C1D07A9", 1210}});
  return status;
}

// The scratch database, registered and connected before the fixture's computer is made.
struct ConnectedDatabase
{
  ConnectedDatabase()
  {
    registry.SetLocation(L".", L"", db.WideName());
    RenewDatabaseConnection();
  }
  testsupport::TempRegistry registry;
  testsupport::TestDatabase db;
};

class Strategies : public ::testing::Test
{
protected:
  ComputerDetails Details(const CComputer& c)
  {
    ComputerDetails d;
    c.GetComputerDetails(d);
    return d;
  }
  std::string Column(const CComputer& c, const std::string& column)
  {
    return m_db.Exec("SELECT \"" + column + "\" FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + std::to_string(c.GetID()))
      .Text(0, 0);
  }

  ConnectedDatabase m_connected;
  testsupport::TestDatabase& m_db = m_connected.db;
  testsupport::TestClocks m_clocks;
  const CComputer m_pc = CComputer::CreateComputer("PC1", L"PC1", L"CORP");
  const vrn::CMessageSink m_sink{m_pc};
};

}  // namespace

TEST_F(Strategies, AntiVirusStatusFollowsTheAvailabilityAndTheConfigurationIsStoredAsReported)
{
  const KTDexHandler::KTDexConfiguration configuration = SampleConfiguration();
  m_sink.ProcessMessage("DEX", StatusText(SampleStatus()), configuration.ToXML_UTF8(), vrn::InstalledAndReporting);
  ComputerDetails d = Details(m_pc);
  EXPECT_EQ(d.dexInstalled, FlagYes);
  EXPECT_EQ(d.dexOnAccess, FlagYes);
  EXPECT_EQ(d.dexVersion, L"4.2.1.318");
  EXPECT_EQ(d.virusDataVersion, L"2024.03.14.002");
  EXPECT_EQ(d.ideNumber, 2);
  KTDexHandler::KTDexConfiguration stored;
  stored.Set(m_pc.GetDexConfigXML());
  EXPECT_EQ(stored.GetConfig(), configuration.GetConfig());

  // Not running: installed, on-access off, the versions kept.
  m_sink.ProcessMessage("DEX", "", "", vrn::InstalledNotRunning);
  d = Details(m_pc);
  EXPECT_EQ(d.dexInstalled, FlagYes);
  EXPECT_EQ(d.dexOnAccess, FlagNo);
  EXPECT_EQ(d.dexVersion, L"4.2.1.318");

  m_sink.ProcessMessage("DEX", "", "", vrn::NotInstalled);
  d = Details(m_pc);
  EXPECT_EQ(d.dexInstalled, FlagNo);
  EXPECT_EQ(d.dexOnAccess, FlagUnknown);
  EXPECT_EQ(d.dexVersion, L"");
  EXPECT_EQ(d.ideNumber, 0);
}

TEST_F(Strategies, AConfigurationThatDoesNotReadLeavesTheWholeMessageUnwritten)
{
  EXPECT_THROW(m_sink.ProcessMessage("DEX", StatusText(SampleStatus()), "<config", vrn::InstalledAndReporting), std::exception);
  EXPECT_EQ(Details(m_pc).dexInstalled, FlagUnknown);
  EXPECT_EQ(m_pc.GetDexConfigXML(), L"");

  // A version longer than its column is refused before anything of the status is stored.
  KTDexHandler::KTDexStatusDetails long_ = SampleStatus();
  long_.productVersion.assign(129, L'9');
  EXPECT_THROW(m_sink.ProcessMessage("DEX", StatusText(long_), "", vrn::InstalledAndReporting), std::runtime_error);
  EXPECT_EQ(Details(m_pc).dexInstalled, FlagUnknown);

  // Invalid UTF-8 in the status text does not read either.
  std::string broken = StatusText(SampleStatus());
  broken.replace(broken.find("4.2.1.318"), 1, "\xC3\x28");
  EXPECT_THROW(m_sink.ProcessMessage("DEX", broken, "", vrn::InstalledAndReporting), std::exception);
  EXPECT_EQ(Details(m_pc).dexInstalled, FlagUnknown);
}

TEST_F(Strategies, ALibraryServerStatusIsValidatedStoredAndReadBack)
{
  using vrn::Entitys::CTzLibraryServer;
  const CTzLibraryServer server(m_pc);
  TzLibHandler::TzLibraryStatusImpl read;
  EXPECT_THROW(server.GetStatus(read), vrn::Exceptions::TzLibraryServerDoesNotExist);

  // A location that is not a UNC path is never stored.
  EXPECT_THROW(m_sink.ProcessMessage("TzLib", LibraryStatus(L"http://lib/dex").ToXML_UTF8(), "", vrn::InstalledAndReporting),
               CorvexManagedEntity::MEInvalidException);
  EXPECT_THROW(server.GetStatus(read), vrn::Exceptions::TzLibraryServerDoesNotExist);
  EXPECT_TRUE(CTzLibraryServer::GetTzLibraryServers().empty());

  const TzLibHandler::TzLibraryStatusImpl status = LibraryStatus(L"\\\\PC1\\TzLib\\DEXKTXP\\latest");
  m_sink.ProcessMessage("TzLib", status.ToXML_UTF8(), "", vrn::InstalledAndReporting);
  server.GetStatus(read);
  EXPECT_TRUE(read == status);
  const auto servers = CTzLibraryServer::GetTzLibraryServers();
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(servers.front().MakeComputer().GetID(), m_pc.GetID());

  try {
    CTzLibraryServer(m_pc.GetID() + 1000).GetStatus(read);
    ADD_FAILURE() << "no exception";
  } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
    EXPECT_STREQ(e.what(), "Computer does not exist");
  }
}

TEST_F(Strategies, AGroupWithoutAConfigurationGivesTheDefaultsAndKeepsWhatIsSet)
{
  using vrn::Entitys::CDexConfiguration;
  const LONG group = std::stol(m_db.Exec("SELECT \"@GroupID\" FROM dbo.\"AddGroup\"(NULL, 'Sales')").Text(0, 0));
  KTDexHandler::KTDexConfiguration read = SampleConfiguration();
  CDexConfiguration(group).Get(read);
  EXPECT_EQ(read.GetConfig(), KTDexHandler::KTDexConfiguration().GetConfig());

  CDexConfiguration(group).Set(SampleConfiguration());
  CDexConfiguration(group).Get(read);
  EXPECT_EQ(read.GetConfig(), SampleConfiguration().GetConfig());

  // A computer's configuration is its group's; a computer of no group has the defaults.
  CDexConfiguration(m_pc).Get(read);
  EXPECT_EQ(read.GetConfig(), KTDexHandler::KTDexConfiguration().GetConfig());
  m_db.Exec("SELECT * FROM dbo.\"AddComputerToGroup\"(" + std::to_string(m_pc.GetID()) + ", " + std::to_string(group) + ")");
  EXPECT_EQ(CDexConfiguration(m_pc).GetID(), group);
  CDexConfiguration(m_pc).Get(read);
  EXPECT_EQ(read.GetConfig(), SampleConfiguration().GetConfig());
}

namespace {

constexpr std::time_t kWhen = 1733480000;  // the events' timestamp

KTDexHandler::Event_t DexEventOf(const std::wstring& type, const std::wstring& domain = L"CORP")
{
  KTDexHandler::Event_t e;
  e.type = type;
  e.timestamp = HandlerUtils::timestamp_t(OleDateFromTimeT(kWhen));
  e.user = {L"anna", domain};
  return e;
}

std::string VirusEvent(const std::wstring& domain)
{
  KTDexHandler::Event_t e = DexEventOf(KTDexHandler::kVirusDetectedEventType, domain);
  e.infectionInfo = {KTDexHandler::VirusType::identity, L"W32/Kellan.B", L"C:\\invoice.pdf.exe", KTDexHandler::ScanType::onaccess,
                     KTDexHandler::VirusAction::move};
  return DexHandler::DexEvent::ToAgentText(e);
}

std::string AppEvent(const std::optional<std::wstring>& entityInfo)
{
  KTDexHandler::Event_t e = DexEventOf(KTDexHandler::kAppEventType);
  e.appInfo = {2201, {L"VirusDataOutOfDate", {L"2024.05.02.001", L"12"}}};
  return DexHandler::DexEvent::ToAgentText(e, entityInfo);
}

std::string UpdateEvent(const std::wstring& type)
{
  AUCoreHandler::Event_t e;
  e.type = type;
  e.timestamp = HandlerUtils::timestamp_t(OleDateFromTimeT(kWhen));
  e.user = {L"SYSTEM", L"NT AUTHORITY"};
  e.appInfo = {103, {L"http://updates", L"0x80041F00"}};
  AUCoreHandler::AUEvent document;
  document.SetEventData(e);
  document.SetEntityInfo(L"ALC 3.2 on PC1");
  return document.ToKTXML_UTF8();
}

}  // namespace

TEST_F(Strategies, VirusEventsBecomeVirusAlertsWithTheUserAsDomainAndName)
{
  m_sink.ProcessEventMessage("DEX", VirusEvent(L"CORP"));
  m_sink.ProcessEventMessage("DEX", VirusEvent(L""));
  const ComputerDetails d = Details(m_pc);
  ASSERT_EQ(d.virusAlerts.size(), 2u);
  // Newest first; both carry the event's own time, not the time of arrival.
  const auto& withDomain = d.virusAlerts[1];
  EXPECT_EQ(withDomain.userName, L"CORP\\anna");
  EXPECT_EQ(d.virusAlerts[0].userName, L"anna");
  EXPECT_EQ(withDomain.virusName, L"W32/Kellan.B");
  EXPECT_EQ(withDomain.infectedItem, L"C:\\invoice.pdf.exe");
  EXPECT_EQ(withDomain.virusType, 302);
  EXPECT_EQ(withDomain.scannerType, 201);
  EXPECT_EQ(withDomain.actionTaken, 105);
  EXPECT_NEAR(withDomain.timeDetected, OleDateFromTimeT(kWhen), 1.0 / 86400);
  EXPECT_TRUE(withDomain.outstanding);
  EXPECT_EQ(m_clocks.Take().back(), 1);
}

TEST_F(Strategies, ApplicationEventsBecomeErrorAlertsOnlyWithTheirEntityInformation)
{
  testsupport::TraceCapture traces;
  m_sink.ProcessEventMessage("DEX", AppEvent(std::nullopt));
  EXPECT_TRUE(traces.Has(0, "No entity info in Dex event"));
  EXPECT_TRUE(Details(m_pc).errorAlerts.empty());

  m_sink.ProcessEventMessage("DEX", AppEvent(L"Scanner service on PC1"));
  m_sink.ProcessEventMessage("ALC", UpdateEvent(KTDexHandler::kAppEventType));
  const ComputerDetails d = Details(m_pc);
  ASSERT_EQ(d.errorAlerts.size(), 2u);
  const auto& dex = d.errorAlerts[1];
  EXPECT_EQ(dex.source, L"DEX");
  EXPECT_EQ(dex.entityInfo, L"Scanner service on PC1");
  EXPECT_EQ(dex.userName, L"CORP\\anna");
  EXPECT_EQ(dex.number, 2201);
  EXPECT_EQ(dex.messageCode, L"VirusDataOutOfDate");
  ASSERT_GE(dex.inserts.size(), 2u);
  EXPECT_EQ(dex.inserts[0], L"2024.05.02.001");
  EXPECT_EQ(dex.inserts[1], L"12");
  // The update component's alert: no entity information and no message code.
  const auto& alc = d.errorAlerts[0];
  EXPECT_EQ(alc.source, L"ALC");
  EXPECT_EQ(alc.entityInfo, L"");
  EXPECT_EQ(alc.messageCode, L"");
  EXPECT_EQ(alc.number, 103);
  EXPECT_EQ(alc.userName, L"NT AUTHORITY\\SYSTEM");
  ASSERT_GE(alc.inserts.size(), 2u);
  EXPECT_EQ(alc.inserts[1], L"0x80041F00");
}

TEST_F(Strategies, AScanSetsTheLastScanAndOtherEventsChangeNothing)
{
  KTDexHandler::Event_t scan = DexEventOf(KTDexHandler::kScanCompleteEventType);
  scan.scanComplete.scanName = L"Weekly full scan";
  m_sink.ProcessEventMessage("DEX", DexHandler::DexEvent::ToAgentText(scan));
  ComputerDetails d = Details(m_pc);
  EXPECT_EQ(d.lastScanName, L"Weekly full scan");
  EXPECT_NEAR(d.lastScanDateTime.date, OleDateFromTimeT(kWhen), 1.0 / 86400);

  m_sink.ProcessEventMessage("DEX", DexHandler::DexEvent::ToAgentText(DexEventOf(KTDexHandler::kUpdateCompleteEventType)));
  m_sink.ProcessEventMessage("ALC", UpdateEvent(KTDexHandler::kUpdateCompleteEventType));
  d = Details(m_pc);
  EXPECT_TRUE(d.virusAlerts.empty());
  EXPECT_TRUE(d.errorAlerts.empty());
  EXPECT_EQ(d.lastScanName, L"Weekly full scan");

  // A message code longer than its column refuses the alert and stores nothing.
  KTDexHandler::Event_t error = DexEventOf(KTDexHandler::kAppEventType);
  error.appInfo.message.message_code.assign(300, L'X');
  EXPECT_THROW(m_sink.ProcessEventMessage("DEX", DexHandler::DexEvent::ToAgentText(error, L"Scanner")), std::runtime_error);
  EXPECT_TRUE(Details(m_pc).errorAlerts.empty());
}
