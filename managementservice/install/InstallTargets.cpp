#include "managementservice/install/InstallTargets.h"

#include <algorithm>
#include <iterator>
#include <set>

#include "businesslogic/actions/ConfigMatchesGroupAction.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "managementservice/TraceComponent.h"
#include "platform/trace/Trace.h"

std::vector<InstallGroup> GroupsOfRequestedComputers(const std::vector<LONG>& requested)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "GroupsOfRequestedComputers()");
  const std::set<LONG> wanted(requested.begin(), requested.end());
  // Every group, the pseudo-group of ungrouped computers last.
  CGroupList groups;
  CGroup(CGroup::RootID).GetAllChildGroupList(groups);
  std::vector<InstallGroup> result;
  for (CGroup& group : groups) {
    CComputerList members;
    group.GetComputerList(members);
    std::set<LONG> memberIds;
    for (const CComputer& c : members)
      memberIds.insert(c.GetID());
    InstallGroup g;
    std::set_intersection(memberIds.begin(), memberIds.end(), wanted.begin(), wanted.end(), std::back_inserter(g.computers));
    if (g.computers.empty())
      continue;
    Actions::CGetAUConfigAction action(g.configuration);
    group.Apply(action);
    result.push_back(std::move(g));
  }
  return result;
}
