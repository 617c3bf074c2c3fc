// Status replies applied per second: the status message decoded and processed as the service's
// processing thread does it, against a database seeded with N managed computers in groups, each
// reply carrying real anti-virus status and configuration and update configuration documents.
//
//   bench_statusreplies [COMPUTERS [REPLIES]]     (defaults 10000 and 3000)
//
// Reports replies per second and where the time goes: decoding (the reply's construction, the
// update configuration read with it), XML (the anti-virus documents as the sink reads them,
// timed apart on the same documents), our data-access layer (the rest of this thread's CPU time
// in processing) and the database (processing time this thread spent waiting, not computing);
// and the process's resident memory.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/actions/ConfigMatchesGroupAction.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/PTLSession.h"
#include "dexhandler/DexConfiguration.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/MessageSession.h"
#include "managementservice/messages/StatusMessage.h"
#include "platform/dcom/Dcom.h"
#include "platform/trace/Trace.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds()
{
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

long ResidentKb()
{
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return -1;
}

CorvexMessaging::Envelope Reply(long n, const std::string& dexStatus, const std::string& dexConfig, const std::string& alcConfig)
{
  servicetest::AgentDetails agent;
  agent.name = L"PC" + std::to_wstring(n);
  agent.ip = 0x0A000000u + static_cast<CORBA::ULong>(n);
  agent.comment = L"benchmark";
  CorvexMessaging::Envelope e = servicetest::StatusReply(
    "PC" + std::to_string(n), {{"Agent", servicetest::Agent(agent)},
                               {"DEX", servicetest::StatusAndConfig(dexStatus, dexConfig)},
                               {"ALC", servicetest::StatusAndConfig("", alcConfig)}});
  e.message_id = static_cast<CORBA::Long>(n);
  return e;
}

}  // namespace

int main(int argc, char** argv)
{
  const long computers = argc > 1 ? std::atol(argv[1]) : 10000;
  const long replies = argc > 2 ? std::atol(argv[2]) : 3000;
  if (computers <= 0 || replies <= 0) {
    std::fprintf(stderr, "usage: bench_statusreplies [COMPUTERS [REPLIES]]\n");
    return 2;
  }
  if (!std::getenv("CORVEX_TRACE_LEVEL"))
    trace::SetLevel(-1);
  ComOrb();
  const std::string dexStatus = servicetest::DexSample("status.xml");
  const std::string dexConfig = servicetest::DexSample("configuration.xml");
  const std::string alcConfig = servicetest::AUSample("AUConfig-Tandem.xml");

  testsupport::TempRegistry registry;
  testsupport::TestDatabase db;
  registry.SetLocation(L".", L"", db.WideName());
  testsupport::TestClocks clocks;
  const auto seedStart = Clock::now();
  // Computers that reported before (their configurations are stored), spread over 50 groups.
  db.Exec("INSERT INTO dbo.\"Groups\" (\"Name\") SELECT 'Group ' || g FROM generate_series(1, 50) g");
  db.Exec("INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"DomainName\", \"MessageSystemAddress\", \"GroupID\", "
          "\"AUConfigXML\", \"DexConfigXML\", \"Connected\") "
          "SELECT 'PC' || g, 'CORP', 'PC' || g, (SELECT min(\"GroupID\") FROM dbo.\"Groups\") + g % 50, "
          "'<AUConfig/>', '<config/>', true FROM generate_series(1, " + std::to_string(computers) + ") g");
  db.Exec("ANALYZE");
  const double seedSeconds = Seconds(Clock::now() - seedStart);

  RenewDatabaseConnection();
  CPTLSession session(TRACE_MANAGEMENTSERVICE);
  session.Open();
  SetMessageSession(&session);
  StatusMessage::SetAuthoriser([](const CorvexMessaging::Envelope&) { return true; });

  std::mt19937 random(7);
  std::uniform_int_distribution<long> pick(1, computers);
  std::vector<CorvexMessaging::Envelope> envelopes;
  std::vector<long> picked;
  envelopes.reserve(static_cast<std::size_t>(replies));
  for (long i = 0; i < replies; ++i) {
    picked.push_back(pick(random));
    envelopes.push_back(Reply(picked.back(), dexStatus, dexConfig, alcConfig));
  }

  // A few replies first, so that every command is prepared and every cache warm.
  for (int i = 0; i < 20; ++i)
    StatusMessage(envelopes[static_cast<std::size_t>(i)]).Process();

  Clock::duration decoding{}, processing{};
  double processingCpu = 0;
  long failed = 0;
  const auto start = Clock::now();
  for (const auto& e : envelopes) {
    const auto t0 = Clock::now();
    StatusMessage message(e);
    const auto t1 = Clock::now();
    const double cpu0 = ThreadCpuSeconds();
    if (FAILED(message.Process()))
      ++failed;
    processingCpu += ThreadCpuSeconds() - cpu0;
    processing += Clock::now() - t1;
    decoding += t1 - t0;
  }
  const double total = Seconds(Clock::now() - start);

  // The configuration-matches-group check on its own, for the same computers.
  const long checks = std::min<long>(replies, 100);
  const auto c0 = Clock::now();
  for (long i = 0; i < checks; ++i) {
    Actions::CConfigMatchesGroupAction matches;
    CComputer computer = CComputer::GetFromMessageSystemAddress("PC" + std::to_string(picked[static_cast<std::size_t>(i)]));
    computer.Apply(matches);
  }
  const double checking = Seconds(Clock::now() - c0) / static_cast<double>(checks) * 1e3;

  // The anti-virus documents as the strategies read them, on their own.
  const auto x0 = Clock::now();
  for (long i = 0; i < replies; ++i) {
    DexHandler::DexConfiguration configuration;
    configuration.Set(dexConfig);
    const std::wstring kt = configuration.GetKTXML();
    KTDexHandler::KTDexStatus status;
    status.Set(dexStatus);
  }
  const double xml = Seconds(Clock::now() - x0);

  const double perReply = 1e3 / static_cast<double>(replies);
  const double dbWait = Seconds(processing) - processingCpu;
  std::printf("status replies: %ld computers in the database (seeded in %.1f s), %ld replies, %ld failed\n", computers,
              seedSeconds, replies, failed);
  std::printf("  applied: %.0f replies/s (%.3f ms each)\n", static_cast<double>(replies) / total, total * perReply);
  std::printf("  decoding:          %.3f ms per reply\n", Seconds(decoding) * perReply);
  std::printf("  processing:        %.3f ms per reply, of which\n", Seconds(processing) * perReply);
  std::printf("    XML (AV docs):   %.3f ms\n", xml * perReply);
  std::printf("    data access:     %.3f ms (this thread's other CPU time)\n", (processingCpu - xml) * perReply);
  std::printf("    database:        %.3f ms (waiting for the server)\n", dbWait * perReply);
  std::printf("  of the processing, the configuration-matches-group check alone: %.3f ms per reply\n", checking);
  std::printf("  resident memory:   %.1f MB\n", static_cast<double>(ResidentKb()) / 1024.0);
  SetMessageSession(nullptr);
  return failed == 0 ? 0 : 1;
}
