#include "tools/corvexctl/Health.h"

#include <libpq-fe.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>

#include "businesslogic/PTLSession.h"
#include "businesslogic/SessionCommands.h"
#include "businesslogic/TraceComponent.h"
#include "database/EmbeddedSql.h"
#include "metrics/Exporter.h"
#include "metrics/Metrics.h"
#include "platform/ado/PgLink.h"
#include "platform/com/ComError.h"
#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"
#include "tools/corvexctl/Arguments.h"

namespace corvexctl {
namespace {

// The service's settings key, where its metrics address and port are.
const wchar_t* const kServiceKey = L"SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service";

std::string Seconds(double s)
{
  char buf[32];
  std::snprintf(buf, sizeof buf, s < 10 ? "%.1f s" : "%.0f s", s);
  return buf;
}

std::string NewestSchemaStep()
{
  std::string newest;
  for (const auto& f : corvexdb::EmbeddedSqlFiles()) {
    const std::string name(f.path);
    if (name.rfind("schema/", 0) == 0 && name > newest)
      newest = name;
  }
  return newest;
}

DatabaseState ProbeDatabase()
{
  DatabaseState state;
  state.expectedSchema = NewestSchemaStep();
  try {
    CPTLSession session(TRACE_BUSINESSLOGIC);
    session.Open();
    CGetInterfaceVersion version;
    const HRESULT hr = version.Execute(session);
    if (FAILED(hr)) {
      state.error = "GetInterfaceVersion failed: " + ErrorText(hr);
      return state;
    }
    state.major = version.m_MajorVersion;
    state.minor = version.m_MinorVersion;
    const auto link = session.Current().Link();
    if (!link) {
      state.error = "no connection";
      return state;
    }
    std::lock_guard lock(link->Mutex());
    ado::PgResultPtr rows;
    ado::PgError error;
    link->Run("SELECT max(\"Name\") FROM dbo.\"SchemaMigrations\"", 10, rows, error);
    if (!rows || PQntuples(rows.get()) != 1) {
      state.error = "cannot read the schema steps: " + error.message;
      return state;
    }
    state.schema = PQgetisnull(rows.get(), 0, 0) ? "" : PQgetvalue(rows.get(), 0, 0);
    state.reachable = true;
  } catch (const _com_error& e) {
    state.error = e.Description().empty() ? e.ErrorMessage() : ToUtf8(std::wstring(e.Description()));
  } catch (const std::exception& e) {
    state.error = e.what();
  }
  return state;
}

ServiceState ProbeService(int timeoutMs)
{
  ServiceState state;
  const metrics::ExporterSettings settings = metrics::ExporterSettings::FromRegistry(kServiceKey);
  state.endpoint = settings.address + ":" + std::to_string(settings.port);
  if (settings.port == 0) {
    state.error = "its metrics are turned off (MetricsPort 0): nothing to ask";
    return state;
  }
  state.answered = metrics::Scrape(settings.address, settings.port, timeoutMs, state.metricsText, state.error);
  return state;
}

}  // namespace

std::vector<HealthLine> EvaluateHealth(const DatabaseState& db, const ServiceState& service, const HealthLimits& limits,
                                       double now)
{
  std::vector<HealthLine> lines;
  {
    HealthLine l{"database", false, {}};
    if (!db.reachable) {
      l.detail = "unreachable: " + db.error;
    } else {
      l.detail = "interface version " + std::to_string(db.major) + "." + std::to_string(db.minor) + ", schema " +
                 (db.schema.empty() ? std::string("(none)") : db.schema);
      if (db.major != 8)
        l.detail += "; the service needs interface version 8";
      else if (db.schema < db.expectedSchema)
        l.detail += "; behind " + db.expectedSchema + ": run corvex-db upgrade";
      else
        l.ok = true;
    }
    lines.push_back(l);
  }
  if (!service.answered) {
    lines.push_back({"service", false, "not answering at " + service.endpoint + ": " + service.error});
    return lines;
  }
  std::vector<metrics::Sample> samples;
  try {
    samples = metrics::ParseText(service.metricsText);
  } catch (const std::exception& e) {
    lines.push_back({"service", false, std::string("its metrics cannot be read: ") + e.what()});
    return lines;
  }
  lines.push_back({"service", true, "answering at " + service.endpoint});
  auto value = [&](const std::string& name, const std::map<std::string, std::string>& labels, double& v) {
    return metrics::FindSample(samples, name, labels, v);
  };
  double v = 0;
  if (!value("corvex_messaging_connected", {}, v))
    lines.push_back({"messaging", false, "state not reported"});
  else
    lines.push_back({"messaging", v == 1, v == 1 ? "connected" : "not connected"});

  double depth = 0, age = 0;
  if (!value("corvex_processing_queue_depth", {}, depth) || !value("corvex_processing_queue_oldest_age_seconds", {}, age))
    lines.push_back({"processing queue", false, "state not reported"});
  else
    lines.push_back({"processing queue", age <= limits.maxQueueAgeSeconds,
                     std::to_string(static_cast<long long>(depth)) + " waiting, oldest " + Seconds(age) +
                       (age > limits.maxQueueAgeSeconds ? " (more than " + Seconds(limits.maxQueueAgeSeconds) + ")" : "")});

  double last = 0;
  if (value("corvex_processing_last_pass_timestamp_seconds", {}, last) && last > 0)
    lines.push_back({"last pass", true, Seconds(std::max(0.0, now - last)) + " ago"});
  else
    lines.push_back({"last pass", true, "none since the service started"});

  double alive = 0;
  lines.push_back({"processing thread", value("corvex_thread_alive", {{"thread", "processing"}}, alive) && alive >= 1,
                   alive >= 1 ? "running" : "not running"});
  double tasks = 0, results = 0;
  value("corvex_thread_alive", {{"thread", "InstallTaskQueue"}}, tasks);
  value("corvex_thread_alive", {{"thread", "InstallResultQueue"}}, results);
  lines.push_back({"install threads", tasks >= 1 && results >= 1,
                   "task queue " + std::string(tasks >= 1 ? "running" : "not running") + ", result queue " +
                     (results >= 1 ? "running" : "not running")});
  double browse = 0, details = 0;
  value("corvex_thread_alive", {{"thread", "discovery_browse"}}, browse);
  value("corvex_thread_alive", {{"thread", "discovery_details"}}, details);
  lines.push_back({"discovery threads", browse >= 1 && details >= 1,
                   std::to_string(static_cast<int>(browse)) + " browsing, " + std::to_string(static_cast<int>(details)) +
                     " querying details"});
  return lines;
}

int Health(const std::vector<std::string>& args)
{
  HealthLimits limits;
  long timeoutMs = 3000;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const long n = i + 1 < args.size() ? Number(args[i + 1].c_str()) : -1;
    if (args[i] == "--max-age" && n > 0) {
      limits.maxQueueAgeSeconds = static_cast<double>(n);
      ++i;
    } else if (args[i] == "--timeout" && n > 0) {
      timeoutMs = n;
      ++i;
    } else {
      std::fprintf(stderr, "corvexctl: health [--max-age SECONDS] [--timeout MS]: \"%s\" is not understood\n", args[i].c_str());
      return 2;
    }
  }
  const DatabaseState db = ProbeDatabase();
  const ServiceState service = ProbeService(static_cast<int>(timeoutMs));
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  bool ok = true;
  for (const HealthLine& l : EvaluateHealth(db, service, limits, now)) {
    std::printf("%-18s %-4s %s\n", (l.part + ":").c_str(), l.ok ? "ok" : "FAIL", l.detail.c_str());
    ok = ok && l.ok;
  }
  return ok ? 0 : 1;
}

}  // namespace corvexctl
