#pragma once
// A messaging location of a test's own: nats-server with a generated configuration on a free
// loopback port, and the relay beside it, in a scratch folder; both are stopped by their PIDs
// whatever happens. Clients are enrolled before they connect.
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/support/ProcessRunner.h"

namespace e2e {

class MessagingLocation
{
public:
  // Enrols the service's address and the given clients, starts the server and, unless told
  // not to, the relay. Skips nothing: std::runtime_error when nats-server is missing.
  explicit MessagingLocation(const std::string& folder, const std::vector<std::string>& clients = {},
                             bool startRelay = true);
  ~MessagingLocation();

  const std::string& Directory() const { return m_dir; }
  int Port() const { return m_port; }

  void Enrol(const std::vector<std::string>& addresses);
  void Remove(const std::vector<std::string>& addresses);  // and has the server reload

  void StartServer();
  // SIGKILL, or SIGTERM when `gracefully`; waits for the process to end.
  void StopServer(bool gracefully = false);
  void StartRelay();
  void StopRelay(bool gracefully = false);
  bool RelayRunning();
  std::string RelayLog() const;
  std::string ServerLog() const;

  static bool ServerInstalled();
  static std::string RelayProgram();

private:
  void WaitForPort(bool open);

  std::string m_dir;
  int m_port = 0;
  std::unique_ptr<ChildProcess> m_server;
  std::unique_ptr<ChildProcess> m_relay;
  int m_serverStarts = 0;
  int m_relayStarts = 0;
};

}  // namespace e2e
