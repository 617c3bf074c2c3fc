#pragma once
// The worker thread of an install queue: started once, woken by its interval to do one round of
// its queue's work inside the thread's catch ladder, stopped by its stop event with a bounded
// wait at shutdown. A thread that outlasts that wait (a round held up by an unreachable target)
// is never let loose: it is kept and joined before the queue it works on is destroyed.
#include <atomic>
#include <memory>
#include <thread>

#include "platform/com/WinTypes.h"
#include "platform/sync/Sync.h"

class InstallWorker
{
public:
  static constexpr DWORD kStopWaitMs = 10000;

  // `name` is the queue's class name, as the thread's traces show it.
  explicit InstallWorker(const char* name);
  virtual ~InstallWorker();
  InstallWorker(const InstallWorker&) = delete;
  InstallWorker& operator=(const InstallWorker&) = delete;

  bool IsRunning() const { return m_thread != nullptr; }
  // The interval between two rounds, read anew before each wait.
  virtual DWORD ThreadTimeout() const = 0;
  // How long StopWorker waits for the thread (10 s unless changed).
  void SetStopWait(DWORD ms) { m_stopWait = ms; }

protected:
  // Starts the thread running ThreadWorker unless it runs; "Install thread started". A thread
  // that failed to stop earlier is joined first.
  void StartWorker();
  // Signals the stop event and waits up to the stop wait: "Install thread stopped" or "... failed
  // to stop"; the thread is forgotten as running either way, but a late one is kept for joining.
  void StopWorker();
  // Stops the thread and waits for it without limit, a late one included. Each queue's destructor
  // calls it before its own members go.
  void FinishWorker();
  // True once a stop is asked: a round of several steps ends between two of them.
  bool StopRequested() const { return m_stopping.load(); }
  // One round of the queue's work, after each interval.
  virtual void WorkRound() = 0;

private:
  // Waits out the interval, does a round, and logs what a round raised; an unknown exception
  // ends the thread.
  void ThreadWorker();

  const char* m_name;
  DWORD m_stopWait = kStopWaitMs;
  std::atomic<bool> m_stopping{false};
  std::unique_ptr<Event> m_stop;
  std::shared_ptr<Event> m_ended;
  std::unique_ptr<std::thread> m_thread;
  std::unique_ptr<std::thread> m_late;  // failed to stop in time; joined before the next start or the end
};
