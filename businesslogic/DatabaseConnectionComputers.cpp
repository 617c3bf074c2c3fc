// The connection's typed operations on the computer procedures: each holds its group's lock while
// it uses the procedure's command, since all threads share the one prepared command of each
// procedure. Clocks tick after the lock is released, and no lock is taken while another is held.
#include "businesslogic/ClockTicks.h"
#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/TextLimits.h"
#include "businesslogic/TraceComponent.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "platform/trace/Trace.h"

namespace {

constexpr LONG kNameExists = 8;           // ErrorDUPLICATE: AddComputer found the name
constexpr LONG kComputerNotFound = 22;    // ErrorNotFound

namespace TextLimits = vrn::TextLimits;
using vrn::TextLimits::Cut;

FlagState ReadFlag(const COurCommand& cmd, const wchar_t* name)
{
  return FlagStateFromBit(cmd.IsAttributeNull(name) ? std::nullopt : std::optional<bool>(cmd.GetAttributeAsBool(name)));
}

// A nullable date: status null when the database has none.
DateTimeValue ReadNullableDate(const COurCommand& cmd, const wchar_t* name)
{
  DateTimeValue value;
  if (!cmd.GetAttributeAsDate(name, value.date))
    value.status = DateTimeValue::null;
  return value;
}

void ReadDetailsOutputs(const COurCommand& cmd, ComputerDetails& details)
{
  details.name = cmd.GetAttributeAsString(L"@ComputerName");
  details.domainName = cmd.GetAttributeAsString(L"@DomainName");
  details.operatingSystem = cmd.GetAttributeAsInt(L"@OperatingSystem");
  details.description = cmd.GetAttributeAsString(L"@Description");
  details.alertState = cmd.GetAttributeAsInt(L"@AlertState");
  details.managed = cmd.GetAttributeAsBool(L"@ManagedFlag");
  details.dexInstalled = ReadFlag(cmd, L"@DexInstalledFlag");
  details.dexOnAccess = ReadFlag(cmd, L"@DexOnAccessFlag");
  details.dexVersion = cmd.GetAttributeAsString(L"@DexVersion");
  details.virusDataVersion = cmd.GetAttributeAsString(L"@VirusDataVersion");
  details.installPending = cmd.GetAttributeAsBool(L"@InstallPendingFlag");
  details.installInProgress = cmd.GetAttributeAsBool(L"@InstallInProgressFlag");
  details.ipAddress = cmd.GetAttributeAsULong(L"@IPAddress");
  details.servicePack = cmd.GetAttributeAsString(L"@ServicePack");
  details.primaryCID = cmd.GetAttributeAsString(L"@PrimaryCID");
  details.secondaryCID = cmd.GetAttributeAsString(L"@SecondaryCID");
  details.outOfDate = {};
  details.outOfDateKnown = cmd.GetAttributeAsDate(L"@Outofdate", details.outOfDate.date);
  if (!details.outOfDateKnown)
    details.outOfDate.date = ComputerDetails::kNotOutOfDate;
  details.hasGroupAUConfig = ReadFlag(cmd, L"@HasGroupAUConfig");
  details.hasGroupDexConfig = ReadFlag(cmd, L"@HasGroupDexConfig");
  details.group.clear();
  details.group.emplace_back(cmd.IsAttributeNull(L"@GroupID") ? CGroup::UnassignedID
                                                               : static_cast<ULONG>(cmd.GetAttributeAsInt(L"@GroupID")));
  details.lastLoggedOnUser = cmd.GetAttributeAsString(L"@LastLoggedOnUser");
  details.installFailureReason = cmd.GetAttributeAsInt(L"@InstallFailureReason");
  details.installTime = {cmd.GetAttributeAsDate(L"@InstallTime"), DateTimeValue::valid};
  details.ideNumber = cmd.GetAttributeAsInt(L"@IDENumber");
  details.connected = ReadFlag(cmd, L"@ConnectedFlag");
  details.lastScanDateTime = ReadNullableDate(cmd, L"@LastScanDateTime");
  details.lastScanName = cmd.GetAttributeAsString(L"@LastScanName");
  details.lastMessageTime = ReadNullableDate(cmd, L"@LastMessageTime");
}

}  // namespace

void CDatabaseConnection::GetComputerDetails(LONG computerID, ComputerDetails& details)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CDatabaseConnection::GetComputerDetails(%i, ComputerDetails&)", computerID);
  std::lock_guard lock(m_csGetComputerDetails);
  try {
    COurCommand cmd = GetComputerDetails();
    cmd.SetAttribute(L"@ComputerID", computerID);
    ado::RecordsetPtr records = cmd.ExecuteCommandWithRecordset();
    ReadDetailsOutputs(cmd, details);
    std::vector<std::wstring> ideLists;
    PopulateListFromRowsets<std::vector<std::wstring>, CIdeListFromADOFields>(records, ideLists);
    details.ideList = ideLists.empty() ? std::wstring() : ideLists.front();
    records->Close();
    CSPException::Check(cmd.GetReturnValue());

    // The alert lists are read as they come: a procedure that fails gives no rows, not an error.
    COurCommand virus = GetVirusAlertDetails();
    virus.SetAttribute(L"@ComputerID", computerID);
    PopulateListFromRowsets<std::vector<Alerts::VirusAlertDetails>, CVirusAlertDetailsFromADOFields>(virus, details.virusAlerts);

    COurCommand error = GetErrorAlertDetails();
    error.SetAttribute(L"@ComputerID", computerID);
    PopulateListFromRowsets<std::vector<CAlertDetailsBase::ErrorDetails>, CErrorDetailsFromADOFields>(error, details.errorAlerts);
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kComputerNotFound)
      throw vrn::Exceptions::ComputerDoesNotExist(L"Computer not found in database when trying to get computer details",
                                                  CComputer(computerID));
    throw;
  }
}

void CDatabaseConnection::GetComputerDetails(LONG computerID, std::wstring& name, std::wstring& domainName, LONG& managed)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CDatabaseConnection::GetComputerDetails(%i, name, domain, managed)",
                              computerID);
  std::lock_guard lock(m_csGetComputerDetails);
  COurCommand cmd = GetComputerDetails();
  cmd.SetAttribute(L"@ComputerID", computerID);
  CSPException::Check(cmd.ExecuteCommand());
  name = cmd.GetAttributeAsString(L"@ComputerName");
  domainName = cmd.GetAttributeAsString(L"@DomainName");
  managed = cmd.GetAttributeAsBool(L"@ManagedFlag") ? 1 : 0;
}

void CDatabaseConnection::GetComputerGroupAndOS(LONG computerID, ULONG& group, PTLDB::OperatingSystem& os)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CDatabaseConnection::GetComputerGroupAndOS(%i)", computerID);
  std::lock_guard lock(m_csGetComputerDetails);
  COurCommand cmd = GetComputerDetails();
  cmd.SetAttribute(L"@ComputerID", computerID);
  const LONG result = cmd.ExecuteCommand();
  if (result == kComputerNotFound)
    throw vrn::Exceptions::ComputerDoesNotExist(L"Computer not found in database when trying to get computer details",
                                                CComputer(computerID));
  CSPException::Check(result);
  group = cmd.IsAttributeNull(L"@GroupID") ? CGroup::UnassignedID : static_cast<ULONG>(cmd.GetAttributeAsInt(L"@GroupID"));
  os = cmd.GetAttributeAsInt(L"@OperatingSystem");
}

void CDatabaseConnection::UpdateComputerDescriptionAndOS(LONG computerID, PTLDB::OperatingSystem os,
                                                         const std::wstring& description)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CDatabaseConnection::UpdateComputerDescriptionAndOS(%i, %i)", computerID, os);
  {
    std::lock_guard lock(m_csUpdateComputerDescriptionAndOS);
    COurCommand cmd = UpdateComputerDescriptionAndOS();
    cmd.SetAttribute(L"@ComputerID", computerID);
    cmd.SetAttribute(L"@OperatingSystem", static_cast<LONG>(os));
    cmd.SetAttribute(L"@description", description);
    CSPException::Check(cmd.ExecuteCommand());
  }
  vrn::TickClock(vrn::kComputerStateClock);
}

LONG CDatabaseConnection::CreateComputer(const std::wstring& name, const std::wstring& domain)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"LONG CDatabaseConnection::CreateComputer(\"%s\", \"%s\")", name, domain);
  LONG result = 0;
  LONG id = 0;
  {
    std::lock_guard lock(m_csCreateComputer);
    COurCommand cmd = AddComputer();
    cmd.SetAttribute(L"@ComputerName", Cut(name, TextLimits::kComputerName));
    cmd.SetAttribute(L"@DomainName", Cut(domain, TextLimits::kDomainName));
    cmd.SetAttributeNull(L"@OperatingSystem");
    cmd.SetAttributeNull(L"@Description");
    result = cmd.ExecuteCommand();
    if (result != 0 && result != kNameExists)
      throw CSPException(result);
    id = cmd.GetAttributeAsInt(L"@ComputerID");
  }
  if (result != kNameExists) {
    vrn::TickClock(vrn::kGroupMembershipClock);
    vrn::TickClock(vrn::kComputerStateClock);
  }
  return id;
}

LONG CDatabaseConnection::CreateComputerImpl(const std::wstring& name, const std::wstring& domain,
                                             const std::wstring& description, LONG os, bool unique)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"LONG CDatabaseConnection::CreateComputerImpl(\"%s\", \"%s\", %i, %i)", name,
                              domain, os, static_cast<int>(unique));
  LONG result = 0;
  LONG id = 0;
  {
    std::lock_guard lock(m_csCreateComputer);
    COurCommand cmd = AddComputer();
    cmd.SetAttribute(L"@ComputerName", Cut(name, TextLimits::kComputerName));
    cmd.SetAttribute(L"@DomainName", Cut(domain, TextLimits::kDomainName));
    cmd.SetAttribute(L"@Description", Cut(description, TextLimits::kDescription));
    cmd.SetAttribute(L"@OperatingSystem", os);
    result = cmd.ExecuteCommand();
    if (result != 0 && result != kNameExists)
      throw CSPException(result);
    id = cmd.GetAttributeAsInt(L"@ComputerID");
  }

  // As every operation here: the clocks tick with no lock held, and the id lookup below takes
  // its own lock after ours is released. Left in any way from here on, the consoles hear of it:
  // membership first, then state.
  const vrn::CClockTickGuard computerState(vrn::kComputerStateClock);
  const vrn::CClockTickGuard membership(vrn::kGroupMembershipClock);
  if (result == kNameExists) {
    if (unique) {
      trace::Trace(TRACE_BUSINESSLOGIC, 2,
                   "Computer with that name already exists, throwing exception vrn::Exceptions::ComputerAlreadyInAnotherGroup");
      throw vrn::Exceptions::ComputerAlreadyInAnotherGroup(name);
    }
    trace::Trace(TRACE_BUSINESSLOGIC, 2, "Computer with that name already exists retrieveing the ID");
    id = GetComputerID(name);
  }
  return id;
}

LONG CDatabaseConnection::GetComputerID(const std::wstring& name)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"LONG CDatabaseConnection::GetComputerID(\"%s\")", name);
  std::lock_guard lock(m_csGetComputerID);
  COurCommand cmd = GetComputerID();
  cmd.SetAttribute(L"@ComputerName", Cut(name, TextLimits::kComputerName));
  CSPException::Check(cmd.ExecuteCommand());
  return cmd.GetAttributeAsInt(L"@ComputerID");
}

void CDatabaseConnection::ComputerLastMessageTimeSet(LONG computerID, DATE lastMessageTime)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CDatabaseConnection::ComputerLastMessageTimeSet(%i)", computerID);
  std::lock_guard lock(m_csComputerLastMessageTimeSet);
  COurCommand cmd = ComputerLastMessageTimeSet();
  cmd.SetAttribute(L"@ComputerID", static_cast<ULONG>(computerID));
  cmd.SetAttribute(L"@LastMessageTime", lastMessageTime);
  CSPException::Check(cmd.ExecuteCommand());
}
