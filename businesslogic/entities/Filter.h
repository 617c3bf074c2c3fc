#pragma once
// A filter: a selection of computers that the database defines (all computers, those with
// outstanding alerts, those whose configuration differs from their group's, ...), identified by
// a code. Two filters are the same filter when their codes are equal.
#include <string>
#include <vector>

#include "businesslogic/actions/ActionBase.h"
#include "platform/com/WinTypes.h"

class CComputerList;

namespace PTLDB {
// The database's filter codes (0 all, 1 outstanding alerts, 5 configuration differs, ...).
using ComputerListFilter = LONG;
}  // namespace PTLDB

class CFilter : public Actions::CActionableBase
{
public:
  // The name and description are for people; the filter keeps only its code.
  CFilter(PTLDB::ComputerListFilter identity, const std::wstring& name, const std::wstring& description);

  PTLDB::ComputerListFilter GetIdentity() const noexcept { return m_identity; }
  LONG GetOrderBy() const noexcept { return m_orderBy; }
  bool GetAscending() const noexcept { return m_ascending; }

  // The filter's computers in the database's order `orderBy` (remembered, with the direction);
  // an unknown filter or order code throws CSPException 1.
  void GetComputerList(LONG orderBy, bool ascending, CComputerList& list);

  // Hands this filter to the action's filter operation.
  void Apply(Actions::CActionBase& action) override;

  friend bool operator==(const CFilter& a, const CFilter& b) noexcept { return a.m_identity == b.m_identity; }
  friend bool operator!=(const CFilter& a, const CFilter& b) noexcept { return !(a == b); }

private:
  PTLDB::ComputerListFilter m_identity;
  LONG m_orderBy = 0;
  bool m_ascending = false;
};

// An ordered list of filters.
class CFilterList : public std::vector<CFilter>
{
public:
  using std::vector<CFilter>::vector;
};
