#pragma once
// The console's door. One thread accepts connections, runs their TLS handshakes and reads each
// request whole without ever blocking; only a complete request reaches one of the workers. A
// client that dribbles its bytes, or takes its answer slowly, costs a socket and some memory,
// never a worker, and loses its connection when the request deadline passes. Connections are limited per client address
// and in all; when all are taken, the slowest makes room for a newcomer.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

namespace httplib {
class Stream;
}

namespace corvexweb {

struct FrontLimits
{
  int workers = 8;
  int connectionsPerAddress = 16;
  int connections = 512;
  // From a connection's first byte (its handshake included) or a request's first byte to the
  // request's last byte; also the time a client has to take an answer. Up to 256 KB of an
  // answer the client has not taken wait in the door, not in a worker.
  std::chrono::milliseconds requestDeadline{10000};
  // How long a connection may wait for its next request.
  std::chrono::milliseconds keepAlive{30000};
  std::size_t headerBytes = 16 * 1024;
  std::size_t bodyBytes = 64 * 1024;
};

// What the door let through and what it refused, for tests and for whoever reports on the
// console.
struct FrontCounters
{
  std::atomic<unsigned long long> accepted{0};
  std::atomic<unsigned long long> requests{0};
  std::atomic<unsigned long long> refusedPerAddress{0};
  std::atomic<unsigned long long> refusedFull{0};
  // Connections dropped, unfinished or idle, to let a new one in when the door was full.
  std::atomic<unsigned long long> madeRoom{0};
  std::atomic<unsigned long long> deadlineMissed{0};
  std::atomic<unsigned long long> malformed{0};
  std::atomic<unsigned long long> oversize{0};
};

class HttpsFront
{
public:
  // Runs on a worker with one complete request readable from `stream` and answers through it.
  // `closeConnection` asks for the connection to end after the answer; returns false when the
  // connection must end anyway.
  using Handler = std::function<bool(httplib::Stream& stream, bool closeConnection)>;
  // A refused or dropped client: its address and why, in words. Called at most once a minute
  // per address and kind of refusal, so that a flood does not flood the log.
  using Reporter = std::function<void(const std::string& address, const std::string& what)>;

  // Loads the certificate and key (throws std::runtime_error when they do not make a pair).
  HttpsFront(const std::string& certificateFile, const std::string& keyFile, FrontLimits limits, Handler handler,
             Reporter reporter);
  ~HttpsFront();
  HttpsFront(const HttpsFront&) = delete;
  HttpsFront& operator=(const HttpsFront&) = delete;

  // Listens on the address and port (0: any free one); returns the port or throws.
  int Bind(const std::string& address, int port);
  // Serves until Stop, on the calling thread; the workers live as long as this call.
  void Serve();
  void Stop();

  const FrontCounters& Counters() const { return m_counters; }

  // An answer that streams for as long as the client listens (server-sent events) calls this
  // before each write of its own, so that the write deadline counts from that write.
  static void RenewWriteDeadline();

private:
  struct Connection;
  class RequestStream;
  enum class Check { Incomplete, Complete, Malformed, HeadersTooLarge, BodyTooLarge, NotSupported };

  void Accept();
  bool MakeRoom();
  void Advance(Connection& c);
  void ReadRequest(Connection& c);
  Check CheckRequest(Connection& c);
  void HandOff(Connection& c);
  void TakeBack();
  // Back to waiting for the connection's next request (`add`: to the watched set again).
  void Resume(Connection& c, bool add);
  void Expire();
  void Refuse(Connection& c, int status, const char* reason);
  void Close(Connection& c);
  void Watch(Connection& c, bool add);
  // Rate-limited per address and kind of refusal.
  void Report(const std::string& address, const char* kind, const std::string& what);
  int MillisecondsToNextDeadline() const;
  // The request deadline in seconds, as the refusals say it.
  std::string DeadlineText() const;
  void Work();

  FrontLimits m_limits;
  Handler m_handler;
  Reporter m_reporter;
  SSL_CTX* m_context = nullptr;
  int m_listener = -1;
  int m_epoll = -1;
  int m_wake = -1;
  std::atomic<bool> m_stopping{false};
  std::chrono::steady_clock::time_point m_acceptPausedUntil{};
  FrontCounters m_counters;

  // The loop thread's own: every connection, and how many each address holds.
  std::map<int, std::unique_ptr<Connection>> m_connections;
  std::map<std::string, int> m_perAddress;
  std::map<std::string, std::chrono::steady_clock::time_point> m_lastReported;

  // Complete requests waiting for a worker, and connections the workers are done with.
  std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<Connection*> m_waiting;
  std::vector<Connection*> m_done;
  bool m_workersStop = false;
  std::vector<std::thread> m_workers;
};

}  // namespace corvexweb
