#pragma once
// One connection of the client library: logs an address on to a router, keeps it logged on,
// sends letters and hands delivered envelopes to the receiver on its own delivery thread.
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "idl/MessageRouter.hh"
#include "messaging/ClientLibrary.h"

namespace ZiriviridUrurezArevudUza::detail {

class ClientConnection;

// The connection's inbox as the router sees it.
class ConsumerServant : public POA_CorvexMessaging::EnvelopeConsumer
{
public:
  explicit ConsumerServant(ClientConnection& owner) : m_owner(owner) {}
  // The POA lets go of a deactivated servant only after the calls under way have returned.
  ~ConsumerServant() override { m_gone.set_value(); }
  CORBA::ULong push(const CorvexRouter::Envelope_seq& items) override;
  std::future<void> Gone() { return m_gone.get_future(); }

private:
  ClientConnection& m_owner;
  std::promise<void> m_gone;
};

class ClientConnection final : public IConnection
{
public:
  // Activates the inbox in the POA and starts the connection's threads. onRelease is called
  // once, from Release, before the connection is freed.
  ClientConnection(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, IEnvelopeReceiver* receiver,
                   std::string address, std::string routerLocation,
                   std::function<void(ClientConnection*)> onRelease);

  CorvexMessaging::MessageId Send(const CorvexMessaging::Message& message) override;
  void Release() override;
  void Configure(long maxQueued, long heartbeatSeconds) override;
  void ConfirmExplicitly() override;
  void Confirm(CorvexMessaging::MessageId id) override;
  std::string Address() const override { return m_address; }
  bool IsConnected() const override;

  // The inbox's work (router threads): queues envelopes for the receiver, as many as it takes;
  // returns how many were taken (dropped ones included).
  CORBA::ULong Accept(const CorvexRouter::Envelope_seq& envelopes);
  // The name of the router that delivered and sealed the envelope for this connection, or an
  // empty text when it did not.
  std::string SealingRouter(const CorvexMessaging::Envelope& envelope) const;

private:
  ~ClientConnection() override;

  struct Item
  {
    bool notice = false;  // a connection change rather than an envelope
    bool connected = false;
    CorvexMessaging::Envelope envelope;
  };

  void Monitor();
  void Deliver();
  void SendConfirmations();
  // Hands the collected confirmations to the router; false when the router could not take them.
  bool ConfirmNow(std::vector<CorvexMessaging::MessageId> ids, CorvexMessaging::MessageRouter_ptr router,
                  const std::string& session);
  bool LogOn();
  bool StillLoggedOn();
  // Marks the session lost, unless a newer session has replaced it meanwhile.
  void Lost(const std::string& session, const char* why);
  void QueueNotice(bool connected);  // m_mutex held

  CORBA::ORB_var m_orb;
  PortableServer::POA_var m_poa;
  IEnvelopeReceiver* const m_receiver;
  const std::string m_address;
  const std::string m_location;
  std::function<void(ClientConnection*)> m_onRelease;
  PortableServer::ObjectId_var m_servantId;
  std::future<void> m_servantGone;
  CorvexMessaging::EnvelopeConsumer_var m_self;

  mutable std::mutex m_mutex;
  std::condition_variable m_monitorWake;
  std::condition_variable m_deliveryWake;
  std::condition_variable m_confirmWake;
  std::vector<CorvexMessaging::MessageId> m_confirmations;
  bool m_explicitConfirmation = false;
  bool m_declareConfirming = false;  // tell a new session's router that we confirm
  std::deque<Item> m_inbox;
  std::size_t m_queuedEnvelopes = 0;
  long m_maxQueued = 0;
  long m_heartbeatSeconds = 10;
  bool m_configured = false;
  bool m_stopping = false;
  bool m_connected = false;
  CorvexMessaging::MessageRouter_var m_router;
  std::string m_session;
  std::string m_previousSession;
  std::string m_routerName;
  std::string m_previousRouterName;

  std::thread m_monitor;
  std::thread m_delivery;
  std::thread m_confirmer;
};

}  // namespace ZiriviridUrurezArevudUza::detail
