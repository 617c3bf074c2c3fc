#include "businesslogic/entities/Group.h"

#include <vector>

#include "businesslogic/ClockTicks.h"
#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/DexConfiguration.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/GroupExceptions.h"
#include "dexhandler/DexConfiguration.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"

namespace {

constexpr LONG kNotFound = 22;                 // ErrorNotFound
constexpr LONG kComputerAlreadyInGroup = 31;   // ErrorComputerAlreadyInGroup
constexpr LONG kDuplicateGroupName = 34;       // ErrorDuplicateGroupName
constexpr LONG kComputerNotFound = 39;         // ErrorComputerNotFound
constexpr LONG kGroupNotFound = 40;            // ErrorGroupNotFound
constexpr LONG kSrcGroupNotFound = 41;         // ErrorSrcGroupNotFound
constexpr LONG kDestGroupNotFound = 42;        // ErrorDestGroupNotFound

// Group identities are unsigned in the database; the root is also NULL where a parent is asked.
void SetGroupOrRootNull(COurCommand& cmd, const wchar_t* name, const CGroup& group)
{
  if (group.IsRoot())
    cmd.SetAttributeNull(name);
  else
    cmd.SetAttribute(name, group.GetID());
}

// The exceptions of a group operation's return values: `notFound` is the value by which its
// procedure says that this group does not exist (0: none; the value is raised as it is), 39 is
// the computer's absence when there is a computer, 34 the name's clash when there is a name;
// any other value is raised as it is.
[[noreturn]] void Rethrow(const CSPException& e, const CGroup& group, LONG notFound, const CComputer* computer = nullptr,
                          const std::wstring* name = nullptr)
{
  const LONG value = e.ReturnValue();
  if (notFound != 0 && value == notFound)
    throw vrn::Exceptions::GroupNotFound(group);
  if (computer && value == kComputerNotFound)
    throw vrn::Exceptions::ComputerDoesNotExist(L"Computer does not exist", *computer);
  if (name && value == kDuplicateGroupName)
    throw vrn::Exceptions::GroupNameAlreayExists(*name);
  throw e;
}

// A list of identities from a procedure's row set, with its return value checked.
template <class List>
void Fetch(COurCommand& cmd, List& list, const CGroup& group, LONG notFound)
{
  try {
    PopulateListFromRowsetsFast(cmd, list);
    CSPException::Check(cmd.GetReturnValue());
  } catch (const CSPException& e) {
    Rethrow(e, group, notFound);
  }
}

// The one configuration text of a group, or nothing (traced) when the procedure fails or gives
// another number of rows.
template <class Builder>
bool GroupConfigXML(const COurCommand& procedure, const CGroup& group, const char* returnCodeTrace, const char* rowCountTrace,
                    std::wstring& text)
{
  COurCommand cmd = procedure;
  cmd.SetAttribute(L"@GroupID", group.GetID());
  std::vector<std::wstring> rows;
  PopulateListFromRowsets<std::vector<std::wstring>, Builder>(cmd, rows);
  const LONG result = cmd.GetReturnValue();
  if (result != 0) {
    trace::Trace(TRACE_BUSINESSLOGIC, 1, returnCodeTrace, result);
    return false;
  }
  if (rows.size() != 1) {
    trace::Trace(TRACE_BUSINESSLOGIC, 1, rowCountTrace, static_cast<long>(rows.size()));
    return false;
  }
  text = rows.front();
  return true;
}

}  // namespace

const CGroup& CGroup::Root()
{
  static const CGroup root(RootID);
  return root;
}

const CGroup& CGroup::Unassigned()
{
  static const CGroup unassigned(UnassignedID);
  return unassigned;
}

CGroup::CGroup(ULONG id) : TDBEntity(id) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CGroup::CGroup("); }

CGroup::CGroup(const CGroup& right) : CActionableBase(right), TDBEntity(right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CGroup::CGroup(const CGroup & right)");
}

CGroup& CGroup::operator=(const CGroup& right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CGroup & CGroup::operator=(const CGroup & right)");
  TDBEntity::operator=(right);
  return *this;
}

CGroup::~CGroup() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CGroup::~CGroup()"); }

const std::wstring& CGroup::GetInvalidGroupNameCharSet()
{
  static const std::wstring set = L"\\/*%?:\"<>|";
  return set;
}

void CGroup::ValidateName(const std::wstring& name)
{
  if (name.empty() || name.size() > GetMaxGroupNameLength())
    throw vrn::Exceptions::InvalidGroupNameLength(name);
  if (name.find_first_of(GetInvalidGroupNameCharSet()) != std::wstring::npos)
    throw vrn::Exceptions::InvalidGroupNameChars(name);
}

void CGroup::Require(bool allowed, const wchar_t* operation) const
{
  if (!allowed)
    throw vrn::Exceptions::OperationNotSupported(operation, *this);
}

std::wstring CGroup::GetName() const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "std::wstring CGroup::GetName(%u)", GetID());
  Require(IsOrdinary(), L"GetName");
  try {
    COurCommand cmd = GetDatabaseConnection().GetGroupDetails();
    cmd.SetAttribute(L"@GroupID", static_cast<LONG>(GetID()));
    CSPException::Check(cmd.ExecuteCommand());
    return cmd.GetAttributeAsString(L"@Name");
  } catch (const CSPException& e) {
    Rethrow(e, *this, kNotFound);
  }
}

void CGroup::SetName(const std::wstring& name) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"void CGroup::SetName(%u, \"%s\")", GetID(), name);
  Require(IsOrdinary(), L"SetName");
  ValidateName(name);
  try {
    COurCommand cmd = GetDatabaseConnection().RenameGroup();
    cmd.SetAttribute(L"@GroupID", GetID());
    cmd.SetAttribute(L"@Name", name);
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    Rethrow(e, *this, kNotFound, nullptr, &name);
  }
  vrn::TickClock(vrn::kGroupTreeClock);
}

CGroup CGroup::CreateChildGroup(const std::wstring& name) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"CGroup CGroup::CreateChildGroup(%u, \"%s\")", GetID(), name);
  Require(!IsUnassigned(), L"CreateChildGroup");
  ValidateName(name);
  try {
    COurCommand cmd = GetDatabaseConnection().AddGroup();
    SetGroupOrRootNull(cmd, L"@NewParentID", *this);
    cmd.SetAttribute(L"@Name", name);
    // A refused creation changed nothing, so the clock stays; once the group exists, the
    // consoles hear of it however the rest ends.
    CSPException::Check(cmd.ExecuteCommand());
    const vrn::CClockTickGuard tree(vrn::kGroupTreeClock);
    const CGroup child(static_cast<ULONG>(cmd.GetAttributeAsInt(L"@GroupID")));
    if (IsRoot())
      vrn::Entitys::CDexConfiguration(static_cast<LONG>(child.GetID())).Set(KTDexHandler::KTDexConfiguration());
    return child;
  } catch (const CSPException& e) {
    Rethrow(e, *this, kNotFound, nullptr, &name);
  }
}

void CGroup::Move(const CGroup& newParent) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::Move(%u, %u)", GetID(), newParent.GetID());
  Require(IsMoveAllowed(), L"Move");
  newParent.Require(newParent.IsAddOrMoveSubgroupIntoAllowed(), L"Move");
  try {
    COurCommand cmd = GetDatabaseConnection().MoveGroup();
    cmd.SetAttribute(L"@GroupID", GetID());
    SetGroupOrRootNull(cmd, L"@NewParentID", newParent);
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kDestGroupNotFound)
      throw vrn::Exceptions::GroupNotFound(newParent);
    if (e.ReturnValue() == kDuplicateGroupName)
      throw vrn::Exceptions::GroupNameAlreayExists(GetName());
    Rethrow(e, *this, kSrcGroupNotFound);
  }
  vrn::TickClock(vrn::kGroupTreeClock);
}

void CGroup::Delete() const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::Delete(%u)", GetID());
  Require(IsDeleteAllowed(), L"Delete");
  try {
    COurCommand cmd = GetDatabaseConnection().DeleteGroup();
    cmd.SetAttribute(L"@GroupID", GetID());
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    Rethrow(e, *this, kGroupNotFound);
  }
  // The tree lost a group and its computers became unassigned.
  vrn::TickClock(vrn::kGroupTreeClock);
  vrn::TickClock(vrn::kGroupMembershipClock);
}

void CGroup::AddComputer(const CComputer& comp) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::AddComputer(%u, %i)", GetID(), comp.GetID());
  Require(IsAddComputerAllowed(), L"AddComputer");
  try {
    COurCommand cmd = GetDatabaseConnection().AddComputerToGroup();
    cmd.SetAttribute(L"@ComputerID", comp.GetID());
    cmd.SetAttribute(L"@NewGroupID", GetID());
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kComputerAlreadyInGroup) {
      trace::Trace(TRACE_BUSINESSLOGIC, 1, L"Computer is already in group %s", GetName());
      return;
    }
    Rethrow(e, *this, kGroupNotFound, &comp);
  }
  vrn::TickClock(vrn::kGroupMembershipClock);
}

void CGroup::MoveComputer(const CComputer& comp, const CGroup& from) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::MoveComputer(%u, %i, from %u)", GetID(), comp.GetID(), from.GetID());
  Require(IsMoveComputerIntoAllowed(), L"MoveComputer");
  from.Require(from.IsMoveComputerFromAllowed(), L"MoveComputer");
  try {
    COurCommand cmd = GetDatabaseConnection().MoveComputerGroup();
    cmd.SetAttribute(L"@ComputerID", comp.GetID());
    cmd.SetAttribute(L"@SrcGroupID", from.GetID());
    cmd.SetAttribute(L"@DestGroupID", GetID());
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kSrcGroupNotFound)
      throw vrn::Exceptions::GroupNotFound(from);
    if (e.ReturnValue() == kDestGroupNotFound)
      throw vrn::Exceptions::GroupNotFound(*this);
    Rethrow(e, *this, 0, &comp);
  }
  vrn::TickClock(vrn::kGroupMembershipClock);
}

void CGroup::RemoveComputer(const CComputer& comp) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::RemoveComputer(%u, %i)", GetID(), comp.GetID());
  Require(IsRemoveComputerAllowed(), L"RemoveComputer");
  try {
    COurCommand cmd = GetDatabaseConnection().RemoveComputerFromGroup();
    cmd.SetAttribute(L"@ComputerID", comp.GetID());
    cmd.SetAttribute(L"@GroupID", GetID());
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    Rethrow(e, *this, kGroupNotFound, &comp);
  }
  vrn::TickClock(vrn::kGroupMembershipClock);
}

void CGroup::GetComputerList(CComputerList& list) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::GetComputerList(%u)", GetID());
  CBlockTimer timer(TRACE_BUSINESSLOGIC, "CGroup::GetComputerList");
  list.clear();
  if (IsRoot())
    return;
  if (IsUnassigned()) {
    COurCommand cmd = GetDatabaseConnection().GetUnassignedComputers();
    Fetch(cmd, list, *this, 0);
    trace::Trace(TRACE_BUSINESSLOGIC, 3, "Got %ul computers", static_cast<unsigned long>(list.size()));
    return;
  }
  COurCommand cmd = GetDatabaseConnection().GetGroupMembers();
  cmd.SetAttribute(L"@GroupID", GetID());
  Fetch(cmd, list, *this, kNotFound);
}

void CGroup::GetAllChildComputerList(CComputerList& list) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::GetAllChildComputerList(%u)", GetID());
  CBlockTimer timer(TRACE_BUSINESSLOGIC, "CGroup::GetAllChildComputerList");
  list.clear();
  COurCommand cmd = IsUnassigned() ? GetDatabaseConnection().GetUnassignedComputers()
                                   : GetDatabaseConnection().GroupAllChildComputerListGet();
  if (!IsUnassigned())
    SetGroupOrRootNull(cmd, L"@GroupID", *this);
  Fetch(cmd, list, *this, 0);
  trace::Trace(TRACE_BUSINESSLOGIC, 3, "Got %u computers", static_cast<unsigned>(list.size()));
}

void CGroup::GetChildGroupList(CGroupList& list, ItemsToFetch) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::GetChildGroupList(%u)", GetID());
  list.clear();
  if (IsUnassigned())
    return;
  if (IsRoot()) {
    COurCommand cmd = GetDatabaseConnection().GetRootGroups();
    Fetch(cmd, list, *this, 0);
    trace::Trace(TRACE_BUSINESSLOGIC, 3, "Got %ul groups", static_cast<unsigned long>(list.size()));
    list.push_back(Unassigned());
    return;
  }
  COurCommand cmd = GetDatabaseConnection().GetSubGroups();
  cmd.SetAttribute(L"@GroupID", GetID());
  cmd.SetAttribute(L"@AllDescendants", LONG(0));
  cmd.SetAttribute(L"@Ascending", LONG(1));
  Fetch(cmd, list, *this, kNotFound);
}

void CGroup::GetAllChildGroupList(CGroupList& list) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::GetAllChildGroupList(%u)", GetID());
  list.clear();
  if (IsUnassigned())
    return;
  COurCommand cmd = GetDatabaseConnection().GroupAllChildGroupListGet();
  SetGroupOrRootNull(cmd, L"@GroupID", *this);
  Fetch(cmd, list, *this, 0);
  trace::Trace(TRACE_BUSINESSLOGIC, 3, "Got %u groups", static_cast<unsigned>(list.size()));
  if (IsRoot())
    list.push_back(Unassigned());
}

void CGroup::GetOrderedGroupList(PTLDB::GroupListOrder order, CGroupList& list)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::GetOrderedGroupList(%i)", static_cast<long>(order));
  list.clear();
  CBlockTimer timer(TRACE_BUSINESSLOGIC, "CGroup::GetOrderedGroupList - Getting all Groups");
  COurCommand cmd = GetDatabaseConnection().GroupOrderedGroupListGet();
  cmd.SetAttribute(L"@OrderBy", order);
  Fetch(cmd, list, Root(), 0);
  trace::Trace(TRACE_BUSINESSLOGIC, 2, "Got %u groups", static_cast<unsigned>(list.size()));
}

void CGroup::GetGroupHierarchyTree(GroupHierarchyTree& relationships)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::GetGroupHierarchyTree()");
  CBlockTimer timer(TRACE_BUSINESSLOGIC, "CGroup::GetGroupHierarchyTree - Getting all Groups");
  relationships.clear();
  COurCommand cmd = GetDatabaseConnection().GroupHierarchyGet();
  std::vector<std::pair<ULONG, ULONG>> pairs;
  PopulateListFromRowsets<std::vector<std::pair<ULONG, ULONG>>, CPairOfGroupIds>(cmd, pairs);
  pairs.emplace_back(RootID, UnassignedID);
  relationships.insert(pairs.begin(), pairs.end());
}

void CGroup::GetAUConfig(AUCoreHandler::AutoUpdateConfiguration& config) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::GetAUConfig(%u)", GetID());
  std::wstring text;
  if (GroupConfigXML<CAUConfigXMLFromADOFields>(GetDatabaseConnection().GetGroupAUConfigXML(), *this,
                                                "Got return code %d from dbo.GetGroupAUConfigXML()",
                                                "Got %d rowsets from dbo.GetGroupAUConfigXML()", text) &&
      !text.empty())
    config.Set(text);
  else
    config.Reset();
}

void CGroup::GetDexConfig(DexHandler::DexConfiguration& config) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::GetDexConfig(%u)", GetID());
  std::wstring text;
  if (GroupConfigXML<CDexConfigXMLFromADOFields>(GetDatabaseConnection().GetGroupDexConfigXML(), *this,
                                                 "Got return code %d from dbo.GetGroupDexConfigXML()",
                                                 "Got %d rowsets from dbo.GetGroupDexConfigXML()", text) &&
      !text.empty()) {
    trace::Trace(TRACE_BUSINESSLOGIC, 2, L"GetDexGroupConfig::Setting XML into cfg: %s", text);
    config.Set(text);
  }
}

void CGroup::SetAUConfig(AUCoreHandler::AutoUpdateConfiguration& config) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::SetAUConfig(%u)", GetID());
  Require(IsOrdinary(), L"SetAUConfig");
  try {
    COurCommand cmd = GetDatabaseConnection().SetGroupAUConfigXML();
    cmd.SetAttribute(L"@GroupID", GetID());
    cmd.SetAttribute(L"@AUConfigXML", config.ToXML());
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    Rethrow(e, *this, kNotFound);
  }
  vrn::TickClock(vrn::kComputerStateClock);
}

void CGroup::SetDexConfig(const KTDexHandler::KTDexConfiguration& config) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::SetDexConfig(%u)", GetID());
  Require(IsOrdinary(), L"SetDexConfig");
  try {
    vrn::Entitys::CDexConfiguration(static_cast<LONG>(GetID())).Set(config);
  } catch (const CSPException& e) {
    Rethrow(e, *this, kNotFound);
  }
  vrn::TickClock(vrn::kComputerStateClock);
}

void CGroup::Apply(Actions::CActionBase& action)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroup::Apply(%u)", GetID());
  action.ApplyToGroup(*this);
}

void CGroupList::Apply(Actions::CActionBase& action)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGroupList::Apply()");
  action.ApplyToGroupList(*this);
}
