#include "messaging/Relay.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "messaging/Addresses.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/MessagingConstants.h"
#include "messaging/NatsLink.h"
#include "messaging/SubjectToken.h"

namespace messaging {

namespace {

using Clock = std::chrono::steady_clock;
namespace MC = MessagingConstants;

std::int64_t NowNs()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A site's server (a leaf node of the head office's) keeps its clients' letters in a stream of
// its own JetStream domain, so that they wait there while the link is down; the head office's
// streams draw from it.
constexpr char kOutboxStream[] = "CVX_OUTBOX";
// How long a client whose mailbox could not be opened waits before its next logon is tried.
constexpr std::chrono::seconds kMailboxRetry(1);

// Sources of one head office stream, one per site; the texts and structures the configuration
// points into live here.
struct SiteSources
{
  std::vector<std::string> texts;
  std::vector<jsExternalStream> external;
  std::vector<jsStreamSource> sources;
  std::vector<jsStreamSource*> pointers;
};

SiteSources SourcesFrom(const std::vector<std::string>& sites, const char* filter, const char* kind)
{
  SiteSources set;
  set.texts.reserve(2 * sites.size());
  set.external.resize(sites.size());
  set.sources.resize(sites.size());
  for (std::size_t i = 0; i < sites.size(); ++i) {
    set.texts.push_back("$JS." + sites[i] + ".API");
    set.texts.push_back("cvx.src." + sites[i] + "." + kind);
    jsExternalStream_Init(&set.external[i]);
    set.external[i].APIPrefix = set.texts[2 * i].c_str();
    set.external[i].DeliverPrefix = set.texts[2 * i + 1].c_str();
    jsStreamSource_Init(&set.sources[i]);
    set.sources[i].Name = kOutboxStream;
    set.sources[i].FilterSubject = filter;
    set.sources[i].External = &set.external[i];
    set.pointers.push_back(&set.sources[i]);
  }
  return set;
}

// Whether a stream draws from exactly these sites' outboxes (a site added or dropped since it was
// made changes that).
bool DrawsFromSites(const jsStreamConfig& config, const std::vector<std::string>& sites)
{
  std::set<std::string> have, want;
  for (int i = 0; i < config.SourcesLen; ++i)
    if (config.Sources[i] && config.Sources[i]->External && config.Sources[i]->External->APIPrefix)
      have.insert(config.Sources[i]->External->APIPrefix);
  for (const auto& site : sites)
    want.insert("$JS." + site + ".API");
  return have == want && config.SourcesLen == static_cast<int>(sites.size());
}

// Lines of an optional file of the messaging directory; none when it is missing.
std::vector<std::string> OptionalLines(const std::string& file)
{
  std::vector<std::string> lines;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
      line.pop_back();
    if (!line.empty() && line[0] != '#')
      lines.push_back(line);
  }
  return lines;
}

class Relay
{
public:
  explicit Relay(const RelaySettings& settings) : m_settings(settings), m_link(Link::Make(this)) {}
  ~Relay();
  int Run(const std::atomic<bool>& stop);

private:
  enum class Kind { Letter, Request, Ack, Disconnect, Recheck };
  struct Event
  {
    Kind kind;
    NatsPtr<natsMsg> msg;
  };
  struct Letter
  {
    std::string destination;
    std::string originator;
    std::int64_t timeNs = 0;
    std::int64_t expiresNs = 0;
    bool delivered = false;
    std::int64_t deliveredNs = 0;
  };
  struct Session
  {
    std::string server;
    std::uint64_t cid = 0;
  };

  void Log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  void Connect();
  void EnsureStreams();
  void ApplyTopology(jsStreamConfig& config, SiteSources& sources, const char* filter, const char* kind);
  void EnsureOutboxes();
  kvStore* Bucket(const char* name, std::int64_t ttlNs);
  bool TakeLease(const std::atomic<bool>& stop);
  void RenewLease();
  void LoadState();
  void CheckPresence();
  void Subscribe();
  static void OnEvent(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
  void Post(Kind kind, natsMsg* msg);

  void OnLetter(natsMsg* msg);
  void OnRequest(natsMsg* msg);
  void OnAck(natsMsg* msg);
  void OnDisconnect(natsMsg* msg);
  void OnTimer();

  std::string LogOn(const std::string& address, const std::string& who);
  void AfterLogOn(const std::string& address);
  void Mark(const std::string& address);
  // anySession: the notice to the client names no session, so whichever connection holds the
  // address logs on again (the relay may have lost sight of its present session).
  void LogOff(const std::string& address, const char* why, bool anySession = false);
  void PrepareService(const std::string& address);
  void Notify(const std::string& address, bool logon);
  bool ReadLetter(const std::string& address, natsMsg* msg, CorvexMessaging::Message& message);
  std::string AnswerLetter(const std::string& address, natsMsg* msg);
  std::string AnswerUnrouteable(const std::string& address, natsMsg* msg);
  void DeliverWaiting(const std::string& address);
  bool Deliver(std::uint64_t seq, Letter& letter, natsMsg* known);
  void Return(std::uint64_t seq, const char* suffix, natsMsg* known);
  void Forget(std::uint64_t seq);
  std::uint64_t Post(const std::string& to, const std::string& type, const CORBA::Any& payload);
  bool Alive(const Session& session);
  std::set<std::pair<std::string, std::uint64_t>> LiveConnections(const std::set<std::string>& servers, bool& complete);
  static void OnReconnected(natsConnection*, void* closure);
  void ReportStatistics();

  RelaySettings m_settings;
  using Link = CallbackLink<Relay>;
  Link* const m_link;
  std::unique_ptr<NKeyIdentity> m_identity, m_systemIdentity;
  ServerLocation m_location;
  NatsPtr<natsConnection> m_nc, m_sys;
  NatsPtr<jsCtx> m_js;
  std::vector<NatsPtr<natsSubscription>> m_subs;
  kvStore* m_known = nullptr;
  kvStore* m_presence = nullptr;
  kvStore* m_subscribers = nullptr;
  kvStore* m_lease = nullptr;
  std::uint64_t m_leaseRevision = 0;
  std::string m_lettersEpoch, m_inboxEpoch;
  std::vector<std::string> m_inboxSubjects;
  jsRetentionPolicy m_inboxRetention = js_LimitsPolicy;
  // Per service, where its next consumer starts: after what its last one confirmed in order.
  std::unordered_map<std::string, std::uint64_t> m_serviceStart;
  Clock::time_point m_lastCompact{};
  std::uint64_t m_compactedTo = 0;  // letters before this sequence are gone
  void CompactInbox();
  // From the directory (corvex-nats plan): copies a stream or bucket keeps (3 on a cluster),
  // and the sites whose outboxes the head office's streams draw from.
  int m_replicas = 1;
  std::vector<std::string> m_sites;
  std::set<std::string> m_outboxesMissing;
  Clock::time_point m_lastOutboxTry{};
  Clock::time_point m_lastSitesCheck{};

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<Event> m_events;

  std::set<std::string> m_knownAddresses;
  std::unordered_map<std::string, Clock::time_point> m_mailboxRetry;  // logons refused until then
  std::unordered_map<std::string, Session> m_online;
  std::map<std::string, std::string> m_notifySubscribers;  // address -> the prefix it subscribed with
  std::map<std::uint64_t, Letter> m_letters;
  std::unordered_map<std::string, std::set<std::uint64_t>> m_byDestination;
  std::unordered_map<std::string, int> m_outstanding;  // delivered, unconfirmed, per agent
  std::multimap<std::int64_t, std::uint64_t> m_expiry;
  std::uint64_t m_lastSeen = 0;
  std::set<std::string> m_refusedSenders;  // malformed letters are logged once per sender
  std::uint64_t m_refused = 0;
  // The limits: per agent the second of acceptance it is counting and its letters in it;
  // senders told about each limit once; letters refused and times to live cut.
  bool PastLimits(std::uint64_t seq, Letter& letter, long& ttl);
  std::unordered_map<std::string, std::pair<std::int64_t, int>> m_rate;
  std::set<std::pair<std::string, int>> m_limitedSenders;
  std::uint64_t m_limited = 0;
  std::uint64_t m_cut = 0;
};

Relay::~Relay()
{
  m_link->Cut();
  m_subs.clear();
  for (kvStore* kv : {m_known, m_presence, m_subscribers, m_lease})
    if (kv)
      kvStore_Destroy(kv);
}

void Relay::Log(int level, const char* format, ...) const
{
  if (level > m_settings.logLevel)
    return;
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::fprintf(stderr, "%s [%d] ", stamp, level);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

void Relay::Connect()
{
  m_location = ReadServerLocation(m_settings.directory);
  const auto replicas = OptionalLines(m_settings.directory + "/replicas");
  m_replicas = replicas.empty() ? 1 : std::max(1, std::min(5, std::atoi(replicas.front().c_str())));
  for (auto& site : OptionalLines(m_settings.directory + "/sites")) {
    // A site's name is its JetStream domain and part of subjects.
    if (site.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos)
      m_sites.push_back(std::move(site));
    else
      Log(0, "the site \"%s\" in %s/sites is not a name of letters, digits, '-' and '_': left out", site.c_str(),
          m_settings.directory.c_str());
  }
  m_outboxesMissing = std::set<std::string>(m_sites.begin(), m_sites.end());
  m_identity = std::make_unique<NKeyIdentity>(SeedFileOf(m_settings.directory, m_settings.name));
  m_systemIdentity = std::make_unique<NKeyIdentity>(
      SeedFileOf(m_settings.directory, m_settings.name, true));
  auto options = ClientOptions(m_location, *m_identity, m_settings.name, 10);
  natsOptions_SetReconnectedCB(options.get(), &Relay::OnReconnected, m_link);
  natsConnection* nc = nullptr;
  natsStatus s = ConnectNats(&nc, options.get());
  if (s != NATS_OK)
    throw std::runtime_error("cannot reach " + m_location.url + ": " + NatsError(s));
  m_nc.reset(nc);
  auto sysOptions = ClientOptions(m_location, *m_systemIdentity, m_settings.name + "-events", 10);
  natsOptions_SetCustomInboxPrefix(sysOptions.get(), "_I.relay-sys");
  nc = nullptr;
  s = ConnectNats(&nc, sysOptions.get());
  if (s != NATS_OK)
    throw std::runtime_error("cannot reach " + m_location.url + " as the system user: " + NatsError(s));
  m_sys.reset(nc);
  jsCtx* js = nullptr;
  jsOptions jo;
  jsOptions_Init(&jo);
  jo.Wait = 5000;
  if ((s = natsConnection_JetStream(&js, m_nc.get(), &jo)) != NATS_OK)
    throw std::runtime_error("JetStream: " + NatsError(s));
  m_js.reset(js);
}

void Relay::EnsureStreams()
{
  jsErrCode error = static_cast<jsErrCode>(0);
  jsStreamInfo* info = nullptr;
  // Letters for agents: kept until their agent confirms them or they are returned.
  if (js_GetStreamInfo(&info, m_js.get(), wire::kLettersStream, nullptr, &error) != NATS_OK) {
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    const char* subjects[] = {"cvx.to.>"};
    config.Name = wire::kLettersStream;
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Retention = js_LimitsPolicy;
    config.Storage = js_FileStorage;
    config.AllowDirect = true;
    SiteSources sources;
    ApplyTopology(config, sources, "cvx.to.>", "letters");
    natsStatus s = js_AddStream(&info, m_js.get(), &config, nullptr, &error);
    if (s != NATS_OK)
      throw std::runtime_error(std::string("cannot create ") + wire::kLettersStream + ": " + NatsError(s));
  } else if (!DrawsFromSites(*info->Config, m_sites)) {
    jsStreamConfig config = *info->Config;
    SiteSources sources;
    ApplyTopology(config, sources, "cvx.to.>", "letters");
    jsStreamInfo* updated = nullptr;
    if (js_UpdateStream(&updated, m_js.get(), &config, nullptr, &error) != NATS_OK)
      throw std::runtime_error(std::string("cannot draw the sites' letters into ") + wire::kLettersStream);
    jsStreamInfo_Destroy(updated);
  }
  m_lettersEpoch = std::to_string(info->Created);
  jsStreamInfo_Destroy(info);
  info = nullptr;
  // Letters for services: each service's consumer takes them, and a confirmation removes them.
  if (js_GetStreamInfo(&info, m_js.get(), wire::kInboxStream, nullptr, &error) != NATS_OK) {
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    const char* subjects[] = {"cvx.svc.=.*"};  // a token no address escapes to: the stream needs one
    config.Name = wire::kInboxStream;
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    // Kept by limits rather than removed one by one as each is confirmed: under a flood of
    // letters the server's per-confirmation removal fell behind the writes and held the
    // service's deliveries back. What every service has confirmed is compacted away in bulk.
    config.Retention = js_LimitsPolicy;
    config.Storage = js_FileStorage;
    SiteSources sources;
    ApplyTopology(config, sources, "cvx.svc.>", "inbox");
    natsStatus s = js_AddStream(&info, m_js.get(), &config, nullptr, &error);
    if (s != NATS_OK)
      throw std::runtime_error(std::string("cannot create ") + wire::kInboxStream + ": " + NatsError(s));
  } else if (!DrawsFromSites(*info->Config, m_sites)) {
    jsStreamConfig config = *info->Config;
    SiteSources sources;
    ApplyTopology(config, sources, "cvx.svc.>", "inbox");
    jsStreamInfo* updated = nullptr;
    if (js_UpdateStream(&updated, m_js.get(), &config, nullptr, &error) != NATS_OK)
      throw std::runtime_error(std::string("cannot draw the sites' letters into ") + wire::kInboxStream);
    jsStreamInfo_Destroy(updated);
  }
  m_inboxEpoch = std::to_string(info->Created);
  // A stream made by an earlier version keeps its retention (it cannot change): a work queue
  // removes each letter as it is confirmed, and needs no compacting.
  m_inboxRetention = info->Config->Retention;
  m_inboxSubjects.clear();
  for (int i = 0; i < info->Config->SubjectsLen; ++i)
    m_inboxSubjects.emplace_back(info->Config->Subjects[i]);
  jsStreamInfo_Destroy(info);
}

void Relay::ApplyTopology(jsStreamConfig& config, SiteSources& sources, const char* filter, const char* kind)
{
  config.Replicas = m_replicas;
  config.Sources = nullptr;
  config.SourcesLen = 0;
  if (m_sites.empty())
    return;
  sources = SourcesFrom(m_sites, filter, kind);
  config.Sources = sources.pointers.data();
  config.SourcesLen = static_cast<int>(sources.pointers.size());
}

// Each site's outbox is made from here, in the site's domain across the link: a site runs no
// relay. A site that cannot be reached now is tried again later.
void Relay::EnsureOutboxes()
{
  m_lastOutboxTry = Clock::now();
  for (auto it = m_outboxesMissing.begin(); it != m_outboxesMissing.end();) {
    jsOptions options;
    jsOptions_Init(&options);
    options.Domain = it->c_str();
    options.Wait = 2000;
    jsCtx* raw = nullptr;
    if (natsConnection_JetStream(&raw, m_nc.get(), &options) != NATS_OK) {
      ++it;
      continue;
    }
    NatsPtr<jsCtx> js(raw);
    jsErrCode error = static_cast<jsErrCode>(0);
    jsStreamInfo* info = nullptr;
    natsStatus s = js_GetStreamInfo(&info, js.get(), kOutboxStream, nullptr, &error);
    if (s != NATS_OK) {
      jsStreamConfig config;
      jsStreamConfig_Init(&config);
      const char* subjects[] = {"cvx.to.>", "cvx.svc.>"};
      config.Name = kOutboxStream;
      config.Subjects = subjects;
      config.SubjectsLen = 2;
      // The head office's streams keep their place in it; letters the link never carried wait
      // as long as a returned letter would.
      config.Retention = js_LimitsPolicy;
      config.Storage = js_FileStorage;
      config.MaxAge = static_cast<int64_t>(m_settings.noticeTimeToLive) * 1000000000LL;
      s = js_AddStream(&info, js.get(), &config, nullptr, &error);
    }
    jsStreamInfo_Destroy(info);
    if (s == NATS_OK) {
      Log(2, "site %s: its outbox is ready", it->c_str());
      it = m_outboxesMissing.erase(it);
    } else {
      Log(1, "site %s: cannot reach its outbox yet: %s", it->c_str(), NatsError(s).c_str());
      ++it;
    }
  }
}

kvStore* Relay::Bucket(const char* name, std::int64_t ttlNs)
{
  kvStore* kv = nullptr;
  if (js_KeyValue(&kv, m_js.get(), name) == NATS_OK)
    return kv;
  kvConfig config;
  kvConfig_Init(&config);
  config.Bucket = name;
  config.History = 1;
  config.TTL = ttlNs;
  config.Replicas = m_replicas;
  const natsStatus s = js_CreateKeyValue(&kv, m_js.get(), &config);
  if (s != NATS_OK)
    throw std::runtime_error(std::string("cannot create the bucket ") + name + ": " + NatsError(s));
  return kv;
}

bool Relay::TakeLease(const std::atomic<bool>& stop)
{
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string holder = std::string(host) + ":" + std::to_string(getpid());
  bool said = false;
  while (!stop) {
    if (kvStore_CreateString(&m_leaseRevision, m_lease, "active", holder.c_str()) == NATS_OK)
      return true;
    if (!said)
      Log(1, "another relay is active; waiting for its lease to lapse");
    said = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return false;
}

void Relay::RenewLease()
{
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string holder = std::string(host) + ":" + std::to_string(getpid());
  if (natsConnection_Status(m_nc.get()) != NATS_CONN_STATUS_CONNECTED)
    return;  // the server is away: nobody can take the lease meanwhile, and libnats reconnects
  if (kvStore_UpdateString(&m_leaseRevision, m_lease, "active", holder.c_str(), m_leaseRevision) == NATS_OK)
    return;
  // The lease lapsed (this process was held up longer than the lease lasts). If no other relay
  // took it meanwhile, this one goes on; if one did, it hands over.
  if (kvStore_CreateString(&m_leaseRevision, m_lease, "active", holder.c_str()) == NATS_OK) {
    Log(1, "the lease lapsed while this relay was held up; taken again");
    return;
  }
  // Neither worked. On a cluster that is electing the bucket's leader, a renewal may have been
  // stored while its answer was lost: the lease is then still this relay's, at a later revision.
  // A bucket that does not answer now is tried again at the next renewal.
  kvEntry* entry = nullptr;
  const natsStatus s = kvStore_Get(&entry, m_lease, "active");
  if (s != NATS_OK)
    return;
  NatsPtr<kvEntry> owned(entry);
  const char* value = kvEntry_ValueString(entry);
  if (!value || holder != value)
    throw std::runtime_error("the relay's lease was taken by another relay");
  m_leaseRevision = kvEntry_Revision(entry);
}

void Relay::LoadState()
{
  auto keys = [](kvStore* kv) {
    std::vector<std::string> out;
    kvKeysList list{};
    if (kvStore_Keys(&list, kv, nullptr) == NATS_OK) {
      for (int i = 0; i < list.Count; ++i)
        out.emplace_back(list.Keys[i]);
      kvKeysList_Destroy(&list);
    }
    return out;
  };
  for (const auto& key : keys(m_known))
    if (auto address = UnescapeToken(key))
      m_knownAddresses.insert(*address);
  for (const auto& key : keys(m_subscribers)) {
    kvEntry* entry = nullptr;
    auto address = UnescapeToken(key);
    if (!address || kvStore_Get(&entry, m_subscribers, key.c_str()) != NATS_OK)
      continue;
    NatsPtr<kvEntry> owned(entry);
    m_notifySubscribers[*address] = kvEntry_ValueString(entry);
  }
  for (const auto& key : keys(m_presence)) {
    kvEntry* entry = nullptr;
    auto address = UnescapeToken(key);
    if (!address || kvStore_Get(&entry, m_presence, key.c_str()) != NATS_OK)
      continue;
    NatsPtr<kvEntry> owned(entry);
    const std::string value = kvEntry_ValueString(entry);
    const auto space = value.find(' ');
    if (space != std::string::npos)
      m_online[*address] = Session{value.substr(0, space), std::strtoull(value.c_str() + space + 1, nullptr, 10)};
  }
  Log(2, "%zu known addresses, %zu online before this start, %zu subscribers", m_knownAddresses.size(),
      m_online.size(), m_notifySubscribers.size());
}

bool Relay::Alive(const Session& session)
{
  const nlohmann::json request = {{"cid", session.cid}};
  const std::string body = request.dump();
  natsMsg* reply = nullptr;
  const std::string subject = "$SYS.REQ.SERVER." + session.server + ".CONNZ";
  if (natsConnection_RequestString(&reply, m_sys.get(), subject.c_str(), body.c_str(), 1000) != NATS_OK)
    return false;
  NatsPtr<natsMsg> owned(reply);
  try {
    const auto json = nlohmann::json::parse(natsMsg_GetData(reply), natsMsg_GetData(reply) + natsMsg_GetDataLength(reply));
    const auto& connections = json.at("data").at("connections");
    for (const auto& c : connections)
      if (c.value("cid", 0ull) == session.cid)
        return true;
  } catch (const std::exception&) {
  }
  return false;
}

// The connections each server holds now, asked page by page: one request for the whole fleet
// rather than one per client.
std::set<std::pair<std::string, std::uint64_t>> Relay::LiveConnections(const std::set<std::string>& servers, bool& complete)
{
  std::set<std::pair<std::string, std::uint64_t>> live;
  complete = true;
  constexpr int kPage = 10000;
  for (const auto& server : servers) {
    for (int offset = 0;; offset += kPage) {
      const nlohmann::json request = {{"limit", kPage}, {"offset", offset}, {"acc", "CVX"}};
      natsMsg* reply = nullptr;
      const std::string subject = "$SYS.REQ.SERVER." + server + ".CONNZ";
      if (natsConnection_RequestString(&reply, m_sys.get(), subject.c_str(), request.dump().c_str(), 2000) != NATS_OK)
        break;  // a server that does not answer holds none of them any more
      NatsPtr<natsMsg> owned(reply);
      int count = 0;
      try {
        const auto json =
            nlohmann::json::parse(natsMsg_GetData(reply), natsMsg_GetData(reply) + natsMsg_GetDataLength(reply));
        for (const auto& c : json.at("data").at("connections")) {
          live.emplace(server, c.value("cid", 0ull));
          ++count;
        }
      } catch (const std::exception& e) {
        Log(1, "an unreadable connection list from %s: %s", server.c_str(), e.what());
        complete = false;
        break;
      }
      if (count < kPage)
        break;
    }
  }
  return live;
}

void Relay::CheckPresence()
{
  std::set<std::string> servers;
  for (const auto& [address, session] : m_online)
    servers.insert(session.server);
  bool complete = false;
  const auto live = LiveConnections(servers, complete);
  if (!complete)
    return;  // better to keep a client online a little longer than to log it off wrongly
  std::vector<std::string> gone;
  for (const auto& [address, session] : m_online)
    if (!live.count({session.server, session.cid}))
      gone.push_back(address);
  for (const auto& address : gone)
    LogOff(address, "gone while the relay was not watching", true);
}

void Relay::OnEvent(natsConnection*, natsSubscription* sub, natsMsg* msg, void* closure)
{
  const std::string subject = natsMsg_GetSubject(msg);
  Kind kind = Kind::Letter;
  if (subject.rfind("cvx.rt.", 0) == 0)
    kind = Kind::Request;
  else if (subject.rfind("cvx.ack.", 0) == 0)
    kind = Kind::Ack;
  else if (subject.rfind("$SYS.", 0) == 0)
    kind = Kind::Disconnect;
  (void)sub;
  bool taken = false;
  static_cast<Link*>(closure)->With([&](Relay& self) {
    self.Post(kind, msg);
    taken = true;
  });
  if (!taken)
    natsMsg_Destroy(msg);
}

// Clients that vanished while the server was away sent no disconnect event: look again.
void Relay::OnReconnected(natsConnection*, void* closure)
{
  static_cast<Link*>(closure)->With([](Relay& self) { self.Post(Kind::Recheck, nullptr); });
}

void Relay::Post(Kind kind, natsMsg* msg)
{
  std::lock_guard lock(m_mutex);
  m_events.push_back(Event{kind, NatsPtr<natsMsg>(msg)});
  m_wake.notify_one();
}

void Relay::Subscribe()
{
  auto add = [this](natsStatus s, natsSubscription* sub, const char* what) {
    if (s != NATS_OK)
      throw std::runtime_error(std::string("cannot subscribe to ") + what + ": " + NatsError(s));
    natsSubscription_SetPendingLimits(sub, -1, -1);
    m_subs.emplace_back(sub);
  };
  natsSubscription* sub = nullptr;
  add(natsConnection_Subscribe(&sub, m_sys.get(), "$SYS.ACCOUNT.CVX.DISCONNECT", &Relay::OnEvent, m_link), sub,
      "disconnect events");
  add(natsConnection_QueueSubscribe(&sub, m_nc.get(), "cvx.rt.*", wire::kRelayQueue, &Relay::OnEvent, m_link), sub,
      "relay requests");
  add(natsConnection_QueueSubscribe(&sub, m_nc.get(), "cvx.ack.*", wire::kRelayQueue, &Relay::OnEvent, m_link), sub,
      "confirmations");
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Stream = wire::kLettersStream;
  options.Ordered = true;
  options.Config.DeliverPolicy = js_DeliverAll;
  jsErrCode error = static_cast<jsErrCode>(0);
  add(js_Subscribe(&sub, m_js.get(), "cvx.to.>", &Relay::OnEvent, m_link, nullptr, &options, &error), sub,
      "the letters");
}

int Relay::Run(const std::atomic<bool>& stop)
{
  try {
    Connect();
    EnsureStreams();
    EnsureOutboxes();
    m_lease = Bucket(wire::kLeaseBucket, 3000000000LL);  // renewed every second
    if (!TakeLease(stop))
      return 0;
    m_known = Bucket(wire::kKnownBucket, 0);
    m_presence = Bucket(wire::kPresenceBucket, 0);
    m_subscribers = Bucket(wire::kSubscribersBucket, 0);
    LoadState();
    Subscribe();
    CheckPresence();
  } catch (const std::exception& e) {
    Log(0, "cannot start: %s", e.what());
    return 1;
  }
  Log(2, "relay %s active on %s", m_settings.name.c_str(), m_location.url.c_str());
  auto lastTimer = Clock::now();
  auto lastLease = Clock::now();
  auto lastStatistics = Clock::now();
  while (!stop) {
    std::deque<Event> events;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait_for(lock, std::chrono::milliseconds(100), [this] { return !m_events.empty(); });
      events.swap(m_events);
    }
    for (auto& event : events) {
      try {
        switch (event.kind) {
        case Kind::Letter: OnLetter(event.msg.get()); break;
        case Kind::Request: OnRequest(event.msg.get()); break;
        case Kind::Ack: OnAck(event.msg.get()); break;
        case Kind::Disconnect: OnDisconnect(event.msg.get()); break;
        case Kind::Recheck: CheckPresence(); break;
        }
      } catch (const std::exception& e) {
        Log(0, "%s", e.what());
      }
    }
    const auto now = Clock::now();
    if (now - lastTimer >= std::chrono::milliseconds(100)) {
      lastTimer = now;
      try {
        OnTimer();
      } catch (const std::exception& e) {
        Log(0, "%s", e.what());
      }
    }
    if (now - lastStatistics >= std::chrono::seconds(60)) {
      lastStatistics = now;
      ReportStatistics();
    }
    if (now - lastLease >= std::chrono::seconds(1)) {
      lastLease = now;
      try {
        RenewLease();
      } catch (const std::exception& e) {
        // Another relay took over (this one was frozen past the lease): stop rather than
        // deliver twice.
        Log(0, "%s; stopping", e.what());
        return 3;
      }
    }
  }
  kvStore_Delete(m_lease, "active");  // a waiting relay takes over at once
  ReportStatistics();
  Log(2, "relay stopped");
  return 0;
}

void Relay::ReportStatistics()
{
  Log(2,
      "%zu known, %zu online, %zu letters kept for agents, %llu letters refused as unreadable, %llu refused past "
      "the limits, %llu times to live cut",
      m_knownAddresses.size(), m_online.size(), m_letters.size(), static_cast<unsigned long long>(m_refused),
      static_cast<unsigned long long>(m_limited), static_cast<unsigned long long>(m_cut));
}

// Applies the limits to a letter just read from the stream: cuts its time to live, or refuses
// it (true: deleted from the stream, nothing else to do). Counting by the second of acceptance,
// not of reading, keeps a relay that reads a backlog at start from refusing what came slowly.
bool Relay::PastLimits(std::uint64_t seq, Letter& letter, long& ttl)
{
  enum { kCut, kRate, kWaiting };
  auto tell = [&](int limit, const char* format, long value) {
    if (m_limitedSenders.emplace(letter.originator, limit).second)
      Log(1, format, letter.originator.c_str(), value);
  };
  if (ttl > m_settings.maxTimeToLive) {
    tell(kCut, "letters from %s: times to live cut to %ld seconds", m_settings.maxTimeToLive);
    ttl = m_settings.maxTimeToLive;
    ++m_cut;
  }
  const char* refusal = nullptr;
  if (!wire::IsServiceAddress(letter.originator) && letter.originator != m_settings.name) {
    auto& [second, count] = m_rate[letter.originator];
    const std::int64_t now = letter.timeNs / 1000000000;
    if (now != second) {
      second = now;
      count = 0;
    }
    if (++count > m_settings.senderRate) {
      tell(kRate, "letters from %s past %ld a second refused", m_settings.senderRate);
      refusal = "rate";
    }
  }
  if (!refusal) {
    const auto waiting = m_byDestination.find(letter.destination);
    if (waiting != m_byDestination.end() && waiting->second.size() >= static_cast<std::size_t>(m_settings.maxWaiting)) {
      tell(kWaiting, "letters from %s refused: their destination already has %ld waiting", m_settings.maxWaiting);
      refusal = "waiting";
    }
  }
  if (!refusal)
    return false;
  ++m_limited;
  Log(3, "letter %llu from %s to %s refused (%s)", static_cast<unsigned long long>(seq), letter.originator.c_str(),
      letter.destination.c_str(), refusal);
  Forget(seq);
  return true;
}

// A new letter for an agent, or one already kept when the relay starts.
void Relay::OnLetter(natsMsg* msg)
{
  jsMsgMetaData* raw = nullptr;
  if (natsMsg_GetMetaData(&raw, msg) != NATS_OK)
    return;
  NatsPtr<jsMsgMetaData> meta(raw);
  const std::uint64_t seq = meta->Sequence.Stream;
  if (seq <= m_lastSeen)
    return;
  m_lastSeen = seq;
  const auto route = wire::ParseLetterSubject(natsMsg_GetSubject(msg));
  if (!route) {
    Forget(seq);
    return;
  }
  Letter letter;
  letter.destination = route->destination;
  letter.originator = route->originator;
  letter.timeNs = meta->Timestamp;
  long ttl = std::strtol(Header(msg, wire::kTtl).c_str(), nullptr, 10);
  if (PastLimits(seq, letter, ttl))
    return;
  // "Now or never": a letter with no time to live gets one second to reach an online agent.
  letter.expiresNs = letter.timeNs + (ttl > 0 ? static_cast<std::int64_t>(ttl) : 1) * 1000000000LL;
  Log(3, "letter %llu from %s to %s", static_cast<unsigned long long>(seq), letter.originator.c_str(),
      letter.destination.c_str());
  if (!m_knownAddresses.count(letter.destination)) {
    m_letters.emplace(seq, letter);
    Return(seq, MC::SUFFIX_UNROUTEABLE, msg);
    return;
  }
  if (wire::IsServiceAddress(letter.destination)) {
    // Handed here as unrouteable while its service logged on for the first time: its mailbox
    // takes it now.
    natsMsg* out = nullptr;
    if (natsMsg_Create(&out, wire::LetterSubject(letter.destination, letter.originator).c_str(), nullptr,
                       natsMsg_GetData(msg), natsMsg_GetDataLength(msg)) == NATS_OK) {
      NatsPtr<natsMsg> owned(out);
      natsMsgHeader_Set(out, wire::kTtl, std::to_string(ttl).c_str());
      jsPubAck* ack = nullptr;
      jsErrCode error = static_cast<jsErrCode>(0);
      if (js_PublishMsg(&ack, m_js.get(), out, nullptr, &error) != NATS_OK)
        Log(1, "letter %llu for %s could not be moved to its mailbox", static_cast<unsigned long long>(seq),
            letter.destination.c_str());
      if (ack)
        jsPubAck_Destroy(ack);
    }
    Forget(seq);
    return;
  }
  const bool online = m_online.count(letter.destination) > 0;
  if (!online && ttl <= 0) {
    m_letters.emplace(seq, letter);
    Return(seq, MC::SUFFIX_TIMEOUT, msg);
    return;
  }
  auto& kept = m_letters.emplace(seq, letter).first->second;
  m_byDestination[letter.destination].insert(seq);
  m_expiry.emplace(kept.expiresNs, seq);
  if (online && m_outstanding[letter.destination] < m_settings.agentWindow &&
      m_byDestination[letter.destination].size() == static_cast<std::size_t>(m_outstanding[letter.destination]) + 1)
    Deliver(seq, kept, msg);
}

bool Relay::Deliver(std::uint64_t seq, Letter& letter, natsMsg* known)
{
  NatsPtr<natsMsg> fetched;
  if (!known) {
    natsMsg* raw = nullptr;
    jsErrCode error = static_cast<jsErrCode>(0);
    if (js_GetMsg(&raw, m_js.get(), wire::kLettersStream, seq, nullptr, &error) != NATS_OK) {
      Forget(seq);  // gone from the stream: nothing to hand over
      return false;
    }
    fetched.reset(raw);
    known = raw;
  }
  natsMsg* out = nullptr;
  if (natsMsg_Create(&out, wire::DeliverySubject(letter.destination).c_str(), nullptr, natsMsg_GetData(known),
                     natsMsg_GetDataLength(known)) != NATS_OK)
    return false;
  NatsPtr<natsMsg> owned(out);
  natsMsgHeader_Set(out, wire::kFrom, letter.originator.c_str());
  natsMsgHeader_Set(out, wire::kSeq, std::to_string(seq).c_str());
  natsMsgHeader_Set(out, wire::kTime, std::to_string(letter.timeNs).c_str());
  natsMsgHeader_Set(out, wire::kEpoch, m_lettersEpoch.c_str());
  if (natsConnection_PublishMsg(m_nc.get(), out) != NATS_OK)
    return false;
  if (!letter.delivered)
    ++m_outstanding[letter.destination];
  letter.delivered = true;
  letter.deliveredNs = NowNs();
  Log(3, "delivered %llu to %s", static_cast<unsigned long long>(seq), letter.destination.c_str());
  return true;
}

void Relay::DeliverWaiting(const std::string& address)
{
  if (!m_online.count(address))
    return;
  const auto it = m_byDestination.find(address);
  if (it == m_byDestination.end())
    return;
  int& outstanding = m_outstanding[address];
  std::vector<std::uint64_t> seqs(it->second.begin(), it->second.end());
  for (const std::uint64_t seq : seqs) {
    if (outstanding >= m_settings.agentWindow)
      break;
    auto letter = m_letters.find(seq);
    if (letter != m_letters.end() && !letter->second.delivered)
      Deliver(seq, letter->second, nullptr);
  }
}

void Relay::Forget(std::uint64_t seq)
{
  const auto it = m_letters.find(seq);
  if (it != m_letters.end()) {
    auto& letter = it->second;
    if (letter.delivered && --m_outstanding[letter.destination] <= 0)
      m_outstanding.erase(letter.destination);
    if (auto d = m_byDestination.find(letter.destination); d != m_byDestination.end()) {
      d->second.erase(seq);
      if (d->second.empty())
        m_byDestination.erase(d);
    }
    m_letters.erase(it);
  }
  jsErrCode error = static_cast<jsErrCode>(0);
  js_DeleteMsg(m_js.get(), wire::kLettersStream, seq, nullptr, &error);
}

// Sends the letter back to its sender as "MS-DeliveryFailed-<suffix>" with the envelope it
// would have had, and forgets it. The relay's own letters are never returned to it.
void Relay::Return(std::uint64_t seq, const char* suffix, natsMsg* known)
{
  const auto it = m_letters.find(seq);
  if (it == m_letters.end())
    return;
  const Letter letter = it->second;
  NatsPtr<natsMsg> fetched;
  if (!known) {
    natsMsg* raw = nullptr;
    jsErrCode error = static_cast<jsErrCode>(0);
    if (js_GetMsg(&raw, m_js.get(), wire::kLettersStream, seq, nullptr, &error) == NATS_OK) {
      fetched.reset(raw);
      known = raw;
    }
  }
  if (known && letter.originator != m_settings.name) {
    try {
      CorvexMessaging::Envelope undelivered;
      undelivered.originator_certificate = "";
      undelivered.originator = letter.originator.c_str();
      undelivered.physical_destination.length(0);
      undelivered.timestamps.length(1);
      undelivered.timestamps[0].name = m_settings.name.c_str();
      undelivered.timestamps[0].utc_time = static_cast<CorvexMessaging::Time>(letter.timeNs / 1000000000);
      undelivered.message_id = wire::LetterId(seq);
      undelivered.client_info = DecodeMessage(reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(known)),
                                              static_cast<std::size_t>(natsMsg_GetDataLength(known)));
      CORBA::Any payload;
      payload <<= undelivered;
      Post(letter.originator, MC::ComposeType(MC::PREFIX_MS, MC::MSG_DELIVERY_FAILED, suffix), payload);
      Log(2, "returned %llu from %s to %s: %s", static_cast<unsigned long long>(seq), letter.originator.c_str(),
          letter.destination.c_str(), suffix);
    } catch (const std::exception& e) {
      if (m_refusedSenders.insert(letter.originator).second)
        Log(1, "a letter from %s cannot be read (%s); dropped", letter.originator.c_str(), e.what());
      ++m_refused;
    }
  }
  Forget(seq);
}

std::uint64_t Relay::Post(const std::string& to, const std::string& type, const CORBA::Any& payload)
{
  CorvexMessaging::Message message;
  message.destination = to.c_str();
  message.prio = 0;
  message.ttl = static_cast<CorvexMessaging::Time>(m_settings.noticeTimeToLive);
  message.type = type.c_str();
  message.delivery_options = "";
  message.custom_data = payload;
  const auto bytes = EncodeMessage(message);
  natsMsg* msg = nullptr;
  if (natsMsg_Create(&msg, wire::LetterSubject(to, m_settings.name).c_str(), nullptr,
                     reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size())) != NATS_OK)
    return 0;
  NatsPtr<natsMsg> owned(msg);
  natsMsgHeader_Set(msg, wire::kTtl, std::to_string(m_settings.noticeTimeToLive).c_str());
  jsPubAck* ack = nullptr;
  jsErrCode error = static_cast<jsErrCode>(0);
  const natsStatus s = js_PublishMsg(&ack, m_js.get(), msg, nullptr, &error);
  NatsPtr<jsPubAck> ackOwner(ack);
  if (s != NATS_OK || !ack) {
    Log(1, "a %s for %s was not kept: %s", type.c_str(), to.c_str(), NatsError(s).c_str());
    return 0;
  }
  return ack->Sequence;
}

void Relay::OnRequest(natsMsg* msg)
{
  const char* reply = natsMsg_GetReply(msg);
  const std::string subject = natsMsg_GetSubject(msg);
  const auto address = UnescapeToken(subject.substr(std::string("cvx.rt.").size()));
  const std::string command = Header(msg, wire::kCommand);
  std::string answer = "0";
  if (address && IsValidClientAddress(*address)) {
    if (command == wire::kLogon) {
      answer = LogOn(*address, std::string(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg))));
      if (answer.rfind("ok ", 0) == 0) {
        // The client hears that it is logged on before its letters come.
        if (reply && *reply)
          natsConnection_PublishString(m_nc.get(), reply, answer.c_str());
        Mark(*address);
        try {
          AfterLogOn(*address);
        } catch (const std::exception& e) {
          // Logged on without its mailbox it would wait for letters that never come: it hears
          // that it is logged off and logs on again, and its next logon tries the mailbox again.
          Log(0, "%s", e.what());
          m_mailboxRetry[*address] = Clock::now() + kMailboxRetry;
          LogOff(*address, "its mailbox could not be opened");
        }
        return;
      }
    }
    else if (command == wire::kLogoff) {
      LogOff(*address, "logged off");
      answer = "ok";
    } else if (command == wire::kSend)
      answer = AnswerLetter(*address, msg);
    else if (command == wire::kUnrouteable)
      answer = AnswerUnrouteable(*address, msg);
  }
  if (reply && *reply)
    natsConnection_PublishString(m_nc.get(), reply, answer.c_str());
}

std::string Relay::LogOn(const std::string& address, const std::string& who)
{
  // A mailbox that could not be opened a moment ago is not asked again at the client's pace.
  if (const auto retry = m_mailboxRetry.find(address); retry != m_mailboxRetry.end()) {
    if (Clock::now() < retry->second)
      return "busy";
    m_mailboxRetry.erase(retry);
  }
  const auto space = who.find(' ');
  Session session;
  if (space != std::string::npos) {
    session.server = who.substr(0, space);
    session.cid = std::strtoull(who.c_str() + space + 1, nullptr, 10);
  }
  const auto current = m_online.find(address);
  if (current != m_online.end() && (current->second.server != session.server || current->second.cid != session.cid)) {
    if (Alive(current->second)) {
      Log(1, "%s is already logged on; a second logon refused", address.c_str());
      return "already";
    }
    LogOff(address, "replaced: its connection no longer exists");
  }
  if (m_knownAddresses.insert(address).second)
    kvStore_PutString(nullptr, m_known, EscapeToken(address).c_str(), std::to_string(NowNs()).c_str());
  if (wire::IsServiceAddress(address)) {
    // The last session's consumer goes before the answer, so that nothing it pushes comes after
    // it; the new one, made after the answer, pushes again whatever was not confirmed.
    jsErrCode error = static_cast<jsErrCode>(0);
    const std::string consumer = wire::ServiceConsumer(address);
    // The new one starts after what the last one had confirmed in order: the stream keeps
    // confirmed letters until it is compacted. Without a last one (its mailbox could not be
    // opened at the last logon) the start remembered then holds.
    jsConsumerInfo* last = nullptr;
    if (js_GetConsumerInfo(&last, m_js.get(), wire::kInboxStream, consumer.c_str(), nullptr, &error) == NATS_OK && last) {
      m_serviceStart[address] = last->AckFloor.Stream + 1;
      jsConsumerInfo_Destroy(last);
    }
    js_DeleteConsumer(m_js.get(), wire::kInboxStream, consumer.c_str(), nullptr, &error);
  }
  const bool fresh = !m_online.count(address);
  m_online[address] = session;
  if (kvStore_PutString(nullptr, m_presence, EscapeToken(address).c_str(),
                        (session.server + " " + std::to_string(session.cid)).c_str()) != NATS_OK)
    Log(1, "%s's session was not recorded (a relay started later may not know it)", address.c_str());
  if (fresh) {
    Log(2, "%s logged on", address.c_str());
    Notify(address, true);
  }
  // Letters handed over in the session before and never confirmed come again, in order.
  if (auto d = m_byDestination.find(address); d != m_byDestination.end())
    for (const std::uint64_t seq : d->second)
      if (auto l = m_letters.find(seq); l != m_letters.end() && l->second.delivered) {
        l->second.delivered = false;
        --m_outstanding[address];
      }
  m_outstanding.erase(address);
  return "ok " + m_settings.name + " " + (wire::IsServiceAddress(address) ? m_inboxEpoch : m_lettersEpoch);
}

// Tells the session that just logged on where its own deliveries begin.
void Relay::Mark(const std::string& address)
{
  const auto it = m_online.find(address);
  natsMsg* mark = nullptr;
  if (it == m_online.end() ||
      natsMsg_Create(&mark, wire::DeliverySubject(address).c_str(), nullptr, nullptr, 0) != NATS_OK)
    return;
  NatsPtr<natsMsg> owned(mark);
  natsMsgHeader_Set(mark, wire::kCommand, wire::kLoggedOn);
  natsMsgHeader_Set(mark, wire::kClient, (it->second.server + " " + std::to_string(it->second.cid)).c_str());
  natsConnection_PublishMsg(m_nc.get(), mark);
}

void Relay::AfterLogOn(const std::string& address)
{
  if (wire::IsServiceAddress(address))
    PrepareService(address);
  else
    DeliverWaiting(address);
}

void Relay::PrepareService(const std::string& address)
{
  jsErrCode error = static_cast<jsErrCode>(0);
  const std::string subjects = wire::ServiceSubjects(address);
  if (std::find(m_inboxSubjects.begin(), m_inboxSubjects.end(), subjects) == m_inboxSubjects.end()) {
    std::vector<std::string> next = m_inboxSubjects;
    next.push_back(subjects);
    std::vector<const char*> pointers;
    for (const auto& s : next)
      pointers.push_back(s.c_str());
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = wire::kInboxStream;
    config.Subjects = pointers.data();
    config.SubjectsLen = static_cast<int>(pointers.size());
    config.Retention = m_inboxRetention;
    config.Storage = js_FileStorage;
    SiteSources sources;
    ApplyTopology(config, sources, "cvx.svc.>", "inbox");
    jsStreamInfo* info = nullptr;
    const natsStatus s = js_UpdateStream(&info, m_js.get(), &config, nullptr, &error);
    if (s != NATS_OK)
      throw std::runtime_error("cannot open a mailbox for " + address + ": " + NatsError(s));
    jsStreamInfo_Destroy(info);
    m_inboxSubjects = std::move(next);
  }
  // A new consumer at every logon (the last one was deleted before the logon's answer) hands
  // over again, at once and in order, whatever the last session took and did not confirm; on a
  // compacted stream also what it confirmed past one it did not, under the key it had then.
  const std::string consumer = wire::ServiceConsumer(address);
  const std::string deliver = wire::DeliverySubject(address);
  jsConsumerConfig config;
  jsConsumerConfig_Init(&config);
  config.Durable = consumer.c_str();
  config.DeliverSubject = deliver.c_str();
  config.FilterSubject = subjects.c_str();
  config.AckPolicy = js_AckExplicit;
  config.DeliverPolicy = js_DeliverAll;
  if (const auto start = m_serviceStart.find(address); start != m_serviceStart.end() && start->second > 1) {
    config.DeliverPolicy = js_DeliverByStartSequence;
    config.OptStartSeq = start->second;
  }
  config.MaxAckPending = m_settings.maxAckPending;
  config.AckWait = static_cast<int64_t>(600) * 1000000000LL;
  config.MaxDeliver = -1;
  jsConsumerInfo* info = nullptr;
  const natsStatus s = js_AddConsumer(&info, m_js.get(), wire::kInboxStream, &config, nullptr, &error);
  if (s != NATS_OK)
    throw std::runtime_error("cannot open the consumer for " + address + ": " + NatsError(s));
  jsConsumerInfo_Destroy(info);
}

void Relay::LogOff(const std::string& address, const char* why, bool anySession)
{
  const auto it = m_online.find(address);
  if (it == m_online.end())
    return;
  const Session session = it->second;
  m_online.erase(it);
  kvStore_Delete(m_presence, EscapeToken(address).c_str());
  // Should the client still be there after all (the relay lost sight of it), it hears so and
  // logs on again rather than wait for letters that no longer come.
  natsMsg* notice = nullptr;
  if (natsMsg_Create(&notice, wire::DeliverySubject(address).c_str(), nullptr, nullptr, 0) == NATS_OK) {
    NatsPtr<natsMsg> owned(notice);
    natsMsgHeader_Set(notice, wire::kCommand, wire::kLoggedOff);
    if (!anySession)
      natsMsgHeader_Set(notice, wire::kClient, (session.server + " " + std::to_string(session.cid)).c_str());
    natsConnection_PublishMsg(m_nc.get(), notice);
  }
  if (m_notifySubscribers.erase(address))
    kvStore_Delete(m_subscribers, EscapeToken(address).c_str());
  Log(2, "%s logged off (%s)", address.c_str(), why);
  // What it took and did not confirm waits again.
  if (auto d = m_byDestination.find(address); d != m_byDestination.end())
    for (const std::uint64_t seq : d->second)
      if (auto l = m_letters.find(seq); l != m_letters.end())
        l->second.delivered = false;
  m_outstanding.erase(address);
  // A service's consumer stays: were the service still there after all (the relay lost sight of
  // it), its letters keep coming; its next logon replaces the consumer.
  Notify(address, false);
}

void Relay::Notify(const std::string& address, bool logon)
{
  const std::string computer = ComputerOf(address);
  if (computer.empty())
    return;
  for (const auto& [subscriber, prefix] : m_notifySubscribers) {
    if (subscriber == address)
      continue;
    CORBA::Any payload;
    payload <<= computer.c_str();
    Post(subscriber, MC::ComposeType(prefix.c_str(), logon ? MC::MSG_ROUTER_LOGON : MC::MSG_ROUTER_LOGOFF), payload);
  }
}

// The message a client sent the relay; false (reported once per sender, and counted) when it
// cannot be read.
bool Relay::ReadLetter(const std::string& address, natsMsg* msg, CorvexMessaging::Message& message)
{
  try {
    message = DecodeMessage(reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg)),
                            static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    return true;
  } catch (const std::exception& e) {
    if (m_refusedSenders.insert(address).second)
      Log(1, "a letter from %s cannot be read (%s); refused", address.c_str(), e.what());
    ++m_refused;
    return false;
  }
}

// A letter to ":", the relay itself.
std::string Relay::AnswerLetter(const std::string& address, natsMsg* msg)
{
  if (!m_online.count(address))
    return "0";
  CorvexMessaging::Message message;
  if (!ReadLetter(address, msg, message))
    return "0";
  const std::string type = message.type.in() ? message.type.in() : "";
  const auto dash = type.find('-');
  if (dash == std::string::npos || dash == 0)
    return "0";
  const std::string prefix = type.substr(0, dash);
  const std::string name = type.substr(dash + 1);
  CORBA::Any payload;
  if (name == MC::MSG_GET_STATUS) {
    CorvexMessaging::Status status;
    status.name = m_settings.name.c_str();
    std::vector<std::string> online, offline;
    for (const auto& known : m_knownAddresses)
      (m_online.count(known) ? online : offline).push_back(known);
    status.clients.length(static_cast<CORBA::ULong>(online.size()));
    for (CORBA::ULong i = 0; i < online.size(); ++i)
      status.clients[i] = online[i].c_str();
    status.loggedOffClients.length(static_cast<CORBA::ULong>(offline.size()));
    for (CORBA::ULong i = 0; i < offline.size(); ++i)
      status.loggedOffClients[i] = offline[i].c_str();
    status.routers.length(0);
    status.loggedOffRouters.length(0);
    status.parentRouter = "";
    status.loggedOn = true;
    payload <<= status;
  } else if (name == MC::MSG_NOTIFY_ROUTER_UPDATES) {
    if (m_notifySubscribers[address] != prefix) {
      m_notifySubscribers[address] = prefix;
      kvStore_PutString(nullptr, m_subscribers, EscapeToken(address).c_str(), prefix.c_str());
    }
    payload <<= CORBA::Any::from_boolean(true);
  } else {
    return "0";
  }
  const std::uint64_t seq = Post(address, MC::ComposeType(prefix.c_str(), name.c_str(), MC::SUFFIX_REPLY), payload);
  return std::to_string(wire::LetterId(seq));
}

// A letter to a service address that no stream keeps: returned unless the address has become
// known meanwhile, in which case it is kept for it on the sender's behalf.
std::string Relay::AnswerUnrouteable(const std::string& address, natsMsg* msg)
{
  CorvexMessaging::Message message;
  if (!ReadLetter(address, msg, message))
    return "0";
  const std::string destination = message.destination.in() ? message.destination.in() : "";
  if (!IsValidClientAddress(destination) || !wire::IsServiceAddress(destination))
    return "0";
  const auto bytes = EncodeMessage(message);
  // Kept where the relay sees it: its letter path returns it as unrouteable with its sequence,
  // or hands it to the service's mailbox if the service logged on in the meantime.
  const bool known = m_knownAddresses.count(destination) > 0;
  const std::string subject = known ? wire::LetterSubject(destination, address)
                                    : "cvx.to." + EscapeToken(destination) + "." + EscapeToken(address);
  natsMsg* out = nullptr;
  if (natsMsg_Create(&out, subject.c_str(), nullptr, reinterpret_cast<const char*>(bytes.data()),
                     static_cast<int>(bytes.size())) != NATS_OK)
    return "0";
  NatsPtr<natsMsg> owned(out);
  natsMsgHeader_Set(out, wire::kTtl, std::to_string(static_cast<long>(message.ttl)).c_str());
  jsPubAck* ack = nullptr;
  jsErrCode error = static_cast<jsErrCode>(0);
  const natsStatus s = js_PublishMsg(&ack, m_js.get(), out, nullptr, &error);
  NatsPtr<jsPubAck> ackOwner(ack);
  return s == NATS_OK && ack ? std::to_string(wire::LetterId(ack->Sequence)) : "0";
}

void Relay::OnAck(natsMsg* msg)
{
  const std::string subject = natsMsg_GetSubject(msg);
  const auto address = UnescapeToken(subject.substr(std::string("cvx.ack.").size()));
  if (!address)
    return;
  const std::string body(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  std::size_t i = 0;
  while (i < body.size()) {
    char* end = nullptr;
    const std::uint64_t seq = std::strtoull(body.c_str() + i, &end, 10);
    if (end == body.c_str() + i)
      break;
    i = static_cast<std::size_t>(end - body.c_str());
    while (i < body.size() && body[i] == ' ')
      ++i;
    const auto it = m_letters.find(seq);
    // Only the letter's own destination may confirm it.
    if (it != m_letters.end() && it->second.destination == *address && it->second.delivered)
      Forget(seq);
  }
  DeliverWaiting(*address);
}

void Relay::OnDisconnect(natsMsg* msg)
{
  try {
    const auto json =
        nlohmann::json::parse(natsMsg_GetData(msg), natsMsg_GetData(msg) + natsMsg_GetDataLength(msg));
    const std::string server = json.at("server").value("id", "");
    const std::uint64_t cid = json.at("client").value("id", 0ull);
    for (const auto& [address, session] : m_online) {
      if (session.cid == cid && session.server == server) {
        const std::string gone = address;
        LogOff(gone, json.value("reason", "disconnected").c_str());
        break;
      }
    }
  } catch (const std::exception& e) {
    Log(1, "an unreadable disconnect event: %s", e.what());
  }
}

// Removes from the services' stream, in one purge, every letter each service has confirmed:
// those before the lowest sequence any service's consumer has confirmed everything up to.
// Nothing is removed while a service subject has no consumer (its letters wait for its logon).
void Relay::CompactInbox()
{
  jsErrCode error = static_cast<jsErrCode>(0);
  // The last letter before the consumers are asked: a consumer that has nothing to hand over
  // and nothing unconfirmed then has confirmed every letter up to it (later ones may not be).
  jsStreamInfo* info = nullptr;
  if (js_GetStreamInfo(&info, m_js.get(), wire::kInboxStream, nullptr, &error) != NATS_OK || !info)
    return;
  const std::uint64_t last = info->State.LastSeq;
  const std::uint64_t stored = info->State.Msgs;
  jsStreamInfo_Destroy(info);
  if (stored == 0)
    return;
  jsConsumerInfoList* list = nullptr;
  if (js_Consumers(&list, m_js.get(), wire::kInboxStream, nullptr, &error) != NATS_OK || !list)
    return;
  // Filter subject -> confirmed up to; a consumer with nothing unconfirmed and nothing left to
  // hand over (a service gone quiet, or one that no longer logs on) holds nothing back.
  std::map<std::string, std::uint64_t> floors;
  for (int i = 0; i < list->Count; ++i) {
    const jsConsumerInfo* c = list->List[i];
    if (c && c->Config && c->Config->FilterSubject)
      floors[c->Config->FilterSubject] = c->NumAckPending == 0 && c->NumPending == 0 ? last : c->AckFloor.Stream;
  }
  jsConsumerInfoList_Destroy(list);
  std::uint64_t lowest = last;
  for (const auto& subject : m_inboxSubjects) {
    if (subject.rfind("cvx.svc.=.", 0) == 0)
      continue;  // the placeholder no address escapes to
    const auto it = floors.find(subject);
    if (it == floors.end())
      return;
    lowest = std::min(lowest, it->second);
  }
  // A purge up to sequence 1 (or 0) is read by the server as a purge of everything.
  if (lowest == 0 || lowest + 1 <= m_compactedTo)
    return;
  jsOptions options;
  jsOptions_Init(&options);
  options.Stream.Purge.Sequence = lowest + 1;
  const natsStatus s = js_PurgeStream(m_js.get(), wire::kInboxStream, &options, &error);
  if (s == NATS_OK)
    m_compactedTo = lowest + 1;
  else
    Log(1, "the services' stream was not compacted (tried again later): %s", NatsError(s).c_str());
}

void Relay::OnTimer()
{
  if (m_inboxRetention == js_LimitsPolicy && Clock::now() - m_lastCompact > std::chrono::seconds(5)) {
    m_lastCompact = Clock::now();
    CompactInbox();
  }
  if (!m_outboxesMissing.empty() && Clock::now() - m_lastOutboxTry > std::chrono::seconds(10))
    EnsureOutboxes();
  // A site whose link was down sent no disconnect events of the clients that went meanwhile, and
  // its link's return is not announced to the head office: look again now and then.
  if (!m_sites.empty() && Clock::now() - m_lastSitesCheck > std::chrono::seconds(15)) {
    m_lastSitesCheck = Clock::now();
    CheckPresence();
  }
  const std::int64_t now = NowNs();
  while (!m_expiry.empty() && m_expiry.begin()->first <= now) {
    const auto [expires, seq] = *m_expiry.begin();
    m_expiry.erase(m_expiry.begin());
    const auto it = m_letters.find(seq);
    if (it != m_letters.end() && it->second.expiresNs == expires)
      Return(seq, MC::SUFFIX_TIMEOUT, nullptr);
  }
  // A delivery the agent never confirmed (lost on the way) is handed over again.
  const std::int64_t redeliverNs = static_cast<std::int64_t>(m_settings.redeliverSeconds) * 1000000000LL;
  static std::int64_t lastSweep = 0;
  if (now - lastSweep < 1000000000LL)
    return;
  lastSweep = now;
  for (auto& [seq, letter] : m_letters)
    if (letter.delivered && now - letter.deliveredNs > redeliverNs && m_online.count(letter.destination))
      Deliver(seq, letter, nullptr);
}

}  // namespace

int RunRelay(const RelaySettings& settings, const std::atomic<bool>& stop)
{
  Relay relay(settings);
  return relay.Run(stop);
}

}  // namespace messaging
