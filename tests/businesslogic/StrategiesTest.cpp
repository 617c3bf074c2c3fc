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
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"
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
