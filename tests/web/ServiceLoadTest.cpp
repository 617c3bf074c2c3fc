// The overview's service load: read from the service's real exporter, and the applied rate
// taken over a second or more, across a restart of the service's counters.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "metrics/Exporter.h"
#include "metrics/Metrics.h"
#include "web/ServiceLoad.h"

using namespace std::chrono_literals;
using corvexweb::LoadSample;
using corvexweb::ServiceLoad;

TEST(ServiceLoad, ReadsTheQueueAndSumsEveryTypesAppliedEnvelopesFromTheServicesExporter)
{
  metrics::Registry registry;
  double depth = 17;
  registry.GaugeCallback("corvex_processing_queue_depth", "waiting", [&] { return depth; });
  registry.GaugeCallback("corvex_processing_queue_oldest_age_seconds", "oldest", [] { return 2.5; });
  auto& applied = registry.CounterFamily("corvex_envelopes_applied_total", "applied", {"type"});
  applied.With({"Tz-GetStatus-Reply"}).Inc(40);
  applied.With({"Tz-EntityEvent"}).Inc(2);
  metrics::Exporter exporter(registry);
  std::string error;
  ASSERT_TRUE(exporter.Start("127.0.0.1", 0, error)) << error;

  ServiceLoad load("127.0.0.1", exporter.Port());
  nlohmann::json first = load.Now();
  ASSERT_EQ(first["Answered"], true) << first.dump();
  EXPECT_EQ(first["QueueDepth"], 17);
  EXPECT_EQ(first["OldestAgeSeconds"], 2.5);
  EXPECT_TRUE(first["AppliedPerSecond"].is_null());  // one sample is no rate

  LoadSample sample;
  ASSERT_TRUE(corvexweb::ReadLoadSample(registry.Render(), sample, error)) << error;
  EXPECT_EQ(sample.appliedTotal, 42);

  exporter.Stop();
  nlohmann::json gone = load.Now();
  EXPECT_EQ(gone["Answered"], false);
  EXPECT_FALSE(gone["Error"].get<std::string>().empty());
}

TEST(ServiceLoad, TextWithoutTheQueueOrThatDoesNotReadIsAnError)
{
  LoadSample sample;
  std::string error;
  EXPECT_FALSE(corvexweb::ReadLoadSample("corvex_envelopes_applied_total{type=\"x\"} 3\n", sample, error));
  EXPECT_NE(error.find("processing queue"), std::string::npos) << error;
  EXPECT_FALSE(corvexweb::ReadLoadSample("corvex_processing_queue_depth {{ 3\n", sample, error));
  EXPECT_NE(error.find("do not read"), std::string::npos) << error;
}

TEST(ServiceLoad, TheRateSpansASecondOrMoreAndStartsAgainWithTheServicesCounters)
{
  ServiceLoad load("127.0.0.1", 1);
  const ServiceLoad::Clock::time_point t0{};
  auto at = [&](std::chrono::milliseconds ms, double applied) {
    return load.Take(LoadSample{0, 0, applied}, t0 + ms)["AppliedPerSecond"];
  };
  EXPECT_TRUE(at(0ms, 100).is_null());
  EXPECT_TRUE(at(300ms, 130).is_null());  // too soon after the first to say
  EXPECT_DOUBLE_EQ(at(2000ms, 300).get<double>(), 100.0);  // (300 - 100) / 2 s
  // Asked again soon after: still measured from the kept sample two seconds back, not over 0.2 s.
  EXPECT_DOUBLE_EQ(at(2200ms, 320).get<double>(), 220.0 / 2.2);
  EXPECT_DOUBLE_EQ(at(4000ms, 500).get<double>(), 100.0);  // (500 - 300) / 2 s
  // The service started again: its total went down, so no rate until two new samples.
  EXPECT_TRUE(at(5000ms, 10).is_null());
  EXPECT_DOUBLE_EQ(at(6000ms, 60).get<double>(), 50.0);
}
