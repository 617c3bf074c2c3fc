#pragma once
// Signed-in browsers: each session is a random token (the cookie) with the account it belongs to
// and its own CSRF token; a session not used for the idle time ends.
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace corvexweb {

// `bytes` random bytes from the system's generator, as lower-case hex.
std::string RandomToken(std::size_t bytes = 32);
// Compares without stopping at the first difference, so that the time taken says nothing about
// how much of a guess was right.
bool ConstantTimeEquals(const std::string& a, const std::string& b);

class SessionStore
{
public:
  using Clock = std::chrono::steady_clock;
  struct Session
  {
    std::string user;
    std::string csrf;
    Clock::time_point lastUsed;
  };

  explicit SessionStore(std::chrono::seconds idle) : m_idle(idle) {}

  // A new session for the account; returns its token.
  std::string Create(const std::string& user, Clock::time_point now = Clock::now());
  // The session of a token, its idle time restarted; none when unknown or idle too long (it is
  // then forgotten). Expired sessions of others are swept on the way.
  std::optional<Session> Use(const std::string& token, Clock::time_point now = Clock::now());
  void Remove(const std::string& token);
  std::size_t Count() const;

private:
  std::chrono::seconds m_idle;
  mutable std::mutex m_mutex;
  std::map<std::string, Session> m_sessions;
  Clock::time_point m_lastSweep{};
};

// Failed log-ins are counted per client address and per account name: after `limit` failures
// within `window`, that key is refused for `lockout` (a success clears the account's count).
class LoginThrottle
{
public:
  using Clock = std::chrono::steady_clock;
  LoginThrottle(int limit, std::chrono::seconds window, std::chrono::seconds lockout)
    : m_limit(limit), m_window(window), m_lockout(lockout)
  {
  }

  // Seconds to wait before this address or account may try again; 0 when it may now.
  long RetryAfter(const std::string& address, const std::string& user, Clock::time_point now = Clock::now());
  void Failed(const std::string& address, const std::string& user, Clock::time_point now = Clock::now());
  void Succeeded(const std::string& address, const std::string& user);

private:
  struct Record
  {
    int failures = 0;
    Clock::time_point windowStart{};
    Clock::time_point lockedUntil{};
  };
  long RetryAfter(const std::string& key, Clock::time_point now);
  void Failed(const std::string& key, Clock::time_point now);

  int m_limit;
  std::chrono::seconds m_window;
  std::chrono::seconds m_lockout;
  std::mutex m_mutex;
  std::map<std::string, Record> m_records;
};

}  // namespace corvexweb
