#pragma once
// UpdateNowQueue: spreads the console's update-now requests over time. The console only adds
// computer IDs; one worker thread sends one force-update action to one computer per interval
// ("ForceUpdateTimeInterval", default 6000 ms), from its own thread, not the processing queue.
// Each ID waits at most once; adding one that already waits moves it to the back.
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/com/WinTypes.h"
#include "platform/sync/Sync.h"

class UpdateNowQueue
{
public:
  // What the worker runs for one computer; the default sends the force-update action letter.
  using Sender = std::function<void(long computerId)>;

  UpdateNowQueue();
  ~UpdateNowQueue();
  UpdateNowQueue(const UpdateNowQueue&) = delete;
  UpdateNowQueue& operator=(const UpdateNowQueue&) = delete;

  void AddComputer(long id);
  bool PopComputer(long& id);
  void RemoveAll();
  std::size_t GetQueueSize() const;
  bool IsInQueue(long id) const;
  void SetThreadTimeout(DWORD milliseconds);
  DWORD GetThreadTimeout() const;
  void SetSender(Sender sender);

  // std::runtime_error when the worker cannot be started or signalled.
  void Start();
  void Stop();
  bool IsRunning() const;

  static UpdateNowQueue& Instance();

private:
  void ThreadWorker();
  void SendForceUpdate(long id);
  static DWORD GetRegistryValue(const wchar_t* name, DWORD defaultValue);

  mutable std::mutex m_lock;
  std::deque<long> m_ids;
  std::unique_ptr<std::thread> m_thread;
  std::unique_ptr<Event> m_stop;      // auto-reset: one stop per Stop
  std::unique_ptr<Event> m_finished;  // set by the worker as it leaves
  DWORD m_interval;
  Sender m_sender;
};
