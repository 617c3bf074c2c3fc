#include "web/ConsoleCharts.h"

#include <httplib.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "businesslogic/SPException.h"
#include "platform/eventlog/EventLog.h"
#include "platform/text/Unicode.h"
#include "web/ApiError.h"
#include "web/CsvExport.h"
#include "web/QueryNumber.h"

namespace corvexweb {

using nlohmann::json;

namespace {

constexpr LONG kErrorBadArgument = 1;

// A whole-number query parameter within [low, high], or `fallback` when absent.
int Parameter(const httplib::Request& req, const char* name, int low, int high, int fallback)
{
  return static_cast<int>(QueryNumber(req, name, low, high).value_or(fallback));
}

const std::vector<std::string> kComputerColumns = {
  "ComputerID", "ComputerName", "DomainName", "GroupID", "GroupName", "OperatingSystem", "Description", "IPAddress",
  "Managed", "Connected", "LastMessageTime", "DexInstalled", "DexRunning", "DexOnAccess", "DexVersion",
  "VirusDataVersion", "OutOfDate", "HasGroupDexConfig", "HasGroupAUConfig", "OutstandingVirusAlerts",
  "OutstandingErrorAlerts", "LastLoggedOnUser", "LastScanDateTime"};

const std::vector<std::string> kAlertColumns = {
  "AlertID", "AlertTime", "AlertType", "ComputerID", "ComputerName", "UserName", "Outstanding", "DealtWithTime",
  "VirusName", "InfectedItem", "ActionTaken", "Source", "MessageCode", "Number", "Insert1", "Insert2", "Insert3",
  "Insert4", "Insert5"};

}  // namespace

ConsoleCharts::ConsoleCharts(ConsoleData& data, OutbreakRule rule, Reporter report, std::chrono::seconds keep)
  : m_data(data), m_rule(rule), m_report(std::move(report)), m_keep(keep)
{
  if (m_rule.computers < 2 || m_rule.minutes < 1 || m_rule.minutes > 7 * 24 * 60 || m_rule.checkSeconds < 1)
    throw std::invalid_argument("an outbreak rule needs at least 2 computers within 1 to 10080 minutes");
}

ConsoleCharts::~ConsoleCharts()
{
  {
    std::lock_guard lock(m_watchMutex);
    m_stop = true;
  }
  m_wake.notify_all();
  if (m_watch.joinable())
    m_watch.join();
}

json ConsoleCharts::Call(const char* procedure, const std::function<void(COurCommand&)>& set)
{
  return m_data.WithDatabase([&] {
    COurCommand cmd = WebProcedure(procedure, true);
    set(cmd);
    json rows = RowSetJson(cmd.ExecuteCommandWithRecordset());
    const LONG rc = cmd.GetReturnValue();
    if (rc == kErrorBadArgument)
      throw ApiError(400, "bad_request", std::string("bad arguments for ") + procedure);
    CSPException::Check(rc);
    return rows;
  }, true);
}

json ConsoleCharts::Kept(const std::string& key, const std::function<json()>& make)
{
  const auto now = std::chrono::steady_clock::now();
  if (m_keep.count() > 0) {
    std::lock_guard lock(m_keptMutex);
    const auto it = m_kept.find(key);
    if (it != m_kept.end() && now - it->second.first < m_keep)
      return it->second.second;
  }
  json figures = make();
  if (m_keep.count() > 0) {
    std::lock_guard lock(m_keptMutex);
    m_kept[key] = {now, figures};
  }
  return figures;
}

json ConsoleCharts::DetectionsPerHour(int days)
{
  if (days < 1 || days > 31)
    throw ApiError(400, "bad_request", "days must be from 1 to 31");
  return Kept("hours " + std::to_string(days), [&] {
    return json{{"Days", days}, {"Hours", Call("WebDetectionsPerHourGet", [&](COurCommand& c) {
                                   c.SetAttribute(L"@Days", static_cast<LONG>(days));
                                 })}};
  });
}

json ConsoleCharts::Top(int days, int count)
{
  if (days < 1 || days > 366 || count < 1 || count > 100)
    throw ApiError(400, "bad_request", "days must be from 1 to 366 and count from 1 to 100");
  return Kept("top " + std::to_string(days) + " " + std::to_string(count), [&] { return MakeTop(days, count); });
}

json ConsoleCharts::MakeTop(int days, int count)
{
  const json rows = Call("WebTopGet", [&](COurCommand& c) {
    c.SetAttribute(L"@Days", static_cast<LONG>(days));
    c.SetAttribute(L"@Count", static_cast<LONG>(count));
  });
  json out = {{"Days", days}, {"Viruses", json::array()}, {"Computers", json::array()}, {"Groups", json::array()}};
  for (const json& r : rows) {
    const std::string kind = r.value("Kind", "");
    if (kind == "virus")
      out["Viruses"].push_back({{"VirusName", r["VirusName"]}, {"Detections", r["Detections"]}, {"Computers", r["Computers"]}});
    else if (kind == "computer")
      out["Computers"].push_back({{"ComputerID", r["ComputerID"]}, {"ComputerName", r["ComputerName"]}, {"GroupID", r["GroupID"]},
                                  {"GroupName", r["GroupName"]}, {"Detections", r["Detections"]}, {"Viruses", r["Viruses"]}});
    else if (kind == "group")
      out["Groups"].push_back({{"GroupID", r["GroupID"]}, {"GroupName", r["GroupName"]}, {"Detections", r["Detections"]},
                               {"Computers", r["Computers"]}});
  }
  return out;
}

json ConsoleCharts::Compliance()
{
  return Kept("compliance", [&] { return Call("WebComplianceGet", [](COurCommand&) {}); });
}

json ConsoleCharts::VirusDataVersions()
{
  return Kept("versions", [&] { return Call("WebVirusDataVersionsGet", [](COurCommand&) {}); });
}

json ConsoleCharts::Outbreak(const std::string& virus)
{
  const std::wstring name = FromUtf8(virus);
  if (name.empty() || name.size() > 32)
    throw ApiError(400, "bad_request", "a virus name has 1 to 32 characters");
  return json{{"VirusName", virus}, {"Computers", Call("WebOutbreakGet", [&](COurCommand& c) {
                                       c.SetAttribute(L"@VirusName", name);
                                     })}};
}

json ConsoleCharts::CheckOutbreaks()
{
  const json seen = Call("WebOutbreakCheck", [&](COurCommand& c) { c.SetAttribute(L"@Minutes", static_cast<LONG>(m_rule.minutes)); });
  std::vector<json> begun;
  json out;
  {
    std::lock_guard lock(m_outbreakMutex);
    std::map<std::string, json> active;
    for (const json& row : seen) {
      const std::string virus = row.value("VirusName", "");
      const int computers = row.value("Computers", 0);
      const auto was = m_active.find(virus);
      if (was != m_active.end()) {
        // Under way: it lasts while the virus is still being reported.
        json o = was->second;
        o["Computers"] = std::max(o.value("Computers", 0), computers);
        o["LastSeen"] = row["LastSeen"];
        active[virus] = std::move(o);
      } else if (computers >= m_rule.computers) {
        json o = row;
        active[virus] = o;
        begun.push_back(std::move(o));
      }
    }
    m_active = std::move(active);
    json list = json::array();
    for (const auto& [virus, o] : m_active)
      list.push_back(o);
    out = json{{"Rule", {{"Computers", m_rule.computers}, {"Minutes", m_rule.minutes}}}, {"Outbreaks", std::move(list)}};
    m_last = out;
    m_lastLook = std::chrono::steady_clock::now();
  }
  for (const json& o : begun)
    if (m_report)
      m_report(EVENTLOG_WARNING_TYPE, kEventOutbreak,
               {FromUtf8(o.value("VirusName", "")), std::to_wstring(o.value("Computers", 0)), std::to_wstring(m_rule.minutes),
                FromUtf8(o["FirstSeen"].is_string() ? o["FirstSeen"].get<std::string>() : "")});
  return out;
}

json ConsoleCharts::Outbreaks()
{
  {
    std::lock_guard lock(m_outbreakMutex);
    if (!m_last.is_null() && std::chrono::steady_clock::now() - m_lastLook < std::chrono::seconds(5))
      return m_last;
  }
  return CheckOutbreaks();
}

void ConsoleCharts::Watch()
{
  if (m_watch.joinable())
    return;
  m_watch = std::thread([this] {
    std::unique_lock lock(m_watchMutex);
    while (!m_wake.wait_for(lock, std::chrono::seconds(m_rule.checkSeconds), [this] { return m_stop; })) {
      lock.unlock();
      try {
        CheckOutbreaks();
      } catch (...) {
        // The database may be away for a while; the next look tries again.
      }
      lock.lock();
    }
  });
}

void ConsoleCharts::Export(httplib::Response& res, const char* fileName, const char* procedure, const char* key,
                           const std::vector<std::string>& columns)
{
  if (++m_exports > kExportsAtOnce) {
    --m_exports;
    throw ApiError(503, "busy", "As many exports as allowed are under way; try again when one has ended");
  }
  StreamCsv(
    res, fileName, columns,
    PagesByKey(
      [this, procedure](long long after) {
        return Call(procedure, [&](COurCommand& c) {
          if (after < -2147483648LL)
            c.SetAttributeNull(L"@AfterID");
          else
            c.SetAttribute(L"@AfterID", static_cast<LONG>(after));
          c.SetAttribute(L"@Count", static_cast<LONG>(kExportPage));
        });
      },
      key, columns),
    [this] { --m_exports; });
}

void ConsoleCharts::ExportComputers(httplib::Response& res)
{
  Export(res, "computers.csv", "WebComputerExportGet", "ComputerID", kComputerColumns);
}

void ConsoleCharts::ExportAlerts(httplib::Response& res)
{
  Export(res, "alerts.csv", "WebAlertExportGet", "AlertID", kAlertColumns);
}

void ConsoleCharts::Register(const Routes& routes)
{
  routes.get("/api/charts/detections", [this](const httplib::Request& req) {
    return DetectionsPerHour(Parameter(req, "days", 1, 31, 7));
  });
  routes.get("/api/charts/top", [this](const httplib::Request& req) {
    return Top(Parameter(req, "days", 1, 366, 30), Parameter(req, "count", 1, 100, 10));
  });
  routes.get("/api/charts/compliance", [this](const httplib::Request&) { return Compliance(); });
  routes.get("/api/charts/virus-data", [this](const httplib::Request&) { return VirusDataVersions(); });
  routes.get("/api/outbreaks", [this](const httplib::Request&) { return Outbreaks(); });
  routes.get("/api/outbreaks/virus", [this](const httplib::Request& req) { return Outbreak(req.get_param_value("name")); });
  routes.getRaw("/api/export/computers.csv", [this](const httplib::Request&, httplib::Response& res) { ExportComputers(res); });
  routes.getRaw("/api/export/alerts.csv", [this](const httplib::Request&, httplib::Response& res) { ExportAlerts(res); });
}

}  // namespace corvexweb
