// Events into the service's stream: N senders, each an enrolled agent with its own connection,
// send Tz-EntityEvent letters (AppEvent2 documents as the agent simulator writes them) to
// PTLManagementService as fast as they can for a few seconds; a connection logged on as the
// service takes and confirms them. In the same run, with the same connections' credentials,
// the same subjects and the same bytes, libnats alone: synchronous JetStream publish-with-ack,
// then pipelined publishing (a window of acks outstanding per connection), with a plain
// subscription taking and acknowledging the deliveries. Phases alternate, rounds repeat.
//
// Then the service side alone: N letters wait in the stream (written by libnats, pipelined) and
// the service logs on through the library and takes them all; the same with a plain
// subscription.
//
// --send-asap has libnats write each publish of the libnats phases from the publishing thread
// instead of handing it to the connection's flusher thread.
//
//   messaging_events_bench [--senders 200] [--seconds 10] [--rounds 2] [--window 64] [--drain 50000]
//                          [--send-asap] [--keep]
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bench/messaging/BenchSupport.h"
#include "messaging/ClientLibrary.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/Letters.h"
#include "messaging/MessagingConstants.h"
#include "messaging/NatsLink.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "tools/agent-sim/AgentDocuments.h"
#include "tools/agent-sim/AgentSimOptions.h"

namespace {

using namespace benchsupport;
using namespace ZiriviridUrurezArevudUza;
namespace MC = MessagingConstants;
namespace wire = messaging::wire;

constexpr char kService[] = "PTLManagementService";
constexpr long kEventTtl = 3600;

struct Options
{
  int senders = 200;
  int seconds = 10;
  int rounds = 2;
  int window = 64;
  int drain = 50000;
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
    if (a == "--senders")
      o.senders = value();
    else if (a == "--seconds")
      o.seconds = value();
    else if (a == "--rounds")
      o.rounds = value();
    else if (a == "--window")
      o.window = value();
    else if (a == "--drain")
      o.drain = value();
    else if (a == "--send-asap")
      o.sendAsap = true;
    else if (a == "--keep")
      o.keep = true;
    else
      throw std::invalid_argument("unknown option " + a);
  }
  if (o.senders < 1 || o.seconds < 1 || o.rounds < 1 || o.window < 1 || o.drain < 0)
    throw std::invalid_argument("values must be positive");
  return o;
}

// Counts what reaches the service; the library confirms each envelope once Receive returns.
class ServiceReceiver : public IEnvelopeReceiver
{
public:
  void Receive(const CorvexMessaging::Envelope& envelope) override
  {
    const char* type = envelope.client_info.type.in();
    if (type && std::strcmp(type, "Tz-EntityEvent") == 0) {
      {
        // The letter id is the stream sequence: a second delivery of a letter has the same.
        std::lock_guard lock(m_mutex);
        if (!m_seen.insert(envelope.message_id).second)
          ++duplicates;
      }
      ++received;
    }
  }
  void NotifyConnection(bool c) override { connected = c; }
  std::atomic<std::uint64_t> received{0}, duplicates{0};
  std::atomic<bool> connected{false};

private:
  std::mutex m_mutex;
  std::unordered_set<CorvexMessaging::MessageId> m_seen;
};

class AgentReceiver : public IEnvelopeReceiver
{
public:
  void Receive(const CorvexMessaging::Envelope&) override {}
  void NotifyConnection(bool c) override { connected = c; }
  std::atomic<bool> connected{false};
};

// What one sender sends, in turn: letters and their encoded bytes.
struct SenderLetters
{
  std::string address;
  std::string subject;
  std::vector<CorvexMessaging::Message> letters;
  std::vector<std::vector<std::uint8_t>> bytes;
};

std::vector<SenderLetters> MakeLetters(const std::vector<agentsim::Computer>& computers)
{
  agentsim::AgentDocuments documents;
  std::vector<SenderLetters> all;
  unsigned serial = 0;
  for (const auto& computer : computers) {
    SenderLetters s;
    s.address = computer.AgentAddress();
    s.subject = wire::LetterSubject(kService, s.address);
    for (const auto kind : agentsim::AllEventKinds()) {
      DEX_PTLMessages::AppEvent2 event;
      event.entity = CORBA::string_dup(agentsim::EventEntity(kind));
      event.event = CORBA::string_dup(documents.Event(kind, computer, std::time(nullptr), serial++).c_str());
      event.domain = CORBA::wstring_dup(computer.domain.c_str());
      event.computer_name = CORBA::wstring_dup(FromUtf8(computer.name).c_str());
      CorvexMessaging::Message letter =
          messaging::MakeLetter(kService, MC::ComposeType(MC::PREFIX_TZ, MC::MSG_ENTITY_EVENT), kEventTtl);
      letter.custom_data <<= event;
      s.bytes.push_back(messaging::EncodeMessage(letter));
      s.letters.push_back(std::move(letter));
    }
    all.push_back(std::move(s));
  }
  return all;
}

// Starts `n` threads that run body(i, stop) together, lets them run for `seconds`, stops them.
// The seconds they really ran.
template <class Body>
double RunSenders(int n, int seconds, Body body)
{
  std::atomic<bool> go{false}, stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      while (!go)
        std::this_thread::yield();
      body(i, stop);
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  const double ran = Seconds(Clock::now() - start);
  for (auto& t : threads)
    t.join();
  return ran;
}

struct PhaseResult
{
  std::string name;
  std::uint64_t waitingAtStart = 0;  // letters in the stream when the phase began
  std::uint64_t duplicates = 0;      // letters the service received twice
  std::uint64_t acked = 0;
  double seconds = 0;
  std::uint64_t receivedInWindow = 0;
  double allReceivedAfter = 0;  // seconds from the start until every acked letter was received
  bool drained = false;
  double serverCpu = 0, clientCpu = 0, relayCpu = 0;  // share of one core over the window
  std::string load;
};

// Plain drain: takes the service consumer's deliveries and acknowledges each, as the library
// does, without the library.
struct PlainDrain
{
  std::atomic<std::uint64_t> received{0};
  static void OnMsg(natsConnection* nc, natsSubscription*, natsMsg* msg, void* closure)
  {
    auto* self = static_cast<PlainDrain*>(closure);
    if (natsMsg_GetDataLength(msg) > 0) {
      if (const char* reply = natsMsg_GetReply(msg); reply && *reply)
        natsConnection_Publish(nc, reply, nullptr, 0);
      ++self->received;
    }
    natsMsg_Destroy(msg);
  }
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

// The service's consumer as the relay makes it at the service's logon (and deletes at its
// logoff), for the phases without the library.
void MakeServiceConsumer(PlainConnection& admin)
{
  const std::string consumer = wire::ServiceConsumer(kService);
  const std::string deliver = wire::DeliverySubject(kService);
  const std::string subjects = wire::ServiceSubjects(kService);
  jsErrCode error = static_cast<jsErrCode>(0);
  js_DeleteConsumer(admin.JetStream(), wire::kInboxStream, consumer.c_str(), nullptr, &error);
  jsConsumerConfig config;
  jsConsumerConfig_Init(&config);
  config.Durable = consumer.c_str();
  config.DeliverSubject = deliver.c_str();
  config.FilterSubject = subjects.c_str();
  config.AckPolicy = js_AckExplicit;
  config.DeliverPolicy = js_DeliverAll;
  config.MaxAckPending = 4096;
  config.AckWait = static_cast<int64_t>(600) * 1000000000LL;
  config.MaxDeliver = -1;
  jsConsumerInfo* info = nullptr;
  if (js_AddConsumer(&info, admin.JetStream(), wire::kInboxStream, &config, nullptr, &error) != NATS_OK)
    throw std::runtime_error("cannot make the service's consumer");
  jsConsumerInfo_Destroy(info);
}

void DeleteServiceConsumer(PlainConnection& admin)
{
  jsErrCode error = static_cast<jsErrCode>(0);
  js_DeleteConsumer(admin.JetStream(), wire::kInboxStream, wire::ServiceConsumer(kService).c_str(), nullptr, &error);
}

std::uint64_t StreamMessages(PlainConnection& admin)
{
  jsStreamInfo* info = nullptr;
  jsErrCode error = static_cast<jsErrCode>(0);
  if (js_GetStreamInfo(&info, admin.JetStream(), wire::kInboxStream, nullptr, &error) != NATS_OK)
    return 0;
  const std::uint64_t n = info->State.Msgs;
  jsStreamInfo_Destroy(info);
  return n;
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
    std::cerr << "messaging_events_bench: " << e.what()
              << "\nusage: messaging_events_bench [--senders N] [--seconds S] [--rounds R] [--window W] [--drain N] [--send-asap] [--keep]\n";
    return 2;
  }
  try {
    agentsim::AgentSimOptions simOptions;
    simOptions.agents = options.senders;
    const auto computers = agentsim::MakeComputers(simOptions);
    std::vector<std::string> addresses;
    for (const auto& c : computers)
      addresses.push_back(c.AgentAddress());

    Scratch scratch("cvx-events-bench", options.keep);
    Location location(scratch.Path(), addresses);
    location.StartServer();
    location.StartRelay();
    const std::string dir = location.Directory();

    IClientLibrary* library = IClientLibrary::Instance();
    char name[] = "messaging_events_bench";
    char* orbArgv[] = {name, nullptr};
    library->InitORB(1, orbArgv);

    const auto letters = MakeLetters(computers);
    std::size_t totalBytes = 0, count = 0;
    for (const auto& s : letters)
      for (const auto& b : s.bytes) {
        totalBytes += b.size();
        ++count;
      }

    auto waitFor = [](auto condition, int seconds) {
      const auto deadline = Clock::now() + std::chrono::seconds(seconds);
      while (!condition() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return condition();
    };

    // The senders through the library, logged on once for the whole run.
    std::vector<std::unique_ptr<AgentReceiver>> agentReceivers;
    std::vector<IConnection*> agentConnections;
    for (const auto& a : addresses) {
      agentReceivers.push_back(std::make_unique<AgentReceiver>());
      agentConnections.push_back(library->ConnectAs(agentReceivers.back().get(), a, dir));
      agentConnections.back()->Configure(0, 10);
    }
    if (!waitFor(
            [&] {
              for (auto& r : agentReceivers)
                if (!r->connected)
                  return false;
              return true;
            },
            120))
      throw std::runtime_error("not every sender logged on");

    // The same identities without the library.
    std::vector<std::unique_ptr<PlainConnection>> plain;
    std::vector<std::unique_ptr<AckCounter>> ackCounters;
    for (const auto& a : addresses) {
      plain.push_back(std::make_unique<PlainConnection>(dir, a, options.sendAsap));
      ackCounters.push_back(std::make_unique<AckCounter>());
      plain.back()->JetStream();
      plain.back()->PipelinedJetStream(options.window, &AckCounter::OnAck, ackCounters.back().get());
    }
    PlainConnection admin(dir, wire::kDefaultRelayName);
    PlainConnection serviceDrain(dir, kService);

    std::cout << Provenance() << "\n";
    std::cout << "events: " << options.senders << " senders, " << options.seconds << " s per phase, "
              << options.rounds << " rounds" << (options.sendAsap ? ", libnats phases with SendAsap" : "")
              << "; letters of " << totalBytes / count << " bytes on average (CDR "
              << "message with an AppEvent2), NATS payload of the same size, header Cvx-Ttl\n";
    std::cout.flush();

    std::vector<PhaseResult> results;
    for (int round = 1; round <= options.rounds; ++round) {
      // 1. Through the library: the service logs on (its consumer is made then) and confirms.
      {
        ServiceReceiver service;
        IConnection* sc = library->ConnectAs(&service, kService, dir);
        sc->Configure(0, 10);
        if (!waitFor([&] { return service.connected.load(); }, 30))
          throw std::runtime_error("the service did not log on");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        PhaseResult r;
        r.name = "library Send (synchronous)";
        r.waitingAtStart = StreamMessages(admin);
        std::atomic<std::uint64_t> acked{0}, refused{0};
        const auto s0 = Sample(location.ServerPid()), c0 = Sample(0), rl0 = Sample(location.RelayPid());
        const auto start = Clock::now();
        r.seconds = RunSenders(options.senders, options.seconds, [&](int i, std::atomic<bool>& stop) {
          const auto& mine = letters[static_cast<std::size_t>(i)];
          for (std::size_t n = 0; !stop; ++n) {
            if (agentConnections[static_cast<std::size_t>(i)]->Send(mine.letters[n % mine.letters.size()]) != 0)
              ++acked;
            else
              ++refused;
          }
        });
        r.receivedInWindow = service.received;
        const auto s1 = Sample(location.ServerPid()), c1 = Sample(0), rl1 = Sample(location.RelayPid());
        r.acked = acked;
        r.drained = waitFor([&] { return service.received - service.duplicates >= r.acked; }, 120);
        r.duplicates = service.duplicates;
        r.allReceivedAfter = Seconds(Clock::now() - start);
        r.serverCpu = (s1.cpuSeconds - s0.cpuSeconds) / r.seconds;
        r.clientCpu = (c1.cpuSeconds - c0.cpuSeconds) / r.seconds;
        r.relayCpu = (rl1.cpuSeconds - rl0.cpuSeconds) / r.seconds;
        r.load = LoadAverage();
        if (refused)
          std::cerr << "library: " << refused << " letters not accepted\n";
        results.push_back(r);
        sc->Release();
        waitFor([&] { return StreamMessages(admin) == 0; }, 60);
      }

      // 2 and 3. libnats alone, the service consumer drained by a plain subscription.
      for (const bool pipelined : {false, true}) {
        PlainDrain drain;
        MakeServiceConsumer(admin);
        natsSubscription* sub = nullptr;
        if (natsConnection_Subscribe(&sub, serviceDrain.Get(), wire::DeliverySubject(kService).c_str(),
                                     &PlainDrain::OnMsg, &drain) != NATS_OK)
          throw std::runtime_error("cannot subscribe for the service");
        natsSubscription_SetPendingLimits(sub, -1, -1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        PhaseResult r;
        r.waitingAtStart = StreamMessages(admin);
        r.name = pipelined ? "libnats publish async, window " + std::to_string(options.window)
                           : "libnats publish-with-ack (synchronous)";
        std::atomic<std::uint64_t> acked{0}, failed{0};
        for (auto& c : ackCounters)
          c->acked = 0;
        const auto s0 = Sample(location.ServerPid()), c0 = Sample(0), rl0 = Sample(location.RelayPid());
        const auto start = Clock::now();
        r.seconds = RunSenders(options.senders, options.seconds, [&](int i, std::atomic<bool>& stop) {
          const auto& mine = letters[static_cast<std::size_t>(i)];
          PlainConnection& pc = *plain[static_cast<std::size_t>(i)];
          jsPubOptions po;
          jsPubOptions_Init(&po);
          po.MaxWait = 5000;
          for (std::size_t n = 0; !stop; ++n) {
            const auto& b = mine.bytes[n % mine.bytes.size()];
            natsMsg* msg = nullptr;
            natsMsg_Create(&msg, mine.subject.c_str(), nullptr, reinterpret_cast<const char*>(b.data()),
                           static_cast<int>(b.size()));
            natsMsgHeader_Set(msg, wire::kTtl, "3600");
            if (pipelined) {
              if (js_PublishMsgAsync(pc.PipelinedJetStream(0, nullptr, nullptr), &msg, nullptr) != NATS_OK) {
                ++failed;
                natsMsg_Destroy(msg);
              }
            } else {
              jsPubAck* ack = nullptr;
              jsErrCode error = static_cast<jsErrCode>(0);
              if (js_PublishMsg(&ack, pc.JetStream(), msg, &po, &error) == NATS_OK)
                ++acked;
              else
                ++failed;
              jsPubAck_Destroy(ack);
              natsMsg_Destroy(msg);
            }
          }
        });
        if (pipelined)
          for (auto& c : ackCounters)
            acked += c->acked;
        r.receivedInWindow = drain.received;
        const auto s1 = Sample(location.ServerPid()), c1 = Sample(0), rl1 = Sample(location.RelayPid());
        if (pipelined) {
          jsPubOptions po;
          jsPubOptions_Init(&po);
          po.MaxWait = 30000;
          for (auto& pc : plain)
            js_PublishAsyncComplete(pc->PipelinedJetStream(0, nullptr, nullptr), &po);
        }
        std::uint64_t allAcked = acked;
        if (pipelined) {
          allAcked = 0;
          for (auto& c : ackCounters)
            allAcked += c->acked;
        }
        r.acked = acked;
        r.drained = waitFor([&] { return drain.received >= allAcked; }, 120);
        r.allReceivedAfter = Seconds(Clock::now() - start);
        r.serverCpu = (s1.cpuSeconds - s0.cpuSeconds) / r.seconds;
        r.clientCpu = (c1.cpuSeconds - c0.cpuSeconds) / r.seconds;
        r.relayCpu = (rl1.cpuSeconds - rl0.cpuSeconds) / r.seconds;
        r.load = LoadAverage();
        if (failed)
          std::cerr << r.name << ": " << failed << " publishes failed\n";
        results.push_back(r);
        waitFor([&] { return StreamMessages(admin) == 0; }, 60);
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
        DeleteServiceConsumer(admin);
      }

      std::vector<std::vector<std::string>> rows{{"round", "path", "acked/s", "received/s in window",
                                                  "end to end/s", "server CPU", "client CPU", "relay CPU",
                                                  "waiting at start", "received twice", "load avg (1 5 15)"}};
      for (const auto& r : results)
        rows.push_back({std::to_string(round), r.name, Fixed(static_cast<double>(r.acked) / r.seconds),
                        Fixed(static_cast<double>(r.receivedInWindow) / r.seconds),
                        Fixed(static_cast<double>(r.acked) / r.allReceivedAfter) + (r.drained ? "" : " (not drained)"),
                        Fixed(100 * r.serverCpu) + "%", Fixed(100 * r.clientCpu) + "%", Fixed(100 * r.relayCpu) + "%",
                        std::to_string(r.waitingAtStart), std::to_string(r.duplicates), r.load});
      PrintTable(rows);
      const auto& lib = results[results.size() - 3];
      const auto& sync = results[results.size() - 2];
      const auto& async = results[results.size() - 1];
      const double libRate = static_cast<double>(lib.acked) / lib.seconds;
      const double syncRate = static_cast<double>(sync.acked) / sync.seconds;
      const double asyncRate = static_cast<double>(async.acked) / async.seconds;
      std::cout << "round " << round << ": library / libnats synchronous = " << Fixed(libRate / syncRate, 2)
                << "; library / libnats pipelined = " << Fixed(libRate / asyncRate, 2)
                << "; pipelined / synchronous = " << Fixed(asyncRate / syncRate, 2) << "\n\n";
      std::cout.flush();
      results.clear();
    }

    if (options.drain > 0) {
      AckCounter fillCounter;
      auto fill = [&] {
        jsCtx* js = admin.PipelinedJetStream(4096, &AckCounter::OnAck, &fillCounter);
        for (int i = 0; i < options.drain; ++i) {
          const auto& s = letters[static_cast<std::size_t>(i) % letters.size()];
          const auto& b = s.bytes[(static_cast<std::size_t>(i) / letters.size()) % s.bytes.size()];
          natsMsg* msg = nullptr;
          natsMsg_Create(&msg, s.subject.c_str(), nullptr, reinterpret_cast<const char*>(b.data()),
                         static_cast<int>(b.size()));
          natsMsgHeader_Set(msg, wire::kTtl, "3600");
          if (js_PublishMsgAsync(js, &msg, nullptr) != NATS_OK)
            natsMsg_Destroy(msg);
        }
        jsPubOptions po;
        jsPubOptions_Init(&po);
        po.MaxWait = 60000;
        js_PublishAsyncComplete(js, &po);
        return waitFor([&] { return StreamMessages(admin) >= static_cast<std::uint64_t>(options.drain); }, 60);
      };
      std::vector<std::vector<std::string>> rows{
          {"the service takes waiting letters", "letters", "seconds", "letters/s", "server CPU", "client CPU",
           "load avg (1 5 15)"}};
      auto add = [&](const std::string& what, std::uint64_t got, double seconds, const ProcessSample& s0,
                     const ProcessSample& s1, const ProcessSample& c0, const ProcessSample& c1) {
        rows.push_back({what, std::to_string(got), Fixed(seconds, 2), Fixed(static_cast<double>(got) / seconds),
                        Fixed(100 * (s1.cpuSeconds - s0.cpuSeconds) / seconds) + "%",
                        Fixed(100 * (c1.cpuSeconds - c0.cpuSeconds) / seconds) + "%", LoadAverage()});
      };
      {
        fill();
        ServiceReceiver service;
        const auto s0 = Sample(location.ServerPid()), c0 = Sample(0);
        const auto start = Clock::now();
        IConnection* sc = library->ConnectAs(&service, kService, dir);
        sc->Configure(0, 10);
        waitFor([&] { return service.received >= static_cast<std::uint64_t>(options.drain); }, 300);
        const double took = Seconds(Clock::now() - start);
        add("library: logs on, receives, confirms", service.received, took, s0, Sample(location.ServerPid()), c0,
            Sample(0));
        sc->Release();
        waitFor([&] { return StreamMessages(admin) == 0; }, 60);
      }
      {
        fill();
        PlainDrain drain;
        MakeServiceConsumer(admin);
        const auto s0 = Sample(location.ServerPid()), c0 = Sample(0);
        const auto start = Clock::now();
        natsSubscription* sub = nullptr;
        natsConnection_Subscribe(&sub, serviceDrain.Get(), wire::DeliverySubject(kService).c_str(), &PlainDrain::OnMsg,
                                 &drain);
        natsSubscription_SetPendingLimits(sub, -1, -1);
        waitFor([&] { return drain.received >= static_cast<std::uint64_t>(options.drain); }, 300);
        const double took = Seconds(Clock::now() - start);
        add("libnats subscription: receives, acks", drain.received, took, s0, Sample(location.ServerPid()), c0,
            Sample(0));
        waitFor([&] { return StreamMessages(admin) == 0; }, 60);
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
        DeleteServiceConsumer(admin);
      }
      PrintTable(rows);
    }

    for (auto* c : agentConnections)
      c->Release();
    plain.clear();
    library->ShutdownORB();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "messaging_events_bench: " << e.what() << "\n";
  } catch (const CORBA::Exception& e) {
    std::cerr << "messaging_events_bench: " << e._name() << "\n";
  }
  return 1;
}
