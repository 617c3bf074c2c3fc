// What the data-access layer costs over the server's own client library, on the same
// procedures in one scratch database seeded with a fleet of 100,000 computers (the computer
// table as a network fills it, as `corvex-db seed` makes it; dropped at the end):
//   - a call with one input, the return value and one output (GetComputerID), through
//     COurCommand and through a raw prepared statement;
//   - the whole computer list (ComputerListGet: 13 columns of every computer, by name) read
//     row by row into one record per computer, through a command and its row set (fields by
//     name, as the console's list does) and through raw BEGIN / call / FETCH ALL / COMMIT.
// Each list read reports its elapsed time, the client's CPU time and rows per second; the
// table at the end gives the data-access layer's client CPU as a multiple of libpq's.
// Run: build/bench/businesslogic/bench_dataaccess
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/businesslogic/BenchDatabase.h"
#include "bench/businesslogic/ClientCost.h"
#include "businesslogic/AdoError.h"
#include "businesslogic/OurCommand.h"
#include "platform/ado/PgValue.h"
#include "platform/text/Unicode.h"

namespace {

constexpr int kRows = 100000;
const char* const kRecordsetPath = "data access (command + row set)";
const char* const kLibpqPath = "libpq (FETCH ALL, 13 columns)";

ClientCost g_costs;

// One row of the computer list, as a reader keeps it.
struct ListedComputer
{
  long id = 0;
  std::string name, domain;
  long os = 0;
  bool managed = false;
  std::optional<bool> connected;
  long alertState = 0;
  std::optional<DATE> lastMessage;
  std::optional<long> group;
  bool installPending = false, installInProgress = false, installAttempted = false;
  long installResult = 0;
};

struct Environment : BenchDatabase
{
  std::string knownName;
  Environment() : BenchDatabase("corvex_bench_dal", kRows)
  {
    Prepare("getid", "SELECT * FROM dbo.\"GetComputerID\"($1::dbo.nvarchar_31)", 1);
    Prepare("list",
            "SELECT \"@RETURN_VALUE\", \"@RowSet\" FROM dbo.\"ComputerListGet\"("
            "$1::bigint, $2::integer, $3::integer)",
            3);
    PGresult* r = PQexec(raw, "SELECT \"ComputerName\" FROM dbo.\"Computers\" ORDER BY \"ComputerID\" LIMIT 1");
    knownName = PQgetvalue(r, 0, 0);
    PQclear(r);
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
  const std::wstring name = FromUtf8(Env().knownName);
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
  const char* values[] = {Env().knownName.c_str()};
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

_variant_t Value(const ado::Fields& fields, const wchar_t* name)
{
  ado::Field field;
  _variant_t value;
  ThrowIfAdoFailed(fields.Item(name, field));
  ThrowIfAdoFailed(field.get_Value(&value));
  return value;
}

bool IsNull(const _variant_t& v) { return v.vt == VT_NULL || v.vt == VT_EMPTY; }

void BM_ComputerList_CommandAndRowSet(benchmark::State& state)
{
  COurCommand cmd(Env().conn->GetADOPtr(), "ComputerListGet");
  cmd.SetAttributeNull(L"@GroupID");
  cmd.SetAttribute(L"@ConnectedOnly", LONG(0));
  cmd.SetAttribute(L"@Limit", LONG(0));
  ClientCost::Meter meter(g_costs, state, kRecordsetPath);
  for (auto _ : state) {
    meter.Start();
    ado::RecordsetPtr rows = cmd.ExecuteCommandWithRecordset();
    std::vector<ListedComputer> list;
    for (; rows && !rows->IsEOF(); rows->MoveNext()) {
      const ado::Fields f = rows->GetFields();
      ListedComputer c;
      c.id = Value(f, L"ID").ToLong();
      c.name = ToUtf8(Value(f, L"Name").ToWString());
      c.domain = ToUtf8(Value(f, L"Domain").ToWString());
      c.os = Value(f, L"OperatingSystem").ToLong();
      c.managed = Value(f, L"Managed").ToLong() != 0;
      if (const _variant_t v = Value(f, L"Connected"); !IsNull(v))
        c.connected = v.ToLong() != 0;
      c.alertState = Value(f, L"AlertState").ToLong();
      if (const _variant_t v = Value(f, L"LastMessageTime"); !IsNull(v))
        c.lastMessage = v.ToDouble();
      if (const _variant_t v = Value(f, L"GroupID"); !IsNull(v))
        c.group = v.ToLong();
      c.installPending = Value(f, L"InstallPending").ToLong() != 0;
      c.installInProgress = Value(f, L"InstallInProgress").ToLong() != 0;
      c.installAttempted = Value(f, L"InstallAttempted").ToLong() != 0;
      c.installResult = Value(f, L"InstallResult").ToLong();
      list.push_back(std::move(c));
    }
    meter.Stop(static_cast<long>(list.size()));
    if (list.size() != kRows || cmd.GetReturnValue() != 0)
      state.SkipWithError("rows");
    benchmark::DoNotOptimize(list.data());
  }
}
BENCHMARK(BM_ComputerList_CommandAndRowSet)->UseRealTime()->Unit(benchmark::kMillisecond);

std::optional<long> Integer(PGresult* r, int row, int column)
{
  if (PQgetisnull(r, row, column))
    return std::nullopt;
  return std::atol(PQgetvalue(r, row, column));
}

bool Flag(PGresult* r, int row, int column) { return PQgetvalue(r, row, column)[0] == 't'; }

void BM_ComputerList_RawLibpq(benchmark::State& state)
{
  PGconn* c = Env().raw;
  const char* values[] = {nullptr, "0", "0"};
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
    std::vector<ListedComputer> list;
    for (int i = 0; i < PQntuples(r); ++i) {
      ListedComputer row;
      row.id = std::atol(PQgetvalue(r, i, 0));
      row.name = PQgetvalue(r, i, 1);
      row.domain = PQgetvalue(r, i, 2);
      row.os = std::atol(PQgetvalue(r, i, 3));
      row.managed = Flag(r, i, 4);
      if (!PQgetisnull(r, i, 5))
        row.connected = Flag(r, i, 5);
      row.alertState = std::atol(PQgetvalue(r, i, 6));
      DATE when = 0;
      if (!PQgetisnull(r, i, 7) && ado::ParsePgTimestamp(PQgetvalue(r, i, 7), when))
        row.lastMessage = when;
      row.group = Integer(r, i, 8);
      row.installPending = Flag(r, i, 9);
      row.installInProgress = Flag(r, i, 10);
      row.installResult = std::atol(PQgetvalue(r, i, 11));
      row.installAttempted = Flag(r, i, 12);
      list.push_back(std::move(row));
    }
    PQclear(r);
    PQclear(PQexec(c, "COMMIT"));
    meter.Stop(static_cast<long>(list.size()));
    if (list.size() != kRows)
      state.SkipWithError("rows");
    benchmark::DoNotOptimize(list.data());
  }
}
BENCHMARK(BM_ComputerList_RawLibpq)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  g_costs.Print("The computer list of 100,000 computers, 13 columns, read row by row", kLibpqPath);
  benchmark::Shutdown();
  return 0;
}
