#pragma once
// The worker thread of an install queue: started once, woken by its interval to do one round of
// its queue's work inside the thread's catch ladder, stopped by its stop event with a bounded
// wait at shutdown. A thread that outlasts that wait (a round held up by an unreachable target)
// is reported and then waited for: let loose, it would go on working on its queue and on the
// database session after the shutdown has closed or destroyed them.
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
  // Starts the thread running ThreadWorker unless it runs; "Install thread started".
  void StartWorker();
  // Signals the stop event; "Install thread failed to stop after ...ms" when the thread has not
  // ended within the stop wait, and then waits for the round it is in to end (rounds check the
  // stop between their steps); "Install thread stopped" once it has.
  void StopWorker();
  // The same without the report; each queue's destructor calls it before its own members go.
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
};
