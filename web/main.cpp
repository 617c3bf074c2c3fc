// corvex-web: the web console. A console client like corvexctl: it reads the database through
// the business layer and acts through the service's console objects, for the console
// administrators group, over HTTPS.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "metrics/Exporter.h"
#include "platform/trace/Trace.h"
#include "security/Wipe.h"
#include "web/Certificate.h"
#include "web/WebServer.h"

namespace {

const char* const kUsage =
  "usage: corvex-web\n"
  "\n"
  "Serves the web console over HTTPS until it receives SIGTERM or SIGINT. Settings are registry\n"
  "values ($CORVEX_REGISTRY) under HKLM\\Software\\Corvex\\KT\\Management Tools\\Web Console:\n"
  "  ListenAddress (default 0.0.0.0), Port (DWORD, default 8443),\n"
  "  CertificateFile (default /etc/corvex/web-certificate.pem), KeyFile (default\n"
  "  /etc/corvex/web-key.pem): a self-signed pair is made at start when neither exists,\n"
  "  PamService (default corvex-web), SessionIdleMinutes (DWORD, default 15).\n"
  "Limits (DWORDs): Workers (threads answering requests, default 8), ConnectionsPerAddress\n"
  "  (default 16), Connections (default 512), RequestDeadlineSeconds (a whole request, the TLS\n"
  "  handshake included, default 10), KeepAliveSeconds (default 30), LoginAttempts (per account\n"
  "  from one address, default 5), LoginAccountAttempts (per account from all addresses, then\n"
  "  one per address, default 20), LoginLockoutSeconds (default 300).\n"
  "Outbreak rule (DWORDs): OutbreakComputers (2-100000, default 10) computers reporting one virus\n"
  "  within OutbreakMinutes (1-10080, default 60) make an outbreak, shown as a banner on every page\n"
  "  and reported once to the event log; OutbreakCheckSeconds (5-3600, default 60): how often the\n"
  "  console looks while no page asks.\n"  "Log-in takes a Linux account in ConsoleAdministratorsGroup of the Management Service key\n"
  "(default corvex-console-admins). The database and the service are found as corvexctl finds them.\n"
  "Metrics (requests, their durations, refused log-ins) at http://MetricsAddress:MetricsPort/metrics\n"
  "  (defaults 127.0.0.1 and 9476; port 0: none).\n";

}  // namespace

int main(int argc, char** argv)
{
  // Install passwords typed into the console pass through buffers (the JSON parser's, the ORB's)
  // that only the allocator can wipe when they are freed.
  LanternSecurity::WipeFreedMemory();
  if (argc > 1) {
    const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  if (!std::getenv("CORVEX_TRACE_LEVEL"))
    trace::SetLevel(0);
  // SIGTERM and SIGINT are taken by one thread that stops the server; every other thread (the
  // ORB's included) is started with them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  try {
    const corvexweb::WebSettings settings = corvexweb::WebSettings::FromRegistry();
    if (corvexweb::EnsureSelfSignedCertificate(settings.certificateFile, settings.keyFile))
      std::printf("corvex-web: made a self-signed certificate %s (key %s)\n", settings.certificateFile.c_str(),
                  settings.keyFile.c_str());

    corvexweb::ConsoleData data;
    corvexweb::WebServer server(settings, data);
    const int port = server.Bind();
    server.Charts().Watch();
    if (std::string why; !metrics::StartProcessExporter(L"SOFTWARE\\Corvex\\KT\\Management Tools\\Web Console", why,
                                                        metrics::kDefaultWebMetricsPort))
      std::fprintf(stderr, "corvex-web: no metrics: %s\n", why.c_str());
    std::thread([&server, stopSignals] {
      int signal = 0;
      sigwait(&stopSignals, &signal);
      server.Stop();
    }).detach();
    const std::string host = settings.listenAddress == "0.0.0.0" ? "localhost" : settings.listenAddress;
    std::printf("corvex-web: listening on https://%s:%d/ (log in with a Linux account of the group \"%s\")\n", host.c_str(),
                port, settings.administratorsGroup.c_str());
    std::fflush(stdout);
    server.Serve();
    std::printf("corvex-web: stopped\n");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvex-web: %s\n", e.what());
    return 1;
  }
}
