// The fast row-set form on 100,000 computer ids beside the same result read with the server's
// own client library: GetComputerList (all computers by id) in a scratch database, through
// PopulateListFromRowsetsFast into a CComputerList, and through raw BEGIN / call / FETCH ALL /
// COMMIT into a vector of ids. Both report rows per second (items_per_second). The fast form
// also reports the allocations of the list per call (operator new of 64 KiB or more; the row
// buffers of the client library and the array of values are malloc'ed) and all operator new
// calls per call.
// Run: build/bench/businesslogic/bench_rowsets
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "bench/businesslogic/BenchDatabase.h"
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

struct Environment : BenchDatabase
{
  Environment()
    : BenchDatabase("corvex_bench_rows", "INSERT INTO dbo.\"Computers\" (\"ComputerName\") SELECT 'PC' || g FROM generate_series(1, " +
                                             std::to_string(kRows) + ") g; ANALYZE dbo.\"Computers\"")
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
  cmd.SetAttribute(L"@OrderBy", static_cast<LONG>(0));
  cmd.SetAttribute(L"@Ascending", static_cast<LONG>(1));
  long allocations = 0;
  long largeAllocations = 0;
  for (auto _ : state) {
    auto computers = std::make_unique<CComputerList>();
    g_allocations = 0;
    g_largeAllocations = 0;
    g_counting = true;
    PopulateListFromRowsetsFast(cmd, *computers);
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
  state.SetItemsProcessed(state.iterations() * kRows);
  const double calls = static_cast<double>(state.iterations());
  state.counters["list_allocations"] = static_cast<double>(largeAllocations) / calls;
  state.counters["allocations"] = static_cast<double>(allocations) / calls;
}
BENCHMARK(BM_ComputerIds_PopulateListFromRowsetsFast)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ComputerIds_RawLibpq(benchmark::State& state)
{
  PGconn* c = Env().raw;
  const char* values[] = {"0", "0", "1"};
  for (auto _ : state) {
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
    if (ids.size() != kRows)
      state.SkipWithError("rows");
    benchmark::DoNotOptimize(ids.data());
    state.PauseTiming();
    list.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_ComputerIds_RawLibpq)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
