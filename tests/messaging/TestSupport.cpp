#include "tests/messaging/TestSupport.h"

#include <cstdlib>

#include "messaging/Letters.h"

namespace messaging_test {

void EnsureOrb()
{
  static CORBA::ORB_var orb = [] {
    int argc = 0;
    return CORBA::ORB_init(argc, nullptr);
  }();
}

TempDir::TempDir()
{
  std::string pattern = (std::filesystem::temp_directory_path() / "corvex-msg-XXXXXX").string();
  if (!mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir()
{
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

router::PushResult RecordingInbox::Push(const CorvexRouter::Envelope_seq& envelopes, std::size_t& taken)
{
  std::lock_guard lock(m_mutex);
  taken = 0;
  if (m_unreachable)
    return router::PushResult::Unreachable;
  if (m_busyTimes > 0) {
    --m_busyTimes;
    return router::PushResult::Busy;
  }
  for (; taken < envelopes.length() && (m_takeAtMost == 0 || taken < m_takeAtMost); ++taken)
    m_received.push_back(envelopes[static_cast<CORBA::ULong>(taken)]);
  m_batches.push_back(taken);
  m_arrived.notify_all();
  return taken == envelopes.length() ? router::PushResult::Delivered : router::PushResult::Busy;
}

bool RecordingInbox::Alive()
{
  std::lock_guard lock(m_mutex);
  return m_alive;
}

bool RecordingInbox::WaitFor(std::size_t n, std::chrono::milliseconds timeout)
{
  std::unique_lock lock(m_mutex);
  return m_arrived.wait_for(lock, timeout, [&] { return m_received.size() >= n; });
}

std::vector<CorvexMessaging::Envelope> RecordingInbox::Received()
{
  std::lock_guard lock(m_mutex);
  return m_received;
}

std::vector<std::string> RecordingInbox::Types()
{
  std::lock_guard lock(m_mutex);
  std::vector<std::string> types;
  for (const auto& e : m_received)
    types.emplace_back(e.client_info.type.in());
  return types;
}

void RecordingInbox::SetBusyTimes(int n)
{
  std::lock_guard lock(m_mutex);
  m_busyTimes = n;
}

void RecordingInbox::SetTakeAtMost(std::size_t n)
{
  std::lock_guard lock(m_mutex);
  m_takeAtMost = n;
}

std::vector<std::size_t> RecordingInbox::Batches()
{
  std::lock_guard lock(m_mutex);
  return m_batches;
}

void RecordingInbox::SetUnreachable(bool unreachable)
{
  std::lock_guard lock(m_mutex);
  m_unreachable = unreachable;
}

void RecordingInbox::SetAlive(bool alive)
{
  std::lock_guard lock(m_mutex);
  m_alive = alive;
}

CorvexMessaging::Message MakeMessage(const std::string& destination, const std::string& type, long ttl)
{
  return messaging::MakeLetter(destination, type, ttl);
}

}  // namespace messaging_test
