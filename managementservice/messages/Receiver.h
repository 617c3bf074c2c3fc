#pragma once
// Receiver: the service's envelope receiver. The messaging library hands it every envelope and
// every change of the connection on its own threads; the receiver turns envelopes into message
// objects by type and appends them to the processing queue, and its one processing thread runs
// every queued item in order. The end of that thread, for any reason, stops the service.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "managementservice/messages/CreatorFn.h"
#include "messaging/ClientLibrary.h"

class CThreadDatabase;

class Receiver : public ZiriviridUrurezArevudUza::IEnvelopeReceiver
{
public:
  // Where the receiver finds the connection to send its registration letters through, and the
  // service's stop step. Empty: the service module's connection and stop step.
  using ConnectionSource = std::function<ZiriviridUrurezArevudUza::IConnection*()>;
  using StopStep = std::function<void()>;
  // The processing thread's own database, opened on that thread (a failure there is fatal as a
  // lost database is). Empty: the service's database while the service module runs, else
  // none (every call then commits on its own).
  using DatabaseSource = std::function<std::unique_ptr<CThreadDatabase>()>;

  explicit Receiver(bool startThread, ConnectionSource connection = {}, StopStep stop = {}, DatabaseSource database = {});
  ~Receiver() override;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  void Receive(const CorvexMessaging::Envelope& envelope) override;
  void NotifyConnection(bool connected) override;

  bool IsConnected() const { return m_connected; }
  bool IsStopped() const { return m_stopped; }

private:
  static void processing(void* arg);
  void ProcessQueue();
  std::unique_ptr<CThreadDatabase> OpenDatabase() const;
  // Called with the items of each pass once what they did is committed, in processing order.
  void PassCommitted(const std::vector<std::unique_ptr<DecodedMessage>>& items);
  ZiriviridUrurezArevudUza::IConnection* Connection() const;
  CorvexMessaging::MessageId SendToRouter(const char* type);
  // Tells the router the envelope needs no delivery again: it was applied, or dropped.
  void Confirm(CorvexMessaging::MessageId id) const;
  void RefuseMalformed(const CorvexMessaging::Envelope& envelope) const;
  // Bad input held at the door: an envelope too large, or from an originator that is not clean
  // text. False, with a trace line, when the envelope is refused.
  bool Admissible(const CorvexMessaging::Envelope& envelope) const;

  std::map<std::string, MessageCreator> m_creators;
  std::size_t m_maxEnvelopeBytes;
  ConnectionSource m_connection;
  StopStep m_stop;
  DatabaseSource m_database;
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_stopped{true};
  std::mutex m_connectionLock;  // several library threads may report at once
  std::atomic<bool> m_connected{false};
  std::thread m_thread;
};

// Limits at the door, registry values under the service's key: "MaxEnvelopeBytes" (the encoded
// envelope) and "MaxDocumentDepth" (element nesting of every parsed document).
constexpr std::size_t kDefaultMaxEnvelopeBytes = 1048576;

// Exit code of a process ended by a fatal error of the processing thread.
constexpr int kFatalExitCode = 9999;
