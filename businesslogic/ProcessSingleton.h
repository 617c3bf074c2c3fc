#pragma once
// A process-wide single instance: created on first use under a lock with a second check inside
// it, destroyed at process exit; a use after the destruction raises std::logic_error
// "Dead reference detected". A creation that throws stores nothing, so the next use tries again.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

template <class T>
class TProcessSingleton
{
public:
  static T& Instance()
  {
    if (T* p = s_instance.load(std::memory_order_acquire))
      return *p;
    std::lock_guard lock(s_mutex);
    if (s_destroyed)
      throw std::logic_error("Dead reference detected");
    T* p = s_instance.load(std::memory_order_relaxed);
    if (!p) {
      p = new T();
      if (!s_destroyerRegistered) {
        std::atexit(&Destroy);
        s_destroyerRegistered = true;
      }
      s_instance.store(p, std::memory_order_release);
    }
    return *p;
  }

  // The instance when it exists, without creating it.
  static T* Peek() { return s_instance.load(std::memory_order_acquire); }

  // The process-exit destroyer.
  static void Destroy()
  {
    std::lock_guard lock(s_mutex);
    delete s_instance.exchange(nullptr);
    s_destroyed = true;
  }

private:
  static inline std::atomic<T*> s_instance{nullptr};
  static inline std::mutex s_mutex;
  static inline bool s_destroyed = false;
  static inline bool s_destroyerRegistered = false;
};
