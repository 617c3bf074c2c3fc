#pragma once
// The worker thread of an install queue: started once, woken by its interval to do one round of
// its queue's work inside the thread's catch ladder, stopped by its stop event with a bounded
// wait at shutdown.
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

protected:
  // Starts the thread running ThreadWorker unless it runs; "Install thread started".
  void StartWorker();
  // Signals the stop event and waits up to 10 s: "Install thread stopped" or "... failed to stop".
  void StopWorker();
  // One round of the queue's work, after each interval.
  virtual void WorkRound() = 0;

private:
  // Waits out the interval, does a round, and logs what a round raised; an unknown exception
  // ends the thread.
  void ThreadWorker();

  const char* m_name;
  std::unique_ptr<Event> m_stop;
  std::shared_ptr<Event> m_ended;  // outlives a thread that failed to stop in time
  std::unique_ptr<std::thread> m_thread;
};
