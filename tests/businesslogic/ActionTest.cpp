// Actions against a real server: the configuration-matches-group answer stored for computers on
// every platform (equal, equivalent but written differently, different, missing), the modes that
// check only one configuration, fetching a group's update configuration, and filters.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/actions/ConfigMatchesGroupAction.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Filter.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

using Actions::CConfigMatchesGroupAction;

class ActionTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
    m_group = std::make_unique<CGroup>(CGroup::Root().CreateChildGroup(L"Office"));
    m_groupAU.CreateConfig();
    for (const wchar_t* platform : AUCoreHandler::Platforms)
      m_groupAU.GetConfig(platform).GetPrimaryLocation().GetServer().SetAddress(L"\\\\SRV\\Updates\\" + std::wstring(platform));
    m_group->SetAUConfig(m_groupAU);
    KTDexHandler::config_t dex;
    dex.onAccessScan.extensions.userDefined = {L"doc", L"xls"};
    m_groupDex.SetConfig(dex);
    m_group->SetDexConfig(m_groupDex);
  }

  // A computer of the group on `os` that reported these configurations (empty: none).
  CComputer Computer(const std::wstring& name, LONG os, const std::wstring& au, const std::wstring& dex)
  {
    const CComputer pc = CComputer::CreateComputer(name, L"D");
    pc.UpdateComputerDescriptionAndOS(os, L"");
    m_group->AddComputer(pc);
    COurCommand auCmd = GetDatabaseConnection().UpdateComputerAUConfig();
    auCmd.SetAttribute(L"@ComputerID", pc.GetID());
    auCmd.SetAttribute(L"@AUConfigXML", au);
    auCmd.SetAttribute(L"@PrimaryCID", std::wstring());
    auCmd.SetAttribute(L"@SecondaryCID", std::wstring());
    CSPException::Check(auCmd.ExecuteCommand());
    COurCommand dexCmd = GetDatabaseConnection().UpdateComputerDexConfig();
    dexCmd.SetAttribute(L"@ComputerID", pc.GetID());
    dexCmd.SetAttribute(L"@DexConfigXML", dex);
    CSPException::Check(dexCmd.ExecuteCommand());
    return pc;
  }
  // "yes", "no" or "unknown" for the stored flags, update then anti-virus.
  std::string Flags(const CComputer& pc)
  {
    const auto text = [](const std::string& v) { return v == "true" ? "yes" : v == "false" ? "no" : "unknown"; };
    const auto row = m_db.Exec("SELECT coalesce(\"HasGroupAUConfig\"::text, ''), coalesce(\"HasGroupDexConfig\"::text, '') "
                               "FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + std::to_string(pc.GetID()));
    return std::string(text(row.Text(0, 0))) + "/" + text(row.Text(0, 1));
  }
  std::wstring GroupAUWith(const std::wstring& platform, const std::wstring& address)
  {
    AUCoreHandler::AutoUpdateConfiguration copy(m_groupAU);
    copy.GetConfig(platform).GetPrimaryLocation().GetServer().SetAddress(address);
    return copy.ToXML();
  }
  std::wstring DexWith(std::vector<std::wstring> extensions, bool onAccess = true)
  {
    KTDexHandler::config_t config = m_groupDex.GetConfig();
    config.onAccessScan.extensions.userDefined = std::move(extensions);
    config.onAccessScan.enabled = onAccess;
    config.entity.entityInfo = L"reported by the agent";
    KTDexHandler::KTDexConfiguration document;
    document.SetConfig(config);
    return document.ToXML();
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
  std::unique_ptr<CGroup> m_group;
  AUCoreHandler::AutoUpdateConfiguration m_groupAU;
  KTDexHandler::KTDexConfiguration m_groupDex;
};

TEST_F(ActionTest, TheAnswerIsStoredForComputersOnEveryPlatform)
{
  const struct
  {
    LONG os;
    const wchar_t* platform;
  } platforms[] = {{2, L"DEX95"}, {5, L"DEXNT"}, {8, L"Tandem"}, {11, L"MacOSX"}};
  CComputerList all;
  std::vector<std::pair<CComputer, std::string>> expected;
  for (const auto& p : platforms) {
    const std::wstring own = L"\\\\SRV\\Updates\\" + std::wstring(p.platform);
    const std::wstring tag = p.platform;
    // Equal; equivalent but written differently; different; nothing reported.
    expected.emplace_back(Computer(tag + L"-SAME", p.os, m_groupAU.ToXML(), m_groupDex.ToXML()), "yes/yes");
    expected.emplace_back(Computer(tag + L"-ALIKE", p.os, GroupAUWith(p.platform, L"\\\\srv\\updates/" + tag + L"\\"),
                                   DexWith({L"XLS", L"doc", L"xls"})),
                          "yes/yes");
    expected.emplace_back(Computer(tag + L"-DIFF", p.os, GroupAUWith(p.platform, L"\\\\OTHER\\Updates"), DexWith({L"doc"}, false)),
                          "no/no");
    expected.emplace_back(Computer(tag + L"-NONE", p.os, L"", L""), "unknown/unknown");
    // What agents report: the one platform's element they were sent.
    expected.emplace_back(Computer(tag + L"-ONE", p.os, m_groupAU.ToXML(p.platform), m_groupDex.ToXML()), "yes/yes");
    AUCoreHandler::AutoUpdateConfiguration other(m_groupAU);
    other.GetConfig(p.platform).GetPrimaryLocation().GetServer().SetAddress(L"\\\\OTHER\\Updates");
    expected.emplace_back(Computer(tag + L"-ONEDIFF", p.os, other.ToXML(p.platform), m_groupDex.ToXML()), "no/yes");
    // A difference on another platform than the computer's own does not count.
    expected.emplace_back(Computer(tag + L"-ELSE", p.os, GroupAUWith(p.platform == std::wstring(L"DEXNT") ? L"DEX95" : L"DEXNT", L"x"),
                                   m_groupDex.ToXML()),
                          "yes/yes");
  }
  for (const auto& [pc, flags] : expected)
    all.push_back(pc);
  m_clocks.Take();

  CConfigMatchesGroupAction action;
  all.Apply(action);
  for (const auto& [pc, flags] : expected)
    EXPECT_EQ(Flags(pc), flags) << pc.GetID();
  // One tick of the computer-state clock per check: the update check and the anti-virus check.
  EXPECT_EQ(m_clocks.Take(), std::vector<VRN_Clock>(expected.size() * 2, 1));
}

TEST_F(ActionTest, ComputersWithoutAPlatformOrGroupConfigurationAreUnknown)
{
  const CComputer unknownOS = Computer(L"PC12", 12, m_groupAU.ToXML(), m_groupDex.ToXML());
  const CComputer loose = CComputer::CreateComputer(L"LOOSE", L"D");
  loose.UpdateComputerDescriptionAndOS(5, L"");
  CComputerList list{unknownOS, loose};
  {
    testsupport::TraceCapture traces;
    CConfigMatchesGroupAction action;
    list.Apply(action);
    EXPECT_TRUE(traces.Has(1, "CConfigMatchesGroupAction::GetPlatform unsupported platform 12"));
  }
  EXPECT_EQ(Flags(unknownOS), "unknown/yes");
  EXPECT_EQ(Flags(loose), "unknown/unknown") << "the unassigned group has no configurations";

  // A stored update configuration that does not read is not an answer: the check raises and
  // leaves the flag unknown; the anti-virus check after it does not run.
  const CComputer unreadable = Computer(L"BROKEN", 5, L"<AUConfigurations>", m_groupDex.ToXML());
  m_db.Exec("UPDATE dbo.\"Computers\" SET \"HasGroupAUConfig\" = true, \"HasGroupDexConfig\" = false WHERE \"ComputerID\" = " +
            std::to_string(unreadable.GetID()));
  CConfigMatchesGroupAction strict;
  EXPECT_THROW(CComputer(unreadable).Apply(strict), CorvexManagedEntity::MEException);
  EXPECT_EQ(Flags(unreadable), "unknown/no");
  // So does a broken single platform's element (the form agents report).
  const CComputer single = Computer(L"SINGLE", 5, L"<AUConfig platform='DEXNT'>", m_groupDex.ToXML());
  EXPECT_THROW(CComputer(single).Apply(strict), CorvexManagedEntity::MEException);
  EXPECT_EQ(Flags(single), "unknown/unknown");

  // A group without an anti-virus configuration leaves its computers unknown.
  const CGroup bare = m_group->CreateChildGroup(L"Bare");
  const CComputer inBare = Computer(L"INBARE", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  bare.AddComputer(inBare);
  CConfigMatchesGroupAction action;
  CGroup(bare).Apply(action);
  EXPECT_EQ(Flags(inBare), "unknown/unknown");
}

TEST_F(ActionTest, ModesTouchOnlyTheirOwnFlag)
{
  const CComputer pc = Computer(L"PC1", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  CConfigMatchesGroupAction auOnly(CConfigMatchesGroupAction::CheckAutoUpdateOnly);
  CGroup(*m_group).Apply(auOnly);
  EXPECT_EQ(Flags(pc), "yes/unknown");
  CConfigMatchesGroupAction dexOnly(CConfigMatchesGroupAction::CheckDexOnly);
  CComputer(pc).Apply(dexOnly);
  EXPECT_EQ(Flags(pc), "yes/yes");

  // A list of groups checks each group's computers.
  COurCommand dexCmd = GetDatabaseConnection().UpdateComputerDexConfig();
  dexCmd.SetAttribute(L"@ComputerID", pc.GetID());
  dexCmd.SetAttribute(L"@DexConfigXML", DexWith({}, false));
  CSPException::Check(dexCmd.ExecuteCommand());
  CGroupList groups{*m_group};
  groups.Apply(dexOnly);
  EXPECT_EQ(Flags(pc), "yes/no");
}

TEST_F(ActionTest, EachModeLeavesTheOtherFlagAsItWasAndTicksOncePerCheck)
{
  // Both flags known and the opposite of what a check would find, so that touching either shows.
  const CComputer pc = Computer(L"PC2", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  const CComputer other = Computer(L"PC3", 8, m_groupAU.ToXML(), m_groupDex.ToXML());
  const auto setBoth = [&](const char* value) {
    m_db.Exec(std::string("UPDATE dbo.\"Computers\" SET \"HasGroupAUConfig\" = ") + value + ", \"HasGroupDexConfig\" = " + value);
  };
  setBoth("false");
  m_clocks.Take();
  CConfigMatchesGroupAction auOnly(CConfigMatchesGroupAction::CheckAutoUpdateOnly);
  CGroup(*m_group).Apply(auOnly);
  EXPECT_EQ(Flags(pc), "yes/no");
  EXPECT_EQ(Flags(other), "yes/no");
  EXPECT_EQ(m_clocks.Take(), (std::vector<VRN_Clock>{1, 1}));

  setBoth("false");
  CConfigMatchesGroupAction dexOnly(CConfigMatchesGroupAction::CheckDexOnly);
  CGroup(*m_group).Apply(dexOnly);
  EXPECT_EQ(Flags(pc), "no/yes");
  EXPECT_EQ(Flags(other), "no/yes");
  EXPECT_EQ(m_clocks.Take(), (std::vector<VRN_Clock>{1, 1}));
}

// A check that fails on the way (here: the database call inside it) must not leave the answer
// of an earlier check standing.
class FailingCheck : public CConfigMatchesGroupAction
{
public:
  explicit FailingCheck(std::function<void(const CComputer&)> fail) : m_fail(std::move(fail)) {}
  FlagState AUConfigMatches(const CComputer& computer, AUCoreHandler::AutoUpdateConfiguration& groupConfig) override
  {
    m_fail(computer);
    return CConfigMatchesGroupAction::AUConfigMatches(computer, groupConfig);
  }

private:
  std::function<void(const CComputer&)> m_fail;
};

TEST_F(ActionTest, ACheckThatThrowsLeavesItsFlagUnknownAndTicksNothing)
{
  const CComputer pc = Computer(L"PC4", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  CConfigMatchesGroupAction check;
  CComputer(pc).Apply(check);
  ASSERT_EQ(Flags(pc), "yes/yes");
  m_clocks.Take();

  FailingCheck lost([](const CComputer&) { throw std::runtime_error("connection lost"); });
  EXPECT_THROW(CComputer(pc).Apply(lost), std::runtime_error);
  EXPECT_EQ(Flags(pc), "unknown/yes") << "the anti-virus check comes after the one that failed";
  EXPECT_TRUE(m_clocks.Take().empty());

  // A computer deleted meanwhile: the rest of its group is skipped, quietly.
  CComputer(pc).Apply(check);
  const CComputer next = Computer(L"PC5", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  m_clocks.Take();
  FailingCheck gone([&](const CComputer& c) {
    if (c.GetID() == pc.GetID())
      throw vrn::Exceptions::ComputerDoesNotExist(L"Computer does not exist", pc);
  });
  testsupport::TraceCapture traces;
  CGroup(*m_group).Apply(gone);
  EXPECT_TRUE(traces.Has(1, "Skipping computer as caught"));
  EXPECT_EQ(Flags(pc), "unknown/yes");
  EXPECT_EQ(Flags(next), "unknown/unknown") << "after the failing computer, nothing of its group is checked";
  EXPECT_TRUE(m_clocks.Take().empty());
}

TEST_F(ActionTest, GetAUConfigFillsTheTargetFromTheGroup)
{
  AUCoreHandler::AutoUpdateConfiguration target;
  Actions::CGetAUConfigAction action(target);
  CGroup(*m_group).Apply(action);
  EXPECT_TRUE(target == m_groupAU);

  const CGroup child = m_group->CreateChildGroup(L"Child");
  CGroup(child).Apply(action);
  EXPECT_FALSE(target.IsInitialised()) << "a group without one clears the target";
  EXPECT_THROW(CGroup(99999).Apply(action), CSPException);
}

TEST_F(ActionTest, FiltersSelectTheDatabasesComputersAndCompareByIdentity)
{
  const CComputer a = Computer(L"A", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  const CComputer b = Computer(L"B", 5, GroupAUWith(L"DEXNT", L"x"), m_groupDex.ToXML());
  CConfigMatchesGroupAction check;
  CGroup(*m_group).Apply(check);

  CFilter differs(5, L"Configuration differs", L"");
  CComputerList found;
  differs.GetComputerList(1, true, found);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].GetID(), b.GetID());
  EXPECT_EQ(differs.GetOrderBy(), 1);
  EXPECT_TRUE(differs.GetAscending());

  CFilter all(0, L"All", L"");
  all.GetComputerList(1, false, found);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].GetID(), b.GetID()) << "by name, descending";
  EXPECT_THROW(CFilter(999, L"", L"").GetComputerList(0, true, found), CSPException);

  EXPECT_TRUE(CFilter(3, L"Errors", L"x") == CFilter(3, L"Other name", L"y"));
  EXPECT_TRUE(CFilter(3, L"", L"") != CFilter(4, L"", L""));
}

}  // namespace

TEST_F(ActionTest, AComputerGoneMidwaySkipsTheRestOfItsGroupOnly)
{
  const CComputer gone = Computer(L"A-GONE", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  const CComputer after = Computer(L"B-AFTER", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  const CGroup second = CGroup::Root().CreateChildGroup(L"Second");
  second.SetAUConfig(m_groupAU);
  const CComputer elsewhere = Computer(L"C-ELSEWHERE", 5, m_groupAU.ToXML(), m_groupDex.ToXML());
  second.MoveComputer(elsewhere, *m_group);
  // The database answers as for a computer deleted since the group's list was read.
  m_db.Exec("CREATE OR REPLACE FUNCTION dbo.\"ComputerHasGroupAUConfig\"(OUT \"@RETURN_VALUE\" integer, \"@ComputerID\" integer, "
            "\"@HasGroupConfig\" integer) LANGUAGE plpgsql AS $$ BEGIN \"@RETURN_VALUE\" := CASE WHEN \"@ComputerID\" = " +
            std::to_string(gone.GetID()) + " THEN 39 ELSE 0 END; "
            "UPDATE dbo.\"Computers\" SET \"HasGroupAUConfig\" = \"@HasGroupConfig\" <> 0 WHERE \"ComputerID\" = \"@ComputerID\"; END $$");
  RenewDatabaseConnection();

  testsupport::TraceCapture traces;
  CConfigMatchesGroupAction action(CConfigMatchesGroupAction::CheckAutoUpdateOnly);
  CComputerList list{gone, after, elsewhere};
  list.Apply(action);
  EXPECT_TRUE(traces.Has(1, "Skipping computer as caught ComputerDoesNotExist, Computer does not exist - Probebly just deleted"));
  EXPECT_EQ(Flags(after), "unknown/unknown") << "the rest of the group is skipped";
  EXPECT_EQ(Flags(elsewhere), "yes/unknown") << "the next group is checked";
}
