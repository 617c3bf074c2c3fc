#include "tools/corvexctl/Computers.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "businesslogic/DatabaseConnection.h"
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
const char* InstallStateText(const ComputerDetails& d)
{
  return d.installInProgress ? "in-progress" : d.installPending ? "pending" : "-";
}
std::string InstallResultText(const ComputerDetails& d)
{
  const bool never = d.installTime.status == DateTimeValue::null || d.installTime.date == 0.0;
  return never ? "-" : std::to_string(d.installFailureReason);
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

int Computers(const std::vector<std::string>& args)
{
  if (!args.empty()) {
    std::fprintf(stderr, "corvexctl: computers takes no arguments\n");
    return 2;
  }
  std::vector<std::vector<std::string>> rows{{"ID", "NAME", "DOMAIN", "OS", "MANAGED", "CONNECTED", "ALERTS", "INSTALL", "RESULT", "LAST MESSAGE"}};
  for (const CComputer& computer : AllComputers()) {
    ComputerDetails d;
    try {
      computer.GetComputerDetails(d);
    } catch (const vrn::Exceptions::ComputerDoesNotExist&) {
      continue;  // deleted since the list was read
    }
    rows.push_back({std::to_string(computer.GetID()), ToUtf8(d.name), ToUtf8(d.domainName), OperatingSystemName(d.operatingSystem),
                    YesNo(d.managed), FlagStateText(d.connected), AlertStateText(d.alertState), InstallStateText(d),
                    InstallResultText(d), DateText(d.lastMessageTime, "never")});
  }
  if (rows.size() == 1) {
    std::printf("no computers\n");
    return 0;
  }
  PrintTable(rows);
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
