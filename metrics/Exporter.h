#pragma once
// Serves a metrics registry over HTTP (GET /metrics) for a Prometheus server to scrape, on its
// own thread. The address is loopback unless configured otherwise: the figures tell how busy the
// service is, which is nobody else's business by default.
#include <memory>
#include <string>
#include <thread>

#include "metrics/Metrics.h"

namespace httplib {
class Server;
}

namespace metrics {

constexpr int kDefaultMetricsPort = 9475;     // the service's
constexpr int kDefaultWebMetricsPort = 9476;  // the web console's

struct ExporterSettings
{
  std::string address = "127.0.0.1";
  int port = kDefaultMetricsPort;  // 0: no exporter

  // "MetricsAddress" (text) and "MetricsPort" (number; 0 turns the exporter off) of a registry
  // key under HKLM; what is not set keeps its default. A port above 65535 reads as the default.
  static ExporterSettings FromRegistry(const std::wstring& key, int defaultPort = kDefaultMetricsPort);
};

class Exporter
{
public:
  explicit Exporter(const Registry& registry);
  ~Exporter();
  Exporter(const Exporter&) = delete;
  Exporter& operator=(const Exporter&) = delete;

  // Binds (port 0 here: any free port) and starts serving; false with the reason when the
  // address cannot be bound.
  bool Start(const std::string& address, int port, std::string& error);
  void Stop();
  int Port() const { return m_port; }

private:
  const Registry& m_registry;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  int m_port = 0;
};

// The process's exporter on the settings of `key` (see ExporterSettings). A port that is taken
// is reported and the process runs on without metrics; false then, or when turned off.
bool StartProcessExporter(const std::wstring& key, std::string& error, int defaultPort = kDefaultMetricsPort);
void StopProcessExporter();

// GETs http://address:port/metrics; false with the reason when nothing or not 200 answers.
bool Scrape(const std::string& address, int port, int timeoutMs, std::string& body, std::string& error);

}  // namespace metrics
