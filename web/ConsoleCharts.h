#pragma once
// The overview's charts, the outbreak view and the outbreak rule, and the CSV exports of
// computers and alerts. Every figure is aggregated by the database (one procedure call per
// chart), so the browser receives a few hundred numbers however large the fleet.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/com/WinTypes.h"
#include "web/ConsoleData.h"
#include "web/WebSettings.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace corvexweb {

// Event of the web console's source: an outbreak began (warning).
constexpr unsigned kEventOutbreak = 0x80002B08;

class ConsoleCharts
{
public:
  using Reporter = std::function<void(WORD type, DWORD id, const std::vector<std::wstring>& strings)>;
  using JsonHandler = std::function<nlohmann::json(const httplib::Request&)>;
  using RawHandler = std::function<void(const httplib::Request&, httplib::Response&)>;
  // How the server adds routes: `get` answers what the handler returns as JSON, `getRaw` lets the
  // handler write the answer itself; both only for a logged-in session, and both answer an
  // exception thrown by the handler (before it began an answer) as a JSON error.
  struct Routes
  {
    std::function<void(const std::string& pattern, JsonHandler)> get;
    std::function<void(const std::string& pattern, RawHandler)> getRaw;
  };

  // `report` writes to the web console's event log. The charts' figures are kept for `keep`
  // and given to every page that asks meanwhile: an overview redraws whenever the service's
  // clocks move, and each open browser would otherwise aggregate the fleet again every few
  // seconds. Zero keeps nothing.
  ConsoleCharts(ConsoleData& data, OutbreakRule rule, Reporter report, std::chrono::seconds keep = std::chrono::seconds(20));
  ~ConsoleCharts();
  ConsoleCharts(const ConsoleCharts&) = delete;
  ConsoleCharts& operator=(const ConsoleCharts&) = delete;

  void Register(const Routes& routes);

  // Detections per hour by kind for the last `days` days (1-31).
  nlohmann::json DetectionsPerHour(int days);
  // {"Days", "Viruses", "Computers", "Groups"}: the `count` (1-100) most detected viruses and
  // most affected computers and groups over the last `days` days (1-366).
  nlohmann::json Top(int days, int count);
  // Per group: computers matching the group's anti-virus and update configuration.
  nlohmann::json Compliance();
  // Virus-data versions in the fleet, oldest first.
  nlohmann::json VirusDataVersions();
  // {"VirusName", "Computers": [...]} in the order they first reported it.
  nlohmann::json Outbreak(const std::string& virus);

  // {"Rule": {...}, "Outbreaks": [...]}: the outbreaks under way. An outbreak begins when the
  // rule holds for a virus and is reported to the event log then, once; it ends when the virus
  // has gone a whole window (the rule's minutes) unreported. Answers from a look at most a few
  // seconds old, so that every page's banner poll does not query the database.
  nlohmann::json Outbreaks();
  // Looks at once, whatever the last look's age.
  nlohmann::json CheckOutbreaks();
  // Looks every rule.checkSeconds in a thread of its own until destroyed, so that an outbreak
  // reaches the event log while no browser is open.
  void Watch();
  const OutbreakRule& Rule() const { return m_rule; }

  // Streams every computer (or alert) as CSV into `res`, a page of rows at a time.
  void ExportComputers(httplib::Response& res);
  void ExportAlerts(httplib::Response& res);

  // Rows per page of an export; exports under way at once (each holds a worker while the
  // client takes it, so the rest stay free for pages).
  static constexpr int kExportPage = 1000;
  static constexpr int kExportsAtOnce = 2;

private:
  nlohmann::json Call(const char* procedure, const std::function<void(COurCommand&)>& set);
  // The figures under `key`, made by `make` unless a copy younger than m_keep is at hand.
  nlohmann::json Kept(const std::string& key, const std::function<nlohmann::json()>& make);
  nlohmann::json MakeTop(int days, int count);
  void Export(httplib::Response& res, const char* fileName, const char* procedure, const char* key,
              const std::vector<std::string>& columns);

  ConsoleData& m_data;
  const OutbreakRule m_rule;
  Reporter m_report;
  const std::chrono::seconds m_keep;
  std::mutex m_keptMutex;
  std::map<std::string, std::pair<std::chrono::steady_clock::time_point, nlohmann::json>> m_kept;

  std::mutex m_outbreakMutex;
  std::map<std::string, nlohmann::json> m_active;  // virus -> outbreak under way
  nlohmann::json m_last;
  std::chrono::steady_clock::time_point m_lastLook{};

  std::atomic<int> m_exports{0};

  std::mutex m_watchMutex;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::thread m_watch;
};

}  // namespace corvexweb
