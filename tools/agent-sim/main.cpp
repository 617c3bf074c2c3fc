// corvex-agent-sim: simulated managed computers for the router; see AgentSimUsage().
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include <mutex>
#include <sstream>
#include <thread>

#include "messaging/Letters.h"
#include "messaging/ProcessSupport.h"
#include "messaging/Enrolment.h"
#include "platform/trace/Trace.h"
#include "tools/agent-sim/AgentSimOptions.h"

namespace {

using namespace agentsim;
using namespace ZiriviridUrurezArevudUza;
using Clock = std::chrono::steady_clock;

std::mutex g_outputMutex;
std::mutex g_stopMutex;
std::condition_variable g_stopped;
bool g_stop = false;

void Print(const std::string& line)
{
  std::lock_guard lock(g_outputMutex);
  std::cout << line << std::endl;
}

void RequestStop()
{
  std::lock_guard lock(g_stopMutex);
  g_stop = true;
  g_stopped.notify_all();
}

bool Stopping()
{
  std::lock_guard lock(g_stopMutex);
  return g_stop;
}

struct Agent
{
  std::unique_ptr<SimulatedAgent> agent;
  IConnection* connection = nullptr;  // null once logged off
};

// Held around every use of an agent's connection by the command and event threads, so that a
// logoff never releases a connection while an event is being sent on it.
std::mutex g_connectionsMutex;

// Sends the event unless the agent has logged off.
CorvexMessaging::MessageId SendEvent(Agent& a, EventKind kind, const AgentSimOptions& options)
{
  std::lock_guard lock(g_connectionsMutex);
  if (!a.connection)
    return 0;
  return a.agent->SendEvent(kind, options.service, options.eventTtl);
}

// A clean logoff: the router tells its subscribers at once, and keeps the agent's letters.
void LogOff(Agent& a)
{
  std::lock_guard lock(g_connectionsMutex);
  if (!a.connection)
    return;
  a.connection->Release();
  a.connection = nullptr;
  a.agent->Attach(nullptr);
  Print(a.agent->GetComputer().AgentAddress() + " logged off");
}

// Ends at once without logging anybody off, as computers that lose power: the router finds them
// gone only when they stop answering.
[[noreturn]] void Vanish()
{
  Print("vanished");
  std::_Exit(0);
}

void Commands(std::vector<Agent>& agents, const AgentSimOptions& options)
{
  std::string line;
  while (!Stopping() && std::getline(std::cin, line)) {
    if (Stopping())
      return;
    std::istringstream in(line);
    std::string command, target, kindText;
    in >> command >> target >> kindText;
    if (command.empty())
      continue;
    if (command == "quit") {
      RequestStop();
      return;
    }
    if (command == "records") {
      for (auto& a : agents)
        for (const auto& r : a.agent->Records())
          Print(a.agent->GetComputer().AgentAddress() + " record " + r.type + " " + r.entity + " from " + r.from);
      continue;
    }
    if (command == "vanish")
      Vanish();
    EventKind kind;
    const bool logoff = command == "logoff" && !target.empty();
    if (!logoff && (command != "event" || target.empty() || !ParseEventKind(kindText, kind))) {
      Print("unknown command: " + line + " (event <address|all> <kind>, logoff <address|all>, vanish, records, quit)");
      continue;
    }
    bool any = false;
    for (auto& a : agents)
      if (target == "all" || target == a.agent->GetComputer().address) {
        if (logoff)
          LogOff(a);
        else
          SendEvent(a, kind, options);
        any = true;
      }
    if (!any)
      Print("no simulated computer " + target);
  }
}

// Calls `send` for the agents in turn, `perAgent` times a second each, until the simulator stops.
template <class Send>
void Paced(std::vector<Agent>& agents, double perAgent, Send send)
{
  const auto interval = std::chrono::duration<double>(1.0 / (perAgent * static_cast<double>(agents.size())));
  auto next = Clock::now();
  for (unsigned n = 0;; ++n) {
    next += std::chrono::duration_cast<Clock::duration>(interval);
    {
      std::unique_lock lock(g_stopMutex);
      if (g_stopped.wait_until(lock, next, [] { return g_stop; }))
        return;
    }
    auto& a = agents[n % agents.size()];
    if (a.agent->Connected())
      send(a, n / static_cast<unsigned>(agents.size()));
  }
}

void Events(std::vector<Agent>& agents, const AgentSimOptions& options)
{
  std::uint64_t sent = 0;
  Paced(agents, options.eventRate, [&](Agent& a, unsigned round) {
    // Each computer takes its turn through the kinds its components raise.
    EventKind kind;
    if (options.eventMix.Pick(round, a.agent->EventKinds(), kind))
      sent += SendEvent(a, kind, options) != 0;
  });
  Print("sent " + std::to_string(sent) + " events");
}

void StatusReplies(std::vector<Agent>& agents, const AgentSimOptions& options)
{
  std::uint64_t sent = 0;
  Paced(agents, options.statusRate, [&](Agent& a, unsigned) {
    std::lock_guard lock(g_connectionsMutex);
    if (a.connection)
      sent += a.agent->SendStatus(options.service, options.eventTtl) != 0;
  });
  Print("sent " + std::to_string(sent) + " status replies");
}

int Load(std::vector<Agent>& agents, const AgentSimOptions& options)
{
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  for (auto& a : agents)
    while (!a.agent->Connected() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (auto& a : agents)
    if (!a.agent->Connected()) {
      Print("load: " + a.agent->GetComputer().AgentAddress() + " could not log on");
      return 1;
    }

  std::atomic<std::uint64_t> sent{0}, refused{0};
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(options.loadSeconds);
  std::vector<std::thread> senders;
  for (std::size_t i = 0; i < agents.size(); ++i) {
    senders.emplace_back([&, i] {
      CorvexMessaging::Message m =
        messaging::MakeLetter(agents[(i + 1) % agents.size()].agent->GetComputer().AgentAddress(), LOAD_TEST_TYPE, 60);
      for (CORBA::Long n = 0; Clock::now() < end && !Stopping(); ++n) {
        m.custom_data <<= n;
        if (agents[i].connection->Send(m) != 0)
          ++sent;
        else
          ++refused;
      }
    });
  }
  for (auto& t : senders)
    t.join();
  const double sending = std::chrono::duration<double>(Clock::now() - start).count();
  auto received = [&] {
    std::uint64_t n = 0;
    for (auto& a : agents)
      n += a.agent->LoadReceived();
    return n;
  };
  const auto drain = Clock::now() + std::chrono::seconds(10);
  while (received() < sent && Clock::now() < drain)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  char text[256];
  std::snprintf(text, sizeof text,
                "load: %zu agents: sent %llu in %.2f s (%.0f envelopes/s), received %llu in %.2f s (%.0f envelopes/s), "
                "refused %llu",
                agents.size(), static_cast<unsigned long long>(sent.load()), sending, sent / sending,
                static_cast<unsigned long long>(received()), total, received() / total,
                static_cast<unsigned long long>(refused.load()));
  Print(text);
  return received() == sent ? 0 : 1;
}

int Run(const AgentSimOptions& options)
{
  std::unique_ptr<AgentDocuments> documents =
    options.documents.empty() ? std::make_unique<AgentDocuments>() : std::make_unique<AgentDocuments>(options.documents);
  const std::vector<Computer> computers = MakeComputers(options);
  std::string router = options.messaging;
  if (router.empty())
    router = std::getenv("CORVEX_MESSAGING") ? std::getenv("CORVEX_MESSAGING") : "/etc/corvex/messaging";
  if (options.enrol) {
    std::set<std::string> enrolled;
    for (const auto& entry : messaging::enrolment::List(router))
      enrolled.insert(entry.address);
    std::vector<std::string> missing;
    for (const auto& computer : computers)
      if (!enrolled.count(computer.AgentAddress()))
        missing.push_back(computer.AgentAddress());
    if (!missing.empty()) {
      messaging::enrolment::Enrol(router, missing);
      messaging::enrolment::Reload(router);
      // The server rereads its configuration in the background.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      Print("enrolled " + std::to_string(missing.size()) + " agents");
    }
  }

  IClientLibrary* library = IClientLibrary::Instance();
  char name[] = "corvex-agent-sim";
  char* argv[] = {name, nullptr};
  library->InitORB(1, argv);

  std::vector<Agent> agents;
  for (const auto& computer : computers) {
    Agent a;
    a.agent = std::make_unique<SimulatedAgent>(computer, options.components, *documents,
                                               options.quiet ? SimulatedAgent::Printer() : Print);
    a.connection = library->ConnectAs(a.agent.get(), computer.AgentAddress(), router);
    a.agent->Attach(a.connection);
    a.agent->StampSent(options.stampSent);
    a.connection->Configure(0, options.heartbeatSeconds);
    agents.push_back(std::move(a));
  }
  Print("simulating " + std::to_string(agents.size()) + " computers on " + router);

  int result = 0;
  if (options.loadSeconds > 0) {
    result = Load(agents, options);
  } else {
    std::thread(Commands, std::ref(agents), std::cref(options)).detach();
    std::thread events, statuses;
    if (options.eventRate > 0)
      events = std::thread(Events, std::ref(agents), std::cref(options));
    if (options.statusRate > 0)
      statuses = std::thread(StatusReplies, std::ref(agents), std::cref(options));
    {
      std::unique_lock lock(g_stopMutex);
      g_stopped.wait(lock, [] { return g_stop; });
    }
    if (events.joinable())
      events.join();
    if (statuses.joinable())
      statuses.join();
  }
  RequestStop();
  {
    std::lock_guard lock(g_connectionsMutex);
    for (auto& a : agents)
      if (a.connection)
        a.connection->Release();
  }
  library->ShutdownORB();
  Print("stopped");
  return result;
}

}  // namespace

int main(int argc, char* argv[])
{
  // The document classes trace each optional element they look for and miss as an error; the
  // simulator says itself what it drops, so their trace stays off unless asked for.
  if (!std::getenv("CORVEX_TRACE_LEVEL"))
    trace::SetLevel(-1);
  messaging::BlockStopSignals();
  std::thread([] {
    messaging::WaitForStopSignal();
    RequestStop();
  }).detach();

  AgentSimOptions options;
  try {
    options = ParseAgentSimArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (options.help) {
      std::cout << AgentSimUsage();
      return 0;
    }
    MakeComputers(options);
  } catch (const std::exception& e) {
    std::cerr << "corvex-agent-sim: " << e.what() << "\n" << AgentSimUsage();
    return 2;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::cerr << "corvex-agent-sim: " << e.what() << "\n";
  } catch (const CORBA::Exception& e) {
    std::cerr << "corvex-agent-sim: " << e._name() << "\n";
  }
  return 1;
}
