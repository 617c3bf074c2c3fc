// The verdicts of corvexctl health on what a database and a service's metrics report.
#include <gtest/gtest.h>

#include "tools/corvexctl/Health.h"

namespace {

using corvexctl::DatabaseState;
using corvexctl::EvaluateHealth;
using corvexctl::HealthLine;
using corvexctl::ServiceState;

constexpr double kNow = 1800000000;

DatabaseState CurrentDatabase()
{
  DatabaseState db;
  db.reachable = true;
  db.major = 8;
  db.schema = db.expectedSchema = "schema/0003_envelope_delivery_keys.sql";
  return db;
}

std::string Metrics(double connected = 1, double depth = 3, double age = 1.5, double lastPass = kNow - 2, double install = 1,
                    double browse = 1)
{
  auto n = [](double v) { return std::to_string(v); };
  return "# TYPE corvex_messaging_connected gauge\n"
         "corvex_messaging_connected " + n(connected) + "\n"
         "corvex_processing_queue_depth " + n(depth) + "\n"
         "corvex_processing_queue_oldest_age_seconds " + n(age) + "\n"
         "corvex_processing_last_pass_timestamp_seconds " + n(lastPass) + "\n"
         "corvex_thread_alive{thread=\"processing\"} 1\n"
         "corvex_thread_alive{thread=\"InstallTaskQueue\"} " + n(install) + "\n"
         "corvex_thread_alive{thread=\"InstallResultQueue\"} 1\n"
         "corvex_thread_alive{thread=\"discovery_browse\"} " + n(browse) + "\n"
         "corvex_thread_alive{thread=\"discovery_details\"} 4\n";
}

ServiceState Answering(const std::string& text)
{
  ServiceState s;
  s.answered = true;
  s.endpoint = "127.0.0.1:9475";
  s.metricsText = text;
  return s;
}

const HealthLine& Part(const std::vector<HealthLine>& lines, const std::string& part)
{
  for (const auto& l : lines)
    if (l.part == part)
      return l;
  static const HealthLine missing{"(missing)", false, "(missing)"};
  ADD_FAILURE() << "no line for " << part;
  return missing;
}

bool AllOk(const std::vector<HealthLine>& lines)
{
  for (const auto& l : lines)
    if (!l.ok)
      return false;
  return true;
}

}  // namespace

TEST(Health, AWellServiceHasEveryPartOkWithItsFigures)
{
  const auto lines = EvaluateHealth(CurrentDatabase(), Answering(Metrics()), {}, kNow);
  EXPECT_TRUE(AllOk(lines));
  EXPECT_EQ(lines.size(), 8u);
  EXPECT_NE(Part(lines, "database").detail.find("interface version 8.0, schema schema/0003"), std::string::npos);
  EXPECT_EQ(Part(lines, "processing queue").detail, "3 waiting, oldest 1.5 s");
  EXPECT_EQ(Part(lines, "last pass").detail, "2.0 s ago");
  EXPECT_EQ(Part(lines, "discovery threads").detail, "1 browsing, 4 querying details");
}

TEST(Health, DatabaseProblemsAreFound)
{
  DatabaseState gone;
  gone.error = "connection refused";
  EXPECT_FALSE(Part(EvaluateHealth(gone, Answering(Metrics()), {}, kNow), "database").ok);

  DatabaseState behind = CurrentDatabase();
  behind.schema = "schema/0002_lists_under_status_load.sql";
  const HealthLine l = Part(EvaluateHealth(behind, Answering(Metrics()), {}, kNow), "database");
  EXPECT_FALSE(l.ok);
  EXPECT_NE(l.detail.find("run corvex-db upgrade"), std::string::npos);

  DatabaseState wrong = CurrentDatabase();
  wrong.major = 7;
  EXPECT_FALSE(Part(EvaluateHealth(wrong, Answering(Metrics()), {}, kNow), "database").ok);
}

TEST(Health, ServiceProblemsAreFoundPartByPart)
{
  ServiceState silent;
  silent.endpoint = "127.0.0.1:9475";
  silent.error = "connection refused";
  const auto down = EvaluateHealth(CurrentDatabase(), silent, {}, kNow);
  EXPECT_FALSE(Part(down, "service").ok);
  EXPECT_TRUE(Part(down, "database").ok) << "the database is judged on its own";

  EXPECT_FALSE(Part(EvaluateHealth(CurrentDatabase(), Answering(Metrics(0)), {}, kNow), "messaging").ok);
  EXPECT_FALSE(Part(EvaluateHealth(CurrentDatabase(), Answering(Metrics(1, 900, 301)), {}, kNow), "processing queue").ok);
  EXPECT_TRUE(Part(EvaluateHealth(CurrentDatabase(), Answering(Metrics(1, 900, 301)), {600}, kNow), "processing queue").ok);
  EXPECT_FALSE(Part(EvaluateHealth(CurrentDatabase(), Answering(Metrics(1, 3, 1, kNow, 0)), {}, kNow), "install threads").ok);
  EXPECT_FALSE(Part(EvaluateHealth(CurrentDatabase(), Answering(Metrics(1, 3, 1, kNow, 1, 0)), {}, kNow), "discovery threads").ok);
  // A service that has not passed yet is well: an idle service has nothing to pass.
  EXPECT_TRUE(Part(EvaluateHealth(CurrentDatabase(), Answering(Metrics(1, 0, 0, 0)), {}, kNow), "last pass").ok);

  // What is not reported is not assumed well.
  EXPECT_FALSE(AllOk(EvaluateHealth(CurrentDatabase(), Answering("corvex_messaging_connected 1\n"), {}, kNow)));
  EXPECT_FALSE(Part(EvaluateHealth(CurrentDatabase(), Answering("not { metrics\n"), {}, kNow), "service").ok);
}
