#include "web/Sessions.h"

#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace corvexweb {

std::string RandomToken(std::size_t bytes)
{
  std::vector<unsigned char> raw(bytes);
  if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1)
    throw std::runtime_error("no random bytes for a session token");
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes * 2);
  for (unsigned char b : raw) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

bool ConstantTimeEquals(const std::string& a, const std::string& b)
{
  if (a.size() != b.size())
    return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string SessionStore::Create(const std::string& user, Clock::time_point now)
{
  std::string token = RandomToken();
  std::lock_guard lock(m_mutex);
  m_sessions[token] = Session{user, RandomToken(), now};
  return token;
}

std::optional<SessionStore::Session> SessionStore::Use(const std::string& token, Clock::time_point now)
{
  std::lock_guard lock(m_mutex);
  if (now - m_lastSweep > m_idle) {
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
      it = now - it->second.lastUsed > m_idle ? m_sessions.erase(it) : std::next(it);
    m_lastSweep = now;
  }
  const auto it = m_sessions.find(token);
  if (it == m_sessions.end())
    return std::nullopt;
  if (now - it->second.lastUsed > m_idle) {
    m_sessions.erase(it);
    return std::nullopt;
  }
  it->second.lastUsed = now;
  return it->second;
}

void SessionStore::Remove(const std::string& token)
{
  std::lock_guard lock(m_mutex);
  m_sessions.erase(token);
}

std::size_t SessionStore::Count() const
{
  std::lock_guard lock(m_mutex);
  return m_sessions.size();
}

long LoginThrottle::RetryAfter(const std::string& key, Clock::time_point now)
{
  const auto it = m_records.find(key);
  if (it == m_records.end() || it->second.lockedUntil <= now)
    return 0;
  return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(it->second.lockedUntil - now).count());
}

void LoginThrottle::Failed(const std::string& key, Clock::time_point now)
{
  Record& r = m_records[key];
  if (now - r.windowStart > m_window) {
    r.failures = 0;
    r.windowStart = now;
  }
  if (++r.failures >= m_limit) {
    r.lockedUntil = now + m_lockout;
    r.failures = 0;
    r.windowStart = now;
  }
}

long LoginThrottle::RetryAfter(const std::string& address, const std::string& user, Clock::time_point now)
{
  std::lock_guard lock(m_mutex);
  return std::max(RetryAfter("address " + address, now), RetryAfter("account " + user, now));
}

void LoginThrottle::Failed(const std::string& address, const std::string& user, Clock::time_point now)
{
  std::lock_guard lock(m_mutex);
  Failed("address " + address, now);
  Failed("account " + user, now);
  // Forget clients long quiet, so that a scan of many addresses cannot grow the table forever.
  if (m_records.size() > 10000)
    for (auto it = m_records.begin(); it != m_records.end();)
      it = it->second.lockedUntil <= now && now - it->second.windowStart > m_window ? m_records.erase(it) : std::next(it);
}

void LoginThrottle::Succeeded(const std::string& address, const std::string& user)
{
  std::lock_guard lock(m_mutex);
  m_records.erase("account " + user);
  const auto it = m_records.find("address " + address);
  if (it != m_records.end())
    it->second.failures = 0;
}

}  // namespace corvexweb
