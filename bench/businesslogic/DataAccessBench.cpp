// What the data-access layer costs over the server's own client library, on the same
// procedure in the same scratch database:
//   - a call with one input, the return value and one output (GetComputerID), through
//     COurCommand and through a raw prepared statement;
//   - one column of 100,000 rows read from a procedure's cursor, through GetRows and through
//     raw BEGIN / call / FETCH ALL / COMMIT.
// Run: build/bench/businesslogic/bench_dataaccess
#include <benchmark/benchmark.h>

#include <string>

#include "bench/businesslogic/BenchDatabase.h"
#include "businesslogic/OurCommand.h"

namespace {

constexpr int kRows = 100000;

// GetComputerID finds one computer; BenchRows opens a cursor on n generated ids.
struct Environment : BenchDatabase
{
  Environment()
    : BenchDatabase("corvex_bench_dal",
                    "INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"DomainName\") VALUES ('BENCHPC', 'WORKGROUP'); "
                    "CREATE FUNCTION dbo.\"BenchRows\"(OUT \"@RETURN_VALUE\" integer, \"@Count\" integer, OUT \"@RowSet\" refcursor) "
                    "LANGUAGE plpgsql AS $$ BEGIN OPEN \"@RowSet\" FOR SELECT g AS \"ID\" FROM generate_series(1, \"@Count\") g; "
                    "\"@RETURN_VALUE\" := 0; END $$")
  {
    Prepare("getid", "SELECT * FROM dbo.\"GetComputerID\"($1::dbo.nvarchar_31)", 1);
    Prepare("rows", "SELECT * FROM dbo.\"BenchRows\"($1::integer)", 1);
  }
};

Environment& Env()
{
  static Environment env;
  return env;
}

void BM_ProcedureCall_OurCommand(benchmark::State& state)
{
  COurCommand cmd = Env().conn->GetComputerID();
  const std::wstring name = L"BENCHPC";
  for (auto _ : state) {
    cmd.SetAttribute(L"@ComputerName", name);
    if (cmd.ExecuteCommand() != 0)
      state.SkipWithError("return value");
    LONG id = 0;
    cmd.GetAttribute(L"@ComputerID", id);
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcedureCall_OurCommand)->UseRealTime();

void BM_ProcedureCall_RawLibpq(benchmark::State& state)
{
  PGconn* c = Env().raw;
  const char* values[] = {"BENCHPC"};
  for (auto _ : state) {
    PGresult* r = PQexecPrepared(c, "getid", 1, values, nullptr, nullptr, 0);
    if (PQresultStatus(r) != PGRES_TUPLES_OK || std::atoi(PQgetvalue(r, 0, 0)) != 0)
      state.SkipWithError(PQerrorMessage(c));
    long id = std::atol(PQgetvalue(r, 0, 1));
    benchmark::DoNotOptimize(id);
    PQclear(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcedureCall_RawLibpq)->UseRealTime();

void BM_Column0Of100kRows_GetRows(benchmark::State& state)
{
  COurCommand cmd(Env().conn->GetADOPtr(), "BenchRows");
  cmd.SetAttribute(L"@Count", static_cast<LONG>(kRows));
  VARIANT omitted;
  omitted.vt = VT_ERROR;
  VARIANT column;
  column.vt = VT_I4;
  column.lVal = 0;
  for (auto _ : state) {
    ado::RecordsetPtr rs = ado::Recordset::Create();
    rs->put_CacheSize(200);
    rs->put_Source(cmd.Command());
    if (FAILED(rs->Open(omitted, omitted, ado::adOpenStatic, ado::adLockReadOnly, ado::adOptionUnspecified)))
      state.SkipWithError("open");
    _variant_t rows;
    if (FAILED(rs->GetRows(ado::adGetRowsRest, omitted, column, &rows)))
      state.SkipWithError("GetRows");
    VARIANT* cells = nullptr;
    LONG ub = -1;
    SafeArrayGetUBound(rows.parray, 1, &ub);
    SafeArrayAccessData(rows.parray, reinterpret_cast<void**>(&cells));
    std::vector<LONG> ids;
    ids.reserve(static_cast<std::size_t>(ub + 1));
    for (LONG i = 0; i <= ub; ++i)
      ids.push_back(cells[i].lVal);
    SafeArrayUnaccessData(rows.parray);
    if (ids.size() != kRows || cmd.GetReturnValue() != 0)
      state.SkipWithError("rows");
    benchmark::DoNotOptimize(ids.data());
  }
}
BENCHMARK(BM_Column0Of100kRows_GetRows)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Column0Of100kRows_RawLibpq(benchmark::State& state)
{
  PGconn* c = Env().raw;
  const std::string count = std::to_string(kRows);
  const char* values[] = {count.c_str()};
  for (auto _ : state) {
    PQclear(PQexec(c, "BEGIN"));
    PGresult* call = PQexecPrepared(c, "rows", 1, values, nullptr, nullptr, 0);
    const std::string fetch = std::string("FETCH ALL FROM \"") + PQgetvalue(call, 0, 1) + "\"";
    PQclear(call);
    PGresult* r = PQexec(c, fetch.c_str());
    std::vector<long> ids;
    ids.reserve(static_cast<std::size_t>(PQntuples(r)));
    for (int i = 0; i < PQntuples(r); ++i)
      ids.push_back(std::atol(PQgetvalue(r, i, 0)));
    PQclear(r);
    PQclear(PQexec(c, "COMMIT"));
    if (ids.size() != kRows)
      state.SkipWithError("rows");
    benchmark::DoNotOptimize(ids.data());
  }
}
BENCHMARK(BM_Column0Of100kRows_RawLibpq)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
