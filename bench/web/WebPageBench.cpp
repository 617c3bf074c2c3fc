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

#include "bench/businesslogic/BenchDatabase.h"
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
  return 0;
}
