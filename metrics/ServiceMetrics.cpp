#include "metrics/ServiceMetrics.h"

#include <deque>
#include <unordered_map>
#include <mutex>

namespace metrics {
namespace {

using Clock = std::chrono::steady_clock;

const std::vector<double> kPassSizeBounds = {1, 2, 4, 8, 16, 32, 64, 128, 256};
const std::vector<double> kPassSecondsBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

// Names of the series, made once so that the hot paths do not look them up.
struct Names
{
  Family<Counter>& received;
  Family<Counter>& applied;
  Family<Counter>& refused;
  Histogram& passSize;
  Histogram& passSeconds;
  Counter& passes;
  Gauge& lastPass;
  Family<Counter>& lettersSent;
  Family<Counter>& lettersReturned;
  Counter& dbErrors;
  Counter& dbReconnects;
  Family<Counter>& install;
  Counter& discovery;
  Gauge& connected;
  Family<Gauge>& threads;

  explicit Names(Registry& r)
    : received(r.CounterFamily("corvex_envelopes_received_total", "Envelopes the service received, by message type", {"type"})),
      applied(r.CounterFamily("corvex_envelopes_applied_total", "Queued items whose effects were committed, by message type", {"type"})),
      refused(r.CounterFamily("corvex_envelopes_refused_total",
                              "Envelopes refused at receipt or rolled back in a pass, by message type and reason", {"type", "reason"})),
      passSize(r.HistogramFamily("corvex_processing_pass_items", "Items applied in one processing pass", kPassSizeBounds).With()),
      passSeconds(r.HistogramFamily("corvex_processing_pass_duration_seconds", "Duration of one processing pass, commit included",
                                    kPassSecondsBounds)
                    .With()),
      passes(r.CounterFamily("corvex_processing_passes_total", "Processing passes committed").With()),
      lastPass(r.GaugeFamily("corvex_processing_last_pass_timestamp_seconds", "Unix time the last processing pass ended").With()),
      lettersSent(r.CounterFamily("corvex_letters_sent_total", "Letters handed to the messaging library, by its answer", {"result"})),
      lettersReturned(r.CounterFamily("corvex_letters_returned_total", "Letters that came back undelivered, by reason", {"reason"})),
      dbErrors(r.CounterFamily("corvex_database_errors_total", "Database calls that failed and were retried").With()),
      dbReconnects(r.CounterFamily("corvex_database_reconnects_total", "Database sessions closed and opened again").With()),
      install(r.CounterFamily("corvex_install_tasks_total", "Remote install tasks by the state they reached", {"state"})),
      discovery(r.CounterFamily("corvex_discovery_passes_total", "Domains browsed by computer discovery").With()),
      connected(r.GaugeFamily("corvex_messaging_connected", "1 while the messaging library reports a connection").With()),
      threads(r.GaugeFamily("corvex_thread_alive", "Running worker threads, by role", {"thread"}))
  {
    r.GaugeCallback("corvex_processing_queue_depth", "Items waiting for the processing thread",
                    [] { return static_cast<double>(QueueDepth()); });
    r.GaugeCallback("corvex_processing_queue_oldest_age_seconds", "Seconds the oldest waiting item has waited",
                    [] { return QueueOldestAgeSeconds(); });
  }
};

Registry& TheRegistry()
{
  static Registry* r = new Registry;  // outlives every thread that counts
  return *r;
}

Names& N()
{
  static Names* n = new Names(TheRegistry());
  return *n;
}

// The arrival time and type of each queued item, in the queue's order, and the types of the
// items taken off for the pass in progress.
struct QueueTrack
{
  struct Entry
  {
    const void* item;
    Clock::time_point arrived;
    std::string type;
  };
  std::mutex lock;
  std::deque<Entry> items;
  std::unordered_map<const void*, std::string> taken;
};

QueueTrack& Track()
{
  static QueueTrack* t = new QueueTrack;
  return *t;
}

thread_local std::string t_nextType;  // set by EnvelopeQueued, taken by the next append

std::string ReturnReason(const std::string& type)
{
  auto endsWith = [&](const char* s) {
    const std::string suffix(s);
    return type.size() >= suffix.size() && type.compare(type.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (endsWith("Timeout"))
    return "timeout";
  if (endsWith("Unrouteable"))
    return "unrouteable";
  return "other";
}

}  // namespace

Registry& Process()
{
  N();  // every name shows from the first scrape, before its first event
  return TheRegistry();
}

void EnvelopeQueued(const char* type) noexcept
{
  try {
    t_nextType = type ? type : "";
    N().received.With({t_nextType}).Inc();
  } catch (...) {
  }
}

void EnvelopeNotQueued(const char* type, bool dropped) noexcept
{
  try {
    const std::string t = type ? type : "";
    N().received.With({t}).Inc();
    if (!dropped)
      N().refused.With({t, "rejected"}).Inc();
  } catch (...) {
  }
}

void EnvelopeRefused(const char* reason) noexcept
{
  try {
    // An unchecked type would let a sender make any number of series.
    N().received.With({"unknown"}).Inc();
    N().refused.With({"unknown", reason ? reason : ""}).Inc();
  } catch (...) {
  }
}

void ItemProcessed(const void* item, bool applied) noexcept
{
  try {
    std::string type = "letter";
    {
      QueueTrack& t = Track();
      std::lock_guard lock(t.lock);
      if (const auto it = t.taken.find(item); it != t.taken.end()) {
        if (!it->second.empty())
          type = std::move(it->second);
        t.taken.erase(it);
      }
    }
    if (applied)
      N().applied.With({type}).Inc();
    else
      N().refused.With({type, "rolled_back"}).Inc();
  } catch (...) {
  }
}

void QueueAppended(const void* item) noexcept
{
  try {
    QueueTrack& t = Track();
    std::lock_guard lock(t.lock);
    t.items.push_back({item, Clock::now(), std::move(t_nextType)});
    t_nextType.clear();
  } catch (...) {
  }
}

void QueueRemoved(const void* item) noexcept
{
  try {
    QueueTrack& t = Track();
    std::lock_guard lock(t.lock);
    // The front, unless a queue of its own (a test's) interleaves with the process's.
    for (auto it = t.items.begin(); it != t.items.end(); ++it) {
      if (it->item == item) {
        t.taken[item] = std::move(it->type);
        t.items.erase(it);
        return;
      }
    }
  } catch (...) {
  }
}

std::size_t QueueDepth() noexcept
{
  QueueTrack& t = Track();
  std::lock_guard lock(t.lock);
  return t.items.size();
}

double QueueOldestAgeSeconds() noexcept
{
  QueueTrack& t = Track();
  std::lock_guard lock(t.lock);
  if (t.items.empty())
    return 0;
  return std::chrono::duration<double>(Clock::now() - t.items.front().arrived).count();
}

PassTimer::PassTimer() : m_start(Clock::now())
{
  // What earlier passes took and never reported (items discarded at shutdown) is forgotten.
  QueueTrack& t = Track();
  std::lock_guard lock(t.lock);
  t.taken.clear();
}

void PassTimer::Done(std::size_t items) const noexcept
{
  try {
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    Names& n = N();
    n.passSize.Observe(static_cast<double>(items));
    n.passSeconds.Observe(seconds);
    n.passes.Inc();
    n.lastPass.Set(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
  } catch (...) {
  }
}

void LetterSent(bool accepted) noexcept
{
  try {
    N().lettersSent.With({accepted ? "accepted" : "not_accepted"}).Inc();
  } catch (...) {
  }
}

void LetterReturned(const char* type) noexcept
{
  try {
    N().lettersReturned.With({ReturnReason(type ? type : "")}).Inc();
  } catch (...) {
  }
}

void DatabaseError() noexcept { N().dbErrors.Inc(); }
void DatabaseReconnect() noexcept { N().dbReconnects.Inc(); }

void InstallTask(const char* state) noexcept
{
  try {
    N().install.With({state ? state : ""}).Inc();
  } catch (...) {
  }
}

void DiscoveryPass() noexcept { N().discovery.Inc(); }
void MessagingConnected(bool connected) noexcept { N().connected.Set(connected ? 1 : 0); }

ThreadLife::ThreadLife(const char* name) noexcept : m_gauge(nullptr)
{
  try {
    m_gauge = &N().threads.With({name ? name : ""});
    m_gauge->Add(1);
  } catch (...) {
    m_gauge = nullptr;
  }
}

ThreadLife::~ThreadLife()
{
  if (m_gauge)
    m_gauge->Add(-1);
}

}  // namespace metrics
