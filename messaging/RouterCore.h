#pragma once
// The router's routing: sessions of logged-on clients, the letters waiting for each address,
// delivery in order per client on a pool of sender threads, expiry, delivery-failure notices,
// the router's own messages (destination ":") and logon/logoff notices. CORBA stays outside:
// a client's inbox is an IInbox, so the core can be driven directly.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "idl/MessageRouter.hh"
#include "messaging/LetterStore.h"
#include "messaging/RouterLog.h"

namespace router {

enum class PushResult
{
  Delivered,    // all taken
  Busy,         // only `taken` of them; the client takes no more for now, try again shortly
  Unreachable,  // the client is gone; it is logged off
  Failed,       // these envelopes cannot be delivered as they are
};

// A logged-on client's inbox.
class IInbox
{
public:
  virtual ~IInbox() = default;
  // Hands over envelopes in order; `taken` is how many the client took from the front.
  virtual PushResult Push(const CorvexRouter::Envelope_seq& envelopes, std::size_t& taken) = 0;
  // Whether the client still answers.
  virtual bool Alive() = 0;
};

struct RouterOptions
{
  std::string name = "corvex-router";
  std::filesystem::path dataDirectory = "/var/lib/corvex-router";
  int senderThreads = 4;
  // Time to live of the router's own letters (replies, notices, returned letters).
  long noticeTtlSeconds = 1209600;
  // A client that has not been heard of for this long is asked whether it still answers.
  long heartbeatSeconds = 30;
  // How long envelopes pushed to a client that has never confirmed are kept for another push
  // should it log on again; 0: forgotten once pushed.
  long confirmTimeoutSeconds = 30;
  // UTC seconds; replaceable so that tests can move time.
  std::function<std::int64_t()> clock;
};

class RouterCore
{
public:
  // Loads the known addresses and the waiting letters; std::runtime_error when the data
  // directory cannot be used.
  RouterCore(RouterOptions options, RouterLog& log);
  ~RouterCore();
  RouterCore(const RouterCore&) = delete;
  RouterCore& operator=(const RouterCore&) = delete;

  // Starts the sender threads and the housekeeping thread (expiry, liveness, retries).
  void Start();
  // Stops the threads and writes every letter still waiting to disk.
  void Stop();

  const std::string& Name() const { return m_options.name; }

  // Returns the session key. Throws CorvexMessaging::Rejected (invalid address, the router's
  // own name) or CorvexMessaging::AlreadyLoggedOn (a live client holds the address).
  std::string Logon(const std::string& address, std::shared_ptr<IInbox> inbox);
  // Throws CorvexMessaging::NotLoggedOn when the session is not the address's.
  void Logoff(const std::string& address, const std::string& session);
  // The letter's id, 0 when refused. Throws CorvexMessaging::NotLoggedOn.
  CorvexMessaging::MessageId Send(const std::string& address, const std::string& session,
                                  const CorvexMessaging::Message& letter);
  bool Heartbeat(const std::string& address, const std::string& session);
  // Forgets the client's envelopes with these ids and makes the client a confirming one.
  // Throws CorvexMessaging::NotLoggedOn.
  void Confirm(const std::string& address, const std::string& session,
               const std::vector<CorvexMessaging::MessageId>& ids);

  // One pass of what the housekeeping thread does: expired letters go back to their senders,
  // quiet clients are asked whether they still answer, busy clients are retried.
  void Housekeeping();

  CorvexMessaging::Status GetStatus() const;
  // Letters waiting for an address, and those pushed but not confirmed (tests and status).
  std::size_t Waiting(const std::string& address) const;
  std::size_t Unconfirmed(const std::string& address) const;

private:
  struct Letter
  {
    CorvexMessaging::Envelope envelope;
    std::int64_t expires = 0;
    bool stored = false;
    bool inFlight = false;  // being pushed: expiry leaves it alone
    std::int64_t pushedAt = 0;
  };
  using LetterPtr = std::shared_ptr<Letter>;

  struct Client
  {
    std::string address;
    std::shared_ptr<IInbox> inbox;  // null while offline
    std::string session;
    std::deque<LetterPtr> pending;
    std::deque<LetterPtr> unconfirmed;  // pushed, in the order they were pushed
    bool confirming = false;            // has confirmed at least once: keep letters on disk
    bool scheduled = false;
    bool oneByOne = false;  // the last batch failed: find the letter that cannot go
    std::chrono::steady_clock::time_point retryAt{};
    std::int64_t lastContact = 0;
    bool subscribed = false;  // to logon/logoff notices
    std::string noticePrefix;
  };

  std::int64_t Now() const;
  Client* Find(const std::string& address);
  const Client* Find(const std::string& address) const;
  Client& Known(const std::string& address);
  Client* Session(const std::string& address, const std::string& session);

  // All with m_mutex held.
  CorvexMessaging::Envelope Wrap(const std::string& originator, const CorvexMessaging::Message& message);
  void Route(CorvexMessaging::Envelope envelope);
  void SendFromRouter(const std::string& destination, const std::string& type, const CORBA::Any& payload);
  void ReturnToSender(const CorvexMessaging::Envelope& envelope, const char* suffix);
  bool HandleRouterMessage(Client& sender, const CorvexMessaging::Envelope& envelope);
  void Notify(const Client& about, bool logon);
  void GoOffline(Client& client, const std::string& why);
  void BecomeConfirming(Client& client);
  void Store(Letter& letter);
  void Unstore(Letter& letter);
  void Schedule(Client& client);
  CorvexMessaging::Status StatusLocked() const;

  void SenderThread();
  void HousekeepingThread();
  void Log(int level, const std::string& text) { m_log.Write(level, text); }

  RouterOptions m_options;
  RouterLog& m_log;
  LetterStore m_store;

  mutable std::mutex m_mutex;
  std::condition_variable m_ready;
  std::condition_variable m_tick;
  std::unordered_map<std::string, std::unique_ptr<Client>> m_clients;
  std::set<std::string> m_known;
  std::set<std::string> m_confirming;
  std::deque<Client*> m_readyClients;
  std::int64_t m_lastSweep = -1;
  bool m_stopping = false;
  bool m_started = false;
  std::vector<std::thread> m_threads;
};

}  // namespace router
