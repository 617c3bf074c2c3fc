#include "tools/corvexctl/Alerts.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "businesslogic/SPException.h"
#include "businesslogic/LocalisationFactory.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/AlertDetails.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "platform/oledate/OleDate.h"
#include "platform/text/Unicode.h"
#include "tools/corvexctl/Arguments.h"
#include "tools/corvexctl/Computers.h"

namespace corvexctl {
namespace {

constexpr LONG kNotFound = 22;  // no alert of that ID

const char* const kPurgeMethods[] = {"none", "by age", "by count", "by age and count"};

// One alert as the commands show it.
struct Shown : CAlertDetailsBase
{
  void SetVirusDetails(DATE when, const std::wstring& user, const std::wstring& virus, LONG virusType, const std::wstring& item,
                       LONG scanner, LONG action, bool isOutstanding) override
  {
    type = "virus";
    time = when;
    userName = user;
    outstanding = isOutstanding;
    text = L"virus " + virus + L" found in " + item;
    fields = {{"virus", ToUtf8(virus)},           {"virus type", std::to_string(virusType)},
              {"infected item", ToUtf8(item)},    {"scanner type", std::to_string(scanner)},
              {"action taken", std::to_string(action)}};
    std::wstring link;
    VirusNameToWebsite(virus, link);
    fields.push_back({"information", ToUtf8(link)});
  }
  void SetErrorDetails(const ErrorDetails& details) override
  {
    type = "error";
    time = details.timeDetected;
    userName = details.userName;
    outstanding = details.outstanding;
    try {
      text = details.GetLocalisedString();
      // The update component's messages carry no code: its localiser goes by number alone.
      if (details.messageCode.empty()) {
        CLocalisationFactory::Instance().GetStrategy(details.source).GetAppEventMessage(text, details.entityInfo, details.number,
                                                                                       details.messageCode, details.inserts);
        std::replace_if(text.begin(), text.end(), [](wchar_t c) { return c < 32; }, L' ');
      }
    } catch (const std::exception&) {
      text.clear();  // a product without texts: the code below stands in
    }
    if (text.empty())
      text = details.source + L" message " + details.messageCode + L" (" + std::to_wstring(details.number) + L")";
    fields = {{"source", ToUtf8(details.source)},
              {"entity", ToUtf8(details.entityInfo)},
              {"number", std::to_string(details.number)},
              {"message code", ToUtf8(details.messageCode)}};
    for (std::size_t i = 0; i < details.inserts.size(); ++i)
      fields.push_back({"insert " + std::to_string(i + 1), ToUtf8(details.inserts[i])});
  }

  std::string type = "unknown";
  DATE time = 0.0;
  std::wstring userName;
  std::wstring text;
  bool outstanding = false;
  std::vector<std::pair<std::string, std::string>> fields;
};

struct Row
{
  ULONG id;
  LONG computer;
  Shown shown;
};

std::optional<LONG> IdArgument(const std::string& text)
{
  const long id = Number(text.c_str());
  if (id < 0 || id > 0x7FFFFFFF)
    return std::nullopt;
  return static_cast<LONG>(id);
}

void ShowPurgeSettings()
{
  std::wstring company;
  PTLDB::AlertPurgeType method = 0;
  int months = 0, maximum = 0;
  CAlert::GetPurgeDetails(company, method, months, maximum);
  const char* name = method >= 0 && method < 4 ? kPurgeMethods[method] : "unknown";
  std::printf("company name: %s\npurge method: %ld (%s)\nmonths: %d\nmaximum alerts: %d\n",
              company.empty() ? "-" : ToUtf8(company).c_str(), static_cast<long>(method), name, months, maximum);
}

}  // namespace

int Alerts(const std::vector<std::string>& args)
{
  CComputerList computers;
  if (args.size() == 2 && args[0] == "--computer") {
    const std::optional<LONG> id = IdArgument(args[1]);
    if (!id) {
      std::fprintf(stderr, "corvexctl: alerts: \"%s\" is not a computer ID\n", args[1].c_str());
      return 2;
    }
    computers.emplace_back(*id);
  } else if (args.empty()) {
    computers = AllComputers();
  } else {
    std::fprintf(stderr, "corvexctl: usage: alerts [--computer ID]\n");
    return 2;
  }

  std::vector<Row> rows;
  for (const CComputer& computer : computers) {
    CAlertList alerts;
    try {
      computer.GetAlertList(alerts);
    } catch (const CSPException& e) {
      if (args.empty())
        continue;  // deleted since the list was read
      std::fprintf(stderr, "corvexctl: alerts: computer %ld does not exist (%s)\n", static_cast<long>(computer.GetID()), e.what());
      return 2;
    }
    for (const CAlert& alert : alerts) {
      rows.push_back({alert.GetID(), computer.GetID(), {}});
      alert.GetAlertDetails(rows.back().shown);
    }
  }
  if (rows.empty()) {
    std::printf("no alerts\n");
    return 0;
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.shown.time != b.shown.time ? a.shown.time > b.shown.time : a.id > b.id;
  });
  std::vector<std::vector<std::string>> table{{"ID", "COMPUTER", "TYPE", "TIME", "OUTSTANDING", "USER", "TEXT"}};
  for (const Row& row : rows)
    table.push_back({std::to_string(row.id), std::to_string(row.computer), row.shown.type, FormatOleDate(row.shown.time),
                     row.shown.outstanding ? "yes" : "no", row.shown.userName.empty() ? "-" : ToUtf8(row.shown.userName),
                     ToUtf8(row.shown.text)});
  PrintTable(table);
  return 0;
}

int Alert(const std::vector<std::string>& args)
{
  const std::optional<LONG> id = args.size() == 1 ? IdArgument(args[0]) : std::nullopt;
  if (!id) {
    std::fprintf(stderr, "corvexctl: usage: alert ID (\"%s\" is not an alert ID)\n", args.empty() ? "" : args[0].c_str());
    return 2;
  }
  Shown shown;
  try {
    CAlert(static_cast<ULONG>(*id)).GetAlertDetails(shown);
  } catch (const CSPException& e) {
    if (e.ReturnValue() != kNotFound)
      throw;
    std::fprintf(stderr, "corvexctl: alert %ld does not exist (%s)\n", static_cast<long>(*id), e.what());
    return 2;
  }
  std::printf("alert %ld\n", static_cast<long>(*id));
  std::printf("  %-14s %s\n", "type:", shown.type.c_str());
  std::printf("  %-14s %s\n", "time:", FormatOleDate(shown.time).c_str());
  std::printf("  %-14s %s\n", "user:", shown.userName.empty() ? "-" : ToUtf8(shown.userName).c_str());
  std::printf("  %-14s %s\n", "outstanding:", shown.outstanding ? "yes" : "no");
  for (const auto& [label, value] : shown.fields)
    std::printf("  %-14s %s\n", (label + ":").c_str(), value.empty() ? "-" : value.c_str());
  std::printf("  %-14s %s\n", "text:", ToUtf8(shown.text).c_str());
  return 0;
}

int PurgeSettings(const std::vector<std::string>& args)
{
  if (args.empty() || (args.size() == 1 && args[0] == "show")) {
    ShowPurgeSettings();
    return 0;
  }
  if (args[0] != "set" || args.size() % 2 == 0) {
    std::fprintf(stderr, "corvexctl: usage: purge-settings [show] | purge-settings set [--method M] [--months N] "
                         "[--maximum K] [--company NAME]\n");
    return 2;
  }
  std::wstring company;
  PTLDB::AlertPurgeType method = 0;
  int months = 0, maximum = 0;
  CAlert::GetPurgeDetails(company, method, months, maximum);
  for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
    const std::string& option = args[i];
    const std::string& value = args[i + 1];
    if (option == "--company") {
      company = FromUtf8(value);
      continue;
    }
    const long number = Number(value.c_str());
    if (number < 0 || number > 0x7FFFFFFF || (option != "--method" && option != "--months" && option != "--maximum")) {
      std::fprintf(stderr, "corvexctl: purge-settings: bad option \"%s %s\"\n", option.c_str(), value.c_str());
      return 2;
    }
    (option == "--method" ? method : option == "--months" ? months : maximum) = static_cast<int>(number);
  }
  try {
    CAlert::SetPurgeDetails(company, method, months, maximum);
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
    throw;
  } catch (const vrn::Exceptions::BusinessExceptionBase& e) {
    std::fprintf(stderr, "corvexctl: purge-settings: %s\n", e.what());
    return 2;
  } catch (const CSPException& e) {
    std::fprintf(stderr, "corvexctl: purge-settings: the database refused the settings (%s)\n", e.what());
    return 2;
  }
  ShowPurgeSettings();
  return 0;
}

}  // namespace corvexctl
