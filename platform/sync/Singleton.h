#pragma once
// A process-wide object created on first use under a lock with a second check inside it, and
// destroyed at process exit; a use after that throws std::logic_error "Dead reference detected".
// A constructor that throws leaves nothing behind, so the next use tries again.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

template <class T>
class TSingleton
{
public:
  static T& Instance()
  {
    T* p = s_instance.load(std::memory_order_acquire);
    if (!p) {
      std::lock_guard<std::mutex> lock(Lock());
      p = s_instance.load(std::memory_order_relaxed);
      if (!p) {
        if (s_destroyed)
          throw std::logic_error("Dead reference detected");
        p = new T;
        s_instance.store(p, std::memory_order_release);
        std::atexit(&Destroy);
      }
    }
    return *p;
  }

private:
  static std::mutex& Lock()
  {
    static std::mutex* m = new std::mutex;  // usable during static destruction
    return *m;
  }
  static void Destroy()
  {
    std::lock_guard<std::mutex> lock(Lock());
    delete s_instance.exchange(nullptr);
    s_destroyed = true;
  }
  static inline std::atomic<T*> s_instance{nullptr};
  static inline bool s_destroyed = false;
};
