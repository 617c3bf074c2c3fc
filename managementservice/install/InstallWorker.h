#pragma once
// The worker thread of an install queue: started once, woken by its interval, stopped by its
// stop event with a bounded wait at shutdown.
#include <atomic>
#include <memory>
#include <thread>

#include "platform/com/WinTypes.h"
#include "platform/sync/Sync.h"

class InstallWorker
{
public:
  static constexpr DWORD kStopWaitMs = 10000;

  InstallWorker();
  virtual ~InstallWorker();
  InstallWorker(const InstallWorker&) = delete;
  InstallWorker& operator=(const InstallWorker&) = delete;

  bool IsRunning() const { return m_thread != nullptr; }

protected:
  // Starts the thread running ThreadWorker unless it runs; "Install thread started".
  void StartWorker();
  // Signals the stop event and waits up to 10 s: "Install thread stopped" or "... failed to stop".
  void StopWorker();
  // Waits on the stop event for `ms`: WAIT_OBJECT_0 when stopping, WAIT_TIMEOUT otherwise.
  DWORD WaitForStop(DWORD ms) { return m_stop->Wait(ms); }
  virtual void ThreadWorker() = 0;

private:
  std::unique_ptr<Event> m_stop;
  std::shared_ptr<Event> m_ended;  // outlives a thread that failed to stop in time
  std::unique_ptr<std::thread> m_thread;
};
