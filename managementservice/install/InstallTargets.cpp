#include "managementservice/install/InstallTargets.h"

#include <map>
#include <set>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "managementservice/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace {

// The group's update configuration, read as the business layer's group action reads it: one
// row, an empty text clearing the configuration.
void ReadGroupConfiguration(ULONG groupID, AUCoreHandler::AutoUpdateConfiguration& configuration)
{
  COurCommand cmd = GetDatabaseConnection().GetGroupAUConfigXML();
  cmd.SetAttribute(L"@GroupID", groupID);
  std::vector<std::wstring> rows;
  PopulateListFromRowsets<std::vector<std::wstring>, CAUConfigXMLFromADOFields>(cmd, rows);
  const LONG result = cmd.GetReturnValue();
  if (result != 0)
    throw CSPException(result);
  if (rows.size() != 1)
    throw CSPException(35);
  if (rows.front().empty())
    configuration.Reset();
  else
    configuration.Set(rows.front());
}

}  // namespace

std::vector<InstallGroup> GroupsOfRequestedComputers(const std::vector<LONG>& requested)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "GroupsOfRequestedComputers()");
  std::map<ULONG, std::set<LONG>> byGroup;
  for (LONG id : std::set<LONG>(requested.begin(), requested.end())) {
    ComputerDetails details;
    try {
      CComputer(id).GetComputerDetails(details);
    } catch (const vrn::Exceptions::ComputerDoesNotExist&) {
      continue;  // no group holds it
    }
    if (details.group.empty())
      continue;
    byGroup[details.group.front().GetID()].insert(id);
  }
  std::vector<InstallGroup> groups;
  for (const auto& [groupID, members] : byGroup) {
    InstallGroup g;
    ReadGroupConfiguration(groupID, g.configuration);
    g.computers.assign(members.begin(), members.end());
    groups.push_back(std::move(g));
  }
  return groups;
}
