#include "tests/e2e/support/MessagingLocation.h"

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "messaging/Enrolment.h"

namespace e2e {

namespace {

constexpr char kServerProgram[] = "/usr/sbin/nats-server";

}  // namespace

bool MessagingLocation::ServerInstalled()
{
  return ::access(kServerProgram, X_OK) == 0;
}

std::string MessagingLocation::RelayProgram()
{
#ifdef CORVEX_RELAY_BIN
  return CORVEX_RELAY_BIN;
#else
  return "corvex-relay";
#endif
}

MessagingLocation::MessagingLocation(const std::string& folder, const std::vector<std::string>& clients,
                                     bool startRelay)
  : m_dir(folder + "/messaging"), m_port(FreeLoopbackPort())
{
  if (!ServerInstalled())
    throw std::runtime_error("nats-server is not installed");
  messaging::enrolment::ServerSettings settings;
  settings.host = "127.0.0.1";
  settings.listen = "127.0.0.1";
  settings.port = m_port;
  // A vanished client is noticed within seconds in a test.
  settings.pingIntervalSeconds = 1;
  settings.pingMax = 2;
  messaging::enrolment::Init(m_dir, settings);
  std::vector<std::string> all{"PTLManagementService"};
  for (const auto& c : clients)
    if (c != all.front())
      all.push_back(c);
  messaging::enrolment::Enrol(m_dir, all);
  StartServer();
  if (startRelay)
    StartRelay();
}

MessagingLocation::~MessagingLocation()
{
  m_relay.reset();   // SIGKILL when still running
  m_server.reset();
}

void MessagingLocation::Enrol(const std::vector<std::string>& addresses)
{
  messaging::enrolment::Enrol(m_dir, addresses);
  if (m_server && m_server->Running())
    messaging::enrolment::Reload(m_dir);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void MessagingLocation::Remove(const std::vector<std::string>& addresses)
{
  messaging::enrolment::Remove(m_dir, addresses);
  if (m_server && m_server->Running())
    messaging::enrolment::Reload(m_dir);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void MessagingLocation::WaitForPort(bool open)
{
  for (int i = 0; i < 200; ++i) {
    if (LoopbackPortOpen(m_port) == open)
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("nats-server did not " + std::string(open ? "open" : "close") + " its port");
}

void MessagingLocation::StartServer()
{
  m_server = std::make_unique<ChildProcess>(
      kServerProgram, std::vector<std::string>{"-c", messaging::enrolment::ConfigFile(m_dir)}, CurrentEnvironment(),
      m_dir + "/server-" + std::to_string(++m_serverStarts) + ".log");
  WaitForPort(true);
}

void MessagingLocation::StopServer(bool gracefully)
{
  if (!m_server)
    return;
  m_server->Signal(gracefully ? SIGTERM : SIGKILL);
  m_server->Wait(std::chrono::seconds(10));
  m_server.reset();
  WaitForPort(false);
}

void MessagingLocation::StartRelay()
{
  m_relay = std::make_unique<ChildProcess>(
      RelayProgram(), std::vector<std::string>{"--messaging", m_dir, "--log-level", "3", "--redeliver", "5"},
      CurrentEnvironment(), m_dir + "/relay-" + std::to_string(++m_relayStarts) + ".log");
  if (!m_relay->WaitForOutput("active on", std::chrono::seconds(20)))
    throw std::runtime_error("the relay did not start: " + m_relay->Output());
}

void MessagingLocation::StopRelay(bool gracefully)
{
  if (!m_relay)
    return;
  m_relay->Signal(gracefully ? SIGTERM : SIGKILL);
  m_relay->Wait(std::chrono::seconds(10));
  m_relay.reset();
}

bool MessagingLocation::RelayRunning()
{
  return m_relay && m_relay->Running();
}

std::string MessagingLocation::RelayLog() const
{
  return m_relay ? m_relay->Output() : std::string();
}

std::string MessagingLocation::ServerLog() const
{
  return m_server ? m_server->Output() : std::string();
}

}  // namespace e2e
