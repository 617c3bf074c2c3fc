// The processing thread's road alone, in process: status replies and virus events applied in
// processing passes against a database seeded with N managed computers in groups with real
// configurations, one message at a time and set-wise, side by side in the same run, with the
// database-alone limit for the same rows beside them (one multi-row statement and one commit
// per batch of the pass's size).
//
//   bench_passes [COMPUTERS [MESSAGES]]     (defaults 10000 and 4000)
//
// Each road gets the same messages; each measurement is a fresh copy of the same seeded fleet
// state (the replies of the first road are not news to the second: both see computers that
// reported before, as a steady fleet does). Prints messages per second, the processing
// thread's CPU per message, and applied/limit.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ThreadDatabase.h"
#include "dexhandler/DexConfiguration.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "managementservice/messages/MessageSession.h"
#include "managementservice/messages/ProcessingPass.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/StatusMessage.h"
#include "platform/dcom/Dcom.h"
#include "platform/sync/Sync.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Quoted(const std::string& text)
{
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

double ThreadCpuSeconds()
{
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

CorvexMessaging::Envelope Base(const char* type, long n, long id)
{
  CorvexMessaging::Envelope e = servicetest::MakeEnvelope(type, ("PC" + std::to_string(n) + ".Agent").c_str());
  e.message_id = static_cast<CORBA::Long>(id);
  return e;
}

CorvexMessaging::Envelope Reply(long n, long id, const std::string& dexStatus, const std::string& dexConfig, const std::string& alcConfig)
{
  servicetest::AgentDetails agent;
  agent.name = L"PC" + std::to_wstring(n);
  agent.ip = 0x0A000000u + static_cast<CORBA::ULong>(n);
  agent.comment = L"sent " + std::to_wstring(id);  // a detail that changes, as the load harness's
  CorvexMessaging::Envelope e = servicetest::StatusReply(
    "PC" + std::to_string(n), {{"Agent", servicetest::Agent(agent)},
                               {"DEX", servicetest::StatusAndConfig(dexStatus, dexConfig)},
                               {"ALC", servicetest::StatusAndConfig("", alcConfig)}});
  e.message_id = static_cast<CORBA::Long>(id);
  return e;
}

CorvexMessaging::Envelope VirusEvent(long n, long id, const std::string& document)
{
  CorvexMessaging::Envelope e = Base("Tz-EntityEvent", n, id);
  DEX_PTLMessages::AppEvent2 event;
  event.entity = "DEX";
  event.event = document.c_str();
  event.domain = L"CORP";
  const std::wstring name = L"PC" + std::to_wstring(n);
  event.computer_name = name.c_str();
  e.client_info.custom_data <<= event;
  return e;
}

struct Result
{
  double perSecond = 0;
  double cpuMs = 0;  // the processing thread's CPU per message
};

// Applies the messages through processing passes as the service's thread does.
template <class Make>
Result Apply(long count, bool setWise, Make make)
{
  CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
  CThreadDatabase::Binding binding(database);
  PassLimits limits = PassLimits::FromRegistry();
  limits.setWise = setWise;
  ProcessingPass pass(&database, limits);
  ProcessingQueue& queue = ProcessingQueue::Instance();
  // Decoded beforehand: the receiver does that on the library's threads.
  for (long i = 0; i < count; ++i)
    queue.Append(make(i));
  const double cpu0 = ThreadCpuSeconds();
  const auto start = Clock::now();
  while (!queue.IsEmpty())
    pass.Run(queue);
  const double seconds = Seconds(Clock::now() - start);
  return {static_cast<double>(count) / seconds, (ThreadCpuSeconds() - cpu0) * 1e3 / static_cast<double>(count)};
}

// Rows a second that the database stores alone, a batch per statement and per commit.
double Limit(testsupport::TestDatabase& db, const std::string& batchSql, long batches, std::size_t batch)
{
  const auto start = Clock::now();
  for (long b = 0; b < batches; ++b)
    db.Exec(batchSql);
  return static_cast<double>(batches) * static_cast<double>(batch) / Seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv)
{
  const long computers = argc > 1 ? std::atol(argv[1]) : 10000;
  const long messages = argc > 2 ? std::atol(argv[2]) : 4000;
  if (computers < 100 || messages <= 0) {
    std::fprintf(stderr, "usage: bench_passes [COMPUTERS (at least 100) [MESSAGES]]\n");
    return 2;
  }
  if (!std::getenv("CORVEX_TRACE_LEVEL"))
    trace::SetLevel(-1);
  ComOrb();
  const std::string dexStatus = servicetest::DexSample("status.xml");
  const std::string dexConfig = servicetest::DexSample("configuration.xml");
  const std::string alcConfig = servicetest::AUSample("AUConfig-Tandem.xml");
  const std::string groupAU = servicetest::AUSample("AUConfigurations.xml");
  const std::string virus = servicetest::DexSample("event-virus-detected.xml");
  DexHandler::DexConfiguration parsed;
  parsed.Set(dexConfig);
  const std::string groupDex = ToUtf8(parsed.GetKTXML());

  testsupport::TempRegistry registry;
  testsupport::TestDatabase db;
  registry.SetLocation(L".", L"", db.WideName());
  testsupport::TestClocks clocks;
  // Computers that reported before, spread over 50 groups with the real configurations.
  db.Exec("INSERT INTO dbo.\"Groups\" (\"Name\", \"AUConfigXML\", \"DexConfigXML\") SELECT 'Group ' || g, " + Quoted(groupAU) + ", " +
          Quoted(groupDex) + " FROM generate_series(1, 50) g");
  db.Exec("INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"DomainName\", \"MessageSystemAddress\", \"GroupID\", "
          "\"AUConfigXML\", \"DexConfigXML\", \"Connected\") "
          "SELECT 'PC' || g, 'CORP', 'PC' || g, (SELECT min(\"GroupID\") FROM dbo.\"Groups\") + g % 50, " +
          Quoted(alcConfig) + ", " + Quoted(groupDex) + ", true FROM generate_series(1, " + std::to_string(computers) + ") g");
  db.Exec("ANALYZE");
  // Where the database's time goes, per procedure (self time), for those who ask.
  const bool profile = std::getenv("BENCH_PROFILE") != nullptr;
  if (profile)
    db.Exec("DO $$ BEGIN EXECUTE format('ALTER DATABASE %I SET track_functions = ''pl''', current_database()); END $$");
  RenewDatabaseConnection();
  StatusMessage::SetAuthoriser([](const CorvexMessaging::Envelope&) { return true; });
  ReceivedMessage::SetDeliveryKeySource([](const CorvexMessaging::Envelope& e) { return "BENCH/" + std::to_string(e.message_id); });

  std::mt19937 random(7);
  std::uniform_int_distribution<long> pick(1, computers);
  std::vector<long> picked;
  for (long i = 0; i < messages; ++i)
    picked.push_back(pick(random));
  long nextId = 1;
  auto reply = [&](long i) { return std::make_unique<StatusMessage>(Reply(picked[static_cast<std::size_t>(i)], nextId++, dexStatus, dexConfig, alcConfig)); };
  auto event = [&](long i) { return std::make_unique<EntityEventMessage>(VirusEvent(picked[static_cast<std::size_t>(i)], nextId++, virus)); };

  // Warm both roads (prepared commands, parsed group configurations), then take turns.
  // BENCH_SET_ONLY runs the set-wise road alone (for a profile of it).
  const bool setOnly = std::getenv("BENCH_SET_ONLY") != nullptr;
  Apply(200, false, reply);
  Apply(200, true, reply);
  // A steady fleet's match flags are what its last replies decided: every computer reports the
  // same documents as the warmed ones, under a group with the same ones.
  db.Exec("UPDATE dbo.\"Computers\" c SET \"HasGroupAUConfig\" = w.\"HasGroupAUConfig\", \"HasGroupDexConfig\" = w.\"HasGroupDexConfig\" "
          "FROM (SELECT \"HasGroupAUConfig\", \"HasGroupDexConfig\" FROM dbo.\"Computers\" WHERE \"HasGroupDexConfig\" IS NOT NULL LIMIT 1) w");
  db.Exec("VACUUM ANALYZE dbo.\"Computers\"");
  const Result statusOne = setOnly ? Result{} : Apply(messages, false, reply);
  const Result statusSet = Apply(messages, true, reply);
  const Result eventOne = setOnly ? Result{} : Apply(messages, false, event);
  const Result eventSet = Apply(messages, true, event);

  const std::size_t batch = PassLimits::FromRegistry().maxItems;
  const long batches = std::max<long>(50, messages / static_cast<long>(batch));
  const std::string span = std::to_string(computers - static_cast<long>(batch));
  const double statusLimit = Limit(
    db,
    "UPDATE dbo.\"Computers\" c SET \"Description\" = 'limit ' || clock_timestamp(), \"LastMessageTime\" = localtimestamp "
    "WHERE c.\"ComputerID\" IN (SELECT \"ComputerID\" FROM dbo.\"Computers\" WHERE \"ComputerID\" >= 1 + floor(random() * " + span +
      ") ORDER BY \"ComputerID\" LIMIT " + std::to_string(batch) + ")",
    batches, batch);
  const double eventLimit = Limit(
    db,
    "WITH a AS (INSERT INTO dbo.\"Alerts\" (\"ComputerID\", \"AlertType\", \"AlertTime\", \"UserName\", \"VirusName\", \"VirusType\", "
    "\"InfectedItem\", \"ScannerType\", \"ActionTaken\") SELECT \"ComputerID\", 2, localtimestamp, 'CORP-user', 'EICAR-Test', 1, "
    "'limit ' || clock_timestamp(), 1, 1 FROM dbo.\"Computers\" WHERE \"ComputerID\" >= 1 + floor(random() * " + span +
      ") ORDER BY \"ComputerID\" LIMIT " + std::to_string(batch) + " RETURNING \"ComputerID\") UPDATE dbo.\"Computers\" c SET "
      "\"OutstandingVirusAlerts\" = \"OutstandingVirusAlerts\" + 1 FROM a WHERE c.\"ComputerID\" = a.\"ComputerID\"",
    batches, batch);

  std::printf("processing passes: %ld computers in 50 groups, %ld messages per road, passes of %zu\n", computers, messages, batch);
  std::printf("  %-14s %12s %12s %10s %8s\n", "", "messages/s", "cpu ms/msg", "limit/s", "ratio");
  auto line = [](const char* name, const Result& r, double limit) {
    std::printf("  %-14s %12.0f %12.3f %10.0f %8.2f\n", name, r.perSecond, r.cpuMs, limit, r.perSecond / limit);
  };
  line("status, single", statusOne, statusLimit);
  line("status, set", statusSet, statusLimit);
  line("event, single", eventOne, eventLimit);
  line("event, set", eventSet, eventLimit);
  if (profile) {
    Sleep(1000);  // the statistics reach the collector when a backend goes idle
    const auto r = db.Exec("SELECT funcname, calls, round(self_time::numeric, 0), round(total_time::numeric, 0) FROM "
                           "pg_stat_user_functions ORDER BY self_time DESC LIMIT 15");
    std::printf("  database time by procedure (self ms, total ms, calls):\n");
    for (int i = 0; i < r.Rows(); ++i)
      std::printf("    %-36s %8s %8s %8s\n", r.Text(i, 0).c_str(), r.Text(i, 2).c_str(), r.Text(i, 3).c_str(), r.Text(i, 1).c_str());
  }
  StatusMessage::SetAuthoriser({});
  ReceivedMessage::SetDeliveryKeySource({});
  return 0;
}
