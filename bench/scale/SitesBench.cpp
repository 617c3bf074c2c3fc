// Agent connections held by one server, directly and through a site's server (a leaf node), for
// the sizing table: a head office and a site written by corvex-nats plan in a scratch folder, N
// agents enrolled at each with their own credentials, then
//   1. N connections to the head office's server: opened (TLS, nkey) from 4 threads, each
//      subscribed to its delivery subject as the library subscribes; held while the server's
//      RSS and CPU are sampled (idle connections cost only their heartbeats: the server pings
//      every 20 s and so do the clients);
//   2. the same N to the site's server: the site's and the head office's RSS and CPU (the head
//      office learns every subscription over the link); a message from the head office to 200
//      of them picked at random, which crosses the link.
//
//   scale_sites_bench [--agents 10000] [--hold 20] [--keep]
#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/messaging/BenchSupport.h"
#include "messaging/Enrolment.h"
#include "messaging/NatsLink.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-nats/Plan.h"

namespace {

using namespace benchsupport;
namespace wire = messaging::wire;

std::string Address(int i) { return "PC" + std::to_string(i) + ".Agent"; }
std::string Mb(long kb) { return Fixed(kb / 1024.0, 1) + " MB"; }

struct Counter
{
  std::atomic<int> received{0};
  static void OnMsg(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
  {
    ++static_cast<Counter*>(closure)->received;
    natsMsg_Destroy(msg);
  }
};

// N connections of one directory's agents, opened and later closed.
struct Fleet
{
  std::vector<std::unique_ptr<PlainConnection>> connections;
  std::vector<natsSubscription*> subs;
  std::vector<Counter> counters;
  double seconds = 0;
  double lastThousand = 0;
  int failed = 0;

  Fleet(const std::string& dir, int n) : connections(n), subs(n, nullptr), counters(n)
  {
    std::vector<std::unique_ptr<PlainConnection::SharedOptions>> shared;
    for (int t = 0; t < 4; ++t)
      shared.push_back(std::make_unique<PlainConnection::SharedOptions>(dir));
    std::atomic<int> next{0}, failures{0};
    std::vector<double> doneAt(n, 0);
    const auto start = Clock::now();
    std::vector<std::thread> openers;
    for (int t = 0; t < 4; ++t)
      openers.emplace_back([&, t] {
        for (int i; (i = next++) < n;) {
          try {
            auto c = std::make_unique<PlainConnection>(dir, Address(i + 1), false, shared[t].get());
            if (natsConnection_Subscribe(&subs[i], c->Get(), wire::DeliverySubject(Address(i + 1)).c_str(),
                                         &Counter::OnMsg, &counters[i]) != NATS_OK)
              throw std::runtime_error("subscribe failed");
            connections[i] = std::move(c);
            doneAt[i] = Seconds(Clock::now() - start);
          } catch (const std::exception& e) {
            if (failures++ == 0)
              std::cerr << "connection " << i + 1 << ": " << e.what() << "\n";
          }
        }
      });
    for (auto& t : openers)
      t.join();
    seconds = Seconds(Clock::now() - start);
    std::sort(doneAt.begin(), doneAt.end());
    lastThousand = n > 1000 ? doneAt.back() - doneAt[doneAt.size() - 1001] : seconds;
    failed = failures;
  }
  ~Fleet()
  {
    for (auto* s : subs)
      if (s)
        natsSubscription_Destroy(s);
    connections.clear();
  }
};

struct Hold
{
  ProcessSample sample;
  double cpu = 0;  // share of a core
};

std::vector<Hold> HoldFor(const std::vector<pid_t>& pids, int seconds)
{
  std::vector<ProcessSample> before;
  for (pid_t p : pids)
    before.push_back(Sample(p));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double elapsed = Seconds(Clock::now() - start);
  std::vector<Hold> holds;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    Hold h;
    h.sample = Sample(pids[i]);
    h.cpu = (h.sample.cpuSeconds - before[i].cpuSeconds) / elapsed;
    holds.push_back(h);
  }
  return holds;
}

}  // namespace

int main(int argc, char** argv)
{
  int agents = 10000, hold = 20;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--agents" || a == "--hold") && i + 1 < argc)
      (a == "--agents" ? agents : hold) = std::max(1, std::atoi(argv[++i]));
    else if (a == "--keep")
      keep = true;
    else {
      std::cerr << "usage: scale_sites_bench [--agents 10000] [--hold 20] [--keep]\n";
      return 2;
    }
  }
  InstallSignalCleanup();
  try {
    Scratch scratch("corvex-scale-bench", keep);
    auto port = [] { return std::to_string(e2e::FreeLoopbackPort()); };
    const std::string description = "head hq host=127.0.0.1 listen=127.0.0.1 port=" + port() + " leaf-port=" +
                                    port() + "\nsite site1 host=127.0.0.1 listen=127.0.0.1 port=" + port() + "\n";
    corvexnats::WritePlan(corvexnats::ParsePlan(description), scratch.Path());
    const std::string head = scratch.Path() + "/hq", site = scratch.Path() + "/site1";
    std::vector<std::string> addresses;
    for (int i = 1; i <= agents; ++i)
      addresses.push_back(Address(i));
    std::vector<std::vector<std::string>> table = {{"what", "figure", "load avg"}};
    auto row = [&](const std::string& what, const std::string& figure) {
      table.push_back({what, figure, LoadAverage()});
      std::cout << what << ": " << figure << std::endl;
    };
    auto started = Clock::now();
    messaging::enrolment::Enrol(head, addresses);
    messaging::enrolment::Enrol(site, addresses);
    row(std::to_string(agents) + " agents enrolled at each server", Fixed(Seconds(Clock::now() - started), 1) + " s");

    int headStarts = 0;
    auto startHead = [&] {
      return std::make_unique<Child>("/usr/sbin/nats-server",
                                     std::vector<std::string>{"-c", messaging::enrolment::ConfigFile(head)},
                                     head + "/server-" + std::to_string(++headStarts) + ".log");
    };
    auto headServer = startHead();
    Child siteServer("/usr/sbin/nats-server", {"-c", messaging::enrolment::ConfigFile(site)}, site + "/server.log");
    if (!siteServer.WaitForLog("account: SYS", std::chrono::seconds(60)) ||
        !siteServer.WaitForLog("account: CVX", std::chrono::seconds(60)))
      throw std::runtime_error("the site did not join the head office: " + siteServer.Log());

    // Through the site first; then the head office's server starts afresh (a Go heap does not
    // give back what it held) for the connections of its own.
    for (const bool throughSite : {true, false}) {
      if (!throughSite) {
        headServer->Stop(SIGTERM);
        headServer = startHead();
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        auto joined = [&] {
          const std::string log = siteServer.Log();
          int count = 0;
          for (auto at = log.find("created for account: CVX"); at != std::string::npos;
               at = log.find("created for account: CVX", at + 1))
            ++count;
          return count >= 2;
        };
        while (!joined()) {
          if (Clock::now() > deadline)
            throw std::runtime_error("the site did not join the restarted head office");
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
      const auto idle = HoldFor({headServer->Pid(), siteServer.Pid()}, 2);
      row("idle: head office server RSS, site server RSS", Mb(idle[0].sample.rssKb) + ", " + Mb(idle[1].sample.rssKb));
      const std::string label = throughSite ? "through the site" : "to the head office";
      Fleet fleet(throughSite ? site : head, agents);
      row(std::to_string(agents) + " connections " + label + " opened (4 threads)",
          Fixed(fleet.seconds, 1) + " s (" + Fixed(agents / fleet.seconds) + "/s), the last 1,000 in " +
            Fixed(fleet.lastThousand, 1) + " s" + (fleet.failed ? ", " + std::to_string(fleet.failed) + " failed" : ""));
      const auto h = HoldFor({headServer->Pid(), siteServer.Pid()}, hold);
      const double perThousand = 1000.0 / agents;
      for (int s = 0; s < 2; ++s) {
        if (!throughSite && s == 1)
          continue;
        const long grown = h[s].sample.rssKb - idle[s].sample.rssKb;
        row(std::string(s == 0 ? "head office" : "site") + " server, " + label + ", held " + std::to_string(hold) +
              " s: RSS, CPU",
            Mb(h[s].sample.rssKb) + " (+" + Fixed(grown * perThousand / 1024.0, 1) + " MB per 1,000), " +
              Fixed(100 * h[s].cpu, 1) + "% of a core (" + Fixed(100 * h[s].cpu * perThousand, 2) + "% per 1,000)");
      }
      if (throughSite) {
        // From the head office to agents on the site: the letters' way as the relay sends them.
        PlainConnection admin(head, wire::kDefaultRelayName);
        std::mt19937 random(7);
        std::vector<int> picked(agents);
        for (int i = 0; i < agents; ++i)
          picked[i] = i;
        std::shuffle(picked.begin(), picked.end(), random);
        picked.resize(std::min(agents, 200));
        int before = 0;
        for (int p : picked)
          before += fleet.counters[p].received;
        for (int p : picked)
          natsConnection_PublishString(admin.Get(), wire::DeliverySubject(Address(p + 1)).c_str(), "probe");
        natsConnection_Flush(admin.Get());
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        int after = before;
        while (after - before < static_cast<int>(picked.size()) && Clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          after = 0;
          for (int p : picked)
            after += fleet.counters[p].received;
        }
        row("a message from the head office to " + std::to_string(picked.size()) + " agents on the site",
            std::to_string(after - before) + " of " + std::to_string(picked.size()) + " received");
      }
    }
    std::cout << "\n" << Provenance() << "\n\n";
    PrintTable(table);
  } catch (const std::exception& e) {
    std::cerr << "scale_sites_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
