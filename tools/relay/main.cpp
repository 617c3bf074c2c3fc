// corvex-relay: the process beside the messaging server that logs clients on and off, keeps
// letters for offline agents, returns the ones that cannot be delivered and answers letters
// addressed to ":"; see messaging/README.md.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "idl/CorvexMessaging.hh"
#include "messaging/PayloadCheck.h"
#include "messaging/ProcessSupport.h"
#include "messaging/Relay.h"

namespace {

void Usage(FILE* out)
{
  std::fputs(
      "usage: corvex-relay --messaging DIR [--name NAME] [--notice-ttl SECONDS] [--max-ack-pending N]\n"
      "                    [--agent-window N] [--redeliver SECONDS] [--log-level 0-3]\n"
      "                    [--max-ttl SECONDS] [--sender-rate N] [--max-waiting N]\n"
      "                    [--payload-nesting N] [--payload-anys N] [--payload-work N]\n"
      "  DIR is the messaging directory made by `corvex-nats init` (url, ca.pem, the relay's keys).\n"
      "  Several relays may run: one is active, the others wait for its lease to lapse.\n",
      out);
}

}  // namespace

int main(int argc, char* argv[])
{
  messaging::BlockStopSignals();
  messaging::RelaySettings settings;
  messaging::PayloadLimits limits;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc)
          throw std::invalid_argument(a + ": a value is missing");
        return argv[++i];
      };
      if (a == "--help" || a == "-h") {
        Usage(stdout);
        return 0;
      } else if (a == "--messaging") {
        settings.directory = value();
      } else if (a == "--name") {
        settings.name = value();
      } else if (a == "--notice-ttl") {
        settings.noticeTimeToLive = messaging::ParseWholeNumber(a, value(), 1, 0x7FFFFFFF);
      } else if (a == "--max-ack-pending") {
        settings.maxAckPending = static_cast<int>(messaging::ParseWholeNumber(a, value(), 1, 1000000));
      } else if (a == "--agent-window") {
        settings.agentWindow = static_cast<int>(messaging::ParseWholeNumber(a, value(), 1, 100000));
      } else if (a == "--redeliver") {
        settings.redeliverSeconds = static_cast<int>(messaging::ParseWholeNumber(a, value(), 1, 86400));
      } else if (a == "--max-ttl") {
        settings.maxTimeToLive = messaging::ParseWholeNumber(a, value(), 1, 0x7FFFFFFF);
      } else if (a == "--sender-rate") {
        settings.senderRate = static_cast<int>(messaging::ParseWholeNumber(a, value(), 1, 1000000));
      } else if (a == "--max-waiting") {
        settings.maxWaiting = static_cast<int>(messaging::ParseWholeNumber(a, value(), 1, 100000000));
      } else if (a == "--payload-nesting") {
        limits.nesting = static_cast<unsigned>(messaging::ParseWholeNumber(a, value(), 2, 64));
      } else if (a == "--payload-anys") {
        limits.anys = static_cast<unsigned>(messaging::ParseWholeNumber(a, value(), 1, 16));
      } else if (a == "--payload-work") {
        limits.work = static_cast<std::uint64_t>(messaging::ParseWholeNumber(a, value(), 1000, 100000000));
      } else if (a == "--log-level") {
        settings.logLevel = static_cast<int>(messaging::ParseWholeNumber(a, value(), 0, 3));
      } else {
        throw std::invalid_argument("unknown option `" + a + "`");
      }
    }
    if (settings.directory.empty())
      throw std::invalid_argument("--messaging DIR is required");
    messaging::SetPayloadLimits(limits);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "corvex-relay: %s\n", e.what());
    Usage(stderr);
    return 2;
  }
  // The ORB encodes the relay's own letters (wide texts in UTF-16); it serves nothing, and would
  // do so on a private Unix socket only.
  int orbArgc = 1;
  char name[] = "corvex-relay";
  char* orbArgv[] = {name, nullptr};
  const char* options[][2] = {{"defaultWCharCodeSet", "UTF-16"},
                              {"endPoint", "giop:unix:"},
                              {"unixTransportPermission", "600"},
                              {nullptr, nullptr}};
  CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, orbArgv, "omniORB4", options);

  std::atomic<bool> stop{false};
  std::thread waiter([&stop] {
    messaging::WaitForStopSignal();
    stop = true;
  });
  waiter.detach();
  const int code = messaging::RunRelay(settings, stop);
  orb->destroy();
  return code;
}
