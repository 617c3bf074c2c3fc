// Events applied per second by the service's processing step, with a fleet of computers in the
// database, and where the time goes.
//
// The events are those the agent simulator sends (virus found by default), one per envelope
// from a computer of the fleet chosen at random, each decoded into an EntityEventMessage as the
// receiver does and processed as the processing thread does. Beside that run, on the same
// documents and database:
//   - XML: the documents parsed as the strategies parse them, alone;
//   - database: the same procedure calls with the same values through raw libpq prepared
//     statements (round trips and commits included);
//   - data access: what remains of processing: our command layer, traces and clock ticks;
//   - and the database calls again with one commit per 100 events, as group commit would make
//     them.
//
// Run: build/bench/managementservice/bench_events [--computers 10000] [--events 20000]
//      [--kind virus|scan|error|update]
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/businesslogic/BenchDatabase.h"
#include "businesslogic/ServerBroker.h"
#include "dexhandler/DexEvent.h"
#include "handlers/AUCoreHandler/AUEvent.h"
#include "handlers/KTDexHandler/KTDexEvent.h"
#include "idl/DEX_PTLMessages.hh"
#include "managementservice/messages/EntityEventMessage.h"
#include "messaging/ProcessSupport.h"
#include "platform/com/Memory.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "tools/agent-sim/AgentDocuments.h"
#include "tools/agent-sim/SimulatedAgent.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The clocks of a service: in-process counters.
struct Clocks : CComRefCounted<IVRN_Clocks>
{
  HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
  HRESULT Fetch(ULONG* size, ClockValue** data) override
  {
    *size = 3;
    *data = static_cast<ClockValue*>(CoTaskMemAlloc(3 * sizeof(ClockValue)));
    for (ULONG i = 0; i < 3; ++i)
      (*data)[i] = {i, ticks[i]};
    return S_OK;
  }
  HRESULT Fetch(VRN_Clock clock) override
  {
    ++ticks[clock % 3];
    return S_OK;
  }
  ULONG ticks[3] = {};
};

struct Broker : CServerBrokerBase
{
  ServerClocks CreateServerClocks() const override { return ServerClocks(new Clocks); }
  std::unique_ptr<CServerBrokerBase> Clone() const override { return std::make_unique<Broker>(); }
};

struct Options
{
  long computers = 10000;
  long events = 20000;
  agentsim::EventKind kind = agentsim::EventKind::VirusFound;
};

Options Parse(int argc, char** argv)
{
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--computers")
      o.computers = messaging::ParseWholeNumber(a, argv[i + 1], 1, 1000000);
    else if (a == "--events")
      o.events = messaging::ParseWholeNumber(a, argv[i + 1], 1, 10000000);
    else if (a == "--kind" && agentsim::ParseEventKind(argv[i + 1], o.kind))
      continue;
    else
      throw std::invalid_argument("usage: bench_events [--computers N] [--events N] [--kind virus|scan|error|update]");
  }
  return o;
}

struct Event
{
  agentsim::Computer computer;
  std::string entity;
  std::string text;
};

// The strategies' parsing of one event, without the database.
void ParseAsTheStrategiesDo(const Event& e)
{
  if (e.entity == "ALC") {
    AUCoreHandler::AUEvent document;
    document.Set(e.text);
    return;
  }
  DexHandler::DexEvent agent;
  agent.Set(e.text);
  KTDexHandler::KTDexEvent document;
  document.Set(agent.GetKTXML());
  std::wstring info;
  agent.GetEntityInfo(info);
}

class RawCalls
{
public:
  explicit RawCalls(PGconn* c) : m_c(c)
  {
    Prepare("from", "SELECT \"@RETURN_VALUE\", \"@ComputerID\" FROM dbo.\"ComputerFromAddressNameDomain\"($1::dbo.nvarchar_255, "
                    "$2::dbo.nvarchar_31, $3::dbo.nvarchar_128)");
    Prepare("seen", "SELECT \"@RETURN_VALUE\" FROM dbo.\"ComputerLastMessageTimeSet\"($1::bigint, $2::timestamp)");
    Prepare("virus", "SELECT \"@RETURN_VALUE\" FROM dbo.\"AddVirusAlert\"($1::integer, $2::timestamp, $3::dbo.nvarchar_256, "
                     "$4::dbo.nvarchar_32, $5::integer, $6::dbo.nvarchar_256, $7::integer, $8::integer)");
    Prepare("error", "SELECT \"@RETURN_VALUE\" FROM dbo.\"AddErrorAlert\"($1::integer, $2::timestamp, $3::dbo.nvarchar_256, "
                     "$4::dbo.nvarchar_32, $5::dbo.nvarchar_256, $6::integer, $7::dbo.nvarchar_256, $8::dbo.nvarchar_256, "
                     "$9::dbo.nvarchar_256, $10::dbo.nvarchar_256, $11::dbo.nvarchar_256, $12::dbo.nvarchar_256)");
    Prepare("scan", "SELECT \"@RETURN_VALUE\" FROM dbo.\"ComputerSetLastScan\"($1::timestamp, $2::integer, $3::dbo.nvarchar_64)");
  }

  // The calls one event of this kind makes, with the values it makes them with.
  void Apply(const Event& e, agentsim::EventKind kind)
  {
    const std::string name = e.computer.name;
    const std::string domain = ToUtf8(e.computer.domain);
    const std::string id = Run("from", {e.computer.address.c_str(), name.c_str(), domain.c_str()}, 1);
    Run("seen", {id.c_str(), "2026-12-06 22:00:00"});
    switch (kind) {
      case agentsim::EventKind::VirusFound:
      case agentsim::EventKind::VirusFoundLocalUser:
        Run("virus", {id.c_str(), "2026-12-06 21:59:58", "CORP\\jsmith", "W32/Kellan.B", "302",
                      "C:\\Users\\jsmith\\Downloads\\invoice.pdf.exe", "201", "105"});
        break;
      case agentsim::EventKind::ScanComplete:
        Run("scan", {"2026-12-06 21:59:58", id.c_str(), "Weekly full scan"});
        break;
      default:
        Run("error", {id.c_str(), "2026-12-06 21:59:58", "NT AUTHORITY\\SYSTEM", "DEX", "Corvex Anti-Virus scanner service",
                      "2201", "VirusDataOutOfDate", "2024.05.02.001", "12", "", "", ""});
    }
  }

private:
  void Prepare(const char* name, const char* sql)
  {
    PGresult* r = PQprepare(m_c, name, sql, 0, nullptr);
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
      throw std::runtime_error(PQerrorMessage(m_c));
    PQclear(r);
  }
  std::string Run(const char* statement, const std::vector<const char*>& values, int column = 0)
  {
    PGresult* r = PQexecPrepared(m_c, statement, static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0);
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      const std::string error = PQerrorMessage(m_c);
      PQclear(r);
      throw std::runtime_error(error);
    }
    std::string value = PQgetvalue(r, 0, column);
    PQclear(r);
    return value;
  }
  PGconn* m_c;
};

}  // namespace

int main(int argc, char** argv)
{
  try {
    const Options o = Parse(argc, argv);
    int orbArgc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, nullptr);
    // The documents' optional elements trace as errors when missing; the service runs at level 1.
    trace::SetLevel(1);

    std::printf("seeding %ld computers...\n", o.computers);
    BenchDatabase db("corvex_bench_events",
                     "SELECT dbo.\"ComputerFromAddressNameDomain\"(('PC' || g)::dbo.nvarchar_255, ('PC' || g)::dbo.nvarchar_31, "
                     "'CORP'::dbo.nvarchar_128) FROM generate_series(1, " + std::to_string(o.computers) + ") g");
    RenewDatabaseConnection();
    CServerBrokerRegistrar::SetBroker(Broker());

    // The simulator's documents, from computers of the fleet at random.
    const agentsim::AgentDocuments documents;
    std::mt19937 random(20);
    std::uniform_int_distribution<long> pick(1, o.computers);
    std::vector<Event> events;
    events.reserve(static_cast<std::size_t>(o.events));
    const std::time_t now = std::time(nullptr);
    for (long n = 0; n < o.events; ++n) {
      Event e;
      e.computer.name = e.computer.address = "PC" + std::to_string(pick(random));
      e.computer.domain = L"CORP";
      e.computer.user = L"jsmith";
      e.entity = agentsim::EventEntity(o.kind);
      e.text = documents.Event(o.kind, e.computer, now, static_cast<unsigned>(n));
      events.push_back(std::move(e));
    }
    std::vector<CorvexMessaging::Envelope> envelopes(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      CorvexMessaging::Envelope& env = envelopes[i];
      env.originator = (events[i].computer.address + ".Agent").c_str();
      env.message_id = static_cast<CORBA::Long>(i + 1);
      env.timestamps.length(1);
      env.timestamps[0].name = "corvex-router";
      env.timestamps[0].utc_time = static_cast<CORBA::Long>(now);
      env.client_info.destination = "PTLManagementService";
      env.client_info.type = "Tz-EntityEvent";
      env.client_info.delivery_options = "";
      DEX_PTLMessages::AppEvent2 payload;
      payload.entity = events[i].entity.c_str();
      payload.event = events[i].text.c_str();
      payload.domain = events[i].computer.domain.c_str();
      payload.computer_name = FromUtf8(events[i].computer.name).c_str();
      env.client_info.custom_data <<= payload;
    }

    // Every letter has a delivery key in the service, and its alert a record beside it.
    ReceivedMessage::SetDeliveryKeySource(
      [](const CorvexMessaging::Envelope& e) { return "CVX_INBOX/1/" + std::to_string(e.message_id); });
    // Decoding (the library's threads) and processing (the processing thread).
    auto start = Clock::now();
    std::vector<std::unique_ptr<EntityEventMessage>> messages;
    messages.reserve(envelopes.size());
    for (const auto& env : envelopes)
      messages.push_back(std::make_unique<EntityEventMessage>(env));
    const double decoding = Seconds(Clock::now() - start);
    // The four measurements take turns a hundred events at a time, so that each sees the same
    // load on a shared machine.
    RawCalls raw(db.raw);
    std::size_t failed = 0;
    double processing = 0, xml = 0, database = 0, grouped = 0;
    for (std::size_t from = 0; from < events.size(); from += 100) {
      const std::size_t to = std::min(events.size(), from + 100);
      start = Clock::now();
      for (std::size_t i = from; i < to; ++i)
        if (messages[i]->Process() != S_OK)
          ++failed;
      processing += Seconds(Clock::now() - start);

      start = Clock::now();
      for (std::size_t i = from; i < to; ++i)
        ParseAsTheStrategiesDo(events[i]);
      xml += Seconds(Clock::now() - start);

      start = Clock::now();
      for (std::size_t i = from; i < to; ++i)
        raw.Apply(events[i], o.kind);
      database += Seconds(Clock::now() - start);

      // What group commit would leave of the database's share: the same calls, one commit.
      start = Clock::now();
      PQclear(PQexec(db.raw, "BEGIN"));
      for (std::size_t i = from; i < to; ++i)
        raw.Apply(events[i], o.kind);
      PQclear(PQexec(db.raw, "COMMIT"));
      grouped += Seconds(Clock::now() - start);
    }
    messages.clear();

    const double n = static_cast<double>(events.size());
    const double dataAccess = processing - xml - database;
    std::printf("%s events from %ld computers: %zu applied, %zu failed\n", agentsim::EventKindName(o.kind), o.computers,
                events.size() - failed, failed);
    std::printf("processing: %.2f s, %.0f events/s (%.0f us each); decoding envelopes: %.0f us each\n", processing,
                n / processing, 1e6 * processing / n, 1e6 * decoding / n);
    std::printf("  XML          %6.0f us  %5.1f %%\n", 1e6 * xml / n, 100 * xml / processing);
    std::printf("  data access  %6.0f us  %5.1f %%\n", 1e6 * dataAccess / n, 100 * dataAccess / processing);
    std::printf("  database     %6.0f us  %5.1f %%  (the same calls through raw libpq)\n", 1e6 * database / n,
                100 * database / processing);
    std::printf("  database with one commit per 100 events: %.0f us per event (%.0f events/s)\n", 1e6 * grouped / n,
                n / grouped);
    CServerBrokerRegistrar::Clear();
    orb->destroy();
    return failed == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_events: %s\n", e.what());
    return 1;
  }
}
