#pragma once
// A group of computers as the business layer holds it: its identity, and lists of groups. Two
// identities are not rows of the database: the root of the tree (the absence of a parent) and
// the unassigned group that holds the computers of no group.
#include "businesslogic/entities/DBEntity.h"
#include "platform/com/WinTypes.h"

class CGroup : public TDBEntity<CGroup, ULONG>
{
public:
  static constexpr ULONG RootID = 0xFFFFFFFFu;
  static constexpr ULONG UnassignedID = 0xFFFFFFFEu;

  explicit CGroup(ULONG id);
  CGroup(const CGroup& right);
  CGroup& operator=(const CGroup& right);
  ~CGroup() override;
};

class CGroupList : public TList<CGroup>
{
public:
  using TList<CGroup>::TList;
};
