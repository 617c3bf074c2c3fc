#pragma once
// A first-in first-out queue shared between threads, with a manual-reset event that is signalled
// exactly while the queue holds items, so a worker can wait for work and for its stop event at
// once.
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "managementservice/TraceComponent.h"
#include "platform/sync/Sync.h"
#include "platform/trace/Trace.h"

template <class T>
class tProtectedFlaggedQueue
{
public:
  tProtectedFlaggedQueue()
  {
    try {
      m_event = std::make_unique<Event>(true, false);
    } catch (const std::system_error& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Failed to create event %d", e.code().value());
      throw std::runtime_error("tProtectedFlaggedQueue::tProtectedFlaggedQueue() failed to create event");
    }
  }
  tProtectedFlaggedQueue(const tProtectedFlaggedQueue&) = delete;
  tProtectedFlaggedQueue& operator=(const tProtectedFlaggedQueue&) = delete;

  void push(T item)
  {
    std::lock_guard lock(m_lock);
    m_list.push_back(std::move(item));
    m_event->Set();
  }

  T pop()
  {
    std::lock_guard lock(m_lock);
    if (m_list.empty())
      throw std::out_of_range("tProtEventQueue: Popping empty queue");
    T item = std::move(m_list.front());
    m_list.pop_front();
    if (m_list.empty())
      m_event->Reset();
    return item;
  }

  std::size_t size() const
  {
    std::lock_guard lock(m_lock);
    return m_list.size();
  }

  // Drops every item.
  void clear()
  {
    std::lock_guard lock(m_lock);
    m_list.clear();
    m_event->Reset();
  }

  DWORD wait(DWORD timeout) { return m_event->Wait(timeout); }
  // WAIT_OBJECT_0 when other is signalled (it wins a tie), WAIT_OBJECT_0 + 1 when the queue has
  // items, WAIT_TIMEOUT otherwise.
  DWORD wait(Event& other, DWORD timeout) { return WaitForEither(other, *m_event, timeout); }

private:
  mutable std::mutex m_lock;
  std::deque<T> m_list;
  std::unique_ptr<Event> m_event;
};
