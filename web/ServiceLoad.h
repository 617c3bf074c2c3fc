#pragma once
// The service's load as the overview shows it: the processing queue's depth, the age of its
// oldest item and the rate at which envelopes are applied, read from the service's own metrics
// endpoint (the counters monitoring scrapes), so that the console and monitoring never disagree.
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace corvexweb {

struct LoadSample
{
  double queueDepth = 0;
  double oldestAgeSeconds = 0;
  double appliedTotal = 0;  // every message type's applied envelopes together
};

// Reads a sample from exposition text; false with the reason when a series is missing or the
// text does not read.
bool ReadLoadSample(const std::string& text, LoadSample& sample, std::string& error);

class ServiceLoad
{
public:
  using Clock = std::chrono::steady_clock;

  // Where the service's endpoint is: "MetricsAddress"/"MetricsPort" under its registry key.
  ServiceLoad();
  ServiceLoad(std::string address, int port) : m_address(std::move(address)), m_port(port) {}

  // {"Answered": true, "QueueDepth", "OldestAgeSeconds", "AppliedPerSecond"} or
  // {"Answered": false, "Error"}. AppliedPerSecond is null until two samples at least
  // kMinInterval apart were taken (and after the service restarted, since its counters did).
  nlohmann::json Now();
  // The same from a sample taken at `at` (what Now does once it has scraped).
  nlohmann::json Take(const LoadSample& sample, Clock::time_point at);

  static constexpr std::chrono::seconds kMinInterval{1};

private:
  std::string m_address;
  int m_port = 0;
  std::mutex m_mutex;
  std::optional<std::pair<Clock::time_point, double>> m_previous, m_last;
};

}  // namespace corvexweb
