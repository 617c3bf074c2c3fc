#pragma once
// What the messaging benchmarks share: a private scratch folder, a messaging location of their
// own (nats-server on a free loopback port and corvex-relay beside it, both stopped by PID
// whatever happens, the children dying with the benchmark), /proc figures of a process, the
// load average, and percentiles.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nats/nats.h>

#include "messaging/NatsLink.h"

namespace benchsupport {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::duration d);

// What was measured: the source tree's commit (and whether messaging/ differs from it) and when
// the relay program was built, since the tree changes under other hands.
std::string Provenance();

// "1.23 0.98 0.77" from /proc/loadavg.
std::string LoadAverage();

// A process as /proc shows it; pid 0 is this process.
struct ProcessSample
{
  double cpuSeconds = 0;  // user + system
  long rssKb = 0;
  long hwmKb = 0;  // peak RSS
  long threads = 0;
};
ProcessSample Sample(pid_t pid);

// Kills every child still registered with SIGKILL on SIGINT, SIGTERM or SIGHUP, then exits.
void InstallSignalCleanup();

// A child process: standard output and error to a log file; it gets SIGKILL when the benchmark
// dies (PR_SET_PDEATHSIG), and from the destructor when it still runs. Start from the main
// thread only (the death signal follows the thread that forked).
class Child
{
public:
  Child(const std::string& program, const std::vector<std::string>& args, const std::string& logFile);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t Pid() const { return m_pid; }
  bool Running();
  // Signals and waits; SIGKILL after the timeout. The exit status.
  int Stop(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
  std::string Log() const;

private:
  pid_t m_pid = -1;
  bool m_reaped = false;
  std::string m_log;
};

// A folder of its own under $TMPDIR (else /tmp), removed at the end unless kept.
class Scratch
{
public:
  explicit Scratch(const std::string& prefix, bool keep = false);
  ~Scratch();
  const std::string& Path() const { return m_path; }

private:
  std::string m_path;
  bool m_keep;
};

// A messaging location of the benchmark's own: the configuration directory, the server and the
// relay.
class Location
{
public:
  // Initialises DIR = folder/messaging on a free loopback port and enrols the service address
  // and `clients` in one change.
  Location(const std::string& folder, const std::vector<std::string>& clients);
  ~Location();
  const std::string& Directory() const { return m_dir; }
  int Port() const { return m_port; }

  // Seconds from the start to the port open.
  double StartServer();
  void StopServer();
  // Seconds from the start to "active on" in the relay's log. The relay logs at `logLevel`.
  double StartRelay(int logLevel = 2);
  void StopRelay();
  pid_t ServerPid() const { return m_server ? m_server->Pid() : 0; }
  pid_t RelayPid() const { return m_relay ? m_relay->Pid() : 0; }
  std::string RelayLog() const { return m_relay ? m_relay->Log() : std::string(); }
  bool RelayRunning() { return m_relay && m_relay->Running(); }

private:
  std::string m_folder, m_dir;
  int m_port;
  std::unique_ptr<Child> m_server, m_relay;
  int m_starts = 0;
};

// A plain libnats connection with an enrolled client's own credentials (TLS, nkey), as the
// library makes it, but without the library: the baseline's and the administration's.
class PlainConnection
{
public:
  // Options made once and reused for many connections: libnats copies them at each connect and
  // the copies share the TLS context (CA loaded once). Changed per connect under the lock.
  struct SharedOptions
  {
    explicit SharedOptions(const std::string& directory);
    ~SharedOptions();
    std::mutex mutex;
    natsOptions* options = nullptr;
  };

  // Tries again when the server refuses the nonce's signature (libnats 3.4.1 drops signatures
  // that begin with a zero byte: one connect in 256).
  PlainConnection(const std::string& directory, const std::string& address, bool sendAsap = false,
                  SharedOptions* shared = nullptr);
  ~PlainConnection();
  natsConnection* Get() const { return m_nc; }
  jsCtx* JetStream();  // made on first use
  // A second context for asynchronous publishing: at most `maxPending` letters in flight;
  // `onAck` for each ack. Made on first use.
  jsCtx* PipelinedJetStream(int maxPending, jsPubAckHandler onAck, void* closure);

private:
  std::unique_ptr<messaging::NKeyIdentity> m_identity;
  natsConnection* m_nc = nullptr;
  jsCtx* m_js = nullptr;
  jsCtx* m_asyncJs = nullptr;
};

// Percentile p (0..100) of the values (sorted in place); 0 when empty.
double Percentile(std::vector<double>& values, double p);

// Prints a table with aligned columns.
void PrintTable(const std::vector<std::vector<std::string>>& rows);
std::string Fixed(double value, int decimals = 0);

}  // namespace benchsupport
