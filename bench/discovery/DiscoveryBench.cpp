// The discovery pipeline at the size of a large network, with the network replaced by a timed
// stand-in: each domain lists its computers at once, and each details query takes a fixed time.
// Everything else is real: the browse thread enters every computer in a scratch database, the
// five details threads query them and store what they answer.
//
// Reports computers entered per second (browse), computers queried and stored per second
// (details), how many details queries ran at once at most, and how the work spread over the
// threads. The details figure's ceiling is 5 / query time.
//
// Run: build/bench/discovery/bench_discovery [--computers 5000] [--query-ms 50] [--domains 10]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "bench/businesslogic/BenchDatabase.h"
#include "businesslogic/ServerBroker.h"
#include "managementservice/discovery/ComputerDiscovery.h"
#include "tests/businesslogic/TestClocks.h"
#include "platform/sync/Sync.h"
#include "platform/trace/Trace.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options
{
  long computers = 5000;
  long queryMs = 50;
  long domains = 10;
};

Options Parse(int argc, char** argv)
{
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const long v = std::atol(argv[i + 1]);
    if (!std::strcmp(argv[i], "--computers"))
      o.computers = v;
    else if (!std::strcmp(argv[i], "--query-ms"))
      o.queryMs = v;
    else if (!std::strcmp(argv[i], "--domains"))
      o.domains = v;
  }
  if (o.computers < 1 || o.queryMs < 0 || o.domains < 1) {
    std::fprintf(stderr, "usage: bench_discovery [--computers N] [--query-ms MS] [--domains D]\n");
    std::exit(2);
  }
  return o;
}

// The timed stand-in for the network, counting what runs at once and on which thread.
struct TimedNetwork
{
  Options options;
  std::atomic<int> inside{0};
  std::atomic<int> mostAtOnce{0};
  std::mutex mutex;
  std::map<DWORD, long> perThread;

  std::shared_ptr<DiscoveryNetwork> Functions()
  {
    auto net = std::make_shared<DiscoveryNetwork>();
    net->getChildEntities = [this](const std::wstring& domain, std::vector<std::wstring>& children) -> HRESULT {
      const long d = std::stol(domain.substr(1));
      for (long i = d; i < options.computers; i += options.domains)
        children.push_back(L"\\\\" + domain + L"-" + std::to_wstring(i));
      return S_OK;
    };
    net->getComputerDescriptionAndOS = [this](const std::wstring&, std::wstring& comment, PTLDB::OperatingSystem& os,
                                              const wchar_t*, const wchar_t*) {
      const int now = ++inside;
      for (int seen = mostAtOnce.load(); now > seen && !mostAtOnce.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(options.queryMs));
      --inside;
      {
        std::lock_guard lock(mutex);
        ++perThread[GetCurrentThreadId()];
      }
      os = 8;
      comment = L"workstation";
      return true;
    };
    return net;
  }
};

long Count(corvexdb::PgConnection& db, const std::string& where)
{
  return std::stol(db.Exec("SELECT count(*) FROM dbo.\"Computers\" WHERE " + where).Text(0, 0));
}

}  // namespace

int main(int argc, char** argv)
{
  const Options options = Parse(argc, argv);
  trace::SetLevel(0);
  BenchDatabase bench("corvex_bench_discovery", "");
  // The computer-state and membership clocks the pipeline ticks, counted in this process.
  testsupport::TestClocks clocks;
  corvexdb::PgConnection db = bench.db->Connect();

  TimedNetwork network;
  network.options = options;
  DiscoveryEngine engine(network.Functions());
  for (int i = 0; i < 4; ++i)
    engine.discovery.AddDetailsHandler();
  engine.discovery.Start();

  const auto start = Clock::now();
  engine.state.IncreaseDomainsFound(static_cast<ULONG>(options.domains));
  for (long d = 0; d < options.domains; ++d)
    engine.browseQueue.push(BrowseDomainInfo{L"D" + std::to_wstring(d), AccountCredentials()});
  engine.state.SearchStarted();

  // The end is read from the database: every computer entered, then every one stored.
  double entered = 0, stored = 0;
  long lastStored = -1;
  auto lastProgress = Clock::now();
  for (;;) {
    Sleep(50);
    const long all = Count(db, "true");
    const long done = Count(db, "\"OperatingSystem\" = 8");
    if (all + done != lastStored) {
      lastStored = all + done;
      lastProgress = Clock::now();
    } else if (Clock::now() - lastProgress > std::chrono::seconds(30)) {
      // A pipeline that stopped moving (a handler thread ended) gives no figure.
      std::fprintf(stderr, "bench_discovery: no progress for 30 s (%ld entered, %ld stored)\n", all, done);
      engine.discovery.Stop();
      return 1;
    }
    if (!entered && all == options.computers)
      entered = std::chrono::duration<double>(Clock::now() - start).count();
    if (done == options.computers) {
      stored = std::chrono::duration<double>(Clock::now() - start).count();
      break;
    }
  }
  engine.discovery.Stop();

  std::printf("computers %ld in %ld domains, details query %ld ms\n", options.computers, options.domains, options.queryMs);
  std::printf("entered (browse thread):     %8.1f computers/s  (all entered after %.2f s)\n", options.computers / entered, entered);
  std::printf("queried and stored (details): %8.1f computers/s  (all stored after %.2f s; ceiling %.1f/s)\n",
              options.computers / stored, stored, options.queryMs ? 5000.0 / options.queryMs : 0.0);
  std::printf("details queries at once, at most: %d\n", network.mostAtOnce.load());
  std::printf("queries per details thread:");
  for (const auto& [thread, count] : network.perThread)
    std::printf(" %ld", count);
  std::printf("\n");
  return 0;
}
