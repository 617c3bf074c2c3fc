// Envelopes per second from one client to another through corvex-router (a separate process,
// Unix socket, default logging), and a plain omniORB loop of the same call between two
// processes for comparison. Run: messaging_bench [--benchmark_min_time=5s]
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "idl/MessageRouter.hh"
#include "messaging/ClientLibrary.h"
#include "messaging/Letters.h"
#include "messaging/ProcessSupport.h"

extern char** environ;

namespace {

using namespace ZiriviridUrurezArevudUza;
namespace fs = std::filesystem;

std::string g_self;  // this program, started again as the plain server

pid_t Spawn(std::vector<std::string> argv)
{
  std::vector<char*> args;
  for (auto& a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
    std::abort();
  return pid;
}

void WaitForSocket(const fs::path& path)
{
  for (int i = 0; i < 500 && !fs::exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void Stop(pid_t pid)
{
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

CorvexMessaging::Message SmallLetter(const std::string& destination)
{
  CorvexMessaging::Message m = messaging::MakeLetter(destination, "Tz-LoadTest", 60);
  m.custom_data <<= static_cast<CORBA::Long>(1);
  return m;
}

class Counter : public IEnvelopeReceiver
{
public:
  void Receive(const CorvexMessaging::Envelope&) override
  {
    std::lock_guard lock(m_mutex);
    ++m_count;
    m_changed.notify_all();
  }
  void NotifyConnection(bool connected) override
  {
    std::lock_guard lock(m_mutex);
    m_connected = connected;
    m_changed.notify_all();
  }
  void WaitConnected()
  {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_connected; });
  }
  bool WaitCount(std::uint64_t n)
  {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_count >= n; });
  }
  std::uint64_t Count()
  {
    std::lock_guard lock(m_mutex);
    return m_count;
  }

private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::uint64_t m_count = 0;
  bool m_connected = false;
};

constexpr int BATCH = 1000;

void BM_EnvelopesThroughRouter(benchmark::State& state)
{
  const fs::path dir = fs::temp_directory_path() / ("corvex-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string socket = (dir / "r.sock").string();
  const pid_t router = Spawn({CORVEX_ROUTER_BIN, "--socket", socket, "--data-dir", (dir / "data").string(),
                              "--log-level", std::to_string(state.range(0))});
  WaitForSocket(socket);

  IClientLibrary* lib = IClientLibrary::Instance();
  Counter senderInbox, receiverInbox;
  IConnection* sender = lib->ConnectAs(&senderInbox, "BENCH1.Agent", socket);
  IConnection* receiver = lib->ConnectAs(&receiverInbox, "BENCH2.Agent", socket);
  sender->Configure(0, 10);
  receiver->Configure(0, 10);
  senderInbox.WaitConnected();
  receiverInbox.WaitConnected();

  const CorvexMessaging::Message letter = SmallLetter("BENCH2.Agent");
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < BATCH; ++i)
      if (sender->Send(letter) != 0)
        ++sent;
    if (!receiverInbox.WaitCount(sent))
      state.SkipWithError("envelopes were lost");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(receiverInbox.Count()));
  sender->Release();
  receiver->Release();
  Stop(router);
  fs::remove_all(dir);
}
BENCHMARK(BM_EnvelopesThroughRouter)->ArgName("router_log_level")->Arg(2)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The plain loop: the same envelope pushed to an EnvelopeConsumer in another process.
class CountingConsumer : public POA_CorvexMessaging::EnvelopeConsumer
{
public:
  CORBA::ULong push(const CorvexRouter::Envelope_seq& items) override
  {
    count += items.length();
    return items.length();
  }
  std::atomic<std::uint64_t> count{0};
};

int PlainServer(const std::string& socket)
{
  messaging::BlockStopSignals();
  const std::string endpoint = "giop:unix:" + socket;
  const char* options[][2] = {{"endPoint", endpoint.c_str()}, {nullptr, nullptr}};
  int argc = 1;
  char name[] = "plain";
  char* argv[] = {name, nullptr};
  CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
  CORBA::Object_var object = orb->resolve_initial_references("omniINSPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(object.in());
  auto* consumer = new CountingConsumer;
  PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId("Plain");
  poa->activate_object_with_id(id.in(), consumer);
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();
  messaging::WaitForStopSignal();
  poa->deactivate_object(id.in());
  orb->destroy();
  return 0;
}

void BM_PlainOmniOrbCalls(benchmark::State& state)
{
  const fs::path dir = fs::temp_directory_path() / ("corvex-bench-plain-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string socket = (dir / "p.sock").string();
  const pid_t server = Spawn({g_self, "--plain-server", socket});
  WaitForSocket(socket);

  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  CORBA::Object_var object = orb->string_to_object(("corbaloc:omniunix:" + socket + ":/Plain").c_str());
  CorvexMessaging::EnvelopeConsumer_var consumer = CorvexMessaging::EnvelopeConsumer::_unchecked_narrow(object.in());
  CorvexRouter::Envelope_seq one(1);
  one.length(1);
  CorvexMessaging::Envelope& envelope = one[0];
  envelope.originator = CORBA::string_dup("BENCH1.Agent");
  envelope.timestamps.length(1);
  envelope.timestamps[0].name = CORBA::string_dup("corvex-router");
  envelope.message_id = 1;
  envelope.client_info = SmallLetter("BENCH2.Agent");
  std::uint64_t calls = 0;
  for (auto _ : state) {
    for (int i = 0; i < BATCH; ++i)
      consumer->push(one);
    calls += BATCH;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(calls));
  Stop(server);
  fs::remove_all(dir);
}
BENCHMARK(BM_PlainOmniOrbCalls)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
  g_self = fs::canonical("/proc/self/exe").string();
  if (argc == 3 && std::strcmp(argv[1], "--plain-server") == 0)
    return PlainServer(argv[2]);
  char name[] = "messaging_bench";
  char* orbArgv[] = {name, nullptr};
  IClientLibrary::Instance()->InitORB(1, orbArgv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  IClientLibrary::Instance()->ShutdownORB();
  return 0;
}
