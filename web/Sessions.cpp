#include "web/Sessions.h"

#include <openssl/rand.h>

#include <algorithm>
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

const char* RoleName(Role role)
{
  return role == Role::Viewer ? "viewer" : "administrator";
}

std::string SessionStore::Create(const std::string& user, Clock::time_point now)
{
  return Create(user, Role::Administrator, now);
}

std::string SessionStore::Create(const std::string& user, Role role, Clock::time_point now)
{
  std::string token = RandomToken();
  std::lock_guard lock(m_mutex);
  m_sessions[token] = Session{user, RandomToken(), now, role};
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

LoginThrottle::Record& LoginThrottle::Current(const std::string& key, Clock::time_point now)
{
  Record& r = m_records[key];
  if (r.failures == 0 || now - r.windowStart >= m_limits.lockout) {
    r.failures = 0;
    r.windowStart = now;
  }
  return r;
}

long LoginThrottle::Wait(const Record& r, Clock::time_point now) const
{
  return std::max(1L, static_cast<long>(std::chrono::ceil<std::chrono::seconds>(r.windowStart + m_limits.lockout - now).count()));
}

long LoginThrottle::Begin(const std::string& address, const std::string& user, Clock::time_point now)
{
  std::lock_guard lock(m_mutex);
  // Forget keys whose period has passed, so that a scan of many addresses or names cannot grow
  // the table forever.
  if (m_records.size() > 10000)
    for (auto it = m_records.begin(); it != m_records.end();)
      it = now - it->second.windowStart >= m_limits.lockout ? m_records.erase(it) : std::next(it);

  Record& pair = Current("pair " + user + "\n" + address, now);
  Record& from = Current("address " + address, now);
  Record& account = Current("account " + user, now);
  const int allowed = account.failures >= m_limits.accountAttempts ? 1 : m_limits.attempts;
  if (pair.failures >= allowed)
    return Wait(pair, now);
  if (from.failures >= 4 * m_limits.attempts)
    return Wait(from, now);
  ++pair.failures;
  ++from.failures;
  ++account.failures;
  return 0;
}

void LoginThrottle::Succeeded(const std::string& address, const std::string& user)
{
  std::lock_guard lock(m_mutex);
  m_records.erase("pair " + user + "\n" + address);
  for (const std::string& key : {"address " + address, "account " + user}) {
    const auto it = m_records.find(key);
    if (it != m_records.end() && it->second.failures > 0)
      --it->second.failures;
  }
}

void LoginThrottle::Withdraw(const std::string& address, const std::string& user)
{
  std::lock_guard lock(m_mutex);
  for (const std::string& key : {"pair " + user + "\n" + address, "address " + address, "account " + user}) {
    const auto it = m_records.find(key);
    if (it != m_records.end() && it->second.failures > 0)
      --it->second.failures;
  }
}

bool LoginThrottle::UnderAttack(const std::string& user, Clock::time_point now)
{
  std::lock_guard lock(m_mutex);
  return Current("account " + user, now).failures >= m_limits.accountAttempts;
}

}  // namespace corvexweb
