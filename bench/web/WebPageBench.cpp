// Seeds a scratch database with 100,000 computers in 1,000 groups and 1,000,000 alerts (sizes
// from the command line: computers alerts), then times every page's data as the server makes it:
// the procedure call through the business layer and the JSON the browser receives.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <httplib.h>

#include "bench/businesslogic/BenchDatabase.h"
#include "web/ConsoleCharts.h"
#include "web/ConsoleData.h"

namespace {

using Clock = std::chrono::steady_clock;

void Time(const char* label, int runs, const std::function<nlohmann::json()>& page)
{
  std::vector<double> ms;
  std::size_t bytes = 0;
  page();  // warm
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    bytes = page().dump().size();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms)
    sum += v;
  std::printf("  %-52s mean %7.1f ms  p95 %7.1f ms  max %7.1f ms  %8zu bytes\n", label, sum / runs,
              ms[std::min<std::size_t>(ms.size() - 1, ms.size() * 95 / 100)], ms.back(), bytes);
  std::fflush(stdout);
}

// The same procedure alone in the database, over raw libpq: the call and the fetch of its cursor
// in one transaction, as the business layer runs it.
double DatabaseAlone(PGconn* raw, const std::string& call, int runs)
{
  const auto once = [&] {
    PQclear(PQexec(raw, "BEGIN"));
    PGresult* r = PQexec(raw, call.c_str());
    const std::string cursor = PQresultStatus(r) == PGRES_TUPLES_OK ? PQgetvalue(r, 0, PQnfields(r) - 1) : "";
    PQclear(r);
    if (cursor.empty()) {
      std::fprintf(stderr, "%s failed: %s\n", call.c_str(), PQerrorMessage(raw));
      std::exit(1);
    }
    PQclear(PQexec(raw, ("FETCH ALL FROM \"" + cursor + "\"").c_str()));
    PQclear(PQexec(raw, "COMMIT"));
  };
  once();
  double sum = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    once();
    sum += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
  return sum / runs;
}

void Chart(const char* label, int runs, const std::function<nlohmann::json()>& page, PGconn* raw, const std::vector<std::string>& calls)
{
  Time(label, runs, page);
  double db = 0;
  for (const std::string& call : calls)
    db += DatabaseAlone(raw, call, runs);
  std::printf("  %-52s mean %7.1f ms  (database alone)\n", "", db);
  std::fflush(stdout);
}

long PeakKilobytes()
{
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Streams an export as the server would, counting its bytes and lines.
void Export(const char* label, const std::function<void(httplib::Response&)>& answer)
{
  const long before = PeakKilobytes();
  const auto start = Clock::now();
  httplib::Response res;
  answer(res);
  std::size_t bytes = 0, lines = 0;
  bool done = false;
  httplib::DataSink sink;
  sink.write = [&](const char* d, std::size_t n) {
    bytes += n;
    lines += std::count(d, d + n, '\n');
    return true;
  };
  sink.done = [&] { done = true; };
  sink.is_writable = [] { return true; };
  while (!done && res.content_provider_(bytes, 0, sink)) {
  }
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("  %-52s %7.1f s  %9zu lines  %6.1f MB  %s  peak memory +%ld kB\n", label, s, lines, bytes / 1e6,
              done ? "complete" : "CUT SHORT", PeakKilobytes() - before);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
  const int computers = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int alerts = argc > 2 ? std::atoi(argv[2]) : 1000000;
  const auto seeded = Clock::now();
  BenchDatabase db("corvex_web_bench", computers, alerts);
  db.db->Connect().Exec("VACUUM ANALYZE");
  std::printf("  seeded in %.0f s\n", std::chrono::duration<double>(Clock::now() - seeded).count());

  corvexweb::ConsoleData data;
  const LONG someComputer = std::stol(db.db->Connect().Exec("SELECT min(\"ComputerID\") + 4321 FROM dbo.\"Computers\"").Text(0, 0));
  const ULONG region = std::stoul(db.db->Connect().Exec("SELECT min(\"GroupID\") FROM dbo.\"Groups\"").Text(0, 0));
  const int runs = 20;
  std::printf("Page data, %d runs each (server time: procedure call and JSON):\n", runs);
  Time("overview (counts + alerts per day, 30 days)", runs, [&] { return data.Overview(30); });
  Time("computers, first 100 by name", runs, [&] { return data.Computers({}); });
  Time("computers, last 100 by name (offset 99,900)", runs, [&] {
    corvexweb::ComputerQuery q;
    q.offset = std::max(0, computers - 100);
    return data.Computers(q);
  });
  Time("computers, by last message, descending", runs, [&] {
    corvexweb::ComputerQuery q;
    q.orderBy = 4;
    q.ascending = false;
    return data.Computers(q);
  });
  Time("computers, a region with its subgroups", runs, [&] {
    corvexweb::ComputerQuery q;
    q.group = region;
    q.subgroups = true;
    return data.Computers(q);
  });
  Time("computers, not connected with virus alerts", runs, [&] {
    corvexweb::ComputerQuery q;
    q.connected = 0;
    q.alerts = 2;
    return data.Computers(q);
  });
  Time("computers, name contains \"123\"", runs, [&] {
    corvexweb::ComputerQuery q;
    q.name = "123";
    return data.Computers(q);
  });
  Time("one computer (details, alerts, configurations)", runs, [&] { return data.Computer(someComputer); });
  Time("alerts, newest 100", runs, [&] { return data.Alerts({}); });
  Time("alerts, virus, outstanding, newest 100", runs, [&] {
    corvexweb::AlertQuery q;
    q.type = 2;
    q.outstanding = 1;
    return data.Alerts(q);
  });
  Time("alerts, page 500 (offset 50,000)", runs, [&] {
    corvexweb::AlertQuery q;
    q.offset = 50000;
    return data.Alerts(q);
  });
  Time("alerts of one computer", runs, [&] {
    corvexweb::AlertQuery q;
    q.computer = someComputer;
    return data.Alerts(q);
  });
  Time("group tree with counts (1,000 groups)", runs, [&] { return data.Groups(); });

  // Every call computed: the console keeps figures for a while, which would time the copy.
  corvexweb::ConsoleCharts charts(data, corvexweb::OutbreakRule{}, nullptr, std::chrono::seconds(0));
  std::printf("Overview charts and outbreaks, %d runs each (server time; then the same procedures alone):\n", runs);
  Chart("detections per hour by kind, 7 days", runs, [&] { return charts.DetectionsPerHour(7); }, db.raw,
        {"SELECT * FROM dbo.\"WebDetectionsPerHourGet\"(7)"});
  for (const int days : {30, 90, 366}) {
    const std::string label = "top 10 viruses, computers, groups, " + std::to_string(days) + " days";
    const std::string args = "(" + std::to_string(days) + ", 10)";
    Chart(label.c_str(), runs, [&] { return charts.Top(days, 10); }, db.raw,
          {"SELECT * FROM dbo.\"WebTopGet\"" + args});
  }
  Chart("configuration match per group", runs, [&] { return charts.Compliance(); }, db.raw, {"SELECT * FROM dbo.\"WebComplianceGet\"()"});
  Chart("virus-data versions in the fleet", runs, [&] { return charts.VirusDataVersions(); }, db.raw,
        {"SELECT * FROM dbo.\"WebVirusDataVersionsGet\"()"});
  Chart("outbreak view of one virus", runs, [&] { return charts.Outbreak("W32.Virus.5"); }, db.raw,
        {"SELECT * FROM dbo.\"WebOutbreakGet\"('W32.Virus.5')"});
  Chart("outbreak rule check (60 minutes)", runs, [&] { return charts.CheckOutbreaks(); }, db.raw,
        {"SELECT * FROM dbo.\"WebOutbreakCheck\"(60)"});

  std::printf("CSV exports, streamed a page of %d rows at a time:\n", corvexweb::ConsoleCharts::kExportPage);
  Export("computers", [&](httplib::Response& res) { charts.ExportComputers(res); });
  Export("alerts", [&](httplib::Response& res) { charts.ExportAlerts(res); });
  return 0;
}
