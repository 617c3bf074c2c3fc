#include "platform/com/Memory.h"

#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The top of the calling thread's stack, read once per thread (0 when unknown).
std::uintptr_t ThreadStackTop()
{
  thread_local const std::uintptr_t top = [] {
    std::uintptr_t t = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* low = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &low, &size) == 0)
        t = reinterpret_cast<std::uintptr_t>(low) + size;
      pthread_attr_destroy(&attr);
    }
    return t;
  }();
  return top;
}

}  // namespace

void* CoTaskMemAlloc(std::size_t cb) { return std::malloc(cb ? cb : 1); }
void* CoTaskMemRealloc(void* p, std::size_t cb) { return std::realloc(p, cb ? cb : 1); }
void CoTaskMemFree(void* p) { std::free(p); }

bool IsBadReadPtr(const void* p, std::size_t cb)
{
  if (cb == 0)
    return false;
  if (!p)
    return true;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  if (start + cb < start)
    return true;
  // process_vm_readv on our own pid copies through the kernel, which reports EFAULT for an
  // unreadable page instead of raising a signal.
  char scratch[4096];
  std::size_t done = 0;
  while (done < cb) {
    const std::size_t n = std::min(sizeof scratch, cb - done);
    iovec local{scratch, n};
    iovec remote{reinterpret_cast<void*>(start + done), n};
    const ssize_t r = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (r != static_cast<ssize_t>(n))
      return true;
    done += n;
  }
  return false;
}

bool IsBadWritePtr(void* p, std::size_t cb)
{
  if (cb == 0)
    return false;
  if (!p)
    return true;
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const auto end = begin + cb;
  if (end < begin)
    return true;
  // Callers mostly pass their own variables: the part of this thread's stack in use, from this
  // frame up to the top, is writable, which spares reading the mappings table (clock fetches
  // probe two such variables with every message the service processes).
  volatile char here = 0;
  const std::uintptr_t top = ThreadStackTop();
  if (top != 0 && begin >= reinterpret_cast<std::uintptr_t>(&here) && end <= top)
    return false;
  // The mappings table tells writability without touching (and racing on) the memory itself.
  FILE* maps = std::fopen("/proc/self/maps", "re");
  if (!maps)
    return true;
  std::uintptr_t covered = begin;
  char line[512];
  while (covered < end && std::fgets(line, sizeof line, maps)) {
    unsigned long lo = 0, hi = 0;
    char perms[8] = {};
    if (std::sscanf(line, "%lx-%lx %7s", &lo, &hi, perms) != 3)
      continue;
    if (hi <= covered || lo > covered)
      continue;
    if (perms[1] != 'w')
      break;
    covered = hi;
  }
  std::fclose(maps);
  return covered < end;
}
