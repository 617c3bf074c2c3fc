// The registry's text format, read back by the parser the health command uses, and the exporter
// over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <stdexcept>
#include <thread>

#include "metrics/Exporter.h"
#include "metrics/Metrics.h"
#include "metrics/ServiceMetrics.h"
#include "metrics/WebMetrics.h"

namespace {

double Value(const std::string& text, const std::string& name, const std::map<std::string, std::string>& labels = {})
{
  double v = -1;
  EXPECT_TRUE(metrics::FindSample(metrics::ParseText(text), name, labels, v)) << name << " missing in\n" << text;
  return v;
}

}  // namespace

TEST(MetricsText, CountersAndGaugesWithLabelsRoundTrip)
{
  metrics::Registry r;
  auto& received = r.CounterFamily("corvex_test_received_total", "Received, by type", {"type"});
  received.With({"Tz-A"}).Inc();
  received.With({"Tz-A"}).Inc(4);
  received.With({"Tz-\"odd\"\\\n"}).Inc();
  r.GaugeFamily("corvex_test_level", "A level").With().Set(2.5);
  r.GaugeCallback("corvex_test_depth", "Read when scraped", [] { return 17.0; });

  const std::string text = r.Render();
  EXPECT_NE(text.find("# TYPE corvex_test_received_total counter\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE corvex_test_level gauge\n"), std::string::npos);
  EXPECT_EQ(Value(text, "corvex_test_received_total", {{"type", "Tz-A"}}), 5);
  // Quotes, backslashes and line breaks in a label value are escaped and come back intact.
  EXPECT_NE(text.find(R"(type="Tz-\"odd\"\\\n")"), std::string::npos) << text;
  EXPECT_EQ(Value(text, "corvex_test_received_total", {{"type", "Tz-\"odd\"\\\n"}}), 1);
  EXPECT_EQ(Value(text, "corvex_test_level"), 2.5);
  EXPECT_EQ(Value(text, "corvex_test_depth"), 17);
}

TEST(MetricsText, HistogramBucketsAreCumulativeWithInclusiveUpperBounds)
{
  metrics::Registry r;
  auto& h = r.HistogramFamily("corvex_test_seconds", "Durations", {0.1, 1, 0.5}).With();  // bounds get sorted
  for (double v : {0.05, 0.1, 0.3, 0.5, 2.0})
    h.Observe(v);
  const std::string text = r.Render();
  EXPECT_EQ(Value(text, "corvex_test_seconds_bucket", {{"le", "0.10000000000000001"}}), 2) << text;
  EXPECT_EQ(Value(text, "corvex_test_seconds_bucket", {{"le", "0.5"}}), 4);
  EXPECT_EQ(Value(text, "corvex_test_seconds_bucket", {{"le", "1"}}), 4);
  EXPECT_EQ(Value(text, "corvex_test_seconds_bucket", {{"le", "+Inf"}}), 5);
  EXPECT_EQ(Value(text, "corvex_test_seconds_count"), 5);
  EXPECT_NEAR(Value(text, "corvex_test_seconds_sum"), 2.95, 1e-9);
}

TEST(MetricsText, MisuseIsCaughtAndOddCallsDoNotCrash)
{
  metrics::Registry r;
  r.CounterFamily("corvex_test_total", "x");
  EXPECT_THROW(r.GaugeFamily("corvex_test_total", "x"), std::logic_error);
  // The same name asked again is the same family.
  r.CounterFamily("corvex_test_total", "x").With().Inc();
  EXPECT_EQ(r.CounterFamily("corvex_test_total", "x").With().Value(), 1u);
  // Too few label values count as empty, too many are dropped.
  auto& f = r.CounterFamily("corvex_test_labels_total", "x", {"a", "b"});
  f.With({"1"}).Inc();
  f.With({"1", "", "extra"}).Inc();
  EXPECT_EQ(f.With({"1", ""}).Value(), 2u);
  // A callback that throws reads as NaN instead of failing the scrape.
  r.GaugeCallback("corvex_test_broken", "x", []() -> double { throw std::runtime_error("gone"); });
  EXPECT_TRUE(std::isnan(Value(r.Render(), "corvex_test_broken")));
}

TEST(MetricsText, MalformedLinesAreRefused)
{
  for (const char* bad : {"name_only\n", "x{a=\"1\" 3\n", "x{a=1} 3\n", "x 3z\n", "{a=\"b\"} 1\n", "x{a=\"unterminated} 1\n"})
    EXPECT_THROW(metrics::ParseText(bad), std::invalid_argument) << bad;
  const auto ok = metrics::ParseText("# HELP x y\n\nx 1 1700000000\ny{a=\"b\",} +Inf\n");
  ASSERT_EQ(ok.size(), 2u);
  EXPECT_EQ(ok[0].value, 1);
  EXPECT_TRUE(std::isinf(ok[1].value));
  EXPECT_EQ(ok[1].labels.at("a"), "b");
}

TEST(MetricsExporter, ServesTheRegistryOnLoopbackAndStops)
{
  metrics::Registry r;
  auto& c = r.CounterFamily("corvex_test_served_total", "x").With();
  metrics::Exporter exporter(r);
  std::string error;
  ASSERT_TRUE(exporter.Start("127.0.0.1", 0, error)) << error;
  ASSERT_GT(exporter.Port(), 0);
  c.Inc(3);
  std::string body;
  ASSERT_TRUE(metrics::Scrape("127.0.0.1", exporter.Port(), 2000, body, error)) << error;
  EXPECT_EQ(Value(body, "corvex_test_served_total"), 3);

  // A second exporter cannot take the same port; the first keeps serving.
  metrics::Exporter other(r);
  EXPECT_FALSE(other.Start("127.0.0.1", exporter.Port(), error));
  EXPECT_NE(error.find("cannot bind"), std::string::npos);
  ASSERT_TRUE(metrics::Scrape("127.0.0.1", exporter.Port(), 2000, body, error)) << error;

  const int port = exporter.Port();
  exporter.Stop();
  EXPECT_FALSE(metrics::Scrape("127.0.0.1", port, 500, body, error));
  EXPECT_NE(error.find("no answer"), std::string::npos) << error;
}

// A process told to stop as it comes up stops its exporter at once: the server's loop may not
// have started yet when Stop comes, and a stop it never saw would leave Stop waiting for ever.
TEST(MetricsExporter, AStopRightAfterTheStartEndsIt)
{
  metrics::Registry registry;
  for (int i = 0; i < 200; ++i) {
    metrics::Exporter exporter(registry);
    std::string error;
    ASSERT_TRUE(exporter.Start("127.0.0.1", 0, error)) << error;
    const auto start = std::chrono::steady_clock::now();
    auto stopped = std::async(std::launch::async, [&] { exporter.Stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "start and stop " << i;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
}

TEST(WebMetrics, RequestsAreCountedAndTimedAndRefusedLogInsByReason)
{
  const auto value = [](const std::string& name, const std::map<std::string, std::string>& labels = {}) {
    double v = 0;
    metrics::FindSample(metrics::ParseText(metrics::Process().Render()), name, labels, v);
    return v;
  };
  const double requests = value("corvex_web_requests_total");
  const double slow = value("corvex_web_request_duration_seconds_bucket", {{"le", "0.01"}});
  {
    const metrics::WebRequestTimer timer;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_EQ(value("corvex_web_requests_total"), requests + 1);
  // 30 ms is past the 10 ms bucket and within the 50 ms one.
  EXPECT_EQ(value("corvex_web_request_duration_seconds_bucket", {{"le", "0.01"}}), slow);
  EXPECT_GE(value("corvex_web_request_duration_seconds_sum"), 0.03);
  metrics::WebLoginFailure("throttled");
  metrics::WebLoginFailure("throttled");
  EXPECT_EQ(value("corvex_web_login_failures_total", {{"reason", "throttled"}}), 2);
  EXPECT_EQ(value("corvex_web_login_failures_total", {{"reason", "refused"}}), 0);
}
