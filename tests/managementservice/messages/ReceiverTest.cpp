#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "managementservice/messages/CreatorFn.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/ReceivedMessage.h"
#include "managementservice/messages/Receiver.h"
#include "platform/com/ComError.h"
#include "platform/eventlog/EventLog.h"
#include "platform/sync/Sync.h"
#include "resources/EventMessages.h"
#include "tests/platform/CapturedEvents.h"

namespace {

CorvexMessaging::Envelope MakeEnvelope(const char* type, const char* originator, bool timestamp = true)
{
  CorvexMessaging::Envelope e;
  e.originator = originator;
  e.message_id = 42;
  e.client_info.type = type;
  e.client_info.destination = "ManagementService";
  e.client_info.delivery_options = "";
  if (timestamp) {
    e.timestamps.length(1);
    e.timestamps[0].name = "ROUTER";
    e.timestamps[0].utc_time = 1700000000;
  }
  return e;
}

class RecordingConnection : public ZiriviridUrurezArevudUza::IConnection
{
public:
  CorvexMessaging::MessageId Send(const CorvexMessaging::Message& m) override
  {
    std::lock_guard<std::mutex> lock(m_lock);
    sent.push_back({std::string(m.destination), std::string(m.type), m.prio, m.ttl});
    return static_cast<CorvexMessaging::MessageId>(sent.size());
  }
  void Release() override {}
  void Configure(long, long) override {}
  std::string Address() const override { return "ManagementService"; }
  bool IsConnected() const override { return true; }
  void Confirm(CorvexMessaging::MessageId id) override
  {
    std::lock_guard<std::mutex> lock(m_lock);
    confirmed.push_back(id);
  }
  std::vector<CorvexMessaging::MessageId> Confirmed()
  {
    std::lock_guard<std::mutex> lock(m_lock);
    return confirmed;
  }

  struct Sent
  {
    std::string destination, type;
    long prio, ttl;
  };
  std::mutex m_lock;
  std::vector<Sent> sent;
  std::vector<CorvexMessaging::MessageId> confirmed;
};


struct Traces
{
  Traces()
  {
    saved = trace::Level();
    trace::SetLevel(3);
    trace::SetCapture([this](int, const GUID&, const std::string& t) { std::lock_guard<std::mutex> l(lock); lines.push_back(t); });
  }
  ~Traces()
  {
    trace::SetCapture(nullptr);
    trace::SetLevel(saved);
  }
  bool Has(const std::string& text)
  {
    std::lock_guard<std::mutex> l(lock);
    for (const auto& line : lines)
      if (line.find(text) != std::string::npos)
        return true;
    return false;
  }
  int saved;
  std::mutex lock;
  std::vector<std::string> lines;
};

// A work item that records what happened to it.
struct Probe : DecodedMessage
{
  enum class Throw { Nothing, Runtime, Logic, Database, Com };
  Probe(std::vector<int>* order, std::mutex* lock, int id, Throw t = Throw::Nothing, std::atomic<int>* deleted = nullptr)
    : m_order(order), m_lock(lock), m_id(id), m_throw(t), m_deleted(deleted)
  {
  }
  ~Probe() override
  {
    if (m_deleted)
      ++*m_deleted;
  }
  HRESULT Process() override
  {
    if (m_order) {
      std::lock_guard<std::mutex> l(*m_lock);
      m_order->push_back(m_id);
    }
    switch (m_throw) {
      case Throw::Runtime: throw std::runtime_error("bad row");
      case Throw::Logic: throw std::logic_error("broken invariant");
      case Throw::Database: throw vrn::Exceptions::ConnectToDatabaseFailed(E_FAIL, L"database gone");
      case Throw::Com: throw _com_error(E_UNEXPECTED, L"com gone");
      default: return m_id % 2 ? E_FAIL : S_OK;
    }
  }
  std::vector<int>* m_order;
  std::mutex* m_lock;
  int m_id;
  Throw m_throw;
  std::atomic<int>* m_deleted;
};

struct PlainMessage : ReceivedMessage
{
  explicit PlainMessage(const CorvexMessaging::Envelope& e, bool fail = false) : ReceivedMessage(e), m_fail(fail) {}
  HRESULT Process() override
  {
    if (m_fail)
      throw std::runtime_error("bad document");
    return S_OK;
  }
  bool m_fail;
};

std::unique_ptr<PlainMessage> Received(CorvexMessaging::MessageId id, bool fail = false)
{
  CorvexMessaging::Envelope e = MakeEnvelope("Tz-EntityEvent", "PC7.Agent");
  e.message_id = id;
  return std::make_unique<PlainMessage>(e, fail);
}

void WaitUntil(const std::function<bool()>& done)
{
  for (int i = 0; i < 100 && !done(); ++i)
    Sleep(50);
}

}  // namespace

TEST(ReceivedMessage, SplitsTheOriginatorAtItsLastDot)
{
  PlainMessage agent(MakeEnvelope("Tz-GetStatus-Reply", "BRANCH1.PC7.Agent"));
  EXPECT_EQ(agent.Address(), "BRANCH1.PC7");
  EXPECT_EQ(agent.Suffix(), "Agent");
  EXPECT_EQ(agent.MessageId(), 42);
  EXPECT_EQ(agent.UtcTime(), 1700000000);
  PlainMessage bare(MakeEnvelope("Tz-GetStatus-Reply", "PC7"));
  EXPECT_EQ(bare.Address(), "PC7");
  EXPECT_EQ(bare.Suffix(), "");
  EXPECT_THROW(PlainMessage(MakeEnvelope("x", "PC7", false)), std::out_of_range);
}

TEST(CreatorFn, ConstructionFailuresGiveNullWithTheirText)
{
  Traces traces;
  EXPECT_EQ(CreatorFn<PlainMessage>(MakeEnvelope("x", "PC7.Agent", false)), nullptr);
  EXPECT_TRUE(traces.Has("CreatorFn Caught (No timestamps)"));
  std::unique_ptr<DecodedMessage> ok(CreatorFn<PlainMessage>(MakeEnvelope("x", "PC7.Agent")));
  EXPECT_NE(ok, nullptr);
}

TEST(Receiver, UnknownTypesAndTheRegistrationReplyAreDropped)
{
  Traces traces;
  Receiver receiver(false);
  receiver.Receive(MakeEnvelope("Tz-NotifyRouterUpdates-Reply", ":"));
  receiver.Receive(MakeEnvelope("Tz-SomethingElse", "PC7.Agent"));
  CorvexMessaging::Envelope noTimestamp = MakeEnvelope("Tz-NotifyRouterUpdates-Reply", ":", false);
  receiver.Receive(noTimestamp);
  EXPECT_TRUE(ProcessingQueue::Instance().IsEmpty());
  EXPECT_TRUE(traces.Has("NULL message for [Tz-NotifyRouterUpdates-Reply], skipping"));
  EXPECT_TRUE(traces.Has("message type 'Tz-SomethingElse' not found !"));
  EXPECT_TRUE(traces.Has("Got `Tz-SomethingElse` from `PC7.Agent`, id=42"));
}

TEST(Receiver, ConnectionChangesReportEventsAndRegisterWithTheRouterOnce)
{
  testsupport::CapturedEvents events;
  RecordingConnection connection;
  Receiver receiver(false, [&] { return &connection; });
  receiver.NotifyConnection(true);
  receiver.NotifyConnection(true);  // unchanged: nothing sent, nothing reported
  ASSERT_EQ(connection.sent.size(), 2u);
  EXPECT_EQ(connection.sent[0].destination, ":");
  EXPECT_EQ(connection.sent[0].type, "Tz-NotifyRouterUpdates");
  EXPECT_EQ(connection.sent[1].type, "Tz-GetStatus");
  EXPECT_EQ(connection.sent[1].prio, 0);
  EXPECT_EQ(connection.sent[1].ttl, 0);
  receiver.NotifyConnection(false);
  receiver.NotifyConnection(false);
  const auto seen = events.All();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].id, EVMSG_MESSAGING_CONNECTED);
  EXPECT_EQ(seen[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(seen[1].id, EVMSG_MESSAGING_DISCONNECTED);
  EXPECT_EQ(seen[1].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(connection.sent.size(), 2u);
}

TEST(Receiver, ProcessesItemsFromManyProducersInArrivalOrderAndSurvivesRuntimeErrors)
{
  Traces traces;
  std::vector<int> order;
  std::mutex lock;
  std::atomic<bool> stopped{false};
  {
    Receiver receiver(true, {}, [&] { stopped = true; });
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p)
      producers.emplace_back([&, p] {
        for (int i = 0; i < 200; ++i)
          ProcessingQueue::Instance().Append(std::make_unique<Probe>(&order, &lock, p * 1000 + i, i == 7 ? Probe::Throw::Runtime : Probe::Throw::Nothing));
      });
    for (auto& t : producers)
      t.join();
    WaitUntil([&] {
      std::lock_guard<std::mutex> l(lock);
      return order.size() == 800;
    });
  }
  EXPECT_TRUE(stopped);  // the end of the processing thread is the service's stop step
  ASSERT_EQ(order.size(), 800u);
  int last[4] = {-1, -1, -1, -1};
  for (int id : order) {
    EXPECT_GT(id % 1000, last[id / 1000]) << "producer " << id / 1000 << " out of order";
    last[id / 1000] = id % 1000;
  }
  EXPECT_TRUE(traces.Has("processing: Caught runtime exception(bad row)"));
  EXPECT_TRUE(traces.Has("Processing failed: 0x80004005"));
}

TEST(ProcessingQueue, AWaitingConsumerWakesOnArrivalAndOtherwiseAtTheLongestWait)
{
  ProcessingQueue& queue = ProcessingQueue::Instance();
  ASSERT_TRUE(queue.IsEmpty());
  EXPECT_FALSE(queue.WaitForItem(std::chrono::milliseconds(20))) << "nothing queued: the wait ends empty-handed";

  // The wait is far longer than the test may take: a consumer still polling would only see the
  // item at its end.
  const auto longest = std::chrono::seconds(60);
  std::thread producer([&] {
    Sleep(50);
    queue.Append(std::make_unique<Probe>(nullptr, nullptr, 1));
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(queue.WaitForItem(longest));
  EXPECT_LT(std::chrono::steady_clock::now() - start, longest) << "woken by the arrival";
  producer.join();
  EXPECT_TRUE(queue.WaitForItem(longest)) << "an item already queued ends the wait at once";
  queue.RemoveFront();
}

TEST(Receiver, ItemsStillQueuedAtShutdownAreDeletedUnprocessed)
{
  std::vector<int> order;
  std::mutex lock;
  std::atomic<int> deleted{0};
  {
    Receiver receiver(false);
    for (int i = 0; i < 5; ++i)
      ProcessingQueue::Instance().Append(std::make_unique<Probe>(&order, &lock, i, Probe::Throw::Nothing, &deleted));
  }
  EXPECT_EQ(deleted.load(), 5);
  EXPECT_TRUE(order.empty());
  EXPECT_TRUE(ProcessingQueue::Instance().IsEmpty());
}

TEST(Receiver, ANonRuntimeExceptionEndsProcessingWithAnEventAndStopsTheService)
{
  testsupport::CapturedEvents events;
  std::vector<int> order;
  std::mutex lock;
  std::atomic<bool> stopped{false};
  Receiver receiver(true, {}, [&] { stopped = true; });
  ProcessingQueue::Instance().Append(std::make_unique<Probe>(&order, &lock, 1, Probe::Throw::Logic));
  ProcessingQueue::Instance().Append(std::make_unique<Probe>(&order, &lock, 2));
  WaitUntil([&] { return receiver.IsStopped(); });
  EXPECT_TRUE(stopped);
  EXPECT_EQ(order, std::vector<int>{1});
  const auto seen = events.All();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].id, EVMSG_PROCESSING_EXCEPTION);
  EXPECT_EQ(seen[0].strings, std::vector<std::wstring>{L"broken invariant"});
  ProcessingQueue::Instance().RemoveFront();
}

TEST(ReceiverDeathTest, ALostDatabaseOrAComErrorEndsTheProcessWith9999)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (Probe::Throw kind : {Probe::Throw::Database, Probe::Throw::Com}) {
    EXPECT_EXIT(
      {
        Receiver receiver(true, {}, [] {});
        ProcessingQueue::Instance().Append(std::make_unique<Probe>(nullptr, nullptr, 1, kind));
        Sleep(5000);
        std::exit(0);
      },
      ::testing::ExitedWithCode(kFatalExitCode & 0xFF), "");
  }
}

TEST(Receiver, ConfirmsEnvelopesOnceProcessedOrDroppedButNotWhatShutdownDiscards)
{
  RecordingConnection connection;
  {
    Receiver receiver(false, [&] { return &connection; });
    receiver.Receive(MakeEnvelope("Tz-SomethingElse", "PC7.Agent"));  // dropped: done with at once
    ProcessingQueue::Instance().Append(Received(43));                  // never processed
  }
  EXPECT_EQ(connection.Confirmed(), std::vector<CorvexMessaging::MessageId>{42});

  std::vector<int> order;
  std::mutex lock;
  {
    Receiver receiver(true, [&] { return &connection; }, [] {});
    ProcessingQueue::Instance().Append(Received(44));
    ProcessingQueue::Instance().Append(std::make_unique<Probe>(&order, &lock, 2));  // a letter: no envelope
    ProcessingQueue::Instance().Append(Received(45, true));  // fails: it would fail again
    WaitUntil([&] { return connection.Confirmed().size() == 3; });
  }
  EXPECT_EQ(order, std::vector<int>{2});
  EXPECT_EQ(connection.Confirmed(), (std::vector<CorvexMessaging::MessageId>{42, 44, 45}));
}

TEST(Receiver, OversizedEnvelopesAndUncleanOriginatorsAreRefusedAtTheDoor)
{
  Traces traces;
  RecordingConnection connection;
  Receiver receiver(false, [&] { return &connection; });
  auto envelope = [](CorvexMessaging::MessageId id, const char* originator, std::size_t payload) {
    CorvexMessaging::Envelope e = MakeEnvelope("Tz-EntityEvent", originator);
    e.message_id = id;
    e.client_info.delivery_options = CORBA::string_dup(std::string(payload, 'x').c_str());
    return e;
  };
  // Refused envelopes are done with: confirmed, so they do not come again, and never queued.
  receiver.Receive(envelope(1, "PC7.Agent", kDefaultMaxEnvelopeBytes));
  receiver.Receive(envelope(2, "PC\x1b[2J7.Agent", 10));
  receiver.Receive(envelope(3, "PC\xc3(7.Agent", 10));
  EXPECT_TRUE(ProcessingQueue::Instance().IsEmpty());
  EXPECT_EQ(connection.Confirmed(), (std::vector<CorvexMessaging::MessageId>{1, 2, 3}));
  EXPECT_TRUE(traces.Has("Refused envelope 1 from `PC7.Agent`: "));
  EXPECT_TRUE(traces.Has("Refused envelope 2: originator or type is not clean text"));
  EXPECT_FALSE(traces.Has("\x1b[2J"));

  // The next one, of a size just allowed, goes on as usual.
  receiver.Receive(envelope(4, "PC7.Agent", kDefaultMaxEnvelopeBytes - 200));
  EXPECT_TRUE(traces.Has("Got `Tz-EntityEvent` from `PC7.Agent`, id=4"));
}
