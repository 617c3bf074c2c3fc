#pragma once
// One connection of the client library: logs an address on to the messaging server and our
// relay, keeps it logged on, sends letters and hands delivered envelopes to the receiver on its
// own delivery thread, in the order they came.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "idl/CorvexMessaging.hh"
#include "messaging/ClientLibrary.h"
#include "messaging/NatsLink.h"

namespace ZiriviridUrurezArevudUza::detail {

class ClientConnection final : public IConnection
{
public:
  // Reads the location and the address's credential (std::runtime_error when either is
  // missing); logs on once Configure has been called. onRelease is called once, from Release,
  // before the connection is freed. senderRate: letters from one agent taken in a second of
  // their acceptance, the rest refused (0: no limit).
  ClientConnection(IEnvelopeReceiver* receiver, std::string address, const std::string& directory,
                   std::function<void(ClientConnection*)> onRelease, int senderRate = 0);

  CorvexMessaging::MessageId Send(const CorvexMessaging::Message& message) override;
  void Release() override;
  void Configure(long maxQueued, long heartbeatSeconds) override;
  void ConfirmExplicitly() override;
  void Confirm(CorvexMessaging::MessageId id) override;
  std::string Address() const override { return m_address; }
  bool IsConnected() const override;

  // The relay's name when this connection built and sealed the envelope, else empty; the
  // delivery key it carries goes to `key`.
  std::string SealingRouter(const CorvexMessaging::Envelope& envelope, std::string* key = nullptr) const;

private:
  ~ClientConnection() override;

  // A delivery as it came, before it becomes an envelope.
  struct Delivery
  {
    std::uint64_t sequence = 0;
    std::int64_t timeNs = 0;
    std::string originator;
    std::string epoch;
    std::string router;
    std::string ackTarget;
    std::string data;
  };

  struct Item
  {
    bool notice = false;  // a connection change rather than an envelope
    bool connected = false;
    Delivery delivery;                   // what came, read on the delivery thread
    CorvexMessaging::Envelope envelope;  // ... into this
    std::string ackTarget;  // a JetStream ack subject, or the relay's sequence as text
  };

  static void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
  static void OnDisconnected(natsConnection*, void* closure);
  static void OnReconnected(natsConnection*, void* closure);
  static void OnError(natsConnection*, natsSubscription*, natsStatus status, void* closure);

  void Accept(natsMsg* msg);
  void Admit(Delivery delivery);
  void AdmitLocked(Delivery delivery);  // m_mutex held
  void OpenDelivery();                  // m_mutex held: what waited aside goes in, the rest follows
  bool Build(const Delivery& delivery, CorvexMessaging::Envelope& envelope);
  void Monitor();
  void Deliver();
  bool Connect();
  bool LogOn();
  // "<server id> <client id>" of the connection as it is now; empty without one.
  std::string SessionIdentity() const;
  void LogOff();
  void Lost(const char* why);
  void QueueNotice(bool connected);  // m_mutex held
  void ConfirmNow(const std::string& target);
  void FlushAgentAcks();
  // The relay's answer to a request (empty when there was none in time).
  std::string Request(const char* command, const void* data, int size, int timeoutMs);
  CorvexMessaging::MessageId Publish(const CorvexMessaging::Message& message);
  std::string Seal(const CorvexMessaging::Envelope& envelope, const std::string& key) const;

  IEnvelopeReceiver* const m_receiver;
  const std::string m_address;
  const bool m_service;
  messaging::ServerLocation m_location;
  std::unique_ptr<messaging::NKeyIdentity> m_identity;
  std::function<void(ClientConnection*)> m_onRelease;
  const std::string m_sessionKey;  // seals what this connection builds
  using Link = messaging::CallbackLink<ClientConnection>;
  Link* const m_link;

  // libnats objects, made by the monitor thread and used under a shared lock: a send waiting
  // for its acknowledgement must not hold up a confirmation sent from libnats' delivery thread,
  // which is also the thread that brings that acknowledgement.
  mutable std::shared_mutex m_natsMutex;
  messaging::NatsPtr<natsConnection> m_nc;
  messaging::NatsPtr<jsCtx> m_js;
  messaging::NatsPtr<natsSubscription> m_sub;

  mutable std::mutex m_mutex;
  std::condition_variable m_monitorWake;
  std::condition_variable m_deliveryWake;
  std::deque<Item> m_inbox;
  std::size_t m_queuedEnvelopes = 0;
  long m_maxQueued = 0;
  long m_heartbeatSeconds = 10;
  bool m_explicitConfirmation = false;
  bool m_configured = false;
  bool m_stopping = false;
  bool m_connected = false;   // logged on with the relay: letters may be sent
  bool m_accepting = false;   // deliveries go to the receiver rather than aside (m_early)
  bool m_markSeen = false;    // the relay's mark after this session's logon came
  std::chrono::steady_clock::time_point m_loggedOnAt;
  bool m_needLogon = false;   // the server connection came back: log on again
  std::string m_routerName;
  std::string m_epoch;        // the identity of the stream this address's letters come from
  std::unordered_map<CorvexMessaging::MessageId, std::string> m_unconfirmed;  // explicit confirmation
  std::unordered_set<std::uint64_t> m_inFlight;  // sequences delivered and not yet confirmed
  std::uint64_t m_lastRelaySequence = 0;        // relay deliveries come in stream order
  std::map<std::uint64_t, Delivery> m_early;    // deliveries before the logon was answered
  std::vector<std::string> m_agentAcks;          // relay sequences to confirm, sent in batches
  std::unordered_set<std::string> m_refusedSenders;  // senders of unreadable letters, reported once
  unsigned long long m_refused = 0;
  // The agents' rate, on the delivery thread: per agent the second of acceptance counted and its
  // letters in it.
  bool PastRate(const Delivery& delivery);
  const int m_senderRate;
  std::unordered_map<std::string, std::pair<std::int64_t, int>> m_rates;
  std::unordered_set<std::string> m_limitedSenders;

  std::thread m_monitor;
  std::thread m_delivery;
};

}  // namespace ZiriviridUrurezArevudUza::detail
