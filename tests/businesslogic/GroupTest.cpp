// Groups against a real server: the naming rules at their limits, the fixed root and unassigned
// groups (never rows), the tree's shape with moves that would make a cycle and deletes that
// would lose subgroups, membership, the list and tree queries, and the clock each change ticks.
#include <gtest/gtest.h>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/GroupExceptions.h"
#include "dexhandler/DexConfiguration.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

using Ticks = std::vector<VRN_Clock>;
using namespace vrn::Exceptions;

template <class Exception, class Call>
std::string MessageOf(Call call)
{
  try {
    call();
  } catch (const Exception& e) {
    return e.what();
  }
  return "no exception";
}

std::vector<ULONG> Ids(const CGroupList& list)
{
  std::vector<ULONG> ids;
  for (const CGroup& g : list)
    ids.push_back(g.GetID());
  return ids;
}

std::vector<LONG> Ids(const CComputerList& list)
{
  std::vector<LONG> ids;
  for (const CComputer& c : list)
    ids.push_back(c.GetID());
  return ids;
}

class GroupTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
  }
  std::string GroupRows() { return m_db.Exec("SELECT count(*) FROM dbo.\"Groups\"").Text(0, 0); }
  ULONG GroupOf(const CComputer& c)
  {
    ComputerDetails details;
    c.GetComputerDetails(details);
    return details.group.at(0).GetID();
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
  const CGroup& m_root = CGroup::Root();
  const CGroup& m_unassigned = CGroup::Unassigned();
};

TEST_F(GroupTest, NamesAtTheirLimitsAndAmongSiblings)
{
  const CGroup longest = m_root.CreateChildGroup(std::wstring(32, L'n'));
  EXPECT_EQ(longest.GetName(), std::wstring(32, L'n'));
  EXPECT_EQ(m_clocks.Take(), (Ticks{0}));

  EXPECT_EQ(MessageOf<InvalidGroupNameLength>([&] { m_root.CreateChildGroup(std::wstring(33, L'n')); }), "Invalid group name");
  EXPECT_EQ(MessageOf<InvalidGroupNameLength>([&] { m_root.CreateChildGroup(L""); }), "Invalid group name");
  for (wchar_t c : CGroup::GetInvalidGroupNameCharSet())
    EXPECT_EQ(MessageOf<InvalidGroupNameChars>([&] { longest.SetName(std::wstring(L"a") + c + L"b"); }), "Invalid group name");
  EXPECT_EQ(CGroup::GetInvalidGroupNameCharSet().size(), 10u);

  // Names are unique among siblings only, ignoring case.
  const CGroup sales = m_root.CreateChildGroup(L"Sales");
  EXPECT_EQ(MessageOf<GroupNameAlreayExists>([&] { m_root.CreateChildGroup(L"SALES"); }), "Group name already exists: SALES");
  EXPECT_EQ(MessageOf<GroupNameAlreayExists>([&] { longest.SetName(L"sales"); }), "Group name already exists: sales");
  const CGroup nested = longest.CreateChildGroup(L"Sales");
  m_clocks.Take();
  nested.SetName(L"Sales EMEA");
  EXPECT_EQ(nested.GetName(), L"Sales EMEA");
  EXPECT_EQ(m_clocks.Take(), (Ticks{0}));
  EXPECT_EQ(GroupRows(), "3") << "refused names stored nothing";
}

TEST_F(GroupTest, TheRootAndUnassignedGroupsAreNeverRows)
{
  EXPECT_TRUE(m_root.IsRenameAllowed());
  EXPECT_EQ(MessageOf<OperationNotSupported>([&] { m_root.SetName(L"Everything"); }), "The operation \"SetName\" is not supported");
  EXPECT_EQ(MessageOf<OperationNotSupported>([&] { m_unassigned.GetName(); }), "The operation \"GetName\" is not supported");
  EXPECT_EQ(MessageOf<OperationNotSupported>([&] { m_unassigned.CreateChildGroup(L"x"); }),
            "The operation \"CreateChildGroup\" is not supported");
  EXPECT_THROW(m_root.Move(m_root), OperationNotSupported);
  EXPECT_THROW(m_unassigned.Delete(), OperationNotSupported);
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"D");
  EXPECT_THROW(m_root.AddComputer(pc), OperationNotSupported);
  EXPECT_THROW(m_unassigned.AddComputer(pc), OperationNotSupported);
  AUCoreHandler::AutoUpdateConfiguration au;
  EXPECT_THROW(m_root.SetAUConfig(au), OperationNotSupported);
  EXPECT_EQ(GroupRows(), "0");

  const CGroup top = m_root.CreateChildGroup(L"Top");
  EXPECT_THROW(top.Move(m_unassigned), OperationNotSupported);
  EXPECT_EQ(MessageOf<GroupNotFound>([&] { CGroup(top.GetID() + 100).GetName(); }), "Group not found");
}

// Which group an operation says is missing, and when a refusal leaves the clocks alone.
template <class Call>
ULONG MissingGroup(Call call)
{
  try {
    call();
  } catch (const GroupNotFound& e) {
    return e.Group().GetID();
  }
  return 0;
}

TEST_F(GroupTest, EachOperationNamesTheGroupThatIsMissingAndARefusalTicksNothing)
{
  const CGroup top = m_root.CreateChildGroup(L"Top");
  const CGroup gone = m_root.CreateChildGroup(L"Gone");
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"D");
  top.AddComputer(pc);
  gone.Delete();
  m_clocks.Take();

  // Refused creations changed nothing: no tick.
  EXPECT_EQ(MissingGroup([&] { gone.CreateChildGroup(L"Child"); }), gone.GetID());
  EXPECT_EQ(MessageOf<GroupNameAlreayExists>([&] { m_root.CreateChildGroup(L"TOP"); }), "Group name already exists: TOP");
  EXPECT_THROW(m_root.CreateChildGroup(L"Top"), GroupNameAlreayExists);
  EXPECT_TRUE(m_clocks.Take().empty());
  EXPECT_EQ(GroupRows(), "1");

  EXPECT_EQ(MissingGroup([&] { gone.GetName(); }), gone.GetID());
  EXPECT_EQ(MissingGroup([&] { gone.SetName(L"Back"); }), gone.GetID());
  EXPECT_EQ(MissingGroup([&] { gone.AddComputer(pc); }), gone.GetID());
  EXPECT_EQ(MissingGroup([&] { gone.RemoveComputer(pc); }), gone.GetID());
  EXPECT_EQ(MissingGroup([&] { gone.Delete(); }), gone.GetID());
  EXPECT_EQ(MissingGroup([&] { gone.Move(top); }), gone.GetID());
  EXPECT_EQ(MissingGroup([&] { top.Move(gone); }), gone.GetID()) << "the new parent is the one missing";
  EXPECT_EQ(MissingGroup([&] { gone.MoveComputer(pc, top); }), gone.GetID()) << "the destination";
  EXPECT_EQ(MissingGroup([&] {
              CComputerList list;
              gone.GetComputerList(list);
            }),
            gone.GetID());
  EXPECT_EQ(MissingGroup([&] {
              CGroupList list;
              gone.GetChildGroupList(list);
            }),
            gone.GetID());
  // The source of a move: the computer is in another group, so this one cannot be where it is.
  const CGroup other = m_root.CreateChildGroup(L"Other");
  EXPECT_EQ(MissingGroup([&] { other.MoveComputer(pc, gone); }), gone.GetID());

  // The whole-subtree queries only check their return value: the code itself is raised.
  CComputerList computers;
  EXPECT_EQ(MessageOf<CSPException>([&] { gone.GetAllChildComputerList(computers); }), "ErrorNotFound");
  CGroupList groups;
  EXPECT_EQ(MessageOf<CSPException>([&] { gone.GetAllChildGroupList(groups); }), "ErrorNotFound");
  EXPECT_EQ(GroupOf(pc), top.GetID());
}

TEST_F(GroupTest, MovesKeepTheTreeFreeOfCycles)
{
  const CGroup a = m_root.CreateChildGroup(L"A");
  const CGroup b = a.CreateChildGroup(L"B");
  const CGroup c = b.CreateChildGroup(L"C");
  const CGroup other = m_root.CreateChildGroup(L"Other");
  m_clocks.Take();

  EXPECT_EQ(MessageOf<CSPException>([&] { a.Move(c); }), "ErrorMoveIntoDescendant");
  EXPECT_EQ(MessageOf<CSPException>([&] { a.Move(a); }), "ErrorMoveIntoDescendant");
  EXPECT_TRUE(m_clocks.Take().empty());

  c.Move(other);
  EXPECT_EQ(m_clocks.Take(), (Ticks{0}));
  b.Move(m_root);
  GroupHierarchyTree tree;
  CGroup::GetGroupHierarchyTree(tree);
  const GroupHierarchyTree expected{{CGroup::RootID, a.GetID()}, {CGroup::RootID, b.GetID()}, {CGroup::RootID, other.GetID()},
                                    {CGroup::RootID, CGroup::UnassignedID}, {other.GetID(), c.GetID()}};
  EXPECT_EQ(std::multiset(tree.begin(), tree.end()), std::multiset(expected.begin(), expected.end()));

  const CGroup c2 = other.CreateChildGroup(L"B");
  EXPECT_EQ(MessageOf<GroupNameAlreayExists>([&] { c2.Move(m_root); }), "Group name already exists: B");
  EXPECT_THROW(a.Move(CGroup(99999)), GroupNotFound);
}

TEST_F(GroupTest, DeletingAGroupWithSubgroupsIsRefusedItsComputersBecomeUnassigned)
{
  const CGroup parent = m_root.CreateChildGroup(L"Parent");
  const CGroup child = parent.CreateChildGroup(L"Child");
  const CComputer pc = CComputer::CreateComputer(L"PC1", L"D");
  child.AddComputer(pc);
  m_clocks.Take();

  EXPECT_EQ(MessageOf<CSPException>([&] { parent.Delete(); }), "ErrorNonLeafGroupDelete");
  child.Delete();
  EXPECT_EQ(m_clocks.Take(), (Ticks{0, 2}));
  EXPECT_EQ(GroupOf(pc), CGroup::UnassignedID);
  parent.Delete();
  EXPECT_EQ(GroupRows(), "0");
  EXPECT_THROW(parent.Delete(), GroupNotFound);
}

TEST_F(GroupTest, MembershipChangesAndTheirClocks)
{
  const CGroup sales = m_root.CreateChildGroup(L"Sales");
  const CGroup dev = m_root.CreateChildGroup(L"Dev");
  const CComputer pc1 = CComputer::CreateComputer(L"PC1", L"D");
  const CComputer pc2 = CComputer::CreateComputer(L"PC2", L"D");
  m_clocks.Take();

  sales.AddComputer(pc1);
  EXPECT_EQ(m_clocks.Take(), (Ticks{2}));
  sales.AddComputer(pc1);
  EXPECT_TRUE(m_clocks.Take().empty()) << "a computer already in the group is left alone";
  dev.MoveComputer(pc1, sales);
  dev.MoveComputer(pc2, m_unassigned);
  EXPECT_EQ(m_clocks.Take(), (Ticks{2, 2}));
  EXPECT_EQ(GroupOf(pc1), dev.GetID());
  dev.RemoveComputer(pc2);
  EXPECT_EQ(GroupOf(pc2), CGroup::UnassignedID);
  EXPECT_THROW(sales.RemoveComputer(pc1), CSPException) << "not in that group";

  EXPECT_THROW(sales.AddComputer(CComputer(99999)), ComputerDoesNotExist);
  EXPECT_THROW(CGroup(99999).AddComputer(pc1), GroupNotFound);
  EXPECT_EQ(GroupOf(pc1), dev.GetID());
}

TEST_F(GroupTest, ListsAndTreeQueries)
{
  const CGroup b = m_root.CreateChildGroup(L"B");
  const CGroup a = m_root.CreateChildGroup(L"A");
  const CGroup a1 = a.CreateChildGroup(L"A1");
  const CGroup a2 = a.CreateChildGroup(L"A2");
  const CComputer pcA = CComputer::CreateComputer(L"PCA", L"D");
  const CComputer pcA1 = CComputer::CreateComputer(L"PCA1", L"D");
  const CComputer loose = CComputer::CreateComputer(L"LOOSE", L"D");
  a.AddComputer(pcA);
  a1.AddComputer(pcA1);

  CGroupList groups;
  m_root.GetChildGroupList(groups);
  EXPECT_EQ(Ids(groups), (std::vector<ULONG>{a.GetID(), b.GetID(), CGroup::UnassignedID}));
  a.GetChildGroupList(groups, CGroup::GroupAndComputers);
  EXPECT_EQ(Ids(groups), (std::vector<ULONG>{a1.GetID(), a2.GetID()}));
  m_unassigned.GetChildGroupList(groups);
  EXPECT_TRUE(groups.empty());
  m_root.GetAllChildGroupList(groups);
  ASSERT_EQ(groups.size(), 5u);
  EXPECT_EQ(groups.back().GetID(), CGroup::UnassignedID);
  a.GetAllChildGroupList(groups);
  EXPECT_EQ(Ids(groups), (std::vector<ULONG>{a1.GetID(), a2.GetID()}));
  CGroup::GetOrderedGroupList(1, groups);
  EXPECT_EQ(Ids(groups), (std::vector<ULONG>{a.GetID(), a1.GetID(), a2.GetID(), b.GetID()}));

  CComputerList computers;
  a.GetComputerList(computers);
  EXPECT_EQ(Ids(computers), (std::vector<LONG>{pcA.GetID()}));
  a.GetAllChildComputerList(computers);
  EXPECT_EQ(Ids(computers), (std::vector<LONG>{pcA.GetID(), pcA1.GetID()}));
  m_unassigned.GetComputerList(computers);
  EXPECT_EQ(Ids(computers), (std::vector<LONG>{loose.GetID()}));
  m_root.GetComputerList(computers);
  EXPECT_TRUE(computers.empty());
  m_root.GetAllChildComputerList(computers);
  EXPECT_EQ(computers.size(), 3u);
  EXPECT_THROW(CGroup(99999).GetComputerList(computers), GroupNotFound);
}

TEST_F(GroupTest, TopLevelGroupsGetADefaultAntiVirusConfiguration)
{
  const CGroup top = m_root.CreateChildGroup(L"Top");
  const CGroup below = top.CreateChildGroup(L"Below");
  DexHandler::DexConfiguration topConfig, belowConfig;
  top.GetDexConfig(topConfig);
  below.GetDexConfig(belowConfig);
  EXPECT_TRUE(topConfig.IsInitialised());
  EXPECT_FALSE(belowConfig.IsInitialised());

  AUCoreHandler::AutoUpdateConfiguration au;
  top.GetAUConfig(au);
  EXPECT_FALSE(au.IsInitialised());
  au.CreateConfig();
  au.GetConfig(L"DEXNT").GetPrimaryLocation().GetServer().SetAddress(L"\\\\SRV\\Updates");
  m_clocks.Take();
  top.SetAUConfig(au);
  EXPECT_EQ(m_clocks.Take(), (Ticks{1}));
  AUCoreHandler::AutoUpdateConfiguration reread;
  top.GetAUConfig(reread);
  std::wstring address;
  EXPECT_TRUE(reread.GetConfig(L"DEXNT").GetPrimaryLocation().GetServer().GetAddress(address));
  EXPECT_EQ(address, L"\\\\SRV\\Updates");
}

}  // namespace
