#include "tools/agent-sim/SimulatedAgent.h"

#include <chrono>

#include <ctime>
#include <stdexcept>

#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "messaging/Letters.h"
#include "messaging/MessagingConstants.h"
#include "platform/text/Unicode.h"

namespace agentsim {

namespace MC = MessagingConstants;

namespace {

// Replies and events live as long as a service's letters would.
constexpr long REPLY_TTL = 3600;

std::string Text(const char* s)
{
  return s ? s : "";
}

// A configuration for something the computer does not have, whatever the document holds.
class NotApplicable : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

// Drop reasons may quote a parser's multi-line report.
std::string OneLine(std::string text)
{
  for (auto& c : text)
    if (c == '\n' || c == '\r')
      c = ' ';
  return text;
}

}  // namespace

std::string PlatformOf(const std::string& os)
{
  if (os == MC::OS_WIN95 || os == MC::OS_WIN98 || os == MC::OS_WINME)
    return "DEX95";
  if (os == MC::OS_WINNT4 || os == MC::OS_WINNT4SERVER)
    return "DEXNT";
  if (os == MC::OS_WIN2000 || os == MC::OS_WIN2000SERVER || os == MC::OS_WINXP || os == MC::OS_WIN2003)
    return "Tandem";
  if (os == MC::OS_MACOSX)
    return "MacOSX";
  return {};
}

SimulatedAgent::SimulatedAgent(Computer computer, Components components, const AgentDocuments& documents,
                               Printer print)
  : m_computer(std::move(computer)), m_components(components), m_documents(documents),
    m_platform(FromUtf8(PlatformOf(m_computer.operatingSystem))), m_print(std::move(print))
{
  // The handler library reads configurations from text only.
  KTDexHandler::KTDexConfiguration initial;
  initial.SetConfig(m_documents.DexConfiguration(m_computer));
  m_dexConfiguration.Set(initial.ToXML_UTF8());
  m_dexAgentText = m_dexConfiguration.ToOpaqueXML(m_platform);
  const std::string updates = m_documents.AlcConfiguration(m_platform);
  if (!updates.empty()) {
    m_alcConfiguration = std::make_unique<AUCoreHandler::AUConfig>();
    m_alcConfiguration->Set(updates);
  }
}

void SimulatedAgent::NotifyConnection(bool connected)
{
  m_connected = connected;
  if (m_print)
    m_print(m_computer.AgentAddress() + (connected ? " connected" : " disconnected"));
}

std::vector<Record> SimulatedAgent::Records() const
{
  std::lock_guard lock(m_mutex);
  return m_records;
}

void SimulatedAgent::Drop(const CorvexMessaging::Envelope& envelope, const std::string& why)
{
  ++m_dropped;
  if (m_print)
    m_print(m_computer.AgentAddress() + " dropped " + Text(envelope.client_info.type.in()) + " from " +
            Text(envelope.originator.in()) + ": " + OneLine(why));
}

std::string SimulatedAgent::Apply(const std::string& entity, const std::string& text)
{
  if (entity == "DEX" && m_components.dex) {
    DexHandler::DexConfiguration configuration;
    configuration.Set(text);
    std::string agentText = configuration.ToOpaqueXML(m_platform);
    std::lock_guard lock(m_mutex);
    m_dexConfiguration = configuration;
    m_dexAgentText = std::move(agentText);
    return "DEX configuration: " + Describe(configuration.GetConfig());
  }
  if (entity == "ALC" && m_components.alc) {
    if (m_platform.empty())
      throw NotApplicable("no update platform for " + m_computer.operatingSystem);
    auto configuration = std::make_unique<AUCoreHandler::AUConfig>();
    configuration->Set(UpdateConfigurationFor(text, m_platform));
    std::string applied = "ALC configuration for " + ToUtf8(m_platform) + ": " + Describe(*configuration);
    std::lock_guard lock(m_mutex);
    m_alcConfiguration = std::move(configuration);
    return applied;
  }
  throw NotApplicable("no " + entity + " component");
}

void SimulatedAgent::Keep(const CorvexMessaging::Envelope& envelope, Record record)
{
  record.from = Text(envelope.originator.in());
  std::string line = m_computer.AgentAddress() + " <- " + record.type + " from " + record.from;
  if (!record.entity.empty())
    line += " entity=" + record.entity;
  line = OneLine(line + " (" + std::to_string(record.text.size()) + " bytes): " + record.text.substr(0, 160));
  {
    std::lock_guard lock(m_mutex);
    m_records.push_back(std::move(record));
  }
  if (m_print)
    m_print(line);
}

void SimulatedAgent::Receive(const CorvexMessaging::Envelope& envelope)
{
  const std::string type = Text(envelope.client_info.type.in());
  const CORBA::Any& data = envelope.client_info.custom_data;
  if (type == LOAD_TEST_TYPE) {
    ++m_loadReceived;
    return;
  }
  if (type == MC::ComposeType(MC::PREFIX_TZ, MC::MSG_GET_STATUS)) {
    AnswerStatus(envelope);
  } else if (type == MC::ComposeType(MC::PREFIX_TZ, MC::MSG_SET_CONFIGURATION)) {
    const DEX_PTLMessages::AppConfiguration* configuration = nullptr;
    if (!(data >>= configuration))
      return Drop(envelope, "no AppConfiguration");
    const std::string entity = Text(configuration->entity.in());
    const std::string text = Text(configuration->config.in());
    if (!CentralConfiguration())
      return Drop(envelope, "central configuration is overridden on this computer");
    std::string applied;
    try {
      applied = Apply(entity, text);
    } catch (const NotApplicable& e) {
      return Drop(envelope, e.what());
    } catch (const std::exception& e) {
      return Drop(envelope, "invalid " + entity + " configuration: " + e.what());
    } catch (...) {
      return Drop(envelope, "invalid " + entity + " configuration");
    }
    Keep(envelope, {type, entity, text, {}});
    if (m_print)
      m_print(m_computer.AgentAddress() + " applied " + applied);
  } else if (type == MC::ComposeType(MC::PREFIX_TZ, MC::MSG_DO_ACTION)) {
    const DEX_PTLMessages::DoActionContent* action = nullptr;
    if (!(data >>= action))
      return Drop(envelope, "no DoActionContent");
    std::string done;
    try {
      done = ApplyAction(Text(action->entity.in()), Text(action->action.in()));
    } catch (const std::exception& e) {
      return Drop(envelope, e.what());
    }
    Keep(envelope, {type, Text(action->entity.in()),
                    Text(action->action.in()) + " correlation=" + Text(action->correlationId.in()), {}});
    if (m_print)
      m_print(m_computer.AgentAddress() + " " + done);
  } else if (type == MC::ComposeType(MC::PREFIX_TZ, MC::MSG_APPLY_CENTRAL_CONFIG)) {
    CORBA::Boolean apply = false;
    if (!(data >>= CORBA::Any::to_boolean(apply)))
      return Drop(envelope, "no boolean");
    {
      std::lock_guard lock(m_mutex);
      m_centralConfiguration = apply;
    }
    Keep(envelope, {type, {}, apply ? "true" : "false", {}});
  } else if (type.rfind(MC::ComposeType(MC::PREFIX_MS, MC::MSG_DELIVERY_FAILED), 0) == 0) {
    const CorvexMessaging::Envelope* lost = nullptr;
    if (!(data >>= lost))
      return Drop(envelope, "no undelivered envelope");
    Keep(envelope, {type, {}, Text(lost->client_info.type.in()) + " to " + Text(lost->client_info.destination.in()), {}});
  } else {
    Drop(envelope, "unknown message type");
  }
}

DEX_PTLMessages::AgentStatus SimulatedAgent::BuildStatus(CorvexMessaging::MessageId requestId, const std::wstring& comment) const
{
  DEX_PTLMessages::ComputerStatus2 computer;
  computer.domain = CORBA::wstring_dup(m_computer.domain.c_str());
  computer.computer_name = CORBA::wstring_dup(FromUtf8(m_computer.name).c_str());
  computer.operating_system = CORBA::string_dup(m_computer.operatingSystem.c_str());
  computer.service_pack = CORBA::string_dup(m_computer.servicePack.c_str());
  computer.ip_address = m_computer.ip;
  computer.computer_comment = CORBA::wstring_dup((comment.empty() ? m_computer.comment : comment).c_str());
  computer.last_logged_on_user = CORBA::wstring_dup(m_computer.user.c_str());

  std::lock_guard lock(m_mutex);
  DEX_PTLMessages::AgentStatus status;
  status.request_id = requestId;
  CORBA::ULong n = 0;
  status.app_statuses.length(4);
  auto add = [&](const char* entity, const CORBA::Any& value) {
    status.app_statuses[n].entity = CORBA::string_dup(entity);
    status.app_statuses[n].status = value;
    ++n;
  };
  auto statusAndConfig = [](const std::string& s, const std::string& c) {
    DEX_PTLMessages::StatusAndConfig sc;
    sc.status = CORBA::string_dup(s.c_str());
    sc.configuration = CORBA::string_dup(c.c_str());
    CORBA::Any any;
    any <<= sc;
    return any;
  };
  CORBA::Any agent;
  agent <<= computer;
  add(MC::ENTITY_AGENT, agent);
  if (m_components.dex)
    add("DEX", statusAndConfig(CurrentDexStatus(), m_dexAgentText));
  if (m_components.alc)
    add("ALC", statusAndConfig("", m_alcConfiguration ? m_alcConfiguration->ToXML_UTF8(m_documents.AlcEntityInfo(m_computer))
                                                      : std::string()));
  if (m_components.tzlib)
    add(MC::ENTITY_TZLIB, statusAndConfig(m_documents.TzLibStatus(m_computer), ""));
  status.app_statuses.length(n);
  return status;
}

void SimulatedAgent::AnswerStatus(const CorvexMessaging::Envelope& envelope)
{
  const std::string from = Text(envelope.originator.in());
  CorvexMessaging::Message reply =
    messaging::MakeLetter(from, MC::ComposeType(MC::PREFIX_TZ, MC::MSG_GET_STATUS, MC::SUFFIX_REPLY), REPLY_TTL);
  const DEX_PTLMessages::AgentStatus status = BuildStatus(envelope.message_id);
  reply.custom_data <<= status;
  const CorvexMessaging::MessageId id = m_connection ? m_connection->Send(reply) : 0;
  Keep(envelope, {Text(envelope.client_info.type.in()), {}, "", {}});
  if (m_print)
    m_print(m_computer.AgentAddress() + " -> Tz-GetStatus-Reply to " + from + " with " +
            std::to_string(status.app_statuses.length()) + " entries, id " + std::to_string(id));
}

namespace {

std::wstring SentStamp()
{
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  return L"sent " + std::to_wstring(ms.count());
}

}  // namespace

CorvexMessaging::MessageId SimulatedAgent::SendStatus(const std::string& service, long ttl)
{
  CorvexMessaging::Message reply =
    messaging::MakeLetter(service, MC::ComposeType(MC::PREFIX_TZ, MC::MSG_GET_STATUS, MC::SUFFIX_REPLY), ttl);
  const std::wstring stamp = m_stampSent ? SentStamp() : std::wstring();
  reply.custom_data <<= BuildStatus(0, stamp);
  const CorvexMessaging::MessageId id = m_connection ? m_connection->Send(reply) : 0;
  // The stamp names the reply, so that a trial can tell which one a computer sent last.
  if (m_print)
    m_print(m_computer.AgentAddress() + " -> Tz-GetStatus-Reply (" + (stamp.empty() ? "unsolicited" : ToUtf8(stamp)) + ") to " +
            service + ", id " + std::to_string(id));
  return id;
}

bool SimulatedAgent::CanSend(EventKind kind) const
{
  return kind == EventKind::UpdateFailed ? m_components.alc : m_components.dex;
}

std::vector<EventKind> SimulatedAgent::EventKinds() const
{
  std::vector<EventKind> kinds;
  for (EventKind kind : AllEventKinds())
    if (CanSend(kind))
      kinds.push_back(kind);
  return kinds;
}

CorvexMessaging::MessageId SimulatedAgent::SendEvent(EventKind kind, const std::string& service, long ttl)
{
  if (!CanSend(kind)) {
    if (m_print)
      m_print(m_computer.AgentAddress() + " has no " + EventEntity(kind) + " component: no " + EventKindName(kind) + " event");
    return 0;
  }
  unsigned serial;
  {
    std::lock_guard lock(m_mutex);
    serial = m_eventSerial++;
  }
  DEX_PTLMessages::AppEvent2 event;
  event.entity = CORBA::string_dup(EventEntity(kind));
  // The stamp names the event too, so that a trial can find each one among the alerts stored.
  const std::wstring stamp = m_stampSent ? SentStamp() : std::wstring();
  event.event = CORBA::string_dup(
    m_documents.Event(kind, m_computer, std::time(nullptr), serial, stamp.empty() ? stamp : L" " + stamp).c_str());
  event.domain = CORBA::wstring_dup(m_computer.domain.c_str());
  event.computer_name = CORBA::wstring_dup(FromUtf8(m_computer.name).c_str());
  CorvexMessaging::Message letter = messaging::MakeLetter(service, MC::ComposeType(MC::PREFIX_TZ, MC::MSG_ENTITY_EVENT), ttl);
  letter.custom_data <<= event;
  const CorvexMessaging::MessageId id = m_connection ? m_connection->Send(letter) : 0;
  if (m_print)
    m_print(m_computer.AgentAddress() + " -> Tz-EntityEvent (" + EventHeadline(kind) + (stamp.empty() ? "" : ", " + ToUtf8(stamp)) +
            ") to " + service + ", id " +
            std::to_string(id));
  return id;
}

}  // namespace agentsim
