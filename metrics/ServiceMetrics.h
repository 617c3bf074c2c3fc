#pragma once
// The management service's metrics, one call per event at the place it happens. Every call is
// cheap, never throws and works whether or not an exporter serves them.
#include <chrono>
#include <cstddef>
#include <string>

#include "metrics/Metrics.h"

namespace metrics {

// The registry every part of the process counts into.
Registry& Process();

// ---- Envelopes ------------------------------------------------------------------------------
// An envelope of a known type was queued for the processing thread (the next queue append on
// this thread carries its type to the pass).
void EnvelopeQueued(const char* type) noexcept;
// An envelope of a known type that gave no work: one the service reads and drops (`dropped`),
// or one whose message could not be made (its payload unreadable, or a sender that may not
// send it), refused as "rejected".
void EnvelopeNotQueued(const char* type, bool dropped) noexcept;
// An envelope refused at the door; its type is not trusted as a label. Reasons: "inadmissible"
// (not clean text, too large), "unknown_type", "malformed" (reading it failed).
void EnvelopeRefused(const char* reason) noexcept;
// The pass has applied (or rolled back, when !applied) a queued item. Items that are not
// envelopes count under the type "letter".
void ItemProcessed(const void* item, bool applied) noexcept;

// ---- The processing queue -------------------------------------------------------------------
// Called inside the queue's lock, so the order of arrivals is the queue's.
void QueueAppended(const void* item) noexcept;
void QueueRemoved(const void* item) noexcept;
std::size_t QueueDepth() noexcept;
// Seconds the oldest queued item has waited; 0 when the queue is empty.
double QueueOldestAgeSeconds() noexcept;

// Times one pass from construction; Done records its size and duration and the time it ended.
// The items a pass processes are the ones it took off the queue.
class PassTimer
{
public:
  PassTimer();
  void Done(std::size_t items) const noexcept;

private:
  std::chrono::steady_clock::time_point m_start;
};

// ---- Letters, database, install, discovery, messaging ---------------------------------------
void LetterSent(bool accepted) noexcept;
// A letter came back; `type` is the returned envelope's type ("...-Timeout", "...-Unrouteable").
void LetterReturned(const char* type) noexcept;
void DatabaseError() noexcept;
void DatabaseReconnect() noexcept;
// An install task reached a state: "queued", "started", "failed", "finished".
void InstallTask(const char* state) noexcept;
void DiscoveryPass() noexcept;
void MessagingConnected(bool connected) noexcept;

// Marks a worker thread alive for as long as the object lives: corvex_thread_alive{thread}
// counts the running threads of that name.
class ThreadLife
{
public:
  explicit ThreadLife(const char* name) noexcept;
  ~ThreadLife();
  ThreadLife(const ThreadLife&) = delete;
  ThreadLife& operator=(const ThreadLife&) = delete;

private:
  Gauge* m_gauge;
};

}  // namespace metrics
