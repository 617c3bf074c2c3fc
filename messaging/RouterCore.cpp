#include "messaging/RouterCore.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "messaging/Addresses.h"
#include "messaging/EnvelopeSeal.h"
#include "messaging/Letters.h"
#include "messaging/MessagingConstants.h"

namespace router {

namespace MC = MessagingConstants;

namespace {

constexpr auto BUSY_RETRY = std::chrono::milliseconds(100);
constexpr auto HOUSEKEEPING_TICK = std::chrono::milliseconds(100);
// Letters pushed in one call, and calls one sender thread makes for a client before other
// clients have a turn.
constexpr std::size_t BATCH = 64;
constexpr int ROUNDS = 8;

std::string Text(const char* s)
{
  return s ? s : "";
}

std::string Describe(const CorvexMessaging::Envelope& e)
{
  return "letter " + std::to_string(e.message_id) + " " + Text(e.client_info.type.in()) + " " +
         Text(e.originator.in()) + " -> " + Text(e.client_info.destination.in());
}

}  // namespace

RouterCore::RouterCore(RouterOptions options, RouterLog& log)
  : m_options(std::move(options)), m_log(log), m_store(m_options.dataDirectory)
{
  if (!m_options.clock)
    m_options.clock = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
  if (m_options.senderThreads < 1)
    m_options.senderThreads = 1;

  m_known = m_store.LoadAddresses();
  for (const auto& address : m_known)
    Known(address);
  m_confirming = m_store.LoadConfirming();
  for (const auto& address : m_confirming)
    Known(address).confirming = true;
  auto letters = m_store.LoadLetters([this](const std::string& problem) { Log(0, "unreadable letter " + problem); });
  // Waiting letters keep the order in which the router accepted them.
  std::sort(letters.begin(), letters.end(), [](const StoredLetter& a, const StoredLetter& b) {
    const auto ta = a.envelope.timestamps.length() ? a.envelope.timestamps[0].utc_time : 0;
    const auto tb = b.envelope.timestamps.length() ? b.envelope.timestamps[0].utc_time : 0;
    return ta != tb ? ta < tb : a.envelope.message_id < b.envelope.message_id;
  });
  for (auto& stored : letters) {
    const std::string destination = Text(stored.envelope.client_info.destination.in());
    auto letter = std::make_shared<Letter>();
    letter->envelope = std::move(stored.envelope);
    letter->expires = stored.expires;
    letter->stored = true;
    if (m_known.insert(destination).second)
      m_store.SaveAddresses(m_known);
    Known(destination).pending.push_back(std::move(letter));
  }
  Log(2, "router " + m_options.name + " loaded " + std::to_string(m_known.size()) + " known addresses and " +
           std::to_string(letters.size()) + " waiting letters");
}

RouterCore::~RouterCore()
{
  Stop();
}

std::int64_t RouterCore::Now() const
{
  return m_options.clock();
}

RouterCore::Client* RouterCore::Find(const std::string& address)
{
  auto it = m_clients.find(address);
  return it == m_clients.end() ? nullptr : it->second.get();
}

const RouterCore::Client* RouterCore::Find(const std::string& address) const
{
  auto it = m_clients.find(address);
  return it == m_clients.end() ? nullptr : it->second.get();
}

RouterCore::Client& RouterCore::Known(const std::string& address)
{
  auto& slot = m_clients[address];
  if (!slot) {
    slot = std::make_unique<Client>();
    slot->address = address;
  }
  return *slot;
}

RouterCore::Client* RouterCore::Session(const std::string& address, const std::string& session)
{
  Client* client = Find(address);
  if (!client || !client->inbox || session.empty() || client->session != session)
    return nullptr;
  return client;
}

void RouterCore::Start()
{
  std::lock_guard lock(m_mutex);
  if (m_started)
    return;
  m_started = true;
  m_stopping = false;
  for (int i = 0; i < m_options.senderThreads; ++i)
    m_threads.emplace_back([this] { SenderThread(); });
  m_threads.emplace_back([this] { HousekeepingThread(); });
}

void RouterCore::Stop()
{
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    threads.swap(m_threads);
    m_ready.notify_all();
    m_tick.notify_all();
  }
  for (auto& t : threads)
    t.join();
  std::lock_guard lock(m_mutex);
  std::size_t written = 0;
  for (auto& [address, client] : m_clients)
    for (auto& letter : client->pending)
      if (!letter->stored) {
        Store(*letter);
        ++written;
      }
  if (m_started)
    Log(2, "router " + m_options.name + " stopped; " + std::to_string(written) + " more letters kept on disk");
  m_started = false;
}

std::string RouterCore::Logon(const std::string& address, std::shared_ptr<IInbox> inbox)
{
  if (!messaging::IsValidClientAddress(address) || address == m_options.name || !inbox) {
    Log(1, "logon refused for invalid address `" + address + "`");
    throw CorvexMessaging::Rejected();
  }
  std::shared_ptr<IInbox> previous;
  {
    std::lock_guard lock(m_mutex);
    if (Client* client = Find(address))
      previous = client->inbox;
  }
  // Asking the previous holder may take a while; it is done without the lock.
  const bool previousAlive = previous && previous->Alive();

  std::lock_guard lock(m_mutex);
  Client& client = Known(address);
  if (client.inbox) {
    // Refused while the holder answers, or when another logon won the race meanwhile.
    if (client.inbox != previous || previousAlive) {
      Log(1, "logon refused for `" + address + "`: another client holds the address");
      throw CorvexMessaging::AlreadyLoggedOn();
    }
    GoOffline(client, "replaced by a new logon");
  }
  if (m_known.insert(address).second) {
    try {
      m_store.SaveAddresses(m_known);
    } catch (const std::exception& e) {
      Log(0, std::string("cannot save the address table: ") + e.what());
    }
  }
  client.inbox = std::move(inbox);
  client.session = messaging::NewSessionKey();
  client.lastContact = Now();
  client.retryAt = {};
  Log(2, "logon " + address + (client.pending.empty() ? "" : ", " + std::to_string(client.pending.size()) + " letters waiting"));
  Notify(client, true);
  Schedule(client);
  return client.session;
}

void RouterCore::Logoff(const std::string& address, const std::string& session)
{
  std::lock_guard lock(m_mutex);
  Client* client = Session(address, session);
  if (!client)
    throw CorvexMessaging::NotLoggedOn();
  GoOffline(*client, "logged off");
}

bool RouterCore::Heartbeat(const std::string& address, const std::string& session)
{
  std::lock_guard lock(m_mutex);
  Client* client = Session(address, session);
  if (!client)
    return false;
  client->lastContact = Now();
  return true;
}

void RouterCore::Confirm(const std::string& address, const std::string& session,
                         const std::vector<CorvexMessaging::MessageId>& ids)
{
  std::lock_guard lock(m_mutex);
  Client* client = Session(address, session);
  if (!client)
    throw CorvexMessaging::NotLoggedOn();
  client->lastContact = Now();
  if (!client->confirming)
    BecomeConfirming(*client);
  // Confirmations come in about the order of delivery, so searches from the front are short.
  auto forget = [&](std::deque<LetterPtr>& letters, CorvexMessaging::MessageId id) {
    for (auto it = letters.begin(); it != letters.end(); ++it)
      if ((*it)->envelope.message_id == id) {
        Unstore(**it);
        letters.erase(it);
        return true;
      }
    return false;
  };
  for (const auto id : ids)
    if (!forget(client->unconfirmed, id))
      forget(client->pending, id);  // pushed in an earlier session and queued again since
}

void RouterCore::BecomeConfirming(Client& client)
{
  client.confirming = true;
  m_confirming.insert(client.address);
  try {
    m_store.SaveConfirming(m_confirming);
  } catch (const std::exception& e) {
    Log(0, std::string("cannot save the confirming clients: ") + e.what());
  }
  for (auto* letters : {&client.unconfirmed, &client.pending})
    for (auto& letter : *letters)
      if (!letter->stored)
        Store(*letter);
  Log(2, "client " + client.address + " confirms what it receives");
}

CorvexMessaging::MessageId RouterCore::Send(const std::string& address, const std::string& session,
                                            const CorvexMessaging::Message& letter)
{
  std::lock_guard lock(m_mutex);
  Client* sender = Session(address, session);
  if (!sender)
    throw CorvexMessaging::NotLoggedOn();
  sender->lastContact = Now();

  const std::string destination = Text(letter.destination.in());
  const std::string type = Text(letter.type.in());
  if (destination.empty() || type.empty()) {
    Log(1, "refused a letter from " + address + " without " + (destination.empty() ? "destination" : "type"));
    return 0;
  }
  CorvexMessaging::Envelope envelope = Wrap(address, letter);
  const CorvexMessaging::MessageId id = envelope.message_id;
  if (destination == MC::LOCAL_ROUTER)
    return HandleRouterMessage(*sender, envelope) ? id : 0;
  Log(2, "accepted " + Describe(envelope) + " ttl " + std::to_string(letter.ttl));
  Route(std::move(envelope));
  return id;
}

CorvexMessaging::Envelope RouterCore::Wrap(const std::string& originator, const CorvexMessaging::Message& message)
{
  CorvexMessaging::Envelope envelope;
  envelope.originator_certificate = CORBA::string_dup("");
  envelope.originator = CORBA::string_dup(originator.c_str());
  envelope.timestamps.length(1);
  envelope.timestamps[0].name = CORBA::string_dup(m_options.name.c_str());
  envelope.timestamps[0].utc_time = static_cast<CorvexMessaging::Time>(Now());
  envelope.message_id = m_store.NextId();
  envelope.client_info = message;
  return envelope;
}

void RouterCore::Route(CorvexMessaging::Envelope envelope)
{
  const std::string destination = Text(envelope.client_info.destination.in());
  Client* target = Find(destination);
  if (!target) {
    Log(2, "unrouteable " + Describe(envelope));
    ReturnToSender(envelope, MC::SUFFIX_UNROUTEABLE);
    return;
  }
  const std::int64_t accepted = envelope.timestamps.length() ? envelope.timestamps[0].utc_time : Now();
  if (!target->inbox && envelope.client_info.ttl <= 0) {
    Log(2, "expired " + Describe(envelope) + " (offline, no time to live)");
    ReturnToSender(envelope, MC::SUFFIX_TIMEOUT);
    return;
  }
  auto letter = std::make_shared<Letter>();
  letter->envelope = std::move(envelope);
  letter->expires = accepted + letter->envelope.client_info.ttl;
  // A confirming client's letters are on disk before their id is handed out, so a router that
  // is killed loses none of them.
  if (!target->inbox || target->confirming)
    Store(*letter);
  target->pending.push_back(std::move(letter));
  Schedule(*target);
}

void RouterCore::SendFromRouter(const std::string& destination, const std::string& type, const CORBA::Any& payload)
{
  CorvexMessaging::Message message = messaging::MakeLetter(destination, type, m_options.noticeTtlSeconds);
  message.custom_data = payload;
  CorvexMessaging::Envelope envelope = Wrap(m_options.name, message);
  Log(2, "router sends " + Describe(envelope));
  Route(std::move(envelope));
}

void RouterCore::ReturnToSender(const CorvexMessaging::Envelope& envelope, const char* suffix)
{
  const std::string sender = Text(envelope.originator.in());
  if (sender == m_options.name)
    return;  // the router's own letters are not returned to it
  CORBA::Any payload;
  payload <<= envelope;
  SendFromRouter(sender, MC::ComposeType(MC::PREFIX_MS, MC::MSG_DELIVERY_FAILED, suffix), payload);
}

bool RouterCore::HandleRouterMessage(Client& sender, const CorvexMessaging::Envelope& envelope)
{
  const std::string type = Text(envelope.client_info.type.in());
  const auto dash = type.find(MC::TYPE_SEPARATOR);
  const std::string prefix = dash == std::string::npos ? std::string() : type.substr(0, dash);
  const std::string name = dash == std::string::npos ? type : type.substr(dash + 1);
  if (prefix.empty()) {
    Log(1, "dropped router message of malformed type `" + type + "` from " + sender.address);
    return false;
  }
  CORBA::Any payload;
  if (name == MC::MSG_GET_STATUS) {
    payload <<= StatusLocked();
  } else if (name == MC::MSG_NOTIFY_ROUTER_UPDATES) {
    sender.subscribed = true;
    sender.noticePrefix = prefix;
    payload <<= CORBA::Any::from_boolean(true);
  } else {
    Log(1, "dropped router message of unknown type `" + type + "` from " + sender.address);
    return false;
  }
  Log(2, "router answers " + Describe(envelope));
  SendFromRouter(sender.address, MC::ComposeType(prefix, name, MC::SUFFIX_REPLY), payload);
  return true;
}

void RouterCore::Notify(const Client& about, bool logon)
{
  const std::string computer = messaging::ComputerOf(about.address);
  if (computer.empty())
    return;
  for (auto& [address, client] : m_clients) {
    if (!client->subscribed || !client->inbox || client.get() == &about)
      continue;
    CORBA::Any payload;
    payload <<= computer.c_str();
    SendFromRouter(address, MC::ComposeType(client->noticePrefix, logon ? MC::MSG_ROUTER_LOGON : MC::MSG_ROUTER_LOGOFF),
                   payload);
  }
}

void RouterCore::GoOffline(Client& client, const std::string& why)
{
  if (!client.inbox)
    return;
  client.inbox.reset();
  client.session.clear();
  client.subscribed = false;
  client.retryAt = {};
  // What the client did not confirm counts as not delivered: it goes first next time, in the
  // order it was pushed.
  client.pending.insert(client.pending.begin(), client.unconfirmed.begin(), client.unconfirmed.end());
  client.unconfirmed.clear();
  for (auto& letter : client.pending)
    if (!letter->stored)
      Store(*letter);
  Log(2, "logoff " + client.address + " (" + why + ")" +
           (client.pending.empty() ? "" : ", " + std::to_string(client.pending.size()) + " letters waiting"));
  Notify(client, false);
}

void RouterCore::Store(Letter& letter)
{
  try {
    m_store.Save({letter.envelope, letter.expires});
    letter.stored = true;
  } catch (const std::exception& e) {
    Log(0, "cannot keep letter " + std::to_string(letter.envelope.message_id) + " on disk: " + e.what());
  }
}

void RouterCore::Unstore(Letter& letter)
{
  if (letter.stored) {
    m_store.Remove(letter.envelope.message_id);
    letter.stored = false;
  }
}

void RouterCore::Schedule(Client& client)
{
  if (m_stopping || client.scheduled || !client.inbox || client.pending.empty())
    return;
  if (client.retryAt != std::chrono::steady_clock::time_point{} && std::chrono::steady_clock::now() < client.retryAt)
    return;
  client.retryAt = {};
  client.scheduled = true;
  m_readyClients.push_back(&client);
  m_ready.notify_one();
}

void RouterCore::SenderThread()
{
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_ready.wait(lock, [&] { return m_stopping || !m_readyClients.empty(); });
    if (m_stopping)
      return;
    Client& client = *m_readyClients.front();
    m_readyClients.pop_front();

    for (int round = 0; round < ROUNDS && !m_stopping && client.inbox && !client.pending.empty(); ++round) {
      // The letters at the front go together, sealed for this client's session.
      std::vector<LetterPtr> batch;
      const std::size_t limit = client.oneByOne ? 1 : BATCH;
      for (std::size_t i = 0; i < client.pending.size() && batch.size() < limit; ++i)
        batch.push_back(client.pending[i]);
      client.oneByOne = false;
      CorvexRouter::Envelope_seq envelopes(static_cast<CORBA::ULong>(batch.size()));
      envelopes.length(static_cast<CORBA::ULong>(batch.size()));
      for (std::size_t i = 0; i < batch.size(); ++i) {
        batch[i]->inFlight = true;
        envelopes[static_cast<CORBA::ULong>(i)] = batch[i]->envelope;
      }
      std::shared_ptr<IInbox> inbox = client.inbox;
      const std::string session = client.session;
      lock.unlock();

      PushResult result = PushResult::Failed;
      std::size_t taken = 0;
      try {
        for (CORBA::ULong i = 0; i < envelopes.length(); ++i)
          envelopes[i].originator_certificate = messaging::SealOf(envelopes[i], session).c_str();
        result = inbox->Push(envelopes, taken);
      } catch (const std::exception& e) {
        Log(0, "cannot deliver to " + client.address + ": " + e.what());
      } catch (const CORBA::Exception& e) {
        Log(0, "cannot deliver to " + client.address + ": " + e._name());
      }
      lock.lock();
      for (auto& letter : batch)
        letter->inFlight = false;
      if (result == PushResult::Delivered)
        taken = batch.size();
      else if (result != PushResult::Busy)
        taken = 0;
      if (result == PushResult::Failed && batch.size() == 1) {
        Log(1, "dropped undeliverable " + Describe(batch[0]->envelope));
        taken = 1;
      }

      // Pushed to a session that has been replaced meanwhile: the new session gets them.
      if (client.inbox != inbox && result != PushResult::Failed)
        taken = 0;
      const std::int64_t now = Now();
      // Kept until confirmed, so that a client that dies before it has applied them gets them
      // again; a client that has never confirmed gets that for confirmTimeoutSeconds only.
      const bool keep = result != PushResult::Failed && (client.confirming || m_options.confirmTimeoutSeconds > 0);
      for (std::size_t i = 0; i < taken && i < batch.size(); ++i) {
        auto it = std::find(client.pending.begin(), client.pending.end(), batch[i]);
        if (it == client.pending.end())
          continue;  // confirmed or expired while on its way
        client.pending.erase(it);
        if (keep) {
          batch[i]->pushedAt = now;
          client.unconfirmed.push_back(batch[i]);
        }
        if (!keep || !client.confirming)
          Unstore(*batch[i]);
        if (m_log.Enabled(3) && result != PushResult::Failed)
          Log(3, "delivered " + Describe(batch[i]->envelope));
      }
      if (taken > 0)
        client.lastContact = now;
      if (result == PushResult::Delivered)
        continue;
      if (result == PushResult::Busy) {
        client.retryAt = std::chrono::steady_clock::now() + BUSY_RETRY;
      } else if (result == PushResult::Failed) {
        client.oneByOne = batch.size() > 1;
      } else if (client.inbox == inbox) {
        GoOffline(client, "unreachable");
      }
      break;
    }
    client.scheduled = false;
    Schedule(client);
  }
}

void RouterCore::Housekeeping()
{
  const std::int64_t now = Now();
  std::vector<std::pair<Client*, std::shared_ptr<IInbox>>> quiet;
  {
    std::lock_guard lock(m_mutex);
    std::vector<LetterPtr> expired;
    // Times to live count in seconds, so letters are looked at once a second.
    const bool sweep = now != m_lastSweep;
    m_lastSweep = now;
    for (auto& [address, client] : m_clients) {
      auto& pending = client->pending;
      for (auto it = pending.begin(); sweep && it != pending.end();) {
        if ((*it)->expires <= now && !(*it)->inFlight) {
          expired.push_back(*it);
          it = pending.erase(it);
        } else {
          ++it;
        }
      }
      auto& unconfirmed = client->unconfirmed;
      while (!client->confirming && !unconfirmed.empty() &&
             now - unconfirmed.front()->pushedAt >= m_options.confirmTimeoutSeconds) {
        Unstore(*unconfirmed.front());
        unconfirmed.pop_front();
      }
      if (client->inbox && now - client->lastContact >= m_options.heartbeatSeconds)
        quiet.emplace_back(client.get(), client->inbox);
      Schedule(*client);  // picks up busy clients whose pause is over
    }
    for (auto& letter : expired) {
      Unstore(*letter);
      Log(2, "expired " + Describe(letter->envelope));
      ReturnToSender(letter->envelope, MC::SUFFIX_TIMEOUT);
    }
  }
  for (auto& [client, inbox] : quiet) {
    const bool alive = inbox->Alive();
    std::lock_guard lock(m_mutex);
    if (client->inbox != inbox)
      continue;
    if (alive)
      client->lastContact = Now();
    else
      GoOffline(*client, "no longer answers");
  }
}

void RouterCore::HousekeepingThread()
{
  auto next = std::chrono::steady_clock::now();
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    next += HOUSEKEEPING_TICK;
    m_tick.wait_until(lock, next, [&] { return m_stopping; });
    if (m_stopping)
      return;
    lock.unlock();
    Housekeeping();
    m_log.Flush();
    lock.lock();
  }
}

CorvexMessaging::Status RouterCore::StatusLocked() const
{
  std::vector<std::string> online, offline;
  for (const auto& [address, client] : m_clients)
    (client->inbox ? online : offline).push_back(address);
  std::sort(online.begin(), online.end());
  std::sort(offline.begin(), offline.end());
  auto fill = [](CorvexMessaging::String_seq& seq, const std::vector<std::string>& names) {
    seq.length(static_cast<CORBA::ULong>(names.size()));
    for (CORBA::ULong i = 0; i < seq.length(); ++i)
      seq[i] = CORBA::string_dup(names[i].c_str());
  };
  CorvexMessaging::Status status;
  status.name = CORBA::string_dup(m_options.name.c_str());
  fill(status.clients, online);
  status.routers.length(0);
  fill(status.loggedOffClients, offline);
  status.loggedOffRouters.length(0);
  status.parentRouter = CORBA::string_dup("");
  status.loggedOn = true;  // a router without a parent is on its own
  return status;
}

CorvexMessaging::Status RouterCore::GetStatus() const
{
  std::lock_guard lock(m_mutex);
  return StatusLocked();
}

std::size_t RouterCore::Waiting(const std::string& address) const
{
  std::lock_guard lock(m_mutex);
  const Client* client = Find(address);
  return client ? client->pending.size() : 0;
}

std::size_t RouterCore::Unconfirmed(const std::string& address) const
{
  std::lock_guard lock(m_mutex);
  const Client* client = Find(address);
  return client ? client->unconfirmed.size() : 0;
}

}  // namespace router
