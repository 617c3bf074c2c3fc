// What a known sequence of envelopes must leave in the service's metrics: each received under
// its type or refused with its reason at the door, the queue's depth and age while they wait,
// and, after one pass, each applied or rolled back under its type.
#include <gtest/gtest.h>

#include <stdexcept>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/PTLSession.h"
#include "businesslogic/ThreadDatabase.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/MessageSession.h"
#include "managementservice/messages/ProcessingPass.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/Receiver.h"
#include "messaging/MessagingConstants.h"
#include "metrics/ServiceMetrics.h"
#include "platform/sync/Sync.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/OrbEnvironment.h"
#include "tests/managementservice/ServiceTestSupport.h"

namespace {

const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new servicetest::OrbEnvironment);

class NullConnection : public ZiriviridUrurezArevudUza::IConnection
{
public:
  CorvexMessaging::MessageId Send(const CorvexMessaging::Message&) override { return 1; }
  void Release() override {}
  void Configure(long, long) override {}
  std::string Address() const override { return "PTLManagementService"; }
  bool IsConnected() const override { return true; }
  void Confirm(CorvexMessaging::MessageId) override {}
};

// An outbound item whose processing ends in a run-time error: rolled back under "letter".
struct FailingLetter : DecodedMessage
{
  HRESULT Process() override { throw std::runtime_error("no such computer"); }
};

// The process's metrics as a scrape shows them.
struct Scrape
{
  Scrape() : samples(metrics::ParseText(metrics::Process().Render())) {}
  double operator()(const std::string& name, const std::map<std::string, std::string>& labels = {}) const
  {
    double v = 0;
    metrics::FindSample(samples, name, labels, v);  // absent: 0, as a counter not yet made
    return v;
  }
  std::vector<metrics::Sample> samples;
};

class ServiceMetrics : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
    m_session.Open();
    SetMessageSession(&m_session);
  }
  void TearDown() override
  {
    while (ProcessingQueue::Instance().RemoveFront()) {
    }
    SetMessageSession(nullptr);
    m_session.Close();
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
  CPTLSession m_session{TRACE_MANAGEMENTSERVICE};
};

}  // namespace

TEST_F(ServiceMetrics, AKnownSequenceOfEnvelopesIsCountedByTypeAndReason)
{
  using namespace MessagingConstants;
  const std::string logon = ComposeType(PREFIX_TZ, MSG_ROUTER_LOGON);
  const std::string timeout = ComposeType(PREFIX_MS, MSG_DELIVERY_FAILED, SUFFIX_TIMEOUT);
  const std::string unrouteable = ComposeType(PREFIX_MS, MSG_DELIVERY_FAILED, SUFFIX_UNROUTEABLE);
  const std::string notifyReply = ComposeType(PREFIX_TZ, MSG_NOTIFY_ROUTER_UPDATES, SUFFIX_REPLY);

  NullConnection connection;
  Receiver receiver(false, [&] { return &connection; });
  const Scrape before;
  const auto delta = [&](const Scrape& now, const std::string& name, const std::map<std::string, std::string>& labels = {}) {
    return now(name, labels) - before(name, labels);
  };

  auto undelivered = [&](const std::string& type, const char* computer) {
    CorvexMessaging::Envelope letter = servicetest::RoutedEnvelope("Tz-GetStatus", "PTLManagementService");
    letter.client_info.destination = (std::string(computer) + ".Agent").c_str();
    CorvexMessaging::Envelope e = servicetest::RoutedEnvelope(type, "corvex-router");
    e.client_info.custom_data <<= letter;
    receiver.Receive(e);
  };
  undelivered(timeout, "pc-1.example");
  undelivered(timeout, "pc-2.example");
  undelivered(unrouteable, "pc-3.example");
  {
    // A logon notice the relay did not seal: its message is never made.
    CorvexMessaging::Envelope e = servicetest::RoutedEnvelope(logon, "corvex-router");
    e.client_info.custom_data <<= "pc-1.example";
    receiver.Receive(e);
  }
  receiver.Receive(servicetest::RoutedEnvelope(logon, "pc-\x1b[2J"));               // not clean text: refused at the door
  receiver.Receive(servicetest::RoutedEnvelope("Tz-NoSuchThing", "pc-4.example"));  // no such type
  receiver.Receive(servicetest::RoutedEnvelope(notifyReply, "corvex-router"));      // read and dropped
  ProcessingQueue::Instance().Append(std::make_unique<FailingLetter>());

  Sleep(20);
  const Scrape queued;
  EXPECT_EQ(queued("corvex_processing_queue_depth"), 4);
  EXPECT_GE(queued("corvex_processing_queue_oldest_age_seconds"), 0.015);
  EXPECT_EQ(delta(queued, "corvex_envelopes_received_total", {{"type", timeout}}), 2);
  EXPECT_EQ(delta(queued, "corvex_envelopes_received_total", {{"type", unrouteable}}), 1);
  EXPECT_EQ(delta(queued, "corvex_envelopes_received_total", {{"type", logon}}), 1);
  EXPECT_EQ(delta(queued, "corvex_envelopes_received_total", {{"type", notifyReply}}), 1);
  EXPECT_EQ(delta(queued, "corvex_envelopes_refused_total", {{"type", logon}, {"reason", "rejected"}}), 1);
  EXPECT_EQ(delta(queued, "corvex_envelopes_refused_total", {{"type", notifyReply}, {"reason", "rejected"}}), 0);
  // An envelope refused at the door is not trusted with its type: it counts as "unknown".
  EXPECT_EQ(delta(queued, "corvex_envelopes_received_total", {{"type", "unknown"}}), 2);
  EXPECT_EQ(delta(queued, "corvex_envelopes_refused_total", {{"type", "unknown"}, {"reason", "inadmissible"}}), 1);
  EXPECT_EQ(delta(queued, "corvex_envelopes_refused_total", {{"type", "unknown"}, {"reason", "unknown_type"}}), 1);
  EXPECT_EQ(delta(queued, "corvex_letters_returned_total", {{"reason", "timeout"}}), 2);
  EXPECT_EQ(delta(queued, "corvex_letters_returned_total", {{"reason", "unrouteable"}}), 1);
  EXPECT_EQ(delta(queued, "corvex_processing_passes_total"), 0);

  CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
  CThreadDatabase::Binding binding(database);
  ProcessingPass pass(&database, PassLimits{});
  EXPECT_EQ(pass.Run(ProcessingQueue::Instance()).size(), 4u);

  const Scrape after;
  EXPECT_EQ(after("corvex_processing_queue_depth"), 0);
  EXPECT_EQ(after("corvex_processing_queue_oldest_age_seconds"), 0);
  EXPECT_EQ(delta(after, "corvex_envelopes_applied_total", {{"type", timeout}}), 2);
  EXPECT_EQ(delta(after, "corvex_envelopes_applied_total", {{"type", unrouteable}}), 1);
  EXPECT_EQ(delta(after, "corvex_envelopes_applied_total", {{"type", "letter"}}), 0);
  EXPECT_EQ(delta(after, "corvex_envelopes_refused_total", {{"type", "letter"}, {"reason", "rolled_back"}}), 1);
  EXPECT_EQ(delta(after, "corvex_processing_passes_total"), 1);
  EXPECT_EQ(delta(after, "corvex_processing_pass_items_count"), 1);
  EXPECT_EQ(delta(after, "corvex_processing_pass_items_sum"), 4);
  EXPECT_EQ(delta(after, "corvex_processing_pass_items_bucket", {{"le", "2"}}), 0);
  EXPECT_EQ(delta(after, "corvex_processing_pass_items_bucket", {{"le", "4"}}), 1);
  EXPECT_GT(delta(after, "corvex_processing_pass_duration_seconds_sum"), 0);
  EXPECT_EQ(delta(after, "corvex_processing_pass_duration_seconds_count"), 1);
  EXPECT_GT(after("corvex_processing_last_pass_timestamp_seconds"), 1.7e9);
}

TEST_F(ServiceMetrics, ThreadsCountWhileAliveAndTheConnectionStateFollowsTheLibrary)
{
  const auto alive = [] { return Scrape()("corvex_thread_alive", {{"thread", "processing"}}); };
  const double idle = alive();
  {
    NullConnection connection;
    Receiver receiver(true, [&] { return &connection; }, [] {}, [] { return nullptr; });
    for (int i = 0; i < 100 && alive() == idle; ++i)
      Sleep(10);
    EXPECT_EQ(alive(), idle + 1);
    receiver.NotifyConnection(true);
    EXPECT_EQ(Scrape()("corvex_messaging_connected"), 1);
    receiver.NotifyConnection(false);
    EXPECT_EQ(Scrape()("corvex_messaging_connected"), 0);
  }
  EXPECT_EQ(alive(), idle);
}
