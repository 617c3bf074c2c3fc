#include "businesslogic/entities/Computer.h"

#include <ctime>
#include <utility>
#include <vector>

#include "businesslogic/ClockTicks.h"
#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/TextLimits.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/entities/MessageSystemAddress.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "platform/oledate/OleDate.h"

namespace {

namespace TextLimits = vrn::TextLimits;
using vrn::TextLimits::Cut;

constexpr LONG kNameExists = 8;          // ErrorDUPLICATE: the computer is there already
constexpr LONG kNotFound = 22;           // ErrorNotFound
constexpr LONG kComputerDeleted = 39;    // the computer does not exist (any more)
constexpr LONG kNotManaged = 47;         // the computer has no address
constexpr LONG kUnknownAddress = 48;     // no computer has the address

const wchar_t* const kComputerDoesNotExist = L"Computer does not exist";

void CheckAddress(const std::string& address)
{
  if (address.size() > vrn::kMaxMessageSystemAddressLength)
    throw vrn::Exceptions::InvalidMessageSystemAddress(address);
}

// The id of an address's computer; the return value is checked by the caller.
LONG LookUpAddress(const std::string& address, LONG& id)
{
  CheckAddress(address);
  COurCommand cmd = GetDatabaseConnection().GetCompIDFromMessageSystemAddress();
  cmd.SetAttribute(L"@MessageSystemAddress", vrn::WidenAddress(address));
  const LONG result = cmd.ExecuteCommand();
  if (result == 0)
    id = cmd.GetAttributeAsInt(L"@ComputerID");
  return result;
}

// The configuration texts of a computer: its one row, or an empty text for anything else.
template <class Builder>
std::wstring GetConfigXML(const COurCommand& procedure, LONG computerID, const char* returnCodeTrace, const char* rowCountTrace,
                          CReportedConfigurationScope::Kind kind)
{
  COurCommand cmd = procedure;
  cmd.SetAttribute(L"@ComputerID", computerID);
  std::vector<std::wstring> rows;
  PopulateListFromRowsets<std::vector<std::wstring>, Builder>(cmd, rows);
  const LONG result = cmd.GetReturnValue();
  if (result != 0) {
    trace::Trace(TRACE_BUSINESSLOGIC, 1, returnCodeTrace, result);
    return {};
  }
  if (rows.size() != 1) {
    trace::Trace(TRACE_BUSINESSLOGIC, 1, rowCountTrace, static_cast<long>(rows.size()));
    return {};
  }
  CReportedConfigurationScope::Remember(computerID, kind, rows.front());
  return rows.front();
}

}  // namespace

CComputer::CComputer(LONG id) : TDBEntity(id)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer::CComputer(%u)", static_cast<ULONG>(id));
}

CComputer::CComputer(const CComputer& right) : CActionableBase(right), TDBEntity(right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer::CComputer(const CComputer(%u) &)", static_cast<ULONG>(GetID()));
}

CComputer& CComputer::operator=(const CComputer& right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer& CComputer::operator=(const CComputer))");
  TDBEntity::operator=(right);
  return *this;
}

CComputer::~CComputer()
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer::~CComputer(%u)", static_cast<ULONG>(GetID()));
}

bool CComputer::IsMessageSystemAddressRegistered(const std::string& address)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "bool CComputer::IsMessageSystemAddressRegistered(\"%s\")", address);
  LONG id = 0;
  const LONG result = LookUpAddress(address, id);
  if (result == kUnknownAddress || result == kComputerDeleted)
    return false;
  CSPException::Check(result);
  return true;
}

CComputer CComputer::GetFromMessageSystemAddress(const std::string& address)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer CComputer::GetFromMessageSystemAddress(\"%s\")", address);
  LONG id = 0;
  try {
    CSPException::Check(LookUpAddress(address, id));
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kComputerDeleted)
      throw vrn::Exceptions::ComputerDoesNotExist(kComputerDoesNotExist);
    if (e.ReturnValue() == kUnknownAddress)
      throw vrn::Exceptions::UnknownMessageSystemAddress(address);
    throw;
  }
  return CComputer(id);
}

CComputer CComputer::CreateComputer(const std::wstring& name, const std::wstring& domain)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"CComputer CComputer::CreateComputer(\"%s\", \"%s\")", name, domain);
  return CComputer(GetDatabaseConnection().CreateComputer(name, domain));
}

CComputer CComputer::CreateComputer(const std::wstring& name, const std::wstring& domain, const std::wstring& description,
                                    LONG os)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"CComputer CComputer::CreateComputer(\"%s\", \"%s\", \"%s\", %i)", name,
                              domain, description, os);
  return CComputer(GetDatabaseConnection().CreateComputerImpl(name, domain, description, os, false));
}

CComputer CComputer::CreateComputerUnique(const std::wstring& name, const std::wstring& domain,
                                          const std::wstring& description, LONG os)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"CComputer CComputer::CreateComputerUnique(\"%s\", \"%s\", \"%s\", %i)", name,
                              domain, description, os);
  return CComputer(GetDatabaseConnection().CreateComputerImpl(name, domain, description, os, true));
}

CComputer CComputer::CreateComputer(const std::string& address, const std::wstring& name, const std::wstring& domain)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"CComputer CComputer::CreateComputer(\"%S\", \"%s\", \"%s\")", address, name,
                              domain);
  CheckAddress(address);
  COurCommand cmd = GetDatabaseConnection().ComputerFromAddressNameDomain();
  cmd.SetAttribute(L"@MessageSystemAddress", vrn::WidenAddress(address));
  cmd.SetAttribute(L"@ComputerName", Cut(name, TextLimits::kComputerName));
  cmd.SetAttribute(L"@DomainName", Cut(domain, TextLimits::kDomainName));
  const LONG result = cmd.ExecuteCommand();
  if (result != 0 && result != kNameExists)
    throw CSPException(result);
  // Only an address that was already registered to a computer that stayed changes nothing.
  if (!(result == kNameExists && cmd.GetAttributeAsInt(L"@ComputerDeleted") == 0)) {
    vrn::TickClock(vrn::kGroupMembershipClock);
    vrn::TickClock(vrn::kComputerStateClock);
  }
  return CComputer(cmd.GetAttributeAsInt(L"@ComputerID"));
}

void CComputer::GetComputerDetails(ComputerDetails& details) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CComputer::GetComputerDetails(%i)", GetID());
  GetDatabaseConnection().GetComputerDetails(GetID(), details);
}

void CComputer::UpdateComputerDescriptionAndOS(PTLDB::OperatingSystem os, std::wstring description) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CComputer::UpdateComputerDescriptionAndOS(%i, %i)", GetID(), os);
  GetDatabaseConnection().UpdateComputerDescriptionAndOS(GetID(), os, description);
}

void CComputer::SetLastScanTime(DATE when, const std::wstring& scanName) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"void CComputer::SetLastScanTime(%i, \"%s\")", GetID(), scanName);
  try {
    COurCommand cmd = GetDatabaseConnection().ComputerSetLastScan();
    cmd.SetAttribute(L"@LastScanDateTime", when);
    cmd.SetAttribute(L"@ComputerID", static_cast<ULONG>(GetID()));
    cmd.SetAttribute(L"@LastScanName", Cut(scanName, TextLimits::kScanName));
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kNotFound)
      throw vrn::Exceptions::ComputerDoesNotExist(kComputerDoesNotExist, *this);
    throw;
  }
  vrn::TickClock(vrn::kComputerStateClock);
}

void CComputer::GetMessageSystemAddress(std::string& address) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CComputer::GetMessageSystemAddress(%i)", GetID());
  try {
    COurCommand cmd = GetDatabaseConnection().GetMessageSystemAddress();
    cmd.SetAttribute(L"@ComputerID", GetID());
    CSPException::Check(cmd.ExecuteCommand());
    const std::wstring wide = cmd.GetAttributeAsString(L"@MessageSystemAddress");
    address = vrn::NarrowAddress(wide);
    trace::Trace(TRACE_BUSINESSLOGIC, 3, "Address is :%S", wide);
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kComputerDeleted)
      throw vrn::Exceptions::ComputerDoesNotExist(kComputerDoesNotExist, *this);
    if (e.ReturnValue() == kNotManaged)
      throw vrn::Exceptions::ComputerNotManaged(*this);
    throw;
  }
}

void CComputer::GetAlertList(CAlertList& alerts) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CComputer::GetAlertList(%i)", GetID());
  alerts.clear();
  COurCommand cmd = GetDatabaseConnection().GetAlertList();
  cmd.SetAttribute(L"@ComputerID", GetID());
  CAlertList found;
  PopulateListFromRowsetsFast(cmd, found);
  CSPException::Check(cmd.GetReturnValue());
  alerts = found;
}

namespace {
thread_local CReportedConfigurationScope* t_reportedConfigurations = nullptr;
}

CReportedConfigurationScope::CReportedConfigurationScope() : m_previous(std::exchange(t_reportedConfigurations, this)) {}

CReportedConfigurationScope::~CReportedConfigurationScope() { t_reportedConfigurations = m_previous; }

void CReportedConfigurationScope::Remember(LONG computer, Kind kind, const std::wstring& text)
{
  if (t_reportedConfigurations)
    t_reportedConfigurations->m_known[{computer, kind}] = text;
}

const std::wstring* CReportedConfigurationScope::Known(LONG computer, Kind kind)
{
  if (!t_reportedConfigurations)
    return nullptr;
  const auto it = t_reportedConfigurations->m_known.find({computer, kind});
  return it == t_reportedConfigurations->m_known.end() ? nullptr : &it->second;
}

std::wstring CComputer::GetAUConfigXML() const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "std::wstring CComputer::GetAUConfigXML(%i)", GetID());
  if (const std::wstring* known = CReportedConfigurationScope::Known(GetID(), CReportedConfigurationScope::AutoUpdate))
    return *known;
  return GetConfigXML<CAUConfigXMLFromADOFields>(GetDatabaseConnection().ComputerGetAUConfig(), GetID(),
                                                 "Got return code %d from dbo.ComputerGetAUConfig()",
                                                 "Got %d rowsets from dbo.ComputerGetAUConfig()", CReportedConfigurationScope::AutoUpdate);
}

std::wstring CComputer::GetDexConfigXML() const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "std::wstring CComputer::GetDexConfigXML(%i)", GetID());
  if (const std::wstring* known = CReportedConfigurationScope::Known(GetID(), CReportedConfigurationScope::Dex))
    return *known;
  return GetConfigXML<CDexConfigXMLFromADOFields>(GetDatabaseConnection().ComputerGetDexConfig(), GetID(),
                                                  "Got return code %d from dbo.ComputerGetDexConfig()",
                                                  "Got %d rowsets from dbo.ComputerGetDexConfig()", CReportedConfigurationScope::Dex);
}

void CComputer::MessageRecieved() const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CComputer::MessageRecieved(%i)", GetID());
  GetDatabaseConnection().ComputerLastMessageTimeSet(GetID(), LocalOleDateFromTimeT(std::time(nullptr)));
}

void CComputer::CreateErrorAlert(DATE alertTime, const std::wstring& source, const std::wstring& entityInfo,
                                 const std::wstring& userName, LONG number, const std::wstring& messageCode,
                                 const std::vector<std::wstring>& inserts) const
{
  CAlert::CreateErrorAlert(*this, alertTime, source, entityInfo, userName, number, messageCode, inserts);
}

void CComputer::CreateVirusDetectedAlert(DATE alertTime, const std::wstring& virusName, LONG virusType,
                                         const std::wstring& infectedItem, LONG scannerType, LONG actionTaken,
                                         const std::wstring& userName) const
{
  CAlert::CreateVirusDetectedAlert(*this, alertTime, virusName, virusType, infectedItem, scannerType, actionTaken, userName);
}

void CComputer::MarkAlertsAsDealtWith(const CAlert* alert) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CComputer::MarkAlertsAsDealtWith(%i, %u)", GetID(),
                              alert ? alert->GetID() : 0u);
  try {
    COurCommand cmd = GetDatabaseConnection().MarkAlertsAsDealtWith();
    cmd.SetAttribute(L"@ComputerID", GetID());
    if (alert)
      cmd.SetAttribute(L"@AlertID", static_cast<LONG>(alert->GetID()));
    else
      cmd.SetAttributeNull(L"@AlertID");
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kComputerDeleted)
      throw vrn::Exceptions::ComputerDoesNotExist(kComputerDoesNotExist, *this);
    throw;
  }
  vrn::TickClock(vrn::kComputerStateClock);
}

void CComputer::Apply(Actions::CActionBase& action)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CComputer::Apply(%i)", GetID());
  action.ApplyToComputer(*this);
}

void CComputerList::Apply(Actions::CActionBase& action)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CComputerList::Apply()");
  action.ApplyToComputerList(*this);
}
