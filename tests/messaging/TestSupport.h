#pragma once
// Shared pieces of the messaging tests: a process-wide ORB, temporary directories, and an
// inbox that records what the router pushes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"
#include "messaging/RouterCore.h"

namespace messaging_test {

// Wide strings and type codes in CDR need an initialised ORB.
void EnsureOrb();

// A fresh directory under /tmp, removed when the object goes.
class TempDir
{
public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& Path() const { return m_path; }

private:
  std::filesystem::path m_path;
};

class RecordingInbox : public router::IInbox
{
public:
  router::PushResult Push(const CorvexMessaging::Envelope& envelope) override;
  bool Alive() override;

  // Waits until at least n envelopes arrived; false on time-out.
  bool WaitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::vector<CorvexMessaging::Envelope> Received();
  std::vector<std::string> Types();

  void SetBusyTimes(int n);
  void SetUnreachable(bool unreachable);
  void SetAlive(bool alive);

private:
  std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::vector<CorvexMessaging::Envelope> m_received;
  int m_busyTimes = 0;
  bool m_unreachable = false;
  bool m_alive = true;
};

CorvexMessaging::Message MakeMessage(const std::string& destination, const std::string& type, long ttl = 60);

}  // namespace messaging_test
