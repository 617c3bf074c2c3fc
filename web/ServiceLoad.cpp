#include "web/ServiceLoad.h"

#include <map>
#include <stdexcept>
#include <vector>

#include "metrics/Exporter.h"
#include "metrics/Metrics.h"

namespace corvexweb {

namespace {
const wchar_t* const kServiceKey = L"SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service";
constexpr int kScrapeTimeoutMs = 1000;
}  // namespace

bool ReadLoadSample(const std::string& text, LoadSample& sample, std::string& error)
{
  std::vector<metrics::Sample> samples;
  try {
    samples = metrics::ParseText(text);
  } catch (const std::exception& e) {
    error = std::string("the service's metrics do not read: ") + e.what();
    return false;
  }
  if (!metrics::FindSample(samples, "corvex_processing_queue_depth", {}, sample.queueDepth) ||
      !metrics::FindSample(samples, "corvex_processing_queue_oldest_age_seconds", {}, sample.oldestAgeSeconds)) {
    error = "the service's metrics have no processing queue";
    return false;
  }
  sample.appliedTotal = 0;
  for (const metrics::Sample& s : samples)
    if (s.name == "corvex_envelopes_applied_total")
      sample.appliedTotal += s.value;
  return true;
}

ServiceLoad::ServiceLoad()
{
  const metrics::ExporterSettings settings = metrics::ExporterSettings::FromRegistry(kServiceKey);
  m_address = settings.address;
  m_port = settings.port;
}

nlohmann::json ServiceLoad::Now()
{
  if (m_port == 0)
    return {{"Answered", false}, {"Error", "the service's metrics are turned off (MetricsPort 0)"}};
  std::string body, error;
  LoadSample sample;
  if (!metrics::Scrape(m_address, m_port, kScrapeTimeoutMs, body, error) || !ReadLoadSample(body, sample, error))
    return {{"Answered", false}, {"Error", error}};
  return Take(sample, Clock::now());
}

nlohmann::json ServiceLoad::Take(const LoadSample& sample, Clock::time_point at)
{
  std::lock_guard lock(m_mutex);
  if (m_last && sample.appliedTotal < m_last->second)
    m_previous.reset(), m_last.reset();  // the service started again: its counters did too
  // A sample is kept when the last kept one is a second old or more; the rate is taken against
  // the one kept before the newest, so it always spans a second or more.
  if (!m_last || at - m_last->first >= kMinInterval) {
    m_previous = m_last;
    m_last = std::make_pair(at, sample.appliedTotal);
  }
  nlohmann::json out{{"Answered", true}, {"QueueDepth", sample.queueDepth}, {"OldestAgeSeconds", sample.oldestAgeSeconds},
                     {"AppliedPerSecond", nullptr}};
  if (m_previous && at > m_previous->first) {
    const double seconds = std::chrono::duration<double>(at - m_previous->first).count();
    out["AppliedPerSecond"] = (sample.appliedTotal - m_previous->second) / seconds;
  }
  return out;
}

}  // namespace corvexweb
