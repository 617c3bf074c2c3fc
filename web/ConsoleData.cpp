#include "web/ConsoleData.h"

#include <cmath>
#include <map>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/ReplicaReads.h"
#include "businesslogic/SPException.h"
#include "businesslogic/ServerBroker.h"
#include "businesslogic/ServiceOrLocalClocksBroker.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "idl/ManagementServiceInterfaces.h"
#include "platform/com/Memory.h"
#include "platform/com/Variant.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/oledate/OleDate.h"
#include "platform/text/Unicode.h"
#include "web/ApiError.h"

namespace corvexweb {

using nlohmann::json;

namespace {

constexpr LONG kErrorNoSuchGroup = 22;
constexpr LONG kErrorBadArgument = 1;

replica::ReplicaReads& Replica()
{
  static replica::ReplicaReads reads(replica::ReadReplicaSettings());
  return reads;
}

// The web console's own procedures, prepared once per connection. A list (`read`) runs on the
// database's replica when one is configured and fit.
COurCommand Procedure(const char* name, bool read = false)
{
  static std::map<std::string, std::pair<const ado::Connection*, COurCommand>> prepared;
  ado::ConnectionPtr connection = read ? Replica().ForReading() : nullptr;
  if (!connection)
    connection = GetDatabaseConnection().GetADOPtr();
  const std::string key = std::string(name) + (connection == GetDatabaseConnection().GetADOPtr() ? "" : " (replica)");
  auto it = prepared.find(key);
  if (it == prepared.end() || it->second.first != connection.get())
    it = prepared.insert_or_assign(key, std::make_pair(connection.get(), COurCommand(connection, name))).first;
  return it->second.second;
}

json Value(const VARIANT& v)
{
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL: return nullptr;
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_UI4: return v.ulVal;
    case VT_BOOL: return v.boolVal != VARIANT_FALSE;
    case VT_DATE: return FormatOleDate(v.date);
    case VT_BSTR: return ToUtf8(std::wstring_view(v.bstrVal, SysStringLen(v.bstrVal)));
    default: {
      _variant_t number;
      if (SUCCEEDED(VariantChangeType(&number, &v, 0, VT_R8))) {
        if (std::floor(number.dblVal) == number.dblVal && std::fabs(number.dblVal) < 9e15)
          return static_cast<long long>(number.dblVal);
        return number.dblVal;
      }
      return nullptr;
    }
  }
}

// Every row of the row set as an object of its columns.
json Rows(const ado::RecordsetPtr& records, json (*valueOf)(const VARIANT&) = Value)
{
  json rows = json::array();
  if (!records || records->State() != ado::adStateOpen)
    return rows;
  while (!records->IsEOF()) {
    const ado::Fields fields = records->GetFields();
    json row = json::object();
    for (long i = 0; i < fields.Count(); ++i) {
      ado::Field field;
      _variant_t value;
      if (SUCCEEDED(fields.Item(i, field)) && SUCCEEDED(field.get_Value(&value)))
        row[ToUtf8(field.Name())] = valueOf(value);
    }
    rows.push_back(std::move(row));
    priv::MoveNext(*records);
  }
  records->Close();
  return rows;
}

json Date(const DateTimeValue& d)
{
  return d.status == DateTimeValue::null ? json(nullptr) : json(FormatOleDate(d.date));
}

json Flag(FlagState f)
{
  return f == FlagUnknown ? json(nullptr) : json(f == FlagYes);
}

void SetOptional(COurCommand& cmd, const wchar_t* name, const std::optional<LONG>& value)
{
  if (value)
    cmd.SetAttribute(name, *value);
  else
    cmd.SetAttributeNull(name);
}

void CheckPaging(int offset, int count)
{
  if (offset < 0 || count < 1 || count > 1000)
    throw ApiError(400, "bad_request", "offset must be 0 or more and count from 1 to 1000");
}

}  // namespace

COurCommand WebProcedure(const char* name, bool read)
{
  return Procedure(name, read);
}

json RowSetJson(const ado::RecordsetPtr& records)
{
  return Rows(records);
}

json RowSetJson(const ado::RecordsetPtr& records, json (*value)(const VARIANT&))
{
  return Rows(records, value);
}

ConsoleData::ConsoleData()
{
  RegisterManagementServiceMarshallers();
  // Changes made here tick the service's clocks when it runs; the web console's own edits work
  // without it.
  CServerBrokerRegistrar::SetBroker(vrn::CServiceOrLocalClocksBroker());
}

bool ConsoleData::ReadsFromReplica()
{
  return Replica().ForReading() != nullptr;
}

void ConsoleData::ReplicaFailed()
{
  Replica().Failed();
}

void ConsoleData::CheckBeforeChange()
{
  // A change is never run twice, since whether it was stored is not known; so the connection is
  // asked first, and one the server closed while it was idle (a restart, an administrator's
  // termination) is replaced before the change instead of failing it.
  const ado::ConnectionPtr& connection = GetDatabaseConnection().GetADOPtr();
  std::shared_ptr<ado::PgLink> link = connection ? connection->Link() : nullptr;
  bool answers = false;
  if (link && link->IsOpen()) {
    std::lock_guard lock(link->Mutex());
    ado::PgResultPtr rows;
    ado::PgError error;
    link->Run("SELECT 1", 5, rows, error);
    answers = !error.failed();
  }
  if (!answers)
    RenewDatabaseConnection();
}

void ConsoleData::Reconnect()
{
  // A connection known to be lost is rebuilt before its next use.
  static bool connected = false;
  if (connected && !IsDatabaseConnectionAlive())
    RenewDatabaseConnection();
  GetDatabaseConnection();
  connected = true;
}

json ConsoleData::Overview(int days)
{
  if (days < 1 || days > 366)
    throw ApiError(400, "bad_request", "days must be from 1 to 366");
  return WithDatabase([&] {
    COurCommand cmd = Procedure("WebOverviewGet", true);
    cmd.SetAttribute(L"@Days", static_cast<LONG>(days));
    json perDay = Rows(cmd.ExecuteCommandWithRecordset());
    CSPException::Check(cmd.GetReturnValue());
    json out;
    for (const wchar_t* name : {L"@Computers", L"@Managed", L"@Connected", L"@DexInstalled", L"@DexActive", L"@OutOfDate",
                                L"@ConfigDiffers", L"@ComputersWithAlerts", L"@OpenVirusAlerts", L"@OpenErrorAlerts"}) {
      LONG value = 0;
      cmd.GetAttribute(name, value);
      out[ToUtf8(name + 1)] = value;
    }
    out["AlertsPerDay"] = std::move(perDay);
    return out;
  }, true);
}

json ConsoleData::Computers(const ComputerQuery& q)
{
  CheckPaging(q.offset, q.count);
  if (q.alerts < 0 || q.alerts > 3 || q.orderBy < 0 || q.orderBy > 6)
    throw ApiError(400, "bad_request", "unknown alert filter or order");
  const std::wstring name = FromUtf8(q.name);
  if (name.size() > 31)
    throw ApiError(400, "bad_request", "a computer name has at most 31 characters");
  return WithDatabase([&] {
    COurCommand cmd = Procedure("WebComputerPageGet", true);
    if (q.group)
      cmd.SetAttribute(L"@GroupID", *q.group);
    else
      cmd.SetAttributeNull(L"@GroupID");
    cmd.SetAttribute(L"@Subgroups", LONG(q.subgroups ? 1 : 0));
    SetOptional(cmd, L"@Connected", q.connected);
    SetOptional(cmd, L"@Alerts", q.alerts ? std::optional<LONG>(q.alerts) : std::nullopt);
    cmd.SetAttribute(L"@Name", name);
    cmd.SetAttribute(L"@OrderBy", static_cast<LONG>(q.orderBy));
    cmd.SetAttribute(L"@Ascending", LONG(q.ascending ? 1 : 0));
    cmd.SetAttribute(L"@Offset", static_cast<LONG>(q.offset));
    cmd.SetAttribute(L"@Count", static_cast<LONG>(q.count));
    json rows = Rows(cmd.ExecuteCommandWithRecordset());
    const LONG rc = cmd.GetReturnValue();
    if (rc == kErrorNoSuchGroup)
      throw ApiError(404, "not_found", "Group not found");
    CSPException::Check(rc);
    LONG total = 0;
    cmd.GetAttribute(L"@Total", total);
    return json{{"total", total}, {"offset", q.offset}, {"rows", std::move(rows)}};
  }, true);
}

json ConsoleData::Computer(LONG id)
{
  return WithDatabase([&] {
    const CComputer computer(id);
    ComputerDetails d;
    computer.GetComputerDetails(d);  // ComputerDoesNotExist for an unknown id
    std::string address;
    try {
      computer.GetMessageSystemAddress(address);
    } catch (const vrn::Exceptions::ComputerNotManaged&) {
    }
    const ULONG group = d.group.empty() ? CGroup::UnassignedID : d.group.front().GetID();
    json virus = json::array();
    for (const auto& a : d.virusAlerts)
      virus.push_back({{"TimeDetected", FormatOleDate(a.timeDetected)}, {"UserName", ToUtf8(a.userName)},
                       {"VirusName", ToUtf8(a.virusName)}, {"VirusType", a.virusType}, {"InfectedItem", ToUtf8(a.infectedItem)},
                       {"ScannerType", a.scannerType}, {"ActionTaken", a.actionTaken}, {"Outstanding", a.outstanding}});
    json errors = json::array();
    for (const auto& a : d.errorAlerts) {
      json inserts = json::array();
      for (const auto& i : a.inserts)
        inserts.push_back(ToUtf8(i));
      errors.push_back({{"TimeDetected", FormatOleDate(a.timeDetected)}, {"UserName", ToUtf8(a.userName)},
                        {"Source", ToUtf8(a.source)}, {"Number", a.number}, {"MessageCode", ToUtf8(a.messageCode)},
                        {"Inserts", inserts}, {"Outstanding", a.outstanding}});
    }
    const ULONG ip = d.ipAddress;
    return json{
      {"ComputerID", id},
      {"ComputerName", ToUtf8(d.name)},
      {"DomainName", ToUtf8(d.domainName)},
      {"Address", address.empty() ? json(nullptr) : json(address)},
      {"Description", ToUtf8(d.description)},
      {"OperatingSystem", d.operatingSystem},
      {"ServicePack", ToUtf8(d.servicePack)},
      {"IPAddress", ip ? json(std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." +
                              std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255))
                       : json(nullptr)},
      {"LastLoggedOnUser", ToUtf8(d.lastLoggedOnUser)},
      {"GroupID", group},
      {"Managed", d.managed},
      {"Connected", Flag(d.connected)},
      {"LastMessageTime", Date(d.lastMessageTime)},
      {"AlertState", d.alertState},
      {"DexInstalled", Flag(d.dexInstalled)},
      {"DexOnAccess", Flag(d.dexOnAccess)},
      {"DexVersion", ToUtf8(d.dexVersion)},
      {"VirusDataVersion", ToUtf8(d.virusDataVersion)},
      {"OutOfDateSince", d.outOfDateKnown ? json(FormatOleDate(d.outOfDate.date)) : json(nullptr)},
      {"IdeNumber", d.ideNumber},
      {"LastScanDateTime", Date(d.lastScanDateTime)},
      {"LastScanName", ToUtf8(d.lastScanName)},
      {"HasGroupAUConfig", Flag(d.hasGroupAUConfig)},
      {"HasGroupDexConfig", Flag(d.hasGroupDexConfig)},
      {"PrimaryCID", ToUtf8(d.primaryCID)},
      {"SecondaryCID", ToUtf8(d.secondaryCID)},
      {"InstallPending", d.installPending},
      {"InstallInProgress", d.installInProgress},
      {"InstallTime", d.installTime.date == 0.0 ? json(nullptr) : json(FormatOleDate(d.installTime.date))},
      {"InstallFailureReason", d.installFailureReason},
      {"AUConfigXML", ToUtf8(computer.GetAUConfigXML())},
      {"DexConfigXML", ToUtf8(computer.GetDexConfigXML())},
      {"VirusAlerts", std::move(virus)},
      {"ErrorAlerts", std::move(errors)},
    };
  }, true);
}

json ConsoleData::Alerts(const AlertQuery& q)
{
  CheckPaging(q.offset, q.count);
  if (q.type && *q.type != 1 && *q.type != 2)
    throw ApiError(400, "bad_request", "the alert type is 1 (error) or 2 (virus)");
  return WithDatabase([&] {
    COurCommand cmd = Procedure("WebAlertPageGet", true);
    SetOptional(cmd, L"@AlertType", q.type ? std::optional<LONG>(*q.type) : std::nullopt);
    SetOptional(cmd, L"@ComputerID", q.computer);
    SetOptional(cmd, L"@Outstanding", q.outstanding ? std::optional<LONG>(*q.outstanding) : std::nullopt);
    cmd.SetAttribute(L"@Offset", static_cast<LONG>(q.offset));
    cmd.SetAttribute(L"@Count", static_cast<LONG>(q.count));
    json rows = Rows(cmd.ExecuteCommandWithRecordset());
    const LONG rc = cmd.GetReturnValue();
    if (rc == kErrorBadArgument)
      throw ApiError(400, "bad_request", "bad alert filter");
    CSPException::Check(rc);
    LONG total = 0;
    cmd.GetAttribute(L"@Total", total);
    return json{{"total", total}, {"offset", q.offset}, {"rows", std::move(rows)}};
  }, true);
}

json ConsoleData::Groups()
{
  return WithDatabase([&] {
    COurCommand cmd = Procedure("WebGroupTreeGet", true);
    json rows = Rows(cmd.ExecuteCommandWithRecordset());
    CSPException::Check(cmd.GetReturnValue());
    return rows;
  }, true);
}

json ConsoleData::Clocks()
{
  std::lock_guard lock(m_clocksMutex);
  // Always the service's clocks (never this process's own): a clocks object of a service that
  // has since restarted fails once, and a new one is made then.
  ULONG size = 0;
  ClockValue* values = nullptr;
  for (int attempt = 0;; ++attempt) {
    const bool hadOne = static_cast<bool>(m_clocks);
    if (!hadOne)
      m_clocks = vrn::CManagementServiceClientBroker().CreateServerClocks();
    HRESULT hr = E_FAIL;
    try {
      hr = m_clocks->Fetch(&size, &values);
    } catch (...) {
      m_clocks = nullptr;
      if (!hadOne || attempt > 0)
        throw;
      continue;
    }
    if (SUCCEEDED(hr))
      break;
    m_clocks = nullptr;
    if (!hadOne || attempt > 0)
      throw WinRuntimeError::FromHResult(hr);
  }
  json out;
  for (ULONG i = 0; i < size; ++i)
    out[std::to_string(values[i].identity)] = values[i].value;
  CoTaskMemFree(values);
  return out;
}

}  // namespace corvexweb
