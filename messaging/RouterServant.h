#pragma once
// The router's CORBA face: the MessageRouter servant over RouterCore, and the inbox that
// pushes envelopes to a client's EnvelopeConsumer.
#include "idl/MessageRouter.hh"
#include "messaging/RouterCore.h"

namespace router {

class ConsumerInbox : public IInbox
{
public:
  // callTimeoutMs bounds every call to the client, so a hung client cannot hold a sender.
  ConsumerInbox(CorvexMessaging::EnvelopeConsumer_ptr consumer, unsigned long callTimeoutMs);
  PushResult Push(const CorvexRouter::Envelope_seq& envelopes, std::size_t& taken) override;
  bool Alive() override;

private:
  CorvexMessaging::EnvelopeConsumer_var m_consumer;
};

class RouterServant : public POA_CorvexMessaging::MessageRouter
{
public:
  RouterServant(RouterCore& core, unsigned long callTimeoutMs) : m_core(core), m_callTimeoutMs(callTimeoutMs) {}

  char* name() override;
  char* logon(const char* client, CorvexMessaging::EnvelopeConsumer_ptr consumer) override;
  void logoff(const char* client, const char* session) override;
  CorvexMessaging::MessageId send(const char* client, const char* session,
                                  const CorvexMessaging::Message& letter) override;
  CORBA::Boolean heartbeat(const char* client, const char* session) override;
  void confirm(const char* client, const char* session, const CorvexMessaging::Long_seq& ids) override;

private:
  RouterCore& m_core;
  unsigned long m_callTimeoutMs;
};

}  // namespace router
