#include "messaging/ClientConnection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "messaging/Addresses.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/EnvelopeSeal.h"
#include "messaging/MessagingConstants.h"
#include "messaging/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace ZiriviridUrurezArevudUza::detail {

namespace {

namespace wire = messaging::wire;

constexpr int kRelayTimeoutMs = 5000;
constexpr int kPublishTimeoutMs = 5000;
constexpr std::size_t kAckBatch = 64;
constexpr auto kAckDelay = std::chrono::milliseconds(20);
// Deliveries kept aside before the logon is answered; more come again later.
constexpr std::size_t kEarlyLimit = 65536;
// How long deliveries wait for the relay's mark after the logon's answer.
constexpr std::chrono::milliseconds kMarkWait(2000);

std::uint64_t ToUnsigned(const std::string& text)
{
  if (text.empty() || text.size() > 20)
    return 0;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return 0;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// The envelope this thread is handing to the receiver, as its connection sealed it. While the
// receiver holds it (by const reference, unchanged) a check of its seal need not walk the
// payload again: the seal was made from this very object a moment ago. Anything else (a copy,
// another thread, an envelope made elsewhere) is checked in full.
struct SealedHere
{
  const CorvexMessaging::Envelope* envelope = nullptr;
  const ClientConnection* connection = nullptr;
  std::string certificate;
};
thread_local SealedHere t_sealedHere;

class HandingOver
{
public:
  HandingOver(const ClientConnection* connection, const CorvexMessaging::Envelope& envelope)
  {
    const char* certificate = envelope.originator_certificate.in();
    t_sealedHere.certificate = certificate ? certificate : "";
    t_sealedHere.connection = connection;
    t_sealedHere.envelope = &envelope;
  }
  ~HandingOver()
  {
    t_sealedHere.envelope = nullptr;
    t_sealedHere.connection = nullptr;
  }
  HandingOver(const HandingOver&) = delete;
  HandingOver& operator=(const HandingOver&) = delete;
};

// Words of a relay reply ("ok corvex-relay 1733580000123456789").
std::vector<std::string> Words(const std::string& text)
{
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ')
      ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ')
      ++i;
    if (i > start)
      words.push_back(text.substr(start, i - start));
  }
  return words;
}

}  // namespace

ClientConnection::ClientConnection(IEnvelopeReceiver* receiver, std::string address, const std::string& directory,
                                   std::function<void(ClientConnection*)> onRelease, int senderRate)
  : m_receiver(receiver),
    m_address(std::move(address)),
    m_service(wire::IsServiceAddress(m_address)),
    m_location(messaging::ReadServerLocation(directory)),
    m_identity(std::make_unique<messaging::NKeyIdentity>(messaging::SeedFileOf(directory, m_address))),
    m_onRelease(std::move(onRelease)),
    m_sessionKey(messaging::NewSessionKey()),
    m_link(Link::Make(this)),
    m_senderRate(senderRate)
{
  m_delivery = std::thread([this] { Deliver(); });
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
    throw std::invalid_argument("Configure: negative values");
  std::lock_guard lock(m_mutex);
  m_maxQueued = maxQueued;
  m_heartbeatSeconds = heartbeatSeconds == 0 ? 10 : heartbeatSeconds;
  if (!m_configured) {
    m_configured = true;
    m_monitor = std::thread([this] { Monitor(); });
  }
  m_deliveryWake.notify_all();
}

void ClientConnection::ConfirmExplicitly()
{
  std::lock_guard lock(m_mutex);
  m_explicitConfirmation = true;
}

void ClientConnection::OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
{
  messaging::NatsPtr<natsMsg> owned(msg);
  try {
    static_cast<Link*>(closure)->With([msg](ClientConnection& self) { self.Accept(msg); });
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Delivery dropped: %hs\n", e.what());
  } catch (...) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Delivery dropped\n");
  }
}

void ClientConnection::Accept(natsMsg* msg)
{
  if (messaging::Header(msg, wire::kCommand) == wire::kLoggedOff) {
    // The relay counts this connection as gone (it missed it for a while): log on again. A
    // notice about another session of the address (one replaced, one of another holder) is not
    // about this one.
    const std::string session = messaging::Header(msg, wire::kClient);
    if (!session.empty() && session != SessionIdentity())
      return;
    Lost("the relay logged it off");
    std::lock_guard lock(m_mutex);
    m_needLogon = true;
    m_monitorWake.notify_one();
    return;
  }
  if (messaging::Header(msg, wire::kCommand) == wire::kLoggedOn) {
    // The relay's mark, right after its answer to this session's logon: whatever came before it
    // was pushed for an earlier session or another holder of the address and comes again;
    // whatever comes after it is this session's.
    if (messaging::Header(msg, wire::kClient) != SessionIdentity())
      return;
    std::lock_guard lock(m_mutex);
    m_early.clear();
    m_markSeen = true;
    if (m_connected && !m_needLogon)
      OpenDelivery();
    return;
  }
  if (natsMsg_IsNoResponders(msg) || natsMsg_GetDataLength(msg) == 0)
    return;  // status and heartbeat messages of the server carry no letter
  Delivery d;
  if (m_service) {
    jsMsgMetaData* raw = nullptr;
    if (natsMsg_GetMetaData(&raw, msg) != NATS_OK)
      return;
    messaging::NatsPtr<jsMsgMetaData> meta(raw);
    const auto route = wire::ParseLetterSubject(natsMsg_GetSubject(msg));
    d.sequence = meta->Sequence.Stream;
    d.timeNs = meta->Timestamp;
    d.ackTarget = natsMsg_GetReply(msg);
    if (!route || route->destination != m_address) {
      ConfirmNow(d.ackTarget);  // cannot be ours: never comes back
      return;
    }
    d.originator = route->originator;
  } else {
    // Only the relay may publish on this connection's delivery subject: what it says holds.
    d.originator = messaging::Header(msg, wire::kFrom);
    d.sequence = ToUnsigned(messaging::Header(msg, wire::kSeq));
    d.timeNs = static_cast<std::int64_t>(ToUnsigned(messaging::Header(msg, wire::kTime)));
    d.epoch = messaging::Header(msg, wire::kEpoch);
    d.ackTarget = std::to_string(d.sequence);
    if (d.originator.empty() || d.sequence == 0)
      return;
  }
  d.data.assign(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  {
    std::lock_guard lock(m_mutex);
    if (!m_accepting || m_needLogon) {
      // Before the relay has answered the logon nothing is handed over: the envelope could not
      // be sealed with its relay and stream yet, a service's old consumer may still be pushing
      // what the new one will push again, and a logon refused as "already logged on" must not
      // take another holder's letters. Before the relay's mark it is dropped (it comes again);
      // after it, kept by sequence until the logon's answer has been taken in.
      if (m_markSeen && (m_early.size() < kEarlyLimit || m_early.count(d.sequence)))
        m_early[d.sequence] = std::move(d);
      return;
    }
  }
  Admit(std::move(d));
}

// Queues a delivery for the receiver. Reading and sealing it is left to the connection's own
// delivery thread: the thread that calls in here may be libnats' one delivery thread for every
// connection of the process, which also brings every send's acknowledgement.
void ClientConnection::Admit(Delivery d)
{
  std::lock_guard lock(m_mutex);
  AdmitLocked(std::move(d));
}

void ClientConnection::AdmitLocked(Delivery d)
{
  if (m_stopping || m_inFlight.count(d.sequence))
    return;  // delivered again while still with the receiver
  if (!m_service && d.sequence <= m_lastRelaySequence) {
    // Taken before; the confirmation went astray.
    m_agentAcks.push_back(d.ackTarget);
    m_monitorWake.notify_one();
    return;
  }
  if (m_maxQueued > 0 && m_queuedEnvelopes >= static_cast<std::size_t>(m_maxQueued))
    return;  // left unconfirmed: it comes again
  if (m_service)
    d.epoch = m_epoch;
  d.router = m_routerName;
  m_inFlight.insert(d.sequence);
  if (!m_service)
    m_lastRelaySequence = d.sequence;
  Item item;
  item.ackTarget = d.ackTarget;
  item.delivery = std::move(d);
  m_inbox.push_back(std::move(item));
  ++m_queuedEnvelopes;
  m_deliveryWake.notify_one();
}

// The envelope of a delivery, sealed; false (the letter refused and confirmed) when its payload
// cannot be read.
bool ClientConnection::Build(const Delivery& d, CorvexMessaging::Envelope& e)
{
  if (PastRate(d))
    return false;
  try {
    e.client_info = messaging::DecodeMessage(reinterpret_cast<const std::uint8_t*>(d.data.data()), d.data.size());
    e.originator = d.originator.c_str();
    e.physical_destination.length(0);
    e.timestamps.length(1);
    e.timestamps[0].name = d.router.c_str();
    e.timestamps[0].utc_time = static_cast<CorvexMessaging::Time>(d.timeNs / 1000000000);
    e.message_id = wire::LetterId(d.sequence);
    const std::string key = std::string(m_service ? wire::kInboxStream : wire::kLettersStream) + "/" + d.epoch + "/" +
                            std::to_string(d.sequence);
    // The seal walks the payload again, within the same bounds as the check.
    e.originator_certificate = (key + " " + Seal(e, key)).c_str();
  } catch (const std::exception& error) {
    // Unreadable now is unreadable for good: confirmed so that it does not come again, and
    // reported once per sender so that a flood of them does not flood the trace.
    bool first;
    unsigned long long refused;
    {
      std::lock_guard lock(m_mutex);
      first = m_refusedSenders.insert(d.originator).second;
      refused = ++m_refused;
    }
    trace::Trace(TRACE_MESSAGING_LIBRARY, first ? 0 : 3,
                 "Refused an unreadable letter from `%hs` (sequence %llu, %llu refused in all): %hs\n", d.originator,
                 static_cast<unsigned long long>(d.sequence), refused, error.what());
    ConfirmNow(d.ackTarget);
    return false;
  }
  return true;
}

// An agent's letters past the rate in one second of their acceptance (the stream's time, so that
// a backlog taken at logon is not counted as a burst) are refused unread and confirmed: a flood
// costs a read and a confirmation each, not the receiver's work.
bool ClientConnection::PastRate(const Delivery& d)
{
  if (m_senderRate <= 0 || wire::IsServiceAddress(d.originator))
    return false;
  auto& [second, count] = m_rates[d.originator];
  const std::int64_t now = d.timeNs / 1000000000;
  if (now != second) {
    second = now;
    count = 0;
  }
  if (++count <= m_senderRate)
    return false;
  unsigned long long refused;
  {
    std::lock_guard lock(m_mutex);
    refused = ++m_refused;
  }
  const bool first = m_limitedSenders.insert(d.originator).second;
  trace::Trace(TRACE_MESSAGING_LIBRARY, first ? 1 : 3,
               "Refused letters from `%hs` past %d a second (sequence %llu, %llu refused in all)\n", d.originator,
               m_senderRate, static_cast<unsigned long long>(d.sequence), refused);
  ConfirmNow(d.ackTarget);
  return true;
}

std::string ClientConnection::Seal(const CorvexMessaging::Envelope& envelope, const std::string& key) const
{
  return messaging::SealOf(envelope, m_sessionKey + "|" + key);
}

std::string ClientConnection::SealingRouter(const CorvexMessaging::Envelope& envelope, std::string* key) const
{
  const char* certificate = envelope.originator_certificate.in();
  if (!certificate || envelope.timestamps.length() != 1)
    return {};
  const std::string text = certificate;
  const auto space = text.rfind(' ');
  if (space == std::string::npos || space == 0)
    return {};
  const std::string deliveryKey = text.substr(0, space);
  const bool sealedJustNow = t_sealedHere.envelope == &envelope && t_sealedHere.connection == this && t_sealedHere.certificate == text;
  try {
    if (!sealedJustNow && text.compare(space + 1, std::string::npos, Seal(envelope, deliveryKey)) != 0)
      return {};
  } catch (const std::exception&) {  // an envelope built here, too large to seal: not ours
    return {};
  }
  if (key)
    *key = deliveryKey;
  const char* router = envelope.timestamps[0].name.in();
  return router ? router : "";
}

void ClientConnection::Deliver()
{
  for (;;) {
    Item item;
    bool explicitConfirmation = false;
    {
      std::unique_lock lock(m_mutex);
      m_deliveryWake.wait(lock, [this] { return m_stopping || (m_configured && !m_inbox.empty()); });
      if (m_stopping)
        return;
      item = std::move(m_inbox.front());
      m_inbox.pop_front();
      explicitConfirmation = m_explicitConfirmation;
      if (!item.notice)
        --m_queuedEnvelopes;
    }
    if (!item.notice) {
      if (!Build(item.delivery, item.envelope))
        continue;
      if (explicitConfirmation) {
        std::lock_guard lock(m_mutex);
        m_unconfirmed[item.envelope.message_id] = item.ackTarget;
      }
    }
    try {
      if (item.notice) {
        m_receiver->NotifyConnection(item.connected);
      } else {
        const HandingOver handing(this, item.envelope);
        m_receiver->Receive(item.envelope);
      }
    } catch (const std::exception& e) {
      trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "The receiver threw: %hs\n", e.what());
    } catch (...) {
      trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "The receiver threw\n");
    }
    if (!item.notice && !explicitConfirmation)
      ConfirmNow(item.ackTarget);
  }
}

void ClientConnection::Confirm(CorvexMessaging::MessageId id)
{
  std::string target;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_unconfirmed.find(id);
    if (it == m_unconfirmed.end())
      return;
    target = std::move(it->second);
    m_unconfirmed.erase(it);
  }
  ConfirmNow(target);
}

void ClientConnection::ConfirmNow(const std::string& target)
{
  if (target.rfind("$JS.ACK.", 0) == 0) {
    // The sequence is the sixth token from the end of the ack subject in every layout.
    std::vector<std::string> tokens;
    for (std::size_t start = 0;;) {
      const auto dot = target.find('.', start);
      tokens.push_back(target.substr(start, dot - start));
      if (dot == std::string::npos)
        break;
      start = dot + 1;
    }
    const std::uint64_t sequence = tokens.size() >= 9 ? ToUnsigned(tokens[tokens.size() - 4]) : 0;
    {
      std::shared_lock lock(m_natsMutex);
      if (m_nc)
        natsConnection_Publish(m_nc.get(), target.c_str(), nullptr, 0);
    }
    std::lock_guard lock(m_mutex);
    m_inFlight.erase(sequence);
    return;
  }
  std::lock_guard lock(m_mutex);
  m_inFlight.erase(ToUnsigned(target));
  m_agentAcks.push_back(target);
  if (m_agentAcks.size() == 1 || m_agentAcks.size() >= kAckBatch)
    m_monitorWake.notify_one();
}

void ClientConnection::FlushAgentAcks()
{
  std::vector<std::string> acks;
  {
    std::lock_guard lock(m_mutex);
    acks.swap(m_agentAcks);
  }
  if (acks.empty())
    return;
  std::string text;
  for (const auto& a : acks) {
    if (!text.empty())
      text += ' ';
    text += a;
  }
  std::shared_lock lock(m_natsMutex);
  if (m_nc)
    natsConnection_PublishString(m_nc.get(), wire::AckSubject(m_address).c_str(), text.c_str());
}

void ClientConnection::OnDisconnected(natsConnection*, void* closure)
{
  static_cast<Link*>(closure)->With([](ClientConnection& self) { self.Lost("the server connection was lost"); });
}

void ClientConnection::OnReconnected(natsConnection*, void* closure)
{
  static_cast<Link*>(closure)->With([](ClientConnection& self) {
    std::lock_guard lock(self.m_mutex);
    self.m_needLogon = true;
    self.m_monitorWake.notify_one();
  });
}

void ClientConnection::OnError(natsConnection*, natsSubscription*, natsStatus status, void* closure)
{
  static_cast<Link*>(closure)->With([status](ClientConnection& self) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs`: %hs\n", self.m_address, messaging::NatsError(status));
  });
}

void ClientConnection::OpenDelivery()
{
  for (auto& [sequence, delivery] : m_early)
    AdmitLocked(std::move(delivery));
  m_early.clear();
  m_accepting = true;
}

void ClientConnection::Lost(const char* why)
{
  std::lock_guard lock(m_mutex);
  if (!m_connected)
    return;
  trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs` logged off: %hs\n", m_address, why);
  m_connected = false;
  m_accepting = false;
  QueueNotice(false);
}

void ClientConnection::QueueNotice(bool connected)
{
  Item item;
  item.notice = true;
  item.connected = connected;
  m_inbox.push_back(std::move(item));
  m_deliveryWake.notify_one();
}

bool ClientConnection::Connect()
{
  long heartbeat;
  {
    std::lock_guard lock(m_mutex);
    heartbeat = m_heartbeatSeconds;
  }
  messaging::ConnectionCallbacks callbacks;
  callbacks.disconnected = &ClientConnection::OnDisconnected;
  callbacks.reconnected = &ClientConnection::OnReconnected;
  callbacks.error = &ClientConnection::OnError;
  callbacks.closure = m_link;
  natsConnection* nc = nullptr;
  natsStatus s = messaging::ConnectClient(&nc, m_location, *m_identity, m_address, static_cast<int>(heartbeat), callbacks);
  if (s != NATS_OK) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs` cannot reach %hs: %hs\n", m_address, m_location.url,
                 messaging::NatsError(s));
    return false;
  }
  messaging::NatsPtr<natsConnection> connection(nc);
  natsSubscription* sub = nullptr;
  s = natsConnection_Subscribe(&sub, nc, wire::DeliverySubject(m_address).c_str(), &ClientConnection::OnMessage, m_link);
  messaging::NatsPtr<natsSubscription> subscription(sub);
  if (s == NATS_OK)
    s = natsSubscription_SetPendingLimits(sub, -1, -1);
  jsCtx* js = nullptr;
  if (s == NATS_OK)
    s = natsConnection_JetStream(&js, nc, nullptr);
  messaging::NatsPtr<jsCtx> jetStream(js);
  if (s != NATS_OK) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "`%hs`: %hs\n", m_address, messaging::NatsError(s));
    return false;
  }
  std::lock_guard lock(m_natsMutex);
  m_sub = std::move(subscription);
  m_js = std::move(jetStream);
  m_nc = std::move(connection);
  return true;
}

std::string ClientConnection::Request(const char* command, const void* data, int size, int timeoutMs)
{
  natsMsg* request = nullptr;
  if (natsMsg_Create(&request, wire::RelaySubject(m_address).c_str(), nullptr, static_cast<const char*>(data), size) !=
      NATS_OK)
    return {};
  messaging::NatsPtr<natsMsg> owned(request);
  natsMsgHeader_Set(request, wire::kCommand, command);
  natsMsg* reply = nullptr;
  natsStatus s;
  {
    std::shared_lock lock(m_natsMutex);
    if (!m_nc)
      return {};
    s = natsConnection_RequestMsg(&reply, m_nc.get(), request, timeoutMs);
  }
  messaging::NatsPtr<natsMsg> answer(reply);
  if (s != NATS_OK || !reply)
    return {};
  return std::string(natsMsg_GetData(reply), static_cast<std::size_t>(natsMsg_GetDataLength(reply)));
}

std::string ClientConnection::SessionIdentity() const
{
  std::shared_lock lock(m_natsMutex);
  if (!m_nc)
    return {};
  std::uint64_t cid = 0;
  char server[128] = {};
  natsConnection_GetClientID(m_nc.get(), &cid);
  natsConnection_GetConnectedServerId(m_nc.get(), server, sizeof server);
  return std::string(server) + " " + std::to_string(cid);
}

bool ClientConnection::LogOn()
{
  const std::string who = SessionIdentity();
  if (who.empty())
    return false;
  {
    // What came before this request was meant for an earlier session or another holder of the
    // address; what is ours comes after the relay's mark.
    std::lock_guard lock(m_mutex);
    m_early.clear();
    m_markSeen = false;
    m_accepting = false;
  }
  const auto reply = Words(Request(wire::kLogon, who.data(), static_cast<int>(who.size()), kRelayTimeoutMs));
  if (reply.size() == 3 && reply[0] == "ok") {
    {
      std::lock_guard lock(m_mutex);
      m_routerName = reply[1];
      m_epoch = reply[2];
      m_needLogon = false;
      if (!m_connected) {
        // Logged on from here: the receiver may send as soon as it hears so.
        m_connected = true;
        QueueNotice(true);
      }
    }
    // Once the mark is in (now, or when it comes), what came after it is handed over first, in
    // sequence order, and deliveries go straight to the receiver from then on.
    {
      std::lock_guard lock(m_mutex);
      m_loggedOnAt = std::chrono::steady_clock::now();
      if (m_markSeen)
        OpenDelivery();
    }
    trace::Trace(TRACE_MESSAGING_LIBRARY, 2, "`%hs` logged on to %hs\n", m_address, reply[1]);
    return true;
  }
  {
    // Whatever came meanwhile belongs to whoever holds the address now; it comes again.
    std::lock_guard lock(m_mutex);
    m_early.clear();
  }
  if (!reply.empty() && reply[0] == "already")
    trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs` is already logged on elsewhere\n", m_address);
  else if (!reply.empty() && reply[0] == "busy")
    trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs`: the relay cannot open its mailbox yet\n", m_address);
  else
    trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs`: the relay did not answer the logon\n", m_address);
  return false;
}

void ClientConnection::LogOff()
{
  bool connected;
  {
    std::lock_guard lock(m_mutex);
    connected = m_connected;
    m_connected = false;
    m_accepting = false;
  }
  if (connected)
    Request(wire::kLogoff, "", 0, 1000);
}

void ClientConnection::Monitor()
{
  bool haveServer = false;
  std::chrono::milliseconds retry(0);
  for (;;) {
    long heartbeat;
    bool logOn;
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping)
        return;
      heartbeat = m_heartbeatSeconds;
      logOn = !m_connected || m_needLogon;
    }
    if (!haveServer)
      haveServer = Connect();
    bool ok = true;
    if (haveServer && logOn)
      ok = LogOn();
    FlushAgentAcks();
    // A refused or unanswered logon is tried again soon, then less and less often up to the
    // heartbeat: a relay that was restarted is back within seconds, and a dead one is not
    // asked by every client every second.
    retry = (haveServer && ok) ? std::chrono::milliseconds(0)
                               : std::min(std::max(retry * 2, std::chrono::milliseconds(500)),
                                          std::chrono::milliseconds(heartbeat * 1000));
    std::unique_lock lock(m_mutex);
    if (!haveServer || !ok) {
      m_monitorWake.wait_for(lock, retry, [&] { return m_stopping || m_needLogon; });
      continue;
    }
    if (m_connected && !m_accepting && !m_needLogon &&
        std::chrono::steady_clock::now() - m_loggedOnAt > kMarkWait) {
      // The mark went astray (it travels at most once): deliveries open without it; a copy of
      // an earlier session's letter may then come twice, which receivers recognise.
      m_markSeen = true;
      OpenDelivery();
    }
    // Idle until there is something to confirm; then a moment more, so that confirmations
    // travel in batches.
    m_monitorWake.wait_for(lock, m_accepting ? std::chrono::milliseconds(heartbeat * 1000) : kMarkWait,
                           [&] { return m_stopping || m_needLogon || !m_agentAcks.empty(); });
    if (!m_stopping && !m_needLogon && !m_agentAcks.empty())
      m_monitorWake.wait_for(lock, kAckDelay,
                             [&] { return m_stopping || m_needLogon || m_agentAcks.size() >= kAckBatch; });
  }
}

CorvexMessaging::MessageId ClientConnection::Send(const CorvexMessaging::Message& message)
{
  try {
    const char* destination = message.destination.in();
    const char* type = message.type.in();
    if (!destination || !*destination || !type || !*type)
      return 0;
    {
      std::lock_guard lock(m_mutex);
      if (!m_connected)
        return 0;
    }
    if (std::strcmp(destination, MessagingConstants::LOCAL_ROUTER) == 0) {
      const auto bytes = messaging::EncodeMessage(message);
      const auto reply = Words(Request(wire::kSend, bytes.data(), static_cast<int>(bytes.size()), kRelayTimeoutMs));
      return reply.size() == 1 ? static_cast<CorvexMessaging::MessageId>(std::strtol(reply[0].c_str(), nullptr, 10)) : 0;
    }
    if (!messaging::IsValidClientAddress(destination))
      return 0;
    return Publish(message);
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "Send: %hs\n", e.what());
    return 0;
  }
}

CorvexMessaging::MessageId ClientConnection::Publish(const CorvexMessaging::Message& message)
{
  const std::string destination = message.destination.in();
  const auto bytes = messaging::EncodeMessage(message);
  natsMsg* msg = nullptr;
  if (natsMsg_Create(&msg, wire::LetterSubject(destination, m_address).c_str(), nullptr,
                     reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size())) != NATS_OK)
    return 0;
  messaging::NatsPtr<natsMsg> owned(msg);
  natsMsgHeader_Set(msg, wire::kTtl, std::to_string(static_cast<long>(message.ttl)).c_str());
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MaxWait = kPublishTimeoutMs;
  jsPubAck* ack = nullptr;
  jsErrCode error = static_cast<jsErrCode>(0);
  natsStatus s;
  {
    std::shared_lock lock(m_natsMutex);
    if (!m_js)
      return 0;
    s = js_PublishMsg(&ack, m_js.get(), msg, &options, &error);
  }
  messaging::NatsPtr<jsPubAck> owner(ack);
  if (s == NATS_OK && ack)
    return wire::LetterId(ack->Sequence);
  if (s == NATS_NO_RESPONDERS) {
    // No stream keeps letters for this service address: nobody ever logged on as it. The relay
    // checks that and returns the letter as unrouteable.
    const auto reply = Words(Request(wire::kUnrouteable, bytes.data(), static_cast<int>(bytes.size()), kRelayTimeoutMs));
    return reply.size() == 1 ? static_cast<CorvexMessaging::MessageId>(std::strtol(reply[0].c_str(), nullptr, 10)) : 0;
  }
  trace::Trace(TRACE_MESSAGING_LIBRARY, 1, "`%hs`: a letter to `%hs` was not accepted: %hs\n", m_address, destination,
               messaging::NatsError(s));
  return 0;
}

void ClientConnection::Release()
{
  if (std::this_thread::get_id() == m_delivery.get_id())
    throw std::logic_error("Release: called from within the receiver");
  m_link->Cut();  // from here on libnats' callbacks find nobody
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_monitorWake.notify_all();
    m_deliveryWake.notify_all();
  }
  if (m_monitor.joinable())
    m_monitor.join();
  if (m_delivery.joinable())
    m_delivery.join();
  FlushAgentAcks();
  LogOff();
  messaging::NatsPtr<natsSubscription> sub;
  messaging::NatsPtr<jsCtx> js;
  messaging::NatsPtr<natsConnection> nc;
  {
    // Taken out first: closing may run callbacks that send confirmations under this lock.
    std::lock_guard lock(m_natsMutex);
    sub = std::move(m_sub);
    js = std::move(m_js);
    nc = std::move(m_nc);
  }
  if (nc) {
    natsConnection_FlushTimeout(nc.get(), 1000);
    natsConnection_Close(nc.get());
  }
  sub.reset();
  js.reset();
  nc.reset();
  if (m_onRelease)
    m_onRelease(this);
  delete this;
}

}  // namespace ZiriviridUrurezArevudUza::detail
