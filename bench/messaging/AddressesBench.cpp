// Known addresses at scale on one server: N agent addresses (default 100,000) enrolled in the
// server's configuration (or only a sample of them, --enrol-sample) and written straight into
// the relay's bucket CVX_KNOWN, as a relay that saw each of them log on once would have left it.
// Measured: the server's start and memory with them, the relay's start time and memory with
// them and then with one letter waiting for each, and how long a waiting letter takes to reach
// its agent when the agent logs on (one at a time, then a wave logging on together). Beside it,
// the same server alone: writing the bucket and filling the stream with libnats directly.
//
// The relay's part of a logon storm is measured alone too: agents already connected ask it for
// their logon together.
//
//   messaging_addresses_bench [--addresses 100000] [--sample 200] [--enrol-sample] [--keep]
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/messaging/BenchSupport.h"
#include "messaging/ClientLibrary.h"
#include "messaging/Enrolment.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/Letters.h"
#include "messaging/NatsLink.h"
#include "messaging/SubjectToken.h"
#include "platform/trace/Trace.h"

namespace {

using namespace benchsupport;
using namespace ZiriviridUrurezArevudUza;
namespace wire = messaging::wire;
namespace fs = std::filesystem;

constexpr char kService[] = "PTLManagementService";
constexpr char kLetterType[] = "Tz-GetStatus";
constexpr long kLetterTtl = 1209600;  // two weeks: the letters wait, they do not expire

struct Options
{
  int addresses = 100000;
  int sample = 200;
  bool enrolAll = true;
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
    if (a == "--addresses")
      o.addresses = value();
    else if (a == "--sample")
      o.sample = value();
    else if (a == "--enrol-sample")
      o.enrolAll = false;
    else if (a == "--keep")
      o.keep = true;
    else
      throw std::invalid_argument("unknown option " + a);
  }
  if (o.sample < 1 || o.addresses < 3 * o.sample + 1)
    throw std::invalid_argument("--addresses must be at least 3 * --sample + 1");
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

// Remembers when its first letter and its logon came.
class TimedAgent : public IEnvelopeReceiver
{
public:
  void Receive(const CorvexMessaging::Envelope& envelope) override
  {
    const char* type = envelope.client_info.type.in();
    if (!type || std::string(type) != kLetterType)
      return;
    std::lock_guard lock(m_mutex);
    if (!m_received) {
      m_received = true;
      m_receivedAt = Clock::now();
    }
  }
  void NotifyConnection(bool connected) override
  {
    std::lock_guard lock(m_mutex);
    if (connected && !m_connected) {
      m_connected = true;
      m_connectedAt = Clock::now();
    }
  }
  bool Connected()
  {
    std::lock_guard lock(m_mutex);
    return m_connected;
  }
  bool Received()
  {
    std::lock_guard lock(m_mutex);
    return m_received;
  }
  Clock::time_point ReceivedAt()
  {
    std::lock_guard lock(m_mutex);
    return m_receivedAt;
  }
  Clock::time_point ConnectedAt()
  {
    std::lock_guard lock(m_mutex);
    return m_connectedAt;
  }

private:
  std::mutex m_mutex;
  bool m_received = false, m_connected = false;
  Clock::time_point m_receivedAt, m_connectedAt;
};

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

// Publishes one message per address asynchronously and waits for every ack: messages per second.
template <class Make>
double PublishAll(PlainConnection& admin, AckCounter& counter, int count, Make make)
{
  jsCtx* js = admin.PipelinedJetStream(4096, &AckCounter::OnAck, &counter);
  counter.acked = 0;
  counter.failed = 0;
  const auto start = Clock::now();
  for (int i = 1; i <= count; ++i) {
    natsMsg* msg = make(i);
    if (js_PublishMsgAsync(js, &msg, nullptr) != NATS_OK) {
      natsMsg_Destroy(msg);
      ++counter.failed;
    }
  }
  jsPubOptions po;
  jsPubOptions_Init(&po);
  po.MaxWait = 60000;
  js_PublishAsyncComplete(js, &po);
  const double seconds = Seconds(Clock::now() - start);
  if (counter.failed)
    std::cerr << counter.failed << " publishes failed\n";
  return static_cast<double>(counter.acked) / seconds;
}

std::uint64_t StreamMessages(PlainConnection& admin, const char* stream)
{
  jsStreamInfo* info = nullptr;
  jsErrCode error = static_cast<jsErrCode>(0);
  if (js_GetStreamInfo(&info, admin.JetStream(), stream, nullptr, &error) != NATS_OK)
    return 0;
  const std::uint64_t n = info->State.Msgs;
  jsStreamInfo_Destroy(info);
  return n;
}

// The relay has read the stream when its CPU stays idle for a second.
double WaitUntilIdle(pid_t pid, Clock::time_point since)
{
  double last = Sample(pid).cpuSeconds;
  auto lastBusy = Clock::now();
  for (int i = 0; i < 600; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double now = Sample(pid).cpuSeconds;
    if (now - last > 0.02)
      lastBusy = Clock::now();
    else if (Clock::now() - lastBusy > std::chrono::seconds(1))
      break;
    last = now;
  }
  return Seconds(lastBusy - since);
}

struct Latency
{
  std::vector<double> fromStart;  // ConnectAs to the letter received, ms
  std::vector<double> logon;      // ConnectAs to logged on (NotifyConnection), ms; the letter may come first
  int missed = 0;
};

std::string Ms(double ms)
{
  return Fixed(ms, ms < 10 ? 2 : 1);
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
    std::cerr << "messaging_addresses_bench: " << e.what()
              << "\nusage: messaging_addresses_bench [--addresses N] [--sample S] [--enrol-sample] [--keep]\n";
    return 2;
  }
  try {
    const int n = options.addresses;
    const int sample = options.sample;
    std::cout << Provenance() << "\n";
    std::vector<std::vector<std::string>> rows{{"what", "figure", "load avg (1 5 15)"}};
    auto row = [&](const std::string& what, const std::string& figure) {
      rows.push_back({what, figure, LoadAverage()});
      std::cout << "  " << what << ": " << figure << "\n";
      std::cout.flush();
    };

    // The ORB encodes the letters.
    IClientLibrary* library = IClientLibrary::Instance();
    char name[] = "messaging_addresses_bench";
    char* orbArgv[] = {name, nullptr};
    library->InitORB(1, orbArgv);

    Scratch scratch("cvx-addresses-bench", options.keep);
    // Agents 1 ... 3*sample+1 are the ones that log on; the rest only exist in the bucket
    // (and, by default, in the server's configuration).
    const int enrolled = options.enrolAll ? n : 3 * sample + 1;
    std::vector<std::string> enrol;
    for (int i = 1; i <= enrolled; ++i)
      enrol.push_back(Address(i));
    auto t = Clock::now();
    Location location(scratch.Path(), enrol);
    row("enrol " + std::to_string(enrolled) + " agents in one change (keys, clients.conf)",
        Fixed(Seconds(Clock::now() - t), 1) + " s, clients.conf " +
            Fixed(static_cast<double>(fs::file_size(location.Directory() + "/clients.conf")) / 1048576.0, 1) + " MB");
    const std::string dir = location.Directory();

    row("server start to port open, " + std::to_string(enrolled) + " users", Fixed(location.StartServer(), 2) + " s");
    row("server RSS idle", Mb(Sample(location.ServerPid()).rssKb));

    row("relay start, no known address", Fixed(location.StartRelay(), 2) + " s");
    row("relay RSS, no known address", Mb(Sample(location.RelayPid()).rssKb));
    location.StopRelay();

    PlainConnection admin(dir, wire::kDefaultRelayName);
    AckCounter counter;
    // The bucket as relays leave it: key = the escaped address, value = the first logon (ns).
    const std::string stamp = std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                 std::chrono::system_clock::now().time_since_epoch())
                                                 .count());
    const double kvRate = PublishAll(admin, counter, n, [&](int i) {
      natsMsg* msg = nullptr;
      const std::string subject = "$KV." + std::string(wire::kKnownBucket) + "." + messaging::EscapeToken(Address(i));
      natsMsg_Create(&msg, subject.c_str(), nullptr, stamp.data(), static_cast<int>(stamp.size()));
      return msg;
    });
    row("CVX_KNOWN written by libnats (async, 4096 in flight)",
        Fixed(kvRate) + " keys/s, " + std::to_string(StreamMessages(admin, "KV_CVX_KNOWN")) + " keys");
    row("server RSS with the bucket", Mb(Sample(location.ServerPid()).rssKb));

    const double start1 = location.StartRelay();
    row("relay start, " + std::to_string(n) + " known addresses", Fixed(start1, 2) + " s");
    row("relay RSS, " + std::to_string(n) + " known addresses", Mb(Sample(location.RelayPid()).rssKb));

    // One letter waiting for every address, as the service would leave them for offline agents.
    CorvexMessaging::Message letter = messaging::MakeLetter("", kLetterType, kLetterTtl);
    const std::string ttl = std::to_string(kLetterTtl);
    const auto fillStart = Clock::now();
    const double fillRate = PublishAll(admin, counter, n, [&](int i) {
      letter.destination = CORBA::string_dup(Address(i).c_str());
      const auto bytes = messaging::EncodeMessage(letter);
      natsMsg* msg = nullptr;
      natsMsg_Create(&msg, wire::LetterSubject(Address(i), kService).c_str(), nullptr,
                     reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
      natsMsgHeader_Set(msg, wire::kTtl, ttl.c_str());
      return msg;
    });
    row("letters to offline agents written by libnats (async, 4096 in flight)", Fixed(fillRate) + " letters/s");
    const double settled = WaitUntilIdle(location.RelayPid(), fillStart);
    row("relay took in the letters (until idle)",
        Fixed(settled, 1) + " s after the fill began (" + Fixed(n / settled) + " letters/s); " +
            std::to_string(StreamMessages(admin, wire::kLettersStream)) + " letters kept");
    row("relay RSS, " + std::to_string(n) + " known + " + std::to_string(n) + " letters waiting",
        Mb(Sample(location.RelayPid()).rssKb));
    row("server RSS with bucket and letters", Mb(Sample(location.ServerPid()).rssKb));

    // Waiting letters reaching agents as they log on: one at a time, then a wave together.
    Latency one, wave;
    for (int i = 2; i <= sample + 1; ++i) {
      if (!location.RelayRunning())
        throw std::runtime_error("the relay stopped: " + location.RelayLog());
      TimedAgent agent;
      const auto t0 = Clock::now();
      IConnection* c = library->ConnectAs(&agent, Address(i), dir);
      c->Configure(0, 10);
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      while (!(agent.Received() && agent.Connected()) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (agent.Received() && agent.Connected()) {
        one.fromStart.push_back(1000 * Seconds(agent.ReceivedAt() - t0));
        one.logon.push_back(1000 * Seconds(agent.ConnectedAt() - t0));
      } else {
        ++one.missed;
      }
      c->Release();
    }
    {
      std::vector<std::unique_ptr<TimedAgent>> agents;
      std::vector<IConnection*> connections;
      std::vector<Clock::time_point> starts;
      for (int i = sample + 2; i <= 2 * sample + 1; ++i) {
        agents.push_back(std::make_unique<TimedAgent>());
        starts.push_back(Clock::now());
        connections.push_back(library->ConnectAs(agents.back().get(), Address(i), dir));
        connections.back()->Configure(0, 10);
      }
      const auto deadline = Clock::now() + std::chrono::seconds(60);
      for (auto& a : agents)
        while (!(a->Received() && a->Connected()) && Clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      for (std::size_t i = 0; i < agents.size(); ++i) {
        if (agents[i]->Received() && agents[i]->Connected()) {
          wave.fromStart.push_back(1000 * Seconds(agents[i]->ReceivedAt() - starts[i]));
          wave.logon.push_back(1000 * Seconds(agents[i]->ConnectedAt() - starts[i]));
        } else {
          ++wave.missed;
        }
      }
      for (auto* c : connections)
        c->Release();
    }
    for (auto* which : {&one, &wave}) {
      const std::string label =
          which == &one ? std::to_string(sample) + " agents one at a time" : std::to_string(sample) + " agents together";
      row("waiting letter, ConnectAs to received, " + label + ": p50 / p99 / max",
          Ms(Percentile(which->fromStart, 50)) + " / " + Ms(Percentile(which->fromStart, 99)) + " / " +
              Ms(Percentile(which->fromStart, 100)) + " ms" +
              (which->missed ? ", " + std::to_string(which->missed) + " missed" : ""));
      row("ConnectAs to logged on (same agents), " + label + ": p50 / p99",
          Ms(Percentile(which->logon, 50)) + " / " + Ms(Percentile(which->logon, 99)) + " ms");
    }
    {
      // The relay's part of a logon storm alone: agents already connected (plain libnats, one
      // TLS context) ask for their logon together; each waits for the answer and its letter.
      struct Plain
      {
        std::unique_ptr<PlainConnection> connection;
        natsSubscription* sub = nullptr;
        std::atomic<bool> letter{false};
        Clock::time_point letterAt, answeredAt, askedAt;
        bool answered = false;
        static void OnMsg(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
        {
          auto* self = static_cast<Plain*>(closure);
          if (!self->letter) {
            self->letterAt = Clock::now();
            self->letter = true;
          }
          natsMsg_Destroy(msg);
        }
      };
      PlainConnection::SharedOptions shared(dir);
      std::vector<std::unique_ptr<Plain>> plain;
      for (int i = 2 * sample + 2; i <= 3 * sample + 1; ++i) {
        auto p = std::make_unique<Plain>();
        p->connection = std::make_unique<PlainConnection>(dir, Address(i), false, &shared);
        natsConnection_Subscribe(&p->sub, p->connection->Get(), wire::DeliverySubject(Address(i)).c_str(), &Plain::OnMsg,
                                 p.get());
        plain.push_back(std::move(p));
      }
      std::atomic<bool> go{false};
      std::vector<std::thread> threads;
      for (std::size_t k = 0; k < plain.size(); ++k)
        threads.emplace_back([&, k] {
          Plain& p = *plain[k];
          std::uint64_t cid = 0;
          char server[128] = {};
          natsConnection_GetClientID(p.connection->Get(), &cid);
          natsConnection_GetConnectedServerId(p.connection->Get(), server, sizeof server);
          const std::string who = std::string(server) + " " + std::to_string(cid);
          natsMsg* request = nullptr;
          natsMsg_Create(&request, wire::RelaySubject(Address(2 * sample + 2 + static_cast<int>(k))).c_str(), nullptr,
                         who.data(), static_cast<int>(who.size()));
          natsMsgHeader_Set(request, wire::kCommand, wire::kLogon);
          while (!go)
            std::this_thread::yield();
          p.askedAt = Clock::now();
          natsMsg* reply = nullptr;
          if (natsConnection_RequestMsg(&reply, p.connection->Get(), request, 60000) == NATS_OK) {
            p.answeredAt = Clock::now();
            p.answered = true;
          }
          natsMsg_Destroy(reply);
          natsMsg_Destroy(request);
        });
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      go = true;
      for (auto& t : threads)
        t.join();
      const auto deadline = Clock::now() + std::chrono::seconds(30);
      for (auto& p : plain)
        while (!p->letter && Clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::vector<double> answer, letterTimes;
      int missing = 0;
      for (auto& p : plain) {
        if (p->answered)
          answer.push_back(1000 * Seconds(p->answeredAt - p->askedAt));
        if (p->letter)
          letterTimes.push_back(1000 * Seconds(p->letterAt - p->askedAt));
        else
          ++missing;
      }
      const std::string label = std::to_string(plain.size()) + " connected agents ask the relay together";
      row("logon answered, " + label + ": p50 / p99 / max",
          Ms(Percentile(answer, 50)) + " / " + Ms(Percentile(answer, 99)) + " / " + Ms(Percentile(answer, 100)) + " ms");
      row("waiting letter delivered, " + label + ": p50 / p99 / max",
          Ms(Percentile(letterTimes, 50)) + " / " + Ms(Percentile(letterTimes, 99)) + " / " +
              Ms(Percentile(letterTimes, 100)) + " ms" + (missing ? ", " + std::to_string(missing) + " missed" : ""));
      for (auto& p : plain)
        natsSubscription_Destroy(p->sub);
    }
    const auto relayEnd = Sample(location.RelayPid());
    row("relay RSS at the end (peak)", Mb(relayEnd.rssKb) + " (" + Mb(relayEnd.hwmKb) + ")");
    const auto serverEnd = Sample(location.ServerPid());
    row("server RSS at the end (peak)", Mb(serverEnd.rssKb) + " (" + Mb(serverEnd.hwmKb) + ")");


    // A restart: the relay reads the bucket and every waiting letter again.
    location.StopRelay();
    const auto restart = Clock::now();
    const double start2 = location.StartRelay();
    row("relay start to \"active\", " + std::to_string(n) + " known + " + std::to_string(n) + " letters",
        Fixed(start2, 2) + " s");
    {
      // The first agent to log on right after the start waits for the relay to read the stream.
      TimedAgent first;
      const auto t0 = Clock::now();
      IConnection* c = library->ConnectAs(&first, Address(1), dir);
      c->Configure(0, 10);
      const auto deadline = Clock::now() + std::chrono::seconds(300);
      while (!first.Received() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (first.Received())
        row("first agent's letter after the restart: from relay start / from its ConnectAs",
            Fixed(Seconds(first.ReceivedAt() - restart), 2) + " s / " + Fixed(Seconds(first.ReceivedAt() - t0), 2) + " s");
      else
        row("first agent's letter after the restart", "not received in 300 s");
      c->Release();
    }
    const double idle2 = WaitUntilIdle(location.RelayPid(), restart);
    row("relay idle after the restart", Fixed(idle2, 1) + " s after its start");
    const auto relay2 = Sample(location.RelayPid());
    row("relay RSS after the restart (peak)", Mb(relay2.rssKb) + " (" + Mb(relay2.hwmKb) + ")");
    std::this_thread::sleep_for(std::chrono::seconds(10));
    if (location.RelayRunning()) {
      row("relay after the restart, 10 s later", "running");
    } else {
      // Its last line says why it stopped.
      std::string log = location.RelayLog();
      while (!log.empty() && log.back() == '\n')
        log.pop_back();
      row("relay after the restart, 10 s later", "exited: " + log.substr(log.rfind('\n') + 1));
    }

    // What one more enrolment costs with this many users: the whole clients.conf is rewritten and
    // the server rereads it.
    t = Clock::now();
    messaging::enrolment::Enrol(dir, {Address(n + 1)});
    const double enrolOne = Seconds(Clock::now() - t);
    t = Clock::now();
    messaging::enrolment::Reload(dir);
    std::string reloaded = "no reload seen in the server's log within 300 s";
    const std::string serverLog = scratch.Path() + "/server-1.log";
    for (int i = 0; i < 30000; ++i) {
      std::ifstream in(serverLog);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (text.find("Reloaded server configuration") != std::string::npos) {
        reloaded = Fixed(Seconds(Clock::now() - t), 2) + " s";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    row("one more enrolment with " + std::to_string(enrolled) + " enrolled: enrol / server reload",
        Fixed(enrolOne, 2) + " s / " + reloaded);

    library->ShutdownORB();
    std::cout << "\n";
    PrintTable(rows);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "messaging_addresses_bench: " << e.what() << "\n";
  } catch (const CORBA::Exception& e) {
    std::cerr << "messaging_addresses_bench: " << e._name() << "\n";
  }
  return 1;
}
