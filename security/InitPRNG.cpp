#include "security/InitPRNG.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "security/MemBuff.h"
#include "security/SecurityException.h"

namespace LanternSecurity {

namespace {

constexpr std::size_t kSeedLength = 1024;

std::mutex g_seedMutex;
bool g_seeded = false;

// Reads exactly `length` bytes from the kernel's random source.
void ReadKernelRandom(std::uint8_t* out, std::size_t length)
{
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    LANTERN_THROW(Win32GetCryptographicContext);
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, out + got, length - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      ::close(fd);
      LANTERN_THROW(RandomSeedGeneration);
    }
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

void InitPRNG()
{
  std::lock_guard<std::mutex> lock(g_seedMutex);
  if (g_seeded)
    return;
  MemBuff seed(kSeedLength);
  ReadKernelRandom(seed.Data(), seed.Length());
  RAND_seed(seed.Data(), static_cast<int>(seed.Length()));
  if (RAND_status() != 1)
    LANTERN_THROW(PRNGInitialisation);
  g_seeded = true;
}

void RandomBytes(std::uint8_t* out, std::size_t length)
{
  if (RAND_status() != 1)
    LANTERN_THROW(PRNGUninitialised);
  if (RAND_bytes(out, static_cast<int>(length)) != 1)
    LANTERN_THROW(PRNGUninitialised);
}

}  // namespace LanternSecurity
