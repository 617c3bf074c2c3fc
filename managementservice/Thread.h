#pragma once
// A worker object that owns one thread running its ThreadFunc, and remembers the thread that
// created it: operations that belong to the creator check it and report a stranger.
#include <memory>
#include <thread>

#include "platform/sync/Sync.h"

class Thread
{
public:
  Thread();
  // Waits for a thread still running. A derived class whose ThreadFunc uses its members must
  // stop and wait for the thread in its own destructor, before those members go.
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Waits for a previous thread to end, if one is recorded, and starts a new one. False when
  // none started.
  bool Start();
  // False when there is no thread. True when it ended within timeout (it is then forgotten);
  // otherwise error is 0 on a time-out, the failure's code on a failed wait.
  bool Wait(DWORD timeout, DWORD& error);
  bool HasThread() const { return m_thread.joinable(); }

  // Writes "Assertion: Object created by thread C but it was <verb> by T" when the calling
  // thread is not the creator; the operation goes on.
  void AssertCreatorThread(const char* verb) const;

protected:
  virtual void ThreadFunc() = 0;

private:
  // Waits for the recorded thread, if any, and forgets it.
  void Forget();

  DWORD m_creator;
  std::thread m_thread;
  std::shared_ptr<Event> m_ended;
};

// The creator-thread check for objects that are not threads themselves.
void AssertCreatorThread(DWORD creator, const char* verb);

// A stop event a worker waits on besides its work.
class StoppableHandler
{
public:
  StoppableHandler();
  virtual ~StoppableHandler() = default;
  void Stop();

protected:
  std::unique_ptr<Event> m_Stop;
};
