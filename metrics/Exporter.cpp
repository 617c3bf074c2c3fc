#include "metrics/Exporter.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "metrics/ServiceMetrics.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace metrics {

ExporterSettings ExporterSettings::FromRegistry(const std::wstring& key, int defaultPort)
{
  ExporterSettings s;
  s.port = defaultPort;
  CRegKey k;
  if (k.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ) != ERROR_SUCCESS)
    return s;
  std::wstring address;
  if (k.QueryStringValue(L"MetricsAddress", address) == ERROR_SUCCESS && !address.empty())
    s.address = ToUtf8(address);
  DWORD port = 0;
  if (k.QueryDWORDValue(L"MetricsPort", port) == ERROR_SUCCESS && port <= 65535)
    s.port = static_cast<int>(port);
  return s;
}

Exporter::Exporter(const Registry& registry) : m_registry(registry) {}

Exporter::~Exporter() { Stop(); }

bool Exporter::Start(const std::string& address, int port, std::string& error)
{
  Stop();
  m_server = std::make_unique<httplib::Server>();
  m_server->set_read_timeout(5, 0);
  m_server->set_write_timeout(5, 0);
  // The library's default adds SO_REUSEPORT, which lets a second process share the port and take
  // half the scrapes: a port in use must fail instead.
  m_server->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  m_server->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(m_registry.Render(), "text/plain; version=0.0.4; charset=utf-8");
  });
  if (port == 0) {
    m_port = m_server->bind_to_any_port(address);
    if (m_port <= 0) {
      error = "cannot bind " + address + " to any port";
      m_server.reset();
      m_port = 0;
      return false;
    }
  } else {
    if (!m_server->bind_to_port(address, port)) {
      error = "cannot bind " + address + ":" + std::to_string(port) + " (taken, or not an address of this machine)";
      m_server.reset();
      return false;
    }
    m_port = port;
  }
  auto ended = std::make_shared<std::atomic<bool>>(false);
  m_thread = std::thread([server = m_server.get(), ended] {
    server->listen_after_bind();
    ended->store(true);
  });
  // The server's stop() does nothing until its loop runs: a Stop() right after Start() (the
  // service told to stop as it comes up) would otherwise leave the loop running and wait forever.
  while (!m_server->is_running() && !ended->load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void Exporter::Stop()
{
  if (m_server)
    m_server->stop();
  if (m_thread.joinable())
    m_thread.join();
  m_server.reset();
  m_port = 0;
}

namespace {

std::mutex g_lock;
std::unique_ptr<Exporter> g_exporter;

}  // namespace

bool StartProcessExporter(const std::wstring& key, std::string& error, int defaultPort)
{
  const ExporterSettings settings = ExporterSettings::FromRegistry(key, defaultPort);
  std::lock_guard lock(g_lock);
  g_exporter.reset();
  if (settings.port == 0) {
    error = "turned off (MetricsPort 0)";
    return false;
  }
  auto exporter = std::make_unique<Exporter>(Process());
  if (!exporter->Start(settings.address, settings.port, error))
    return false;
  g_exporter = std::move(exporter);
  return true;
}

void StopProcessExporter()
{
  std::lock_guard lock(g_lock);
  g_exporter.reset();
}

bool Scrape(const std::string& address, int port, int timeoutMs, std::string& body, std::string& error)
{
  httplib::Client client(address, port);
  const time_t sec = timeoutMs / 1000;
  const time_t usec = (timeoutMs % 1000) * 1000;
  client.set_connection_timeout(sec, usec);
  client.set_read_timeout(sec, usec);
  const auto res = client.Get("/metrics");
  if (!res) {
    error = "no answer from " + address + ":" + std::to_string(port) + " (" + httplib::to_string(res.error()) + ")";
    return false;
  }
  if (res->status != 200) {
    error = address + ":" + std::to_string(port) + " answered HTTP " + std::to_string(res->status);
    return false;
  }
  body = res->body;
  return true;
}

}  // namespace metrics
