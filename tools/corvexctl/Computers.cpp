#include "tools/corvexctl/Computers.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <cstdio>
#include <string>
#include <vector>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "platform/oledate/OleDate.h"
#include "platform/text/Unicode.h"
#include "tools/corvexctl/Arguments.h"

namespace corvexctl {
namespace {

// The database's codes for the whole list sorted by name (see database/README.md).
constexpr LONG kFilterAll = 0;
constexpr LONG kOrderByName = 1;

// Bits of a computer's alert state.
constexpr LONG kErrorAlertsOutstanding = 1;
constexpr LONG kVirusAlertsOutstanding = 2;

std::string OperatingSystemName(PTLDB::OperatingSystem os)
{
  static const char* const kNames[] = {"other",  "WIN95",   "WIN98",   "WINME",      "WINNT4",
                                       "WINNT4SERVER", "WIN2000", "WIN2000SERVER", "WINXP", "WIN2003",
                                       nullptr,  "MACOSX",  "WIN9X",   "UNIX/SAMBA", "unknown"};
  if (os >= 0 && os < static_cast<LONG>(std::size(kNames)) && kNames[os])
    return kNames[os];
  return "code " + std::to_string(os);
}

std::string AlertStateText(LONG state)
{
  std::string text;
  if (state & kErrorAlertsOutstanding)
    text = "error";
  if (state & kVirusAlertsOutstanding)
    text += text.empty() ? "virus" : "+virus";
  return text.empty() ? "-" : text;
}

std::string DateText(const DateTimeValue& value, const char* whenNull)
{
  return value.status == DateTimeValue::null ? whenNull : FormatOleDate(value.date);
}

std::string IpText(ULONG ip)
{
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." + std::to_string((ip >> 8) & 0xFF) + "." +
         std::to_string(ip & 0xFF);
}

std::string GroupText(const ComputerDetails& d)
{
  if (d.group.empty() || d.group.front().GetID() == CGroup::UnassignedID)
    return "unassigned";
  return std::to_string(d.group.front().GetID());
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

// Where a remote installation stands, and the result of the last attempt (0 success, else the
// setup program's exit code or the installer's failure code).
const char* InstallStateText(bool inProgress, bool pending)
{
  return inProgress ? "in-progress" : pending ? "pending" : "-";
}

void Field(const char* label, const std::string& value)
{
  std::printf("  %-33s %s\n", (std::string(label) + ":").c_str(), value.empty() ? "-" : value.c_str());
}

}  // namespace

CComputerList AllComputers()
{
  COurCommand cmd = GetDatabaseConnection().GetComputerList();
  cmd.SetAttribute(L"@Filter", kFilterAll);
  cmd.SetAttribute(L"@OrderBy", kOrderByName);
  cmd.SetAttribute(L"@Ascending", LONG(1));
  CComputerList computers;
  PopulateListFromRowsetsFast(cmd, computers);
  CSPException::Check(cmd.GetReturnValue());
  return computers;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows)
{
  std::vector<std::size_t> widths;
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) {
      widths.resize(std::max(widths.size(), row.size()));
      widths[c] = std::max(widths[c], row[c].size());
    }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c)
      line += c + 1 < row.size() ? row[c] + std::string(widths[c] - row[c].size() + 2, ' ') : row[c];
    std::printf("%s\n", line.c_str());
  }
}

namespace {

// One row of the computer list as the list procedure delivers it.
struct ListedComputer
{
  LONG id = 0;
  std::string name, domain, lastMessage;
  LONG os = 0;
  bool managed = false;
  std::optional<bool> connected;
  LONG alertState = 0;
  std::optional<LONG> group;
  bool installPending = false, installInProgress = false;
  std::optional<LONG> installResult;  // none: never installed
};

bool IsNull(const _variant_t& v) { return v.vt == VT_NULL || v.vt == VT_EMPTY; }

// The whole list in one call, by name.
std::vector<ListedComputer> ReadComputerList(std::optional<LONGLONG> group, bool connectedOnly, LONG limit)
{
  COurCommand cmd(GetDatabaseConnection().GetADOPtr(), "ComputerListGet");
  if (group)
    cmd.SetAttribute(L"@GroupID", static_cast<ULONG>(*group));
  else
    cmd.SetAttributeNull(L"@GroupID");
  cmd.SetAttribute(L"@ConnectedOnly", LONG(connectedOnly ? 1 : 0));
  cmd.SetAttribute(L"@Limit", limit);
  ado::RecordsetPtr rows = cmd.ExecuteCommandWithRecordset();
  const LONG result = cmd.GetReturnValue();
  if (result == 22)
    throw std::invalid_argument("group " + std::to_string(*group) + " does not exist");
  CSPException::Check(result);
  std::vector<ListedComputer> list;
  for (; rows && !rows->IsEOF(); rows->MoveNext()) {
    const ado::Fields f = rows->GetFields();
    ListedComputer c;
    c.id = priv::GetFieldValue(f, L"ID").ToLong();
    c.name = ToUtf8(priv::GetFieldValue(f, L"Name").ToWString());
    c.domain = ToUtf8(priv::GetFieldValue(f, L"Domain").ToWString());
    c.os = priv::GetFieldValue(f, L"OperatingSystem").ToLong();
    c.managed = priv::GetFieldValue(f, L"Managed").ToLong() != 0;
    if (const _variant_t v = priv::GetFieldValue(f, L"Connected"); !IsNull(v))
      c.connected = v.ToLong() != 0;
    c.alertState = priv::GetFieldValue(f, L"AlertState").ToLong();
    if (const _variant_t v = priv::GetFieldValue(f, L"LastMessageTime"); !IsNull(v))
      c.lastMessage = FormatOleDate(v.ToDouble());
    if (const _variant_t v = priv::GetFieldValue(f, L"GroupID"); !IsNull(v))
      c.group = v.ToLong();
    c.installPending = priv::GetFieldValue(f, L"InstallPending").ToLong() != 0;
    c.installInProgress = priv::GetFieldValue(f, L"InstallInProgress").ToLong() != 0;
    if (priv::GetFieldValue(f, L"InstallAttempted").ToLong() != 0)
      c.installResult = priv::GetFieldValue(f, L"InstallResult").ToLong();
    list.push_back(std::move(c));
  }
  return list;
}

std::string JsonText(const std::string& s)
{
  std::string out = "\"";
  for (const unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", ch);
      out += buf;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

// Tabs and line breaks cannot be part of a TSV cell.
std::string TsvText(std::string s)
{
  for (char& ch : s)
    if (ch == '\t' || ch == '\n' || ch == '\r')
      ch = ' ';
  return s;
}

const char* const kComputersUsage =
  "corvexctl: usage: computers [--limit N] [--group ID|unassigned] [--connected] [--format table|tsv|json]\n";

}  // namespace

int Computers(const std::vector<std::string>& args)
{
  std::optional<LONGLONG> group;
  bool connectedOnly = false;
  LONG limit = 0;
  std::string format = "table";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--connected") {
      connectedOnly = true;
    } else if (a == "--limit" && hasValue) {
      const long n = Number(args[++i].c_str());
      if (n <= 0 || n > 0x7FFFFFFF) {
        std::fprintf(stderr, "corvexctl: computers: --limit takes a positive whole number\n");
        return 2;
      }
      limit = static_cast<LONG>(n);
    } else if (a == "--group" && hasValue) {
      const std::string& g = args[++i];
      const long n = g == "unassigned" ? static_cast<long>(CGroup::UnassignedID) : Number(g.c_str());
      if (n < 0 || n > 0xFFFFFFFFL) {
        std::fprintf(stderr, "corvexctl: computers: \"%s\" is not a group ID\n", g.c_str());
        return 2;
      }
      group = n;
    } else if (a == "--format" && hasValue && (args[i + 1] == "table" || args[i + 1] == "tsv" || args[i + 1] == "json")) {
      format = args[++i];
    } else {
      std::fputs(kComputersUsage, stderr);
      return 2;
    }
  }
  std::vector<ListedComputer> list;
  try {
    list = ReadComputerList(group, connectedOnly, limit);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "corvexctl: computers: %s\n", e.what());
    return 2;
  }

  std::string out;
  if (format == "json") {
    out = "[";
    for (std::size_t i = 0; i < list.size(); ++i) {
      const ListedComputer& c = list[i];
      out += (i ? ",\n" : "\n") + std::string("{\"id\":") + std::to_string(c.id) + ",\"name\":" + JsonText(c.name) +
             ",\"domain\":" + JsonText(c.domain) + ",\"os\":" + std::to_string(c.os) +
             ",\"managed\":" + (c.managed ? "true" : "false") +
             ",\"connected\":" + (c.connected ? (*c.connected ? "true" : "false") : "null") +
             ",\"alertState\":" + std::to_string(c.alertState) +
             ",\"lastMessage\":" + (c.lastMessage.empty() ? "null" : JsonText(c.lastMessage)) +
             ",\"group\":" + (c.group ? std::to_string(*c.group) : "null") + "}";
    }
    out += list.empty() ? "]\n" : "\n]\n";
  } else if (format == "tsv") {
    out = "id\tname\tdomain\tos\tmanaged\tconnected\talertState\tlastMessage\tgroup\n";
    for (const ListedComputer& c : list)
      out += std::to_string(c.id) + '\t' + TsvText(c.name) + '\t' + TsvText(c.domain) + '\t' + std::to_string(c.os) + '\t' +
             (c.managed ? "1" : "0") + '\t' + (c.connected ? (*c.connected ? "1" : "0") : "") + '\t' +
             std::to_string(c.alertState) + '\t' + c.lastMessage + '\t' + (c.group ? std::to_string(*c.group) : "") + '\n';
  } else {
    if (list.empty()) {
      std::printf("no computers\n");
      return 0;
    }
    std::vector<std::vector<std::string>> rows{
      {"ID", "NAME", "DOMAIN", "OS", "MANAGED", "CONNECTED", "ALERTS", "INSTALL", "RESULT", "LAST MESSAGE"}};
    rows.reserve(list.size() + 1);
    for (const ListedComputer& c : list)
      rows.push_back({std::to_string(c.id), c.name, c.domain, OperatingSystemName(c.os), YesNo(c.managed),
                      FlagStateText(FlagStateFromBit(c.connected)), AlertStateText(c.alertState),
                      InstallStateText(c.installInProgress, c.installPending),
                      c.installResult ? std::to_string(*c.installResult) : "-", c.lastMessage.empty() ? "never" : c.lastMessage});
    PrintTable(rows);
    return 0;
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int Computer(const std::vector<std::string>& args)
{
  if (args.size() != 1) {
    std::fprintf(stderr, "corvexctl: usage: computer ID\n");
    return 2;
  }
  const long id = Number(args[0].c_str());
  if (id < 0 || id > 0x7FFFFFFF) {
    std::fprintf(stderr, "corvexctl: computer: \"%s\" is not a computer ID\n", args[0].c_str());
    return 2;
  }
  const CComputer computer(static_cast<LONG>(id));
  ComputerDetails d;
  std::string address;
  try {
    computer.GetComputerDetails(d);
    try {
      computer.GetMessageSystemAddress(address);
    } catch (const vrn::Exceptions::ComputerNotManaged&) {
      address = "(not managed)";
    }
  } catch (const vrn::Exceptions::ComputerDoesNotExist&) {
    std::fprintf(stderr, "corvexctl: computer %ld does not exist\n", id);
    return 2;
  }

  std::printf("computer %ld\n", id);
  Field("name", ToUtf8(d.name));
  Field("domain", ToUtf8(d.domainName));
  Field("address", address);
  Field("description", ToUtf8(d.description));
  Field("operating system", OperatingSystemName(d.operatingSystem) + " (" + std::to_string(d.operatingSystem) + ")");
  Field("service pack", ToUtf8(d.servicePack));
  Field("IP address", IpText(d.ipAddress));
  Field("last logged-on user", ToUtf8(d.lastLoggedOnUser));
  Field("group", GroupText(d));
  Field("managed", YesNo(d.managed));
  Field("connected", FlagStateText(d.connected));
  Field("last message", DateText(d.lastMessageTime, "never"));
  Field("alert state", std::to_string(d.alertState) + " (" + AlertStateText(d.alertState) + ")");
  Field("anti-virus installed", FlagStateText(d.dexInstalled));
  Field("on-access scanning", FlagStateText(d.dexOnAccess));
  Field("anti-virus version", ToUtf8(d.dexVersion));
  Field("virus data version", ToUtf8(d.virusDataVersion));
  Field("virus data out of date since", d.outOfDateKnown ? FormatOleDate(d.outOfDate.date) : "");
  Field("IDE files", std::to_string(d.ideNumber) + (d.ideList.empty() ? "" : " (" + ToUtf8(d.ideList) + ")"));
  Field("last scan", DateText(d.lastScanDateTime, "never") + (d.lastScanName.empty() ? "" : " (" + ToUtf8(d.lastScanName) + ")"));
  Field("update config matches group", FlagStateText(d.hasGroupAUConfig));
  Field("anti-virus config matches group", FlagStateText(d.hasGroupDexConfig));
  Field("primary update location", ToUtf8(d.primaryCID));
  Field("secondary update location", ToUtf8(d.secondaryCID));
  Field("install pending", YesNo(d.installPending));
  Field("install in progress", YesNo(d.installInProgress));
  Field("install time", d.installTime.date == 0.0 ? "" : FormatOleDate(d.installTime.date));
  Field("install failure reason", std::to_string(d.installFailureReason));

  std::printf("virus alerts: %zu\n", d.virusAlerts.size());
  for (const auto& a : d.virusAlerts)
    std::printf("  %s  %s  %s  user %s%s\n", FormatOleDate(a.timeDetected).c_str(), ToUtf8(a.virusName).c_str(),
                ToUtf8(a.infectedItem).c_str(), ToUtf8(a.userName).c_str(), a.outstanding ? "  outstanding" : "");
  std::printf("error alerts: %zu\n", d.errorAlerts.size());
  for (const auto& a : d.errorAlerts)
    std::printf("  %s  %s  %s %ld  user %s%s\n", FormatOleDate(a.timeDetected).c_str(), ToUtf8(a.source).c_str(),
                ToUtf8(a.messageCode).c_str(), static_cast<long>(a.number), ToUtf8(a.userName).c_str(),
                a.outstanding ? "  outstanding" : "");
  return 0;
}

}  // namespace corvexctl
