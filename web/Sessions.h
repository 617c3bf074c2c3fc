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

// What a signed-in account may do: administrators change, viewers only look.
enum class Role
{
  Administrator,
  Viewer
};
const char* RoleName(Role role);

class SessionStore
{
public:
  using Clock = std::chrono::steady_clock;
  struct Session
  {
    std::string user;
    std::string csrf;
    Clock::time_point lastUsed;
    Role role = Role::Administrator;
  };

  explicit SessionStore(std::chrono::seconds idle) : m_idle(idle) {}

  // A new session for the account; returns its token.
  std::string Create(const std::string& user, Clock::time_point now = Clock::now());
  std::string Create(const std::string& user, Role role, Clock::time_point now = Clock::now());
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

struct LoginLimits
{
  // Attempts one address may make for one account in a lockout period.
  int attempts = 5;
  // Failures of one account from all addresses in a lockout period that put it under attack.
  int accountAttempts = 20;
  std::chrono::seconds lockout{300};
};

// Log-in attempts are counted before the password is checked, in the same step as the check of
// the count, so that guesses sent in parallel cannot pass the limit. Each address may try each
// account `attempts` times in a lockout period; an attempt stays counted unless it succeeds.
// An account that fails `accountAttempts` times from all addresses together is under attack:
// each address then has one attempt per lockout period for it, so that a guesser needs a fresh
// address for every guess, while the administrator, from an address that has not failed,
// still gets in. An address is never locked out for an account it has not failed for, except
// when it fails for many accounts (four times `attempts`).
class LoginThrottle
{
public:
  using Clock = std::chrono::steady_clock;
  explicit LoginThrottle(LoginLimits limits) : m_limits(limits) {}

  // Counts an attempt and admits it (0), or refuses it with the seconds to wait before this
  // address may try this account again.
  long Begin(const std::string& address, const std::string& user, Clock::time_point now = Clock::now());
  // The admitted attempt succeeded: it is taken back, and the address starts afresh for the
  // account.
  void Succeeded(const std::string& address, const std::string& user);
  // The admitted attempt was never checked: it is taken back.
  void Withdraw(const std::string& address, const std::string& user);
  // Whether the account is under attack now.
  bool UnderAttack(const std::string& user, Clock::time_point now = Clock::now());

private:
  struct Record
  {
    int failures = 0;
    Clock::time_point windowStart{};
  };
  // The record with its count restarted when its period has passed.
  Record& Current(const std::string& key, Clock::time_point now);
  long Wait(const Record& r, Clock::time_point now) const;

  LoginLimits m_limits;
  std::mutex m_mutex;
  std::map<std::string, Record> m_records;
};

}  // namespace corvexweb
