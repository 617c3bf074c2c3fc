#include "businesslogic/entities/Alert.h"

#include <cxxabi.h>

#include "businesslogic/ClockTicks.h"
#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/TextLimits.h"
#include "businesslogic/entities/AlertDetails.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "platform/com/ComError.h"
#include "platform/text/Unicode.h"

namespace {

using vrn::TextLimits::Cut;
namespace TextLimits = vrn::TextLimits;

constexpr LONG kPurgeFailed = 4;    // ErrorPurgeFailed
constexpr LONG kNotFound = 22;      // ErrorNotFound: no such computer
constexpr std::size_t kInsertCount = 5;

// Runs an alert-creating command for the computer and tells the consoles; a computer without a
// row is ComputerDoesNotExist.
void ExecuteCreation(COurCommand& cmd, const CComputer& computer)
{
  try {
    CSPException::Check(cmd.ExecuteCommand());
  } catch (const CSPException& e) {
    if (e.ReturnValue() == kNotFound)
      throw vrn::Exceptions::ComputerDoesNotExist(L"Computer does not exist", computer);
    throw;
  }
  vrn::TickClock(vrn::kComputerStateClock);
}

std::wstring InsertName(std::size_t i) { return L"@Insert" + std::to_wstring(i); }

}  // namespace

CAlert::CAlert(ULONG id) : TDBEntity(id) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlert::CAlert(%ul)", id); }

CAlert::CAlert(const CAlert& right) : CActionableBase(right), TDBEntity(right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlert::CAlert");
}

CAlert& CAlert::operator=(const CAlert& right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlert::operator=");
  TDBEntity::operator=(right);
  return *this;
}

CAlert::~CAlert() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlert::~CAlert"); }

void CAlert::Apply(Actions::CActionBase& action)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CAlert::Apply(%u)", GetID());
  action.ApplyToAlert(*this);
}

void CAlert::GetAlertDetails(CAlertDetailsBase& receiver) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CAlert::GetAlertDetails(%u)", GetID());
  const LONG id = static_cast<LONG>(GetID());
  COurCommand alert = GetDatabaseConnection().GetAlertDetails();
  alert.SetAttribute(L"@AlertID", id);
  CSPException::Check(alert.ExecuteCommand());
  const std::wstring userName = alert.GetAttributeAsString(L"@UserName");
  const DATE time = alert.GetAttributeAsDate(L"@AlertTime");
  const LONG type = alert.GetAttributeAsInt(L"@AlertType");
  const bool outstanding = alert.GetAttributeAsInt(L"@Active") != 0;

  if (type == ErrorAlertType) {
    COurCommand error = GetDatabaseConnection().GetAlertDetailsError();
    error.SetAttribute(L"@AlertID", id);
    CSPException::Check(error.ExecuteCommand());
    CAlertDetailsBase::ErrorDetails details;
    details.timeDetected = time;
    details.userName = userName;
    details.source = error.GetAttributeAsString(L"@Source");
    details.entityInfo = error.GetAttributeAsString(L"@EntityInfo");
    details.number = error.GetAttributeAsInt(L"@Number");
    details.messageCode = error.GetAttributeAsString(L"@MessageCode");
    for (std::size_t i = 1; i <= kInsertCount; ++i)
      details.inserts.push_back(error.GetAttributeAsString(InsertName(i).c_str()));
    details.outstanding = outstanding;
    receiver.SetErrorDetails(details);
  } else if (type == VirusAlertType) {
    COurCommand virus = GetDatabaseConnection().GetAlertDetailsVirus();
    virus.SetAttribute(L"@AlertID", id);
    CSPException::Check(virus.ExecuteCommand());
    receiver.SetVirusDetails(time, userName, virus.GetAttributeAsString(L"@VirusName"), virus.GetAttributeAsInt(L"@VirusType"),
                             virus.GetAttributeAsString(L"@InfectedItem"), virus.GetAttributeAsInt(L"@ScannerType"),
                             virus.GetAttributeAsInt(L"@ActionTaken"), outstanding);
  } else {
    trace::Trace(TRACE_BUSINESSLOGIC, 1, "CAlert::GetAlertDetails unsupported alert type skipping");
  }
}

void CAlert::CreateErrorAlert(const CComputer& computer, DATE alertTime, const std::wstring& source, const std::wstring& entityInfo,
                              const std::wstring& userName, LONG number, const std::wstring& messageCode,
                              const std::vector<std::wstring>& inserts)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC,
                              L"CAlert CAlert::CreateErrorAlert(computer,\"%s\",%i, \"%s\", const std::vector<const std::wstring>& inserts)",
                              source, number, messageCode);
  COurCommand cmd = GetDatabaseConnection().AddErrorAlert();
  cmd.SetAttribute(L"@ComputerID", computer.GetID());
  cmd.SetAttribute(L"@AlertTime", alertTime);
  cmd.SetAttribute(L"@UserName", Cut(userName, TextLimits::kUserName));
  cmd.SetAttribute(L"@Source", Cut(source, TextLimits::kSource));
  cmd.SetAttribute(L"@EntityInfo", Cut(entityInfo, TextLimits::kEntityInfo));
  cmd.SetAttribute(L"@number", number);
  cmd.SetAttribute(L"@MessageCode", messageCode);
  for (std::size_t i = 1; i <= kInsertCount; ++i)
    cmd.SetAttribute(InsertName(i).c_str(), i <= inserts.size() ? Cut(inserts[i - 1], TextLimits::kAlertInsert) : std::wstring());
  ExecuteCreation(cmd, computer);
}

void CAlert::CreateVirusDetectedAlert(const CComputer& computer, DATE alertTime, const std::wstring& virusName, LONG virusType,
                                      const std::wstring& infectedItem, LONG scannerType, LONG actionTaken,
                                      const std::wstring& userName)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"CAlert::CreateVirusDetectedAlert(date,%s,%d,%s,%d,%d)", virusName, virusType,
                              infectedItem, scannerType, actionTaken);
  COurCommand cmd = GetDatabaseConnection().AddVirusAlert();
  cmd.SetAttribute(L"@ComputerID", computer.GetID());
  cmd.SetAttribute(L"@AlertTime", alertTime);
  cmd.SetAttribute(L"@UserName", Cut(userName, TextLimits::kUserName));
  cmd.SetAttribute(L"@VirusName", Cut(virusName, TextLimits::kVirusName));
  cmd.SetAttribute(L"@VirusType", virusType);
  cmd.SetAttribute(L"@InfectedItem", Cut(infectedItem, TextLimits::kInfectedItem));
  cmd.SetAttribute(L"@ScannerType", scannerType);
  cmd.SetAttribute(L"@ActionTaken", actionTaken);
  ExecuteCreation(cmd, computer);
}

namespace {

void NameEnvelope(const std::wstring& deliveryKey)
{
  COurCommand cmd = GetDatabaseConnection().EnvelopeBegin();
  cmd.SetAttribute(L"@DeliveryKey", deliveryKey);
  CSPException::Check(cmd.ExecuteCommand());
}

}  // namespace

CAlertEnvelopeScope::CAlertEnvelopeScope(const std::string& deliveryKey)
{
  std::wstring key = FromUtf8(deliveryKey);
  if (key.size() > TextLimits::kDeliveryKey) {
    // The library promises no such key. Storing the alert, perhaps twice, beats losing it.
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "Delivery key of %lu characters is too long, the envelope goes unnamed",
                 static_cast<unsigned long>(key.size()));
    key.clear();
  }
  NameEnvelope(key);
}

CAlertEnvelopeScope::~CAlertEnvelopeScope()
{
  try {
    NameEnvelope(L"");
  } catch (...) {
    // A lost connection forgets the name with the session.
  }
}

void CAlert::GetPurgeDetails(std::wstring& companyName, PTLDB::AlertPurgeType& purgeType, int& months, int& numAlerts)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CAlert::GetPurgeDetails()");
  COurCommand report = GetDatabaseConnection().GetReportFormatInformation();
  CSPException::Check(report.ExecuteCommand());
  companyName = report.GetAttributeAsString(L"@CompanyName");

  COurCommand purge = GetDatabaseConnection().GetPurgeSettings();
  CSPException::Check(purge.ExecuteCommand());
  purgeType = purge.GetAttributeAsInt(L"@Method");
  months = static_cast<int>(purge.GetAttributeAsInt(L"@Months"));
  numAlerts = static_cast<int>(purge.GetAttributeAsInt(L"@Maximum"));
}

void CAlert::SetPurgeDetails(const std::wstring& companyName, PTLDB::AlertPurgeType purgeType, int months, int numAlerts)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CAlert::SetPurgeDetails(%i, %i, %i)", static_cast<long>(purgeType), months,
                              numAlerts);
  if (companyName.size() > TextLimits::kCompanyName)
    throw vrn::Exceptions::InvalidCompanyNameLength(companyName);
  try {
    COurCommand report = GetDatabaseConnection().SetReportFormatInformation();
    report.SetAttribute(L"@CompanyName", companyName);
    CSPException::Check(report.ExecuteCommand());

    COurCommand purge = GetDatabaseConnection().SetPurgeSettings();
    purge.SetAttribute(L"@Method", static_cast<LONG>(purgeType));
    purge.SetAttribute(L"@Months", static_cast<LONG>(months));
    purge.SetAttribute(L"@Maximum", static_cast<LONG>(numAlerts));
    CSPException::Check(purge.ExecuteCommand());
  } catch (const std::exception& e) {
    if (const auto* sp = dynamic_cast<const CSPException*>(&e); sp && sp->ReturnValue() == kPurgeFailed)
      throw vrn::Exceptions::PurgeFailed();
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "Caught exception %S : %S", priv::TypeName(typeid(e)), FromUtf8(e.what()));
    throw;
  } catch (const _com_error& e) {
    // A COM error is no standard exception but is reported the same way: the administrator
    // sees why the settings were not stored.
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "Caught exception %S : %S", priv::TypeName(typeid(e)),
                 e.Description().empty() ? FromUtf8(e.ErrorMessage()) : e.Description());
    throw;
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "Caught exception %S : %S", type ? priv::TypeName(*type) : std::wstring(L"unknown"),
                 std::wstring());
    throw;
  }
}

CAlertList::CAlertList() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlertList::CAlertList() :AlertList()"); }

CAlertList& CAlertList::operator=(const CAlertList& right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlertList& CAlertList::operator=(");
  TList<CAlert>::operator=(right);
  return *this;
}

CAlertList::~CAlertList() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlertList::~CAlertList()"); }

void CAlertList::Apply(Actions::CActionBase& action)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CAlertList::Apply()");
  action.ApplyToAlertList(*this);
}
