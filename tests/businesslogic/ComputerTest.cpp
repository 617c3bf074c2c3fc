// CComputer against a real server through the process-wide connection: addresses at and over
// their limit, the answers for unknown and deleted computers, the creation forms with the clocks
// they tick, and the operations that record and read what a computer reported.
#include <gtest/gtest.h>

#include <ctime>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Dex.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "platform/oledate/OleDate.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

using Ticks = std::vector<VRN_Clock>;
using vrn::Exceptions::ComputerDoesNotExist;

class ComputerTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
  }
  std::string Column(const CComputer& c, const std::string& column)
  {
    return m_db.Exec("SELECT \"" + column + "\" FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + std::to_string(c.GetID()))
      .Text(0, 0);
  }
  std::string Count() { return m_db.Exec("SELECT count(*) FROM dbo.\"Computers\"").Text(0, 0); }
  void Delete(const CComputer& c)
  {
    ASSERT_EQ(m_db.Exec("SELECT \"@RETURN_VALUE\" FROM dbo.\"DeleteComputers\"('" + std::to_string(c.GetID()) + "')").Text(0, 0),
              "0");
  }
  // Replaces a procedure's body in this test's database, keeping its parameters.
  void Replace(const std::string& procedure, const std::string& parameters, const std::string& body)
  {
    m_db.Exec("CREATE OR REPLACE FUNCTION dbo.\"" + procedure + "\"(" + parameters + ") LANGUAGE plpgsql AS $$ BEGIN " + body +
              " END $$");
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
};

// " (computer N)" for the computer an exception names.
std::string Of(const std::optional<CComputer>& c) { return c ? " (computer " + std::to_string(c->GetID()) + ")" : ""; }

// The message of the exception the call throws, followed by the computer it names, if any.
template <class Exception, class Call>
std::string MessageOf(Call call)
{
  try {
    call();
  } catch (const Exception& e) {
    if constexpr (requires { e.Computer(); })
      return e.what() + Of(e.Computer());
    else
      return e.what();
  }
  return "no exception";
}

// Longer addresses never reach the database (see the unit tests).
TEST_F(ComputerTest, AnAddressOf255CharactersIsStoredAndFound)
{
  const std::string at(255, 'a');
  const CComputer pc = CComputer::CreateComputer(at, L"PC1", L"WORKGROUP");
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_TRUE(CComputer::IsMessageSystemAddressRegistered(at));
  EXPECT_EQ(CComputer::GetFromMessageSystemAddress(at).GetID(), pc.GetID());
  std::string address;
  pc.GetMessageSystemAddress(address);
  EXPECT_EQ(address, at);
}

TEST_F(ComputerTest, UnknownAndDeletedAddressesAreNotRegistered)
{
  const CComputer pc = CComputer::CreateComputer("PC1", L"PC1", L"WORKGROUP");
  Delete(pc);
  // 48: nobody has the address; 39: its computer was deleted.
  EXPECT_FALSE(CComputer::IsMessageSystemAddressRegistered("NOBODY"));
  EXPECT_FALSE(CComputer::IsMessageSystemAddressRegistered("PC1"));

  EXPECT_EQ(MessageOf<vrn::Exceptions::UnknownMessageSystemAddress>([] { CComputer::GetFromMessageSystemAddress("NOBODY"); }),
            "The computer is not managed address :NOBODY");
  EXPECT_EQ(MessageOf<ComputerDoesNotExist>([] { CComputer::GetFromMessageSystemAddress("PC1"); }), "Computer does not exist");

  // Any other answer of the procedure is an error of its own.
  Replace("GetCompFromMessageSystemAddressStr",
          "OUT \"@RETURN_VALUE\" integer, \"@MessageSystemAddress\" dbo.nvarchar_255, OUT \"@ComputerID\" integer",
          "\"@RETURN_VALUE\" := 35;");
  EXPECT_EQ(MessageOf<CSPException>([] { CComputer::IsMessageSystemAddressRegistered("NOBODY"); }),
            CSPException(35).what());
  EXPECT_EQ(MessageOf<CSPException>([] { CComputer::GetFromMessageSystemAddress("NOBODY"); }), CSPException(35).what());
}

TEST_F(ComputerTest, AComputerFromItsAddressTicksUnlessItWasKnownAndStayed)
{
  const CComputer browsed = CComputer::CreateComputer(L"PC1", L"WORKGROUP");
  m_clocks.Take();

  // The computer of that name gets the address.
  const CComputer pc = CComputer::CreateComputer("PC1", L"pc1", L"OTHER");
  EXPECT_EQ(pc.GetID(), browsed.GetID());
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  // The address is registered: the same computer, nothing to tell the consoles.
  EXPECT_EQ(CComputer::CreateComputer("PC1", L"RENAMED", L"OTHER").GetID(), pc.GetID());
  EXPECT_TRUE(m_clocks.Take().empty());
  // A deleted computer reporting again comes back with its id.
  Delete(pc);
  EXPECT_EQ(CComputer::CreateComputer("PC1", L"PC1", L"WORKGROUP").GetID(), pc.GetID());
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_EQ(Column(pc, "Deleted"), "f");

  // A new computer, its 40-character name stored as the first 31.
  const CComputer fresh = CComputer::CreateComputer("PC2", std::wstring(40, L'n'), std::wstring(130, L'd'));
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_EQ(Column(fresh, "ComputerName"), std::string(31, 'n'));
  EXPECT_EQ(Column(fresh, "DomainName"), std::string(128, 'd'));

  EXPECT_EQ(MessageOf<CSPException>([] { CComputer::CreateComputer("PC3", L"", L"WORKGROUP"); }), CSPException(1).what());
  EXPECT_TRUE(m_clocks.Take().empty());
  EXPECT_EQ(Count(), "2");
}

TEST_F(ComputerTest, ExistingNamesGiveTheirComputerOrRefuseAUniqueOneAndTickEitherWay)
{
  testsupport::TraceCapture traces;
  const std::wstring longName(40, L'x');
  const CComputer pc = CComputer::CreateComputer(longName, L"WORKGROUP", L"first", 6);
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_EQ(Column(pc, "ComputerName"), std::string(31, 'x'));

  // Names match on their first 31 characters.
  EXPECT_EQ(CComputer::CreateComputer(longName + L"other", L"D", L"second", 7).GetID(), pc.GetID());
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_TRUE(traces.Has(2, "Computer with that name already exists retrieveing the ID"));
  EXPECT_EQ(CComputer::CreateComputer(longName, L"D").GetID(), pc.GetID());
  EXPECT_TRUE(m_clocks.Take().empty());  // the short form tells only of a new computer

  EXPECT_EQ(MessageOf<vrn::Exceptions::ComputerAlreadyInAnotherGroup>(
              [&] { CComputer::CreateComputerUnique(longName, L"D", L"third", 8); }),
            "The computer is already member of another group");
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_TRUE(traces.Has(2, "Computer with that name already exists, throwing exception "
                            "vrn::Exceptions::ComputerAlreadyInAnotherGroup"));
  CComputer::CreateComputerUnique(L"PC2", L"D", L"", 9);
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 1}));
  EXPECT_EQ(Count(), "2");
}

TEST_F(ComputerTest, WhatAComputerReportsIsStoredAndReadBackInItsDetails)
{
  const CComputer pc = CComputer::CreateComputer("PC1", L"PC1", L"WORKGROUP");
  m_clocks.Take();

  pc.UpdateComputerDescriptionAndOS(8, L"reception desk");
  EXPECT_EQ(m_clocks.Take(), (Ticks{1}));
  pc.SetLastScanTime(45413.5, std::wstring(70, L's'));
  EXPECT_EQ(m_clocks.Take(), (Ticks{1}));
  const std::time_t before = std::time(nullptr);
  pc.MessageRecieved();
  const std::time_t after = std::time(nullptr);
  EXPECT_TRUE(m_clocks.Take().empty());

  ComputerDetails d;
  pc.GetComputerDetails(d);
  EXPECT_TRUE(d.managed);
  EXPECT_EQ(std::tie(d.description, d.operatingSystem), std::make_tuple(std::wstring(L"reception desk"), 8));
  EXPECT_EQ(std::make_tuple(d.lastScanDateTime.date, d.lastScanDateTime.status), std::make_tuple(45413.5, DateTimeValue::valid));
  EXPECT_EQ(d.lastScanName, std::wstring(64, L's'));
  ASSERT_EQ(d.lastMessageTime.status, DateTimeValue::valid);
  // Local time, to the second.
  EXPECT_GE(d.lastMessageTime.date, LocalOleDateFromTimeT(before) - 1e-6);
  EXPECT_LE(d.lastMessageTime.date, LocalOleDateFromTimeT(after) + 1e-6);

}

TEST_F(ComputerTest, OperationsOnAComputerWithoutARowNameThatComputer)
{
  const CComputer pc = CComputer::CreateComputer("PC1", L"PC1", L"WORKGROUP");
  const CComputer browsed = CComputer::CreateComputer(L"PC2", L"WORKGROUP");
  Delete(pc);
  m_clocks.Take();

  std::string address = "unchanged";
  EXPECT_EQ(MessageOf<ComputerDoesNotExist>([&] { pc.GetMessageSystemAddress(address); }), "Computer does not exist" + Of(pc));
  EXPECT_EQ(MessageOf<vrn::Exceptions::ComputerNotManaged>([&] { browsed.GetMessageSystemAddress(address); }),
            "The computer is not managed" + Of(browsed));
  EXPECT_EQ(address, "unchanged");
  EXPECT_EQ(MessageOf<ComputerDoesNotExist>([&] { pc.SetLastScanTime(45413.5, L"Full"); }), "Computer does not exist" + Of(pc));
  ComputerDetails d;
  EXPECT_EQ(MessageOf<ComputerDoesNotExist>([&] { pc.GetComputerDetails(d); }),
            "Computer not found in database when trying to get computer details" + Of(pc));
  EXPECT_EQ(MessageOf<CSPException>([&] { pc.MessageRecieved(); }), CSPException(39).what());
  EXPECT_TRUE(m_clocks.Take().empty());
}

TEST_F(ComputerTest, AlertListsHoldTheComputersOwnAlertsInOrder)
{
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"WORKGROUP");
  const CComputer other = CComputer::CreateComputer(L"PC2", L"WORKGROUP");
  for (const CComputer* c : {&pc, &other, &pc})
    m_db.Exec("SELECT dbo.\"AddVirusAlert\"(" + std::to_string(c->GetID()) + ", localtimestamp::timestamp, 'u', 'EICAR', 1, 'i', 2, 3)");
  const auto ids = m_db.Exec("SELECT \"AlertID\" FROM dbo.\"Alerts\" WHERE \"ComputerID\" = " + std::to_string(pc.GetID()) +
                             " ORDER BY 1");

  CAlertList alerts;
  alerts.emplace_back(12345);
  pc.GetAlertList(alerts);
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(std::to_string(alerts[0].GetID()) + "," + std::to_string(alerts[1].GetID()), ids.Text(0, 0) + "," + ids.Text(1, 0));

  Delete(other);
  EXPECT_EQ(MessageOf<CSPException>([&] { other.GetAlertList(alerts); }), CSPException(39).what());
  EXPECT_TRUE(alerts.empty());
}

TEST_F(ComputerTest, ConfigurationsAreTheOneStoredRowOrEmptyWithoutAnException)
{
  testsupport::TraceCapture traces;
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"WORKGROUP");
  EXPECT_EQ(pc.GetAUConfigXML(), L"");  // none reported: one NULL row
  EXPECT_EQ(pc.GetDexConfigXML(), L"");
  m_db.Exec("SELECT dbo.\"UpdateComputerDexConfig\"(" + std::to_string(pc.GetID()) + ", '<config>é</config>')");
  m_db.Exec("SELECT dbo.\"UpdateComputerAUConfig\"(" + std::to_string(pc.GetID()) + ", '<AUConfigurations/>', 'p', 's')");
  EXPECT_EQ(pc.GetDexConfigXML(), L"<config>é</config>");
  EXPECT_EQ(pc.GetAUConfigXML(), L"<AUConfigurations/>");
  EXPECT_FALSE(traces.Has(1, "Got "));

  const CComputer nobody(pc.GetID() + 1000);
  EXPECT_EQ(nobody.GetAUConfigXML(), L"");
  EXPECT_TRUE(traces.Has(1, "Got return code 39 from dbo.ComputerGetAUConfig()"));
  EXPECT_EQ(nobody.GetDexConfigXML(), L"");
  EXPECT_TRUE(traces.Has(1, "Got return code 39 from dbo.ComputerGetDexConfig()"));

  const std::string parameters = "OUT \"@RETURN_VALUE\" integer, \"@ComputerID\" integer, OUT \"@RowSet\" refcursor";
  Replace("ComputerGetDexConfig", parameters,
          "OPEN \"@RowSet\" FOR SELECT '<a/>'::text AS \"DexConfigXML\" UNION ALL SELECT '<b/>'; \"@RETURN_VALUE\" := 0;");
  Replace("ComputerGetAUConfig", parameters,
          "OPEN \"@RowSet\" FOR SELECT '<a/>'::text AS \"AUConfigXML\" WHERE false; \"@RETURN_VALUE\" := 0;");
  EXPECT_EQ(pc.GetDexConfigXML(), L"");
  EXPECT_TRUE(traces.Has(1, "Got 2 rowsets from dbo.ComputerGetDexConfig()"));
  EXPECT_EQ(pc.GetAUConfigXML(), L"");
  EXPECT_TRUE(traces.Has(1, "Got 0 rowsets from dbo.ComputerGetAUConfig()"));
}

TEST_F(ComputerTest, WithinAMessagesScopeEachConfigurationIsReadOnceAndWritesAreRemembered)
{
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"WORKGROUP");
  const CComputer other = CComputer::CreateComputer(L"PC2", L"WORKGROUP");
  const auto storeAU = [&](const CComputer& c, const std::string& xml) {
    m_db.Exec("SELECT dbo.\"UpdateComputerAUConfig\"(" + std::to_string(c.GetID()) + ", '" + xml + "', 'p', 's')");
  };
  storeAU(pc, "<first/>");
  {
    const CReportedConfigurationScope scope;
    EXPECT_EQ(pc.GetAUConfigXML(), L"<first/>");
    storeAU(pc, "<behind/>");  // not through this thread's messages: not seen within the scope
    EXPECT_EQ(pc.GetAUConfigXML(), L"<first/>") << "read once";
    EXPECT_EQ(other.GetAUConfigXML(), L"") << "each computer is its own";

    // What the scope's own writes store is what the next read gives, without reading.
    vrn::Entitys::Dex(pc).SetConfiguration(L"<config>ü</config>");
    m_db.Exec("UPDATE dbo.\"Computers\" SET \"DexConfigXML\" = '<behind/>' WHERE \"ComputerID\" = " + std::to_string(pc.GetID()));
    EXPECT_EQ(pc.GetDexConfigXML(), L"<config>ü</config>");
    {
      const CReportedConfigurationScope inner;  // a nested scope starts empty and ends alone
      EXPECT_EQ(pc.GetDexConfigXML(), L"<behind/>");
    }
    EXPECT_EQ(pc.GetDexConfigXML(), L"<config>ü</config>");
  }
  EXPECT_EQ(pc.GetAUConfigXML(), L"<behind/>") << "without a scope every read asks the database";
  EXPECT_EQ(pc.GetDexConfigXML(), L"<behind/>");
}

}  // namespace

TEST_F(ComputerTest, DetailsReadTheAlertRowSetsWithoutJudgingTheirReturnValues)
{
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"WORKGROUP");
  pc.CreateErrorAlert(45000.0, L"DEX", L"", L"", 2101, L"ScanAborted", {L"Weekly"});
  pc.CreateVirusDetectedAlert(45000.0, L"EICAR", 1, L"item", 1, 1, L"user");
  Replace("GetVirusAlertDetails", "OUT \"@RETURN_VALUE\" integer, \"@ComputerID\" integer, OUT \"@RowSet\" refcursor",
          "\"@RETURN_VALUE\" := 35;");
  RenewDatabaseConnection();

  ComputerDetails d;
  pc.GetComputerDetails(d);
  EXPECT_EQ(d.name, L"PC1");
  EXPECT_TRUE(d.virusAlerts.empty());
  ASSERT_EQ(d.errorAlerts.size(), 1u);
  EXPECT_EQ(d.errorAlerts[0].inserts.at(0), L"Weekly");
}
