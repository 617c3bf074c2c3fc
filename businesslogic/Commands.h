#pragma once
// The table of prepared stored-procedure commands of a connection: one shared COurCommand per
// procedure, created in this order when the connection is (re)established. Each is reached
// through a read-only accessor; callers take a copy, set its parameters, execute and read.
#include <vector>

#include "businesslogic/OurCommand.h"
#include "platform/ado/Ado.h"

// X(accessor, procedure) for every command of the table, in creation order.
#define CORVEX_COMMAND_TABLE(X) \
  X(GetComputerDetails, "GetComputerDetails") \
  X(AddComputer, "AddComputer") \
  X(GetComputerID, "GetComputerID") \
  X(AddErrorAlert, "AddErrorAlert") \
  X(AddVirusAlert, "AddVirusAlert") \
  X(ComputerSetLastScan, "ComputerSetLastScan") \
  X(GetAlertDetails, "GetAlertDetails") \
  X(GetAlertDetailsError, "GetAlertDetailsError") \
  X(GetAlertDetailsVirus, "GetAlertDetailsVirus") \
  X(DeleteComputers, "DeleteComputers") \
  X(UpdateSetupWizardProgress, "UpdateSetupWizardProgress") \
  X(AcquireSetupWizardLock, "AcquireSetupWizardLock") \
  X(GetSpecialGroup, "GetSpecialGroup") \
  X(GetComputerList, "GetComputerList") \
  X(GetSubGroups, "GetSubGroups") \
  X(AddComputerToGroup, "AddComputerToGroup") \
  X(MoveComputerGroup, "MoveComputerGroup") \
  X(RemoveComputerFromGroup, "RemoveComputerFromGroup") \
  X(GetAlertList, "GetAlertList") \
  X(GetVirusAlertDetails, "GetVirusAlertDetails") \
  X(GetErrorAlertDetails, "GetErrorAlertDetails") \
  X(AddGroup, "AddGroup") \
  X(MoveGroup, "MoveGroup") \
  X(RenameGroup, "RenameGroup") \
  X(DeleteGroup, "DeleteGroup") \
  X(MarkAlertsAsDealtWith, "MarkAlertsAsDealtWith") \
  X(GetGroupAUConfigXML, "GetGroupAUConfigXML") \
  X(SetGroupAUConfigXML, "SetGroupAUConfigXML") \
  X(ComputerGetAUConfig, "ComputerGetAUConfig") \
  X(ComputerGetDexConfig, "ComputerGetDexConfig") \
  X(GetGroupMembers, "GetGroupMembers") \
  X(GetMessageSystemAddress, "GetMessageSystemAddressStr") \
  X(GetCompIDFromMessageSystemAddress, "GetCompFromMessageSystemAddressStr") \
  X(GetTzLibraryStatus, "GetTzLibraryStatus") \
  X(SetTzLibraryStatus, "SetTzLibraryStatus") \
  X(PackageTableSet, "PackageTableSet") \
  X(GetGroupDexConfigXML, "GetGroupDexConfigXML") \
  X(GetReportFormatInformation, "GetReportFormatInformation") \
  X(SetReportFormatInformation, "SetReportFormatInformation") \
  X(GetPurgeSettings, "GetPurgeSettings") \
  X(SetPurgeSettings, "SetPurgeSettings") \
  X(SetGroupDexConfigXML, "SetGroupDexConfigXML") \
  X(GetGroupDetails, "GetGroupDetails") \
  X(GetRootGroups, "GetRootGroups") \
  X(GetUnassignedComputers, "GetUnassignedComputers") \
  X(UpdateComputerDescriptionAndOS, "UpdateComputerDescriptionAndOS") \
  X(SetDexStatus, "SetDexStatus") \
  X(ComputerSetDexStatusNotRunning, "ComputerSetDexStatusNotRunning") \
  X(ComputerHasGroupAUConfig, "ComputerHasGroupAUConfig") \
  X(ComputerHasGroupDexConfig, "ComputerHasGroupDexConfig") \
  X(GroupOrderedGroupListGet, "GroupOrderedGroupListGet") \
  X(GroupAllChildGroupListGet, "GroupAllChildGroupListGet") \
  X(GroupAllChildComputerListGet, "GroupAllChildComputerListGet") \
  X(UpdateComputerAUConfig, "UpdateComputerAUConfig") \
  X(UpdateComputerDexConfig, "UpdateComputerDexConfig") \
  X(GroupHierarchyGet, "GroupHierarchyGet") \
  X(ComputerFromAddressNameDomain, "ComputerFromAddressNameDomain") \
  X(ComputerLastMessageTimeSet, "ComputerLastMessageTimeSet") \
  X(EnvelopeBegin, "EnvelopeBegin")

class Commands
{
public:
  // Prepares every command on the open connection; a procedure the server does not have throws
  // vrn::Exceptions::ConnectToDatabaseFailed.
  explicit Commands(const ado::ConnectionPtr& connection);
  Commands(const Commands&) = delete;
  Commands& operator=(const Commands&) = delete;

#define CORVEX_COMMAND_ACCESSOR(accessor, procedure) \
  const COurCommand& accessor() const { return m_##accessor; }
  CORVEX_COMMAND_TABLE(CORVEX_COMMAND_ACCESSOR)
#undef CORVEX_COMMAND_ACCESSOR

  // The procedures of the table, in creation order.
  static const std::vector<const char*>& ProcedureNames();

private:
  ado::ConnectionPtr m_connection;
#define CORVEX_COMMAND_MEMBER(accessor, procedure) COurCommand m_##accessor;
  CORVEX_COMMAND_TABLE(CORVEX_COMMAND_MEMBER)
#undef CORVEX_COMMAND_MEMBER
};
