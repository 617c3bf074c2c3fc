// The fast row-set form on the identities of 100,000 computers beside the same result read with
// the server's own client library: a scratch database seeded with a fleet (the computer table as
// a network fills it, as `corvex-db seed` makes it; dropped at the end), GetComputerList (all
// computers by name, as the console lists them) through PopulateListFromRowsetsFast into a
// CComputerList, and through raw BEGIN / call / FETCH ALL / COMMIT into a vector of ids. Each
// reports the elapsed time and the client's CPU time per read and rows per second; the table at
// the end gives the fast form's client CPU as a multiple of libpq's. The fast form also reports
// the allocations of the list per call (operator new of 64 KiB or more; the row buffers of the
// client library and the array of values are malloc'ed) and all operator new calls per call.
// Run: build/bench/businesslogic/bench_rowsets
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "bench/businesslogic/BenchDatabase.h"
#include "bench/businesslogic/ClientCost.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/entities/Computer.h"

namespace {

constexpr int kRows = 100000;
constexpr std::size_t kLargeAllocation = 64 * 1024;

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<long> g_largeAllocations{0};

void* Allocate(std::size_t size)
{
  if (g_counting.load(std::memory_order_relaxed)) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (size >= kLargeAllocation)
      g_largeAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void* p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr LONG kByName = 1;
const char* const kFastPath = "fast row-set (GetRows, column 0)";
const char* const kLibpqPath = "libpq (FETCH ALL, column 0)";

ClientCost g_costs;

struct Environment : BenchDatabase
{
  Environment() : BenchDatabase("corvex_bench_rows", kRows)
  {
    Prepare("list",
            "SELECT \"@RETURN_VALUE\", \"@RowSet\" FROM dbo.\"GetComputerList\"("
            "\"@Filter\" => $1::integer, \"@OrderBy\" => $2::integer, \"@Ascending\" => $3::integer)",
            3);
  }
};

Environment& Env()
{
  static Environment env;
  return env;
}

void BM_ComputerIds_PopulateListFromRowsetsFast(benchmark::State& state)
{
  COurCommand cmd = Env().conn->GetComputerList();
  cmd.SetAttribute(L"@Filter", static_cast<LONG>(0));
  cmd.SetAttribute(L"@OrderBy", kByName);
  cmd.SetAttribute(L"@Ascending", static_cast<LONG>(1));
  long allocations = 0;
  long largeAllocations = 0;
  ClientCost::Meter meter(g_costs, state, kFastPath);
  for (auto _ : state) {
    auto computers = std::make_unique<CComputerList>();
    g_allocations = 0;
    g_largeAllocations = 0;
    g_counting = true;
    meter.Start();
    PopulateListFromRowsetsFast(cmd, *computers);
    meter.Stop(static_cast<long>(computers->size()));
    g_counting = false;
    allocations += g_allocations;
    largeAllocations += g_largeAllocations;
    if (computers->size() != kRows || computers->capacity() != kRows || cmd.GetReturnValue() != 0)
      state.SkipWithError("rows");
    benchmark::DoNotOptimize(computers->data());
    state.PauseTiming();  // dropping the list is not part of reading it
    computers.reset();
    state.ResumeTiming();
  }
  const double calls = static_cast<double>(state.iterations());
  state.counters["list_allocations"] = static_cast<double>(largeAllocations) / calls;
  state.counters["allocations"] = static_cast<double>(allocations) / calls;
}
BENCHMARK(BM_ComputerIds_PopulateListFromRowsetsFast)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ComputerIds_RawLibpq(benchmark::State& state)
{
  PGconn* c = Env().raw;
  const std::string byName = std::to_string(kByName);
  const char* values[] = {"0", byName.c_str(), "1"};
  ClientCost::Meter meter(g_costs, state, kLibpqPath);
  for (auto _ : state) {
    meter.Start();
    PQclear(PQexec(c, "BEGIN"));
    PGresult* call = PQexecPrepared(c, "list", 3, values, nullptr, nullptr, 0);
    if (PQresultStatus(call) != PGRES_TUPLES_OK || std::atoi(PQgetvalue(call, 0, 0)) != 0)
      state.SkipWithError(PQerrorMessage(c));
    const std::string fetch = std::string("FETCH ALL FROM \"") + PQgetvalue(call, 0, 1) + "\"";
    PQclear(call);
    PGresult* r = PQexec(c, fetch.c_str());
    auto list = std::make_unique<std::vector<LONG>>();
    std::vector<LONG>& ids = *list;
    ids.reserve(static_cast<std::size_t>(PQntuples(r)));
    for (int i = 0; i < PQntuples(r); ++i)
      ids.push_back(static_cast<LONG>(std::atol(PQgetvalue(r, i, 0))));
    PQclear(r);
    PQclear(PQexec(c, "COMMIT"));
    meter.Stop(static_cast<long>(ids.size()));
    if (ids.size() != kRows)
      state.SkipWithError("rows");
    benchmark::DoNotOptimize(ids.data());
    state.PauseTiming();
    list.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ComputerIds_RawLibpq)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  g_costs.Print("100,000 computer identities read from the computer table", kLibpqPath);
  benchmark::Shutdown();
  return 0;
}
