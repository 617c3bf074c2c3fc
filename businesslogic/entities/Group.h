#pragma once
// A group of computers as the business layer holds it: its identity, with the operations on the
// group tree, its members and its configurations; and lists of groups. Two identities are not
// rows of the database: the root of the tree (the absence of a parent) and the unassigned group
// that holds the computers of no group. They are never written as rows: operations that would
// name them where the database takes only real groups refuse with OperationNotSupported.
//
// Unmapped non-zero procedure return values throw CSPException (for example 37
// "ErrorMoveIntoDescendant" for a move that would make a cycle, 43 "ErrorNonLeafGroupDelete" for
// deleting a group with subgroups). Changes tick the change clocks: the tree clock for names and
// the tree's shape, the membership clock for computers entering or leaving a group, the
// computer-state clock for a configuration change (the members' match flags become unknown).
#include <map>
#include <string>

#include "businesslogic/actions/ActionBase.h"
#include "businesslogic/entities/DBEntity.h"
#include "platform/com/WinTypes.h"

class CComputer;
class CComputerList;
class CGroupList;

namespace AUCoreHandler {
class AutoUpdateConfiguration;
}
namespace DexHandler {
class DexConfiguration;
}
namespace KTDexHandler {
class KTDexConfiguration;
}

namespace PTLDB {
// The order of a whole-tree group list; the values are the database's (0 id, 1 name, 2 tree
// order, 3 most computers first).
using GroupListOrder = LONG;
}  // namespace PTLDB

// Every (parent, child) pair of the tree, keyed by parent; top-level groups have the root as
// parent, and the root also has the unassigned group.
using GroupHierarchyTree = std::multimap<ULONG, ULONG>;

class CGroup : public Actions::CActionableBase, public TDBEntity<CGroup, ULONG>
{
public:
  static constexpr ULONG RootID = 0xFFFFFFFFu;
  static constexpr ULONG UnassignedID = 0xFFFFFFFEu;
  enum ItemsToFetch { GroupOnly = 0, GroupAndComputers = 1 };

  // The two fixed groups, process-wide.
  static const CGroup& Root();
  static const CGroup& Unassigned();

  explicit CGroup(ULONG id);
  CGroup(const CGroup& right);
  CGroup& operator=(const CGroup& right);
  ~CGroup() override;

  bool IsRoot() const noexcept { return GetID() == RootID; }
  bool IsUnassigned() const noexcept { return GetID() == UnassignedID; }

  // What the console may offer on this group (no database access).
  bool IsRenameAllowed() const noexcept { return !IsUnassigned(); }
  bool IsMoveAllowed() const noexcept { return IsOrdinary(); }
  bool IsDeleteAllowed() const noexcept { return IsOrdinary(); }
  bool IsAddOrMoveSubgroupIntoAllowed() const noexcept { return !IsUnassigned(); }
  bool IsMoveComputerIntoAllowed() const noexcept { return !IsRoot(); }
  bool IsAddComputerAllowed() const noexcept { return IsOrdinary(); }
  bool IsRemoveComputerAllowed() const noexcept { return IsOrdinary(); }
  bool IsMoveComputerFromAllowed() const noexcept { return !IsRoot(); }

  static constexpr std::size_t GetMaxGroupNameLength() noexcept { return 32; }
  // The characters a group name may not hold: \ / * % ? : " < > |
  static const std::wstring& GetInvalidGroupNameCharSet();
  // vrn::Exceptions::InvalidGroupNameLength for an empty name or one over 32 characters,
  // InvalidGroupNameChars for one holding a forbidden character.
  static void ValidateName(const std::wstring& name);

  // The name; OperationNotSupported on the root and the unassigned group, GroupNotFound for a
  // group without a row.
  std::wstring GetName() const;
  // Renames (the name validated first); GroupNameAlreayExists when a sibling has the name.
  void SetName(const std::wstring& name) const;
  // A new child group; under the root it gets a default anti-virus configuration. Refused on
  // the unassigned group. The tree clock ticks however the creation ends once it ran.
  CGroup CreateChildGroup(const std::wstring& name) const;
  // Gives the group a new parent (the root: top level). Refused for the root and the
  // unassigned group, and into the unassigned group; a parent that is the group or one of its
  // descendants is CSPException 37, a sibling of the same name GroupNameAlreayExists.
  void Move(const CGroup& newParent) const;
  // Deletes a group without subgroups; its computers become unassigned.
  void Delete() const;

  // Puts the computer into this group, out of any other. A computer already here is traced and
  // left alone, without a tick.
  void AddComputer(const CComputer& comp) const;
  // Moves the computer from `from` (the unassigned group for a computer of none) into this group.
  void MoveComputer(const CComputer& comp, const CGroup& from) const;
  // Makes the computer unassigned.
  void RemoveComputer(const CComputer& comp) const;

  // The group's own computers (none for the root).
  void GetComputerList(CComputerList& list) const;
  // The computers of the group and all its descendants (every computer for the root).
  void GetAllChildComputerList(CComputerList& list) const;
  // The direct subgroups; for the root the top-level groups followed by the unassigned group.
  void GetChildGroupList(CGroupList& list, ItemsToFetch toFetch = GroupOnly) const;
  // Every group below, in tree order; for the root every group, then the unassigned group.
  void GetAllChildGroupList(CGroupList& list) const;
  static void GetOrderedGroupList(PTLDB::GroupListOrder order, CGroupList& list);
  static void GetGroupHierarchyTree(GroupHierarchyTree& relationships);

  // The group's update configuration: cleared when it has none, when the procedure fails or
  // gives other than one row (both traced at level 1).
  void GetAUConfig(AUCoreHandler::AutoUpdateConfiguration& config) const;
  // The group's anti-virus configuration, left uninitialised when it has none or when the
  // procedure fails or gives other than one row (traced at level 1).
  void GetDexConfig(DexHandler::DexConfiguration& config) const;
  // Store a configuration for the group; refused (OperationNotSupported) on the fixed groups.
  void SetAUConfig(AUCoreHandler::AutoUpdateConfiguration& config) const;
  void SetDexConfig(const KTDexHandler::KTDexConfiguration& config) const;

  // Hands this group to the action's group operation.
  void Apply(Actions::CActionBase& action) override;

private:
  bool IsOrdinary() const noexcept { return !IsRoot() && !IsUnassigned(); }
  // OperationNotSupported for `operation` unless `allowed`.
  void Require(bool allowed, const wchar_t* operation) const;
};

class CGroupList : public Actions::CActionableBase, public TList<CGroup>
{
public:
  using TList<CGroup>::TList;
  CGroupList() = default;
  CGroupList(const CGroupList&) = default;
  CGroupList& operator=(const CGroupList&) = default;

  // Hands the whole list to the action's group-list operation.
  void Apply(Actions::CActionBase& action) override;
};
