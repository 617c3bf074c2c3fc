#pragma once
// A TCP forwarder on loopback standing for the network between a site and the head office: a
// test cuts it (every connection through it closes and no new one is taken) and restores it.
#include <atomic>
#include <list>
#include <mutex>
#include <thread>

namespace scale_test {

class LinkProxy
{
public:
  // Listens on listenPort and forwards each connection to targetPort, both on 127.0.0.1.
  LinkProxy(int listenPort, int targetPort);
  ~LinkProxy();
  LinkProxy(const LinkProxy&) = delete;
  LinkProxy& operator=(const LinkProxy&) = delete;

  void Cut();
  void Restore();
  // Connections carried since the start (a reconnection counts anew).
  int Accepted() const { return m_accepted; }

private:
  void Listen();
  void AcceptLoop();
  void Pump(int a, int b);

  const int m_listenPort;
  const int m_targetPort;
  std::atomic<bool> m_open{false};
  std::atomic<int> m_accepted{0};
  int m_listener = -1;
  std::thread m_acceptor;
  std::mutex m_mutex;
  std::list<std::thread> m_pumps;
  std::list<int> m_sockets;
};

}  // namespace scale_test
