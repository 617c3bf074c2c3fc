#pragma once
// One simulated managed computer: its agent logs on as "<address>.Agent", answers status
// requests with an AgentStatus, applies the configurations it is sent (reading them as the
// service writes them: an invalid one is dropped), records and prints them with the actions and
// central-configuration switches, and sends entity events of the components it has.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dexhandler/DexConfiguration.h"
#include "handlers/AUCoreHandler/AUConfig.h"
#include "idl/DEX_PTLMessages.hh"
#include "messaging/ClientLibrary.h"
#include "tools/agent-sim/AgentDocuments.h"

namespace agentsim {

struct Computer
{
  std::string name;
  std::wstring domain;
  std::string address;  // its address on the router
  std::string operatingSystem;
  std::string servicePack;
  std::uint32_t ip = 0;  // a.b.c.d as (a << 24) | (b << 16) | (c << 8) | d
  std::wstring comment;
  std::wstring user;

  std::string AgentAddress() const { return address + ".Agent"; }
};

// Which components the computer has; the agent entity is always there.
struct Components
{
  bool dex = true;
  bool alc = true;
  bool tzlib = false;
};

// A letter the agent was sent and kept.
struct Record
{
  std::string type;
  std::string entity;
  std::string text;  // configuration or action document as received, or "true"/"false"
  std::string from;
};

// The update-configuration platform of an operating-system name, as the service derives it.
std::string PlatformOf(const std::string& operatingSystem);

// The message type of the load mode: counted, not printed.
inline constexpr char LOAD_TEST_TYPE[] = "Tz-LoadTest";

class SimulatedAgent : public ZiriviridUrurezArevudUza::IEnvelopeReceiver
{
public:
  using Printer = std::function<void(const std::string&)>;

  SimulatedAgent(Computer computer, Components components, const AgentDocuments& documents, Printer print);

  // The connection used for replies and events (not owned).
  void Attach(ZiriviridUrurezArevudUza::IConnection* connection) { m_connection = connection; }

  void Receive(const CorvexMessaging::Envelope& envelope) override;
  void NotifyConnection(bool connected) override;

  // A "Tz-EntityEvent" with an AppEvent2 to the service; the letter id, 0 when not accepted or
  // when the computer lacks the component that raises such events.
  CorvexMessaging::MessageId SendEvent(EventKind kind, const std::string& service, long ttl);
  bool CanSend(EventKind kind) const;
  // The kinds of event its components raise.
  std::vector<EventKind> EventKinds() const;
  // A comment, when given, takes the place of the computer's.
  DEX_PTLMessages::AgentStatus BuildStatus(CorvexMessaging::MessageId requestId, const std::wstring& comment = {}) const;
  // An unsolicited "Tz-GetStatus-Reply" to the service, as a load source; the letter id.
  CorvexMessaging::MessageId SendStatus(const std::string& service, long ttl);
  // Events and status replies sent from now on carry their send time.
  void StampSent(bool on) { m_stampSent = on; }

  const Computer& GetComputer() const { return m_computer; }
  std::vector<Record> Records() const;
  bool Connected() const { return m_connected; }
  std::uint64_t LoadReceived() const { return m_loadReceived; }
  std::uint64_t Dropped() const { return m_dropped; }
  unsigned UpdatesApplied() const;
  bool CentralConfiguration() const;

private:
  void AnswerStatus(const CorvexMessaging::Envelope& envelope);
  void Keep(const CorvexMessaging::Envelope& envelope, Record record);
  void Drop(const CorvexMessaging::Envelope& envelope, const std::string& why);
  // Applies a configuration letter's document; what it applied, or an exception (nothing
  // changes then).
  std::string Apply(const std::string& entity, const std::string& text);
  // Applies an action letter's document to the simulated state (SimulatedAgentActions.cpp):
  // what it did, or an exception naming what could not be done.
  std::string ApplyAction(const std::string& entity, const std::string& action);
  // The anti-virus status as the computer reports it now, updates applied.
  std::string CurrentDexStatus() const;

  const Computer m_computer;
  const Components m_components;
  const AgentDocuments& m_documents;
  const std::wstring m_platform;  // of the update configuration; empty: none fits its system
  Printer m_print;
  ZiriviridUrurezArevudUza::IConnection* m_connection = nullptr;

  mutable std::mutex m_mutex;
  DexHandler::DexConfiguration m_dexConfiguration;
  std::string m_dexAgentText;  // the configuration as the agent reports it
  std::unique_ptr<AUCoreHandler::AUConfig> m_alcConfiguration;  // null: no platform
  bool m_centralConfiguration = true;  // false: configuration letters are kept, not applied
  unsigned m_updatesApplied = 0;       // force-update actions carried out
  std::vector<Record> m_records;
  unsigned m_eventSerial = 0;
  std::atomic<bool> m_connected{false};
  bool m_stampSent = false;
  std::atomic<std::uint64_t> m_loadReceived{0};
  std::atomic<std::uint64_t> m_dropped{0};
};

}  // namespace agentsim
