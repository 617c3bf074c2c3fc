#include "messaging/RouterServant.h"

#include <algorithm>

namespace router {

namespace {

std::string Text(const char* s)
{
  return s ? s : "";
}

}  // namespace

ConsumerInbox::ConsumerInbox(CorvexMessaging::EnvelopeConsumer_ptr consumer, unsigned long callTimeoutMs)
  : m_consumer(CorvexMessaging::EnvelopeConsumer::_duplicate(consumer))
{
  omniORB::setClientCallTimeout(m_consumer.in(), static_cast<CORBA::ULong>(callTimeoutMs));
}

PushResult ConsumerInbox::Push(const CorvexRouter::Envelope_seq& envelopes, std::size_t& taken)
{
  taken = 0;
  try {
    taken = std::min<std::size_t>(m_consumer->push(envelopes), envelopes.length());
    return taken == envelopes.length() ? PushResult::Delivered : PushResult::Busy;
  } catch (const CORBA::TRANSIENT&) {
  } catch (const CORBA::COMM_FAILURE&) {
  } catch (const CORBA::OBJECT_NOT_EXIST&) {
  } catch (const CORBA::TIMEOUT&) {
  } catch (const CORBA::Exception&) {
    return PushResult::Failed;
  }
  return PushResult::Unreachable;
}

bool ConsumerInbox::Alive()
{
  try {
    return !m_consumer->_non_existent();
  } catch (const CORBA::Exception&) {
    return false;
  }
}

char* RouterServant::name()
{
  return CORBA::string_dup(m_core.Name().c_str());
}

char* RouterServant::logon(const char* client, CorvexMessaging::EnvelopeConsumer_ptr consumer)
{
  if (CORBA::is_nil(consumer))
    throw CorvexMessaging::Rejected();
  auto inbox = std::make_shared<ConsumerInbox>(consumer, m_callTimeoutMs);
  return CORBA::string_dup(m_core.Logon(Text(client), std::move(inbox)).c_str());
}

void RouterServant::logoff(const char* client, const char* session)
{
  m_core.Logoff(Text(client), Text(session));
}

CorvexMessaging::MessageId RouterServant::send(const char* client, const char* session,
                                               const CorvexMessaging::Message& letter)
{
  return m_core.Send(Text(client), Text(session), letter);
}

CORBA::Boolean RouterServant::heartbeat(const char* client, const char* session)
{
  return m_core.Heartbeat(Text(client), Text(session));
}

void RouterServant::confirm(const char* client, const char* session, const CorvexMessaging::Long_seq& ids)
{
  std::vector<CorvexMessaging::MessageId> list(ids.get_buffer(), ids.get_buffer() + ids.length());
  m_core.Confirm(Text(client), Text(session), list);
}

}  // namespace router
