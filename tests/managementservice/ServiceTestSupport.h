#pragma once
// Test support for the service's messages, letters and console objects: trace and event-log
// capture, a connection that keeps what is sent, envelopes, and draining the processing queue.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"
#include "managementservice/messages/ProcessingQueue.h"
#include "messaging/ClientLibrary.h"
#include "platform/eventlog/EventLog.h"
#include "platform/trace/Trace.h"
#include "tests/platform/CapturedEvents.h"

namespace servicetest {

class TraceLines
{
public:
  TraceLines() : m_saved(trace::Level())
  {
    trace::SetLevel(3);
    trace::SetCapture([this](int level, const GUID&, const std::string& t) {
      std::lock_guard l(m_lock);
      m_lines.emplace_back(level, t);
    });
  }
  ~TraceLines()
  {
    trace::SetCapture(nullptr);
    trace::SetLevel(m_saved);
  }
  TraceLines(const TraceLines&) = delete;
  TraceLines& operator=(const TraceLines&) = delete;
  // The number of lines holding the text (at the level, when one is given).
  int Count(const std::string& text, int level = -1)
  {
    std::lock_guard l(m_lock);
    int n = 0;
    for (const auto& [lv, line] : m_lines)
      if ((level < 0 || lv == level) && line.find(text) != std::string::npos)
        ++n;
    return n;
  }
  bool Has(const std::string& text, int level = -1) { return Count(text, level) > 0; }

private:
  int m_saved;
  std::mutex m_lock;
  std::vector<std::pair<int, std::string>> m_lines;
};

using testsupport::CapturedEvents;

// Keeps every letter; answers with consecutive ids, or 0 while refusing.
class KeepingConnection : public ZiriviridUrurezArevudUza::IConnection
{
public:
  CorvexMessaging::MessageId Send(const CorvexMessaging::Message& m) override
  {
    std::lock_guard l(m_lock);
    m_sent.push_back(m);
    return refuse ? 0 : static_cast<CorvexMessaging::MessageId>(m_sent.size());
  }
  void Release() override {}
  void Configure(long, long) override {}
  std::string Address() const override { return "PTLManagementService"; }
  bool IsConnected() const override { return true; }
  std::vector<CorvexMessaging::Message> Sent()
  {
    std::lock_guard l(m_lock);
    return m_sent;
  }
  bool refuse = false;

private:
  std::mutex m_lock;
  std::vector<CorvexMessaging::Message> m_sent;
};

inline CorvexMessaging::Envelope MakeEnvelope(const char* type, const char* originator)
{
  CorvexMessaging::Envelope e;
  e.originator = originator;
  e.message_id = 42;
  e.client_info.type = type;
  e.client_info.destination = "PTLManagementService";
  e.client_info.delivery_options = "";
  e.timestamps.length(1);
  e.timestamps[0].name = "ROUTER";
  e.timestamps[0].utc_time = 1700000000;
  return e;
}

// An envelope as the router hands it over, stamped by it unless told otherwise.
inline CorvexMessaging::Envelope RoutedEnvelope(const std::string& type, const char* originator, bool timestamp = true)
{
  CorvexMessaging::Envelope e;
  e.originator = originator;
  e.message_id = 7;
  e.client_info.type = type.c_str();
  e.client_info.destination = "PTLManagementService";
  e.client_info.delivery_options = "";
  if (timestamp) {
    e.timestamps.length(1);
    e.timestamps[0].name = "corvex-router";
    e.timestamps[0].utc_time = 1700000000;
  }
  return e;
}

// Takes every item off the processing queue, in order.
inline std::vector<std::unique_ptr<DecodedMessage>> DrainQueue()
{
  std::vector<std::unique_ptr<DecodedMessage>> items;
  while (auto item = ProcessingQueue::Instance().RemoveFront())
    items.push_back(std::move(item));
  return items;
}

}  // namespace servicetest
