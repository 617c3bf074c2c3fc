// Simultaneous agent connections held by one server, opened from this process with the agents'
// own credentials (TLS, nkey) and global message delivery, each subscribed to its delivery
// subject as the library subscribes:
//   1. libnats alone, options made for each connection as the library makes them (default 1,000);
//   2. libnats alone, one set of options per opening thread, so that the connections share a
//      TLS context (default 10,000);
//   3. the client library: M connections logged on through the relay (default 1,000).
// For each: the time to open them, then over a hold the server's RSS and CPU, this process's
// threads, RSS and CPU (and the relay's); that held connections still take a message; for the
// library a restart of the relay with everybody logged on, and the release of them all.
// Threads count against the kernel's pid_max (32,768 here) for the whole machine, which is
// shared: the library's count stays well below what would exhaust it.
//
// The library's connections are opened in waves of W (default 100; 0: all at once), each wave
// logged on before the next starts.
//
//   messaging_connections_bench [--plain 1000] [--plain-shared 10000] [--library 1000] [--hold 20]
//                               [--wave 100] [--send-asap] [--keep]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/messaging/BenchSupport.h"
#include "messaging/ClientLibrary.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/Letters.h"
#include "messaging/NatsLink.h"
#include "messaging/SubjectToken.h"
#include "platform/trace/Trace.h"

namespace {

using namespace benchsupport;
using namespace ZiriviridUrurezArevudUza;
namespace wire = messaging::wire;

struct Options
{
  int plain = 1000;
  int plainShared = 10000;
  int library = 1000;
  int hold = 20;
  int wave = 100;
  bool sendAsap = false;
  bool keep = false;
};

Options Parse(int argc, char** argv)
{
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&] {
      if (i + 1 >= argc)
        throw std::invalid_argument(a + " needs a value");
      return std::atoi(argv[++i]);
    };
    if (a == "--plain")
      o.plain = value();
    else if (a == "--plain-shared")
      o.plainShared = value();
    else if (a == "--library")
      o.library = value();
    else if (a == "--hold")
      o.hold = value();
    else if (a == "--wave")
      o.wave = value();
    else if (a == "--send-asap")
      o.sendAsap = true;
    else if (a == "--keep")
      o.keep = true;
    else
      throw std::invalid_argument("unknown option " + a);
  }
  if (o.plain < 0 || o.plainShared < 0 || o.library < 0 || o.hold < 1 || o.wave < 0)
    throw std::invalid_argument("bad values");
  return o;
}

std::string Address(int i)
{
  return "PC" + std::to_string(i) + ".Agent";
}

std::string Mb(long kb)
{
  return Fixed(static_cast<double>(kb) / 1024.0, 1) + " MB";
}

struct AckCounter
{
  std::atomic<std::uint64_t> acked{0}, failed{0};
  static void OnAck(jsCtx*, natsMsg* msg, jsPubAck* pa, jsPubAckErr*, void* closure)
  {
    auto* self = static_cast<AckCounter*>(closure);
    if (pa)
      ++self->acked;
    else
      ++self->failed;
    natsMsg_Destroy(msg);
  }
};

struct Counter
{
  std::atomic<std::uint64_t> received{0};
  static void OnMsg(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
  {
    ++static_cast<Counter*>(closure)->received;
    natsMsg_Destroy(msg);
  }
};

class HeldAgent : public IEnvelopeReceiver
{
public:
  void Receive(const CorvexMessaging::Envelope&) override { ++received; }
  void NotifyConnection(bool c) override
  {
    connected = c;
    if (c)
      everConnected = true;
  }
  std::atomic<bool> connected{false}, everConnected{false};
  std::atomic<std::uint64_t> received{0};
};

// The figures over a hold of `seconds`.
struct Hold
{
  ProcessSample server, client, relay;
  double serverCpu = 0, clientCpu = 0, relayCpu = 0;
  std::string load;
};

Hold HoldFor(const Location& location, int seconds)
{
  const auto s0 = Sample(location.ServerPid()), c0 = Sample(0);
  const auto r0 = location.RelayPid() ? Sample(location.RelayPid()) : ProcessSample{};
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double elapsed = Seconds(Clock::now() - start);
  Hold h;
  h.server = Sample(location.ServerPid());
  h.client = Sample(0);
  h.relay = location.RelayPid() ? Sample(location.RelayPid()) : ProcessSample{};
  h.serverCpu = (h.server.cpuSeconds - s0.cpuSeconds) / elapsed;
  h.clientCpu = (h.client.cpuSeconds - c0.cpuSeconds) / elapsed;
  h.relayCpu = (h.relay.cpuSeconds - r0.cpuSeconds) / elapsed;
  h.load = LoadAverage();
  return h;
}

}  // namespace

int main(int argc, char** argv)
{
  trace::SetLevel(-1);
  InstallSignalCleanup();
  Options options;
  try {
    options = Parse(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "messaging_connections_bench: " << e.what()
              << "\nusage: messaging_connections_bench [--plain N] [--plain-shared N] [--library M] [--hold S] [--wave W] [--send-asap] [--keep]\n";
    return 2;
  }
  try {
    std::cout << Provenance() << "\n";
    std::vector<std::vector<std::string>> rows{{"what", "figure", "load avg (1 5 15)"}};
    auto row = [&](const std::string& what, const std::string& figure) {
      rows.push_back({what, figure, LoadAverage()});
      std::cout << "  " << what << ": " << figure << "\n";
      std::cout.flush();
    };
    const int enrolled = std::max({options.plain, options.plainShared, options.library});
    std::vector<std::string> addresses;
    for (int i = 1; i <= enrolled; ++i)
      addresses.push_back(Address(i));

    IClientLibrary* library = IClientLibrary::Instance();
    char name[] = "messaging_connections_bench";
    char* orbArgv[] = {name, nullptr};
    library->InitORB(1, orbArgv);

    Scratch scratch("cvx-connections-bench", options.keep);
    Location location(scratch.Path(), addresses);
    location.StartServer();
    location.StartRelay();
    const std::string dir = location.Directory();
    PlainConnection admin(dir, wire::kDefaultRelayName);
    const auto idleServer = Sample(location.ServerPid());
    const auto idleClient = Sample(0);
    row("server RSS, " + std::to_string(enrolled) + " enrolled, no agent connected", Mb(idleServer.rssKb));
    row("this process before the connections: threads, RSS",
        std::to_string(idleClient.threads) + ", " + Mb(idleClient.rssKb));

    std::mt19937 random(7);
    auto probe = [&](auto deliveredTo, int count, int connections) {
      // A message on the delivery subject of `count` held connections picked at random.
      std::vector<int> picked(static_cast<std::size_t>(connections));
      for (int i = 0; i < connections; ++i)
        picked[static_cast<std::size_t>(i)] = i + 1;
      std::shuffle(picked.begin(), picked.end(), random);
      picked.resize(static_cast<std::size_t>(std::min(count, connections)));
      std::uint64_t before = 0;
      for (int p : picked)
        before += deliveredTo(p);
      for (int p : picked)
        natsConnection_PublishString(admin.Get(), wire::DeliverySubject(Address(p)).c_str(), "");
      natsConnection_Flush(admin.Get());
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      std::uint64_t after = 0;
      do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        after = 0;
        for (int p : picked)
          after += deliveredTo(p);
      } while (after - before < picked.size() && Clock::now() < deadline);
      return std::to_string(after - before) + " of " + std::to_string(picked.size());
    };

    // 1. libnats alone: options made for each connection as the library makes them, then one
    // set of options per opening thread.
    for (const bool shared : {true, false}) {
      const int n = shared ? options.plainShared : options.plain;
      if (n == 0)
        continue;
      const std::string label = shared ? "libnats, TLS context shared" : "libnats, options per connection";
      std::vector<std::unique_ptr<PlainConnection::SharedOptions>> sharedOptions;
      for (int t = 0; t < 4 && shared; ++t)
        sharedOptions.push_back(std::make_unique<PlainConnection::SharedOptions>(dir));
      const auto before = Sample(0);
      std::vector<std::unique_ptr<PlainConnection>> connections(static_cast<std::size_t>(n));
      std::vector<natsSubscription*> subs(static_cast<std::size_t>(n), nullptr);
      std::vector<Counter> counters(static_cast<std::size_t>(n));
      std::atomic<int> next{0}, failed{0};
      std::vector<double> doneAt(static_cast<std::size_t>(n), 0);
      const auto start = Clock::now();
      std::vector<std::thread> openers;
      for (int t = 0; t < 4; ++t)
        openers.emplace_back([&, t] {
          for (int i; (i = next++) < n;) {
            try {
              auto c = std::make_unique<PlainConnection>(dir, Address(i + 1), options.sendAsap,
                                                         shared ? sharedOptions[static_cast<std::size_t>(t)].get() : nullptr);
              natsSubscription* sub = nullptr;
              if (natsConnection_Subscribe(&sub, c->Get(), wire::DeliverySubject(Address(i + 1)).c_str(), &Counter::OnMsg,
                                           &counters[static_cast<std::size_t>(i)]) != NATS_OK)
                throw std::runtime_error("subscribe failed");
              subs[static_cast<std::size_t>(i)] = sub;
              connections[static_cast<std::size_t>(i)] = std::move(c);
              doneAt[static_cast<std::size_t>(i)] = Seconds(Clock::now() - start);
            } catch (const std::exception& e) {
              if (failed++ == 0)
                std::cerr << "connection " << i + 1 << ": " << e.what() << "\n";
            }
          }
        });
      for (auto& t : openers)
        t.join();
      const double opened = Seconds(Clock::now() - start);
      std::vector<double> sorted = doneAt;
      std::sort(sorted.begin(), sorted.end());
      const double lastThousand = n > 1000 ? sorted.back() - sorted[sorted.size() - 1001] : opened;
      row(label + ": " + std::to_string(n) + " connections opened (4 threads opening)",
          Fixed(opened, 1) + " s (" + Fixed(n / opened) + "/s)" +
              (n > 1000 ? ", the last 1,000 in " + Fixed(lastThousand, 1) + " s" : "") +
              (failed ? ", " + std::to_string(failed.load()) + " failed" : ""));
      const Hold h = HoldFor(location, options.hold);
      row(label + ", held " + std::to_string(options.hold) + " s: server RSS, CPU",
          Mb(h.server.rssKb) + ", " + Fixed(100 * h.serverCpu, 1) + "% of a core");
      row(label + ", held: client threads, RSS, CPU",
          std::to_string(h.client.threads) + " (" +
              Fixed(static_cast<double>(h.client.threads - before.threads) / n, 2) + " per connection), " +
              Mb(h.client.rssKb) + " (" +
              Fixed(static_cast<double>(h.client.rssKb - before.rssKb) / n, 1) + " KB per connection), " +
              Fixed(100 * h.clientCpu, 1) + "%");
      row(label + ": a message to 200 held connections picked at random",
          probe([&](int p) { return counters[static_cast<std::size_t>(p - 1)].received.load(); }, 200, n) +
              " received");
      if (shared) {
        // A relay restart with every held agent logged on: presence entries as relays write them
        // at logon (server id, client id), for connections that are alive. The relay checks each.
        AckCounter acks;
        jsCtx* js = admin.PipelinedJetStream(4096, &AckCounter::OnAck, &acks);
        int written = 0;
        for (int i = 0; i < n; ++i) {
          if (!connections[static_cast<std::size_t>(i)])
            continue;
          std::uint64_t cid = 0;
          char server[128] = {};
          natsConnection_GetClientID(connections[static_cast<std::size_t>(i)]->Get(), &cid);
          natsConnection_GetConnectedServerId(connections[static_cast<std::size_t>(i)]->Get(), server, sizeof server);
          const std::string value = std::string(server) + " " + std::to_string(cid);
          const std::string subject =
              "$KV." + std::string(wire::kPresenceBucket) + "." + messaging::EscapeToken(Address(i + 1));
          natsMsg* msg = nullptr;
          natsMsg_Create(&msg, subject.c_str(), nullptr, value.data(), static_cast<int>(value.size()));
          if (js_PublishMsgAsync(js, &msg, nullptr) == NATS_OK)
            ++written;
          else
            natsMsg_Destroy(msg);
        }
        jsPubOptions po;
        jsPubOptions_Init(&po);
        po.MaxWait = 60000;
        js_PublishAsyncComplete(js, &po);
        location.StopRelay();
        const double restart = location.StartRelay();
        row("relay restart with " + std::to_string(written) + " presence entries of live connections: start to \"active\"",
            Fixed(restart, 2) + " s");
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::string fate = "running";
        if (!location.RelayRunning()) {
          std::string log = location.RelayLog();
          while (!log.empty() && log.back() == '\n')
            log.pop_back();
          fate = "exited: " + log.substr(log.rfind('\n') + 1);
        }
        row("relay 10 s after that restart", fate);
        // The next phase starts from no presence.
        location.StopRelay();
        jsErrCode error = static_cast<jsErrCode>(0);
        js_PurgeStream(admin.JetStream(), ("KV_" + std::string(wire::kPresenceBucket)).c_str(), nullptr, &error);
        location.StartRelay();
      }
      const auto closeStart = Clock::now();
      for (auto* s : subs)
        if (s)
          natsSubscription_Destroy(s);
      connections.clear();
      sharedOptions.clear();
      row(label + ": closed", Fixed(Seconds(Clock::now() - closeStart), 1) + " s");
      std::this_thread::sleep_for(std::chrono::seconds(3));
    }

    // 2. The client library.
    if (options.library > 0) {
      const int m = options.library;
      std::vector<std::unique_ptr<HeldAgent>> agents;
      std::vector<IConnection*> connections;
      const auto before = Sample(0);
      const auto start = Clock::now();
      std::string stoppedAt;
      const int wave = options.wave > 0 ? options.wave : m;
      int connected = 0;
      auto countConnected = [&] {
        int n = 0;
        for (auto& a : agents)
          n += a->connected ? 1 : 0;
        return n;
      };
      for (int first = 1; first <= m && stoppedAt.empty(); first += wave) {
        for (int i = first; i < first + wave && i <= m; ++i) {
          try {
            agents.push_back(std::make_unique<HeldAgent>());
            connections.push_back(library->ConnectAs(agents.back().get(), Address(i), dir));
            connections.back()->Configure(0, 10);
          } catch (const std::exception& e) {
            agents.pop_back();
            stoppedAt = "stopped at " + std::to_string(i) + ": " + e.what();
            break;
          }
        }
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        while ((connected = countConnected()) < static_cast<int>(connections.size()) && Clock::now() < deadline) {
          if (!location.RelayRunning()) {
            std::string log = location.RelayLog();
            while (!log.empty() && log.back() == '\n')
              log.pop_back();
            stoppedAt = "the relay exited: " + log.substr(log.rfind('\n') + 1);
            break;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (connected < static_cast<int>(connections.size()) && stoppedAt.empty())
          stoppedAt = "a wave did not log on within 120 s";
      }
      const int opened = static_cast<int>(connections.size());
      const double loggedOn = Seconds(Clock::now() - start);
      row("library: " + std::to_string(opened) + " connections logged on, waves of " + std::to_string(wave),
          std::to_string(connected) + " in " + Fixed(loggedOn, 1) + " s (" + Fixed(connected / loggedOn) + "/s)" +
              (stoppedAt.empty() ? "" : "; " + stoppedAt));
      const Hold h = HoldFor(location, options.hold);
      row("library, held " + std::to_string(options.hold) + " s: server RSS, CPU",
          Mb(h.server.rssKb) + ", " + Fixed(100 * h.serverCpu, 1) + "% of a core");
      row("library, held: client threads, RSS, CPU",
          std::to_string(h.client.threads) + " (" +
              Fixed(static_cast<double>(h.client.threads - before.threads) / opened, 2) + " per connection), " +
              Mb(h.client.rssKb) + " (" + Fixed(static_cast<double>(h.client.rssKb - before.rssKb) / opened, 1) +
              " KB per connection), " + Fixed(100 * h.clientCpu, 1) + "%");
      row("library, held: relay RSS, CPU", Mb(h.relay.rssKb) + ", " + Fixed(100 * h.relayCpu, 1) + "%");

      // The relay restarts with everybody logged on: it checks each presence it finds.
      location.StopRelay();
      const double restart = location.StartRelay();
      row("relay restart with " + std::to_string(connected) + " logged on: start to \"active\"",
          Fixed(restart, 2) + " s");
      int still = 0;
      for (auto& a : agents)
        still += a->connected ? 1 : 0;
      row("library: still logged on after the relay's restart", std::to_string(still));
      {
        // A letter through the relay to 200 held agents picked at random.
        std::vector<int> picked(static_cast<std::size_t>(opened));
        for (int i = 0; i < opened; ++i)
          picked[static_cast<std::size_t>(i)] = i + 1;
        std::shuffle(picked.begin(), picked.end(), random);
        picked.resize(std::min<std::size_t>(200, picked.size()));
        std::uint64_t before = 0, after = 0;
        for (int p : picked)
          before += agents[static_cast<std::size_t>(p - 1)]->received;
        CorvexMessaging::Message letter = messaging::MakeLetter("", "Tz-GetStatus", 600);
        for (int p : picked) {
          letter.destination = CORBA::string_dup(Address(p).c_str());
          const auto bytes = messaging::EncodeMessage(letter);
          natsMsg* msg = nullptr;
          natsMsg_Create(&msg, wire::LetterSubject(Address(p), "PTLManagementService").c_str(), nullptr,
                         reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
          natsMsgHeader_Set(msg, wire::kTtl, "600");
          jsPubAck* ack = nullptr;
          jsErrCode error = static_cast<jsErrCode>(0);
          js_PublishMsg(&ack, admin.JetStream(), msg, nullptr, &error);
          jsPubAck_Destroy(ack);
          natsMsg_Destroy(msg);
        }
        const auto sent = Clock::now();
        const auto until = sent + std::chrono::seconds(20);
        do {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          after = 0;
          for (int p : picked)
            after += agents[static_cast<std::size_t>(p - 1)]->received;
        } while (after - before < picked.size() && Clock::now() < until);
        row("library: a letter to 200 held agents picked at random, through the relay",
            std::to_string(after - before) + " of " + std::to_string(picked.size()) + " received, the last " +
                Fixed(1000 * Seconds(Clock::now() - sent)) + " ms after the last was stored");
      }
      const auto releaseStart = Clock::now();
      for (auto* c : connections)
        c->Release();
      row("library: released", Fixed(Seconds(Clock::now() - releaseStart), 1) + " s");
    }

    library->ShutdownORB();
    std::cout << "\n";
    PrintTable(rows);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "messaging_connections_bench: " << e.what() << "\n";
  } catch (const CORBA::Exception& e) {
    std::cerr << "messaging_connections_bench: " << e._name() << "\n";
  }
  return 1;
}
