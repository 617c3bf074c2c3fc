#pragma once
// Threads' meeting points: events (auto- and manual-reset), waits for one or either of two
// events with a time-out, the 32-bit millisecond tick count that wraps, and Sleep.
#include <cstdint>

#include "platform/com/WinTypes.h"

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

class Event
{
public:
  // manualReset: stays signalled until Reset, releasing every waiter; otherwise one successful
  // wait consumes the signal.
  explicit Event(bool manualReset, bool initialState = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsManualReset() const { return m_manual; }
  // WAIT_OBJECT_0 when signalled, WAIT_TIMEOUT when the time ran out.
  DWORD Wait(DWORD milliseconds);

private:
  friend DWORD WaitForEither(Event&, Event&, DWORD);
  bool TryConsume();
  int m_fd;
  bool m_manual;
};

// WAIT_OBJECT_0 when the first is signalled (it wins a tie), WAIT_OBJECT_0 + 1 for the second,
// WAIT_TIMEOUT when the time ran out.
DWORD WaitForEither(Event& first, Event& second, DWORD milliseconds);

// Milliseconds since an arbitrary start, wrapping at 2^32 like the platform's tick count.
DWORD GetTickCount();
void Sleep(DWORD milliseconds);
// The calling thread's system identifier.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
