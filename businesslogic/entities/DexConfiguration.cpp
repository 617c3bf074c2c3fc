#include "businesslogic/entities/DexConfiguration.h"

#include <string>
#include <vector>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"

namespace vrn::Entitys {

namespace {

LONG GroupOf(const CComputer& computer)
{
  ComputerDetails details;
  computer.GetComputerDetails(details);
  return static_cast<LONG>(details.group.front().GetID());
}

}  // namespace

CDexConfiguration::CDexConfiguration(LONG groupID) : TDBEntity(groupID)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "vrn::Entitys::CDexConfiguration::CDexConfiguration(%i)", groupID);
}

CDexConfiguration::CDexConfiguration(const CComputer& computer) : TDBEntity(GroupOf(computer))
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "vrn::Entitys::CDexConfiguration::CDexConfiguration(computer %i)",
                              computer.GetID());
}

void CDexConfiguration::Get(KTDexHandler::KTDexConfiguration& configuration) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void vrn::Entitys::CDexConfiguration::Get(%i)", GetID());
  COurCommand cmd = GetDatabaseConnection().GetGroupDexConfigXML();
  // Group identities are unsigned in the database; the two special groups are above 2^31.
  cmd.SetAttribute(L"@GroupID", static_cast<ULONG>(GetID()));
  std::vector<std::wstring> rows;
  PopulateListFromRowsets<std::vector<std::wstring>, CGroupDexConfigurationXMLFromADOFields>(cmd, rows);
  CSPException::Check(cmd.GetReturnValue());
  if (!rows.empty() && !rows.front().empty())
    configuration.Set(rows.front());
  else
    configuration.Reset();
}

void CDexConfiguration::Set(const KTDexHandler::KTDexConfiguration& configuration) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void vrn::Entitys::CDexConfiguration::Set(%i)", GetID());
  COurCommand cmd = GetDatabaseConnection().SetGroupDexConfigXML();
  cmd.SetAttribute(L"@GroupID", static_cast<ULONG>(GetID()));
  cmd.SetAttribute(L"@DexConfigXML", configuration.ToXML());
  CSPException::Check(cmd.ExecuteCommand());
}

}  // namespace vrn::Entitys
