#include "messaging/ProcessSupport.h"

#include <csignal>
#include <stdexcept>

#include <pthread.h>

namespace messaging {

namespace {

sigset_t StopSignals()
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void BlockStopSignals()
{
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int WaitForStopSignal()
{
  const sigset_t set = StopSignals();
  int signal = 0;
  sigwait(&set, &signal);
  return signal;
}

long ParseWholeNumber(const std::string& what, const std::string& text, long minimum, long maximum)
{
  std::size_t used = 0;
  long n = 0;
  try {
    n = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || n < minimum || n > maximum)
    throw std::invalid_argument(what + ": expected a whole number from " + std::to_string(minimum) + " to " +
                                std::to_string(maximum) + ", got `" + text + "`");
  return n;
}

}  // namespace messaging
