#pragma once
// Shared pieces of the messaging tests: a process-wide ORB, temporary directories, and a
// receiver that records what the client library hands over.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"
#include "messaging/ClientLibrary.h"

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

// Records what the client library hands to a receiver.
class TestReceiver : public ZiriviridUrurezArevudUza::IEnvelopeReceiver
{
public:
  void Receive(const CorvexMessaging::Envelope& envelope) override
  {
    if (onReceive)
      onReceive(envelope);
    std::lock_guard lock(m_mutex);
    m_envelopes.push_back(envelope);
    m_changed.notify_all();
  }
  void NotifyConnection(bool connected) override
  {
    std::lock_guard lock(m_mutex);
    m_notices.push_back(connected);
    m_changed.notify_all();
  }
  bool WaitEnvelopes(std::size_t n, std::chrono::seconds timeout = std::chrono::seconds(10))
  {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_envelopes.size() >= n; });
  }
  bool WaitNotices(std::size_t n, std::chrono::seconds timeout = std::chrono::seconds(10))
  {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_notices.size() >= n; });
  }
  std::vector<CorvexMessaging::Envelope> Envelopes()
  {
    std::lock_guard lock(m_mutex);
    return m_envelopes;
  }
  std::vector<bool> Notices()
  {
    std::lock_guard lock(m_mutex);
    return m_notices;
  }
  std::function<void(const CorvexMessaging::Envelope&)> onReceive;

private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<CorvexMessaging::Envelope> m_envelopes;
  std::vector<bool> m_notices;
};

CorvexMessaging::Message MakeMessage(const std::string& destination, const std::string& type, long ttl = 60);

}  // namespace messaging_test
