#include "messaging/ClientConnection.h"

#include <chrono>
#include <stdexcept>

#include "messaging/EnvelopeSeal.h"
#include "messaging/RouterLocation.h"
#include "messaging/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace ZiriviridUrurezArevudUza::detail {

namespace {

// The longest a call to the router may take before the router counts as lost.
constexpr CORBA::ULong ROUTER_CALL_TIMEOUT_MS = 10000;

std::string LastStampName(const CorvexMessaging::Envelope& envelope)
{
  const CORBA::ULong n = envelope.timestamps.length();
  if (n == 0)
    return {};
  const char* name = envelope.timestamps[n - 1].name.in();
  return name ? name : "";
}

}  // namespace

CORBA::ULong ConsumerServant::push(const CorvexRouter::Envelope_seq& items)
{
  return m_owner.Accept(items);
}

ClientConnection::ClientConnection(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, IEnvelopeReceiver* receiver,
                                   std::string address, std::string routerLocation,
                                   std::function<void(ClientConnection*)> onRelease)
  : m_orb(CORBA::ORB::_duplicate(orb)),
    m_poa(PortableServer::POA::_duplicate(poa)),
    m_receiver(receiver),
    m_address(std::move(address)),
    m_location(std::move(routerLocation)),
    m_onRelease(std::move(onRelease))
{
  auto* servant = new ConsumerServant(*this);
  m_servantGone = servant->Gone();
  m_servantId = m_poa->activate_object(servant);
  servant->_remove_ref();  // the POA owns it now
  CORBA::Object_var self = m_poa->id_to_reference(m_servantId.in());
  m_self = CorvexMessaging::EnvelopeConsumer::_narrow(self.in());
  m_delivery = std::thread([this] { Deliver(); });
  m_confirmer = std::thread([this] { SendConfirmations(); });
  m_monitor = std::thread([this] { Monitor(); });
}

ClientConnection::~ClientConnection() = default;

bool ClientConnection::IsConnected() const
{
  std::lock_guard lock(m_mutex);
  return m_connected;
}

void ClientConnection::Configure(long maxQueued, long heartbeatSeconds)
{
  if (maxQueued < 0 || heartbeatSeconds < 0)
    throw std::invalid_argument("Configure: negative queue limit or heartbeat interval");
  std::lock_guard lock(m_mutex);
  m_maxQueued = maxQueued;
  m_heartbeatSeconds = heartbeatSeconds == 0 ? 10 : heartbeatSeconds;
  m_configured = true;
  m_deliveryWake.notify_all();
  m_monitorWake.notify_all();
}

void ClientConnection::ConfirmExplicitly()
{
  std::lock_guard lock(m_mutex);
  m_explicitConfirmation = true;
}

void ClientConnection::Confirm(CorvexMessaging::MessageId id)
{
  std::lock_guard lock(m_mutex);
  m_confirmations.push_back(id);
  m_confirmWake.notify_one();
}

bool ClientConnection::ConfirmNow(std::vector<CorvexMessaging::MessageId> ids, CorvexMessaging::MessageRouter_ptr router,
                                  const std::string& session)
{
  CorvexMessaging::Long_seq list(static_cast<CORBA::ULong>(ids.size()));
  list.length(static_cast<CORBA::ULong>(ids.size()));
  for (CORBA::ULong i = 0; i < list.length(); ++i)
    list[i] = ids[i];
  // Confirmations that do not arrive only cost a second delivery.
  try {
    router->confirm(m_address.c_str(), session.c_str(), list);
    return true;
  } catch (const CorvexMessaging::NotLoggedOn&) {
    Lost(session, "the router no longer knows the session");
  } catch (const CORBA::Exception& e) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs`: %lu confirmations not taken (%hs)\n", m_address,
                 static_cast<unsigned long>(ids.size()), e._name());
  }
  return false;
}

void ClientConnection::SendConfirmations()
{
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_confirmWake.wait(lock, [&] {
      return m_stopping || (m_connected && (m_declareConfirming || !m_confirmations.empty()));
    });
    if (m_stopping)
      break;
    std::vector<CorvexMessaging::MessageId> ids;
    ids.swap(m_confirmations);
    m_declareConfirming = false;
    CorvexMessaging::MessageRouter_var router = m_router;
    const std::string session = m_session;
    lock.unlock();
    ConfirmNow(std::move(ids), router.in(), session);
    lock.lock();
  }
}

CorvexMessaging::MessageId ClientConnection::Send(const CorvexMessaging::Message& message)
{
  CorvexMessaging::MessageRouter_var router;
  std::string session;
  {
    std::lock_guard lock(m_mutex);
    if (!m_connected || m_stopping)
      return 0;
    router = m_router;
    session = m_session;
  }
  try {
    return router->send(m_address.c_str(), session.c_str(), message);
  } catch (const CorvexMessaging::NotLoggedOn&) {
    Lost(session, "the router no longer knows the session");
  } catch (const CORBA::TRANSIENT&) {
    Lost(session, "the router cannot be reached");
  } catch (const CORBA::COMM_FAILURE&) {
    Lost(session, "the connection to the router failed");
  } catch (const CORBA::TIMEOUT&) {
    Lost(session, "the router did not answer in time");
  } catch (const CORBA::Exception& e) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Send to `%hs` failed: %hs\n", message.destination.in(), e._name());
  } catch (...) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Send to `%hs` failed\n", message.destination.in());
  }
  return 0;
}

void ClientConnection::Release()
{
  if (std::this_thread::get_id() == m_delivery.get_id())
    throw std::logic_error("Release called from within the receiver");
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_monitorWake.notify_all();
    m_deliveryWake.notify_all();
    m_confirmWake.notify_all();
  }
  m_monitor.join();
  m_confirmer.join();
  m_delivery.join();

  CorvexMessaging::MessageRouter_var router;
  std::string session;
  std::vector<CorvexMessaging::MessageId> confirmations;
  {
    std::lock_guard lock(m_mutex);
    if (m_connected) {
      router = m_router;
      session = m_session;
    }
    m_connected = false;
    confirmations.swap(m_confirmations);
  }
  if (!session.empty()) {
    // What the receiver confirmed before the end is not delivered again.
    if (!confirmations.empty())
      ConfirmNow(std::move(confirmations), router.in(), session);
    try {
      router->logoff(m_address.c_str(), session.c_str());
    } catch (...) {
      // The router is gone or has already forgotten us: nothing to undo.
    }
  }
  try {
    m_poa->deactivate_object(m_servantId.in());
    // No push may still be running on this connection when it is freed.
    if (m_servantGone.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
      trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Release: a delivery to `%hs` does not end\n", m_address);
  } catch (const CORBA::Exception& e) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "Release: inbox of `%hs` not deactivated (%hs)\n", m_address, e._name());
  }
  if (m_onRelease)
    m_onRelease(this);
  delete this;
}

CORBA::ULong ClientConnection::Accept(const CorvexRouter::Envelope_seq& envelopes)
{
  std::lock_guard lock(m_mutex);
  if (m_stopping)
    throw CORBA::OBJECT_NOT_EXIST();
  CORBA::ULong taken = 0;
  for (; taken < envelopes.length(); ++taken) {
    const CorvexMessaging::Envelope& envelope = envelopes[taken];
    if (envelope.timestamps.length() == 0) {
      // It cannot have come through a router.
      trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs`: dropped envelope %ld without timestamps\n", m_address,
                   static_cast<long>(envelope.message_id));
      continue;
    }
    if (m_maxQueued > 0 && m_queuedEnvelopes >= static_cast<std::size_t>(m_maxQueued))
      break;
    Item item;
    item.envelope = envelope;
    m_inbox.push_back(std::move(item));
    ++m_queuedEnvelopes;
  }
  if (taken > 0)
    m_deliveryWake.notify_one();
  return taken;
}

std::string ClientConnection::SealingRouter(const CorvexMessaging::Envelope& envelope) const
{
  std::string session, previous, name, previousName;
  {
    std::lock_guard lock(m_mutex);
    session = m_session;
    previous = m_previousSession;
    name = m_routerName;
    previousName = m_previousRouterName;
  }
  // The delivering router stamps last.
  const std::string stamp = LastStampName(envelope);
  if (!name.empty() && stamp == name && messaging::HasSeal(envelope, session))
    return name;
  if (!previousName.empty() && stamp == previousName && messaging::HasSeal(envelope, previous))
    return previousName;
  return {};
}

void ClientConnection::QueueNotice(bool connected)
{
  Item item;
  item.notice = true;
  item.connected = connected;
  m_inbox.push_back(std::move(item));
  m_deliveryWake.notify_one();
}

void ClientConnection::Lost(const std::string& session, const char* why)
{
  std::lock_guard lock(m_mutex);
  if (!m_connected || m_session != session)
    return;
  trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs`: lost the router (%hs)\n", m_address, why);
  m_connected = false;
  QueueNotice(false);
  m_monitorWake.notify_all();
}

bool ClientConnection::LogOn()
{
  std::string reference;
  try {
    reference = messaging::CurrentRouterReference(m_location);
    CORBA::Object_var object = m_orb->string_to_object(reference.c_str());
    CorvexMessaging::MessageRouter_var router = CorvexMessaging::MessageRouter::_unchecked_narrow(object.in());
    omniORB::setClientCallTimeout(router.in(), ROUTER_CALL_TIMEOUT_MS);
    CORBA::String_var name = router->name();
    CORBA::String_var session = router->logon(m_address.c_str(), m_self.in());

    std::lock_guard lock(m_mutex);
    if (m_stopping) {
      // Release is waiting for this thread; it logs off whatever session is current.
      m_router = router;
      m_session = session.in();
      m_connected = true;
      return true;
    }
    m_previousSession = m_session;
    m_previousRouterName = m_routerName;
    m_router = router;
    m_session = session.in();
    m_routerName = name.in();
    m_connected = true;
    m_declareConfirming = true;
    m_confirmWake.notify_one();
    QueueNotice(true);
    trace::Trace(TRACE_MESSAGING_LIBRARY, 2, "`%hs` logged on to router `%hs`\n", m_address, m_routerName);
    return true;
  } catch (const CorvexMessaging::Rejected&) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "The router refused the address `%hs`\n", m_address);
  } catch (const CorvexMessaging::AlreadyLoggedOn&) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Another client is logged on as `%hs`\n", m_address);
  } catch (const CORBA::BAD_PARAM& e) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Bad router reference `%hs` (%hs)\n", reference, e._name());
  } catch (const std::invalid_argument& e) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Bad router location `%hs` (%hs)\n", m_location, e.what());
  } catch (const CORBA::Exception& e) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 3, "`%hs`: router not reachable at `%hs` (%hs)\n", m_address, reference,
                 e._name());
  }
  return false;
}

bool ClientConnection::StillLoggedOn()
{
  CorvexMessaging::MessageRouter_var router;
  std::string session;
  {
    std::lock_guard lock(m_mutex);
    if (!m_connected)
      return false;
    router = m_router;
    session = m_session;
  }
  const char* why = "the router logged us off";
  try {
    if (router->heartbeat(m_address.c_str(), session.c_str()))
      return true;
  } catch (const CORBA::Exception& e) {
    why = "the router does not answer";
    trace::Trace(TRACE_MESSAGING_LIBRARY, 3, "`%hs`: heartbeat failed (%hs)\n", m_address, e._name());
  }
  Lost(session, why);
  return false;
}

void ClientConnection::Monitor()
{
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    if (!m_connected) {
      lock.unlock();
      LogOn();
      lock.lock();
      if (m_stopping)
        break;
    }
    // Sleep one interval, or until a send notices the loss or the interval changes.
    const bool wasConnected = m_connected;
    const long interval = m_heartbeatSeconds;
    m_monitorWake.wait_for(lock, std::chrono::seconds(interval), [&] {
      return m_stopping || m_connected != wasConnected || m_heartbeatSeconds != interval;
    });
    if (m_stopping || !m_connected || m_heartbeatSeconds != interval)
      continue;
    lock.unlock();
    StillLoggedOn();
    lock.lock();
  }
}

void ClientConnection::Deliver()
{
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_deliveryWake.wait(lock, [&] { return m_stopping || (m_configured && !m_inbox.empty()); });
    if (m_stopping)
      break;
    Item item = std::move(m_inbox.front());
    m_inbox.pop_front();
    if (!item.notice)
      --m_queuedEnvelopes;
    const bool confirmAfterReceive = !item.notice && !m_explicitConfirmation;
    lock.unlock();
    try {
      if (item.notice)
        m_receiver->NotifyConnection(item.connected);
      else
        m_receiver->Receive(item.envelope);
    } catch (const std::exception& e) {
      trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "The receiver of `%hs` threw: %hs\n", m_address, e.what());
    } catch (...) {
      trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "The receiver of `%hs` threw\n", m_address);
    }
    lock.lock();
    if (confirmAfterReceive) {
      m_confirmations.push_back(item.envelope.message_id);
      m_confirmWake.notify_one();
    }
  }
  m_inbox.clear();
  m_queuedEnvelopes = 0;
}

}  // namespace ZiriviridUrurezArevudUza::detail
