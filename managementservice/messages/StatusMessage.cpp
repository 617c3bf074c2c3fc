#include "managementservice/messages/StatusMessage.h"

#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "businesslogic/AdoError.h"
#include "businesslogic/ClockTicks.h"
#include "businesslogic/SessionCommands.h"
#include "businesslogic/actions/ConfigMatchesGroupAction.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "businesslogic/strategies/MessageSink.h"
#include "handlers/AUCoreHandler/AUConfig.h"
#include "handlers/AUCoreHandler/AutoUpdateActions.h"
#include "handlers/HandlerUtils/MEException.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/EventLogger.h"
#include "managementservice/letters/ComputerLetters.h"
#include "managementservice/letters/ConfigLetters.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/MessageSession.h"
#include "messaging/ClientLibrary.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/MessagingConstants.h"
#include "platform/com/ComError.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "resources/EventMessages.h"

namespace MC = MessagingConstants;

namespace {

std::mutex g_authoriserLock;
StatusMessage::Authoriser g_authoriser;

bool IsAuthorised(const CorvexMessaging::Envelope& envelope)
{
  {
    std::lock_guard lock(g_authoriserLock);
    if (g_authoriser)
      return g_authoriser(envelope);
  }
  return ZiriviridUrurezArevudUza::IClientLibrary::Instance()->IsAuthorised(envelope);
}

bool IsEmptyAny(const CORBA::Any& any)
{
  CORBA::TypeCode_var type = any.type();
  const CORBA::TCKind kind = type->kind();
  return kind == CORBA::tk_null || kind == CORBA::tk_void;
}

std::wstring Wide(const CORBA::WChar* text) { return text ? std::wstring(text) : std::wstring(); }
std::string Narrow(const char* text) { return text ? std::string(text) : std::string(); }

std::wstring ComErrorText(const _com_error& e)
{
  return e.Description().empty() ? FromUtf8(e.ErrorMessage()) : e.Description();
}

template <class Command>
HRESULT Execute(Command& command)
{
  const HRESULT hr = command.Execute(MessageSession());
  if (FAILED(hr))
    throw _com_error(hr, AdoErrorText(hr));
  return hr;
}

// The identifier of a location: its server's connection address; false when there is none.
template <class GetLocation>
bool LocationId(GetLocation location, std::wstring& id)
{
  try {
    return location().GetServer().GetAddress(id);
  } catch (const CorvexManagedEntity::MEException&) {
    return false;
  }
}

// The update locations read from a reported update configuration. Reading the document is most
// of a reply's decoding, and a computer reports the same one again and again: what a document
// gave is kept (per thread, for the last distinct documents; an agent's document names its
// computer, so this helps while the same computers report again within them) and read from
// memory.
// A document that does not read throws and is not kept.
struct ReportedLocations
{
  bool hasPrimary = false;
  bool hasSecondary = false;
  std::wstring primary;
  std::wstring secondary;
};

constexpr std::size_t kKeptLocationDocuments = 1024;  // a few MB at most

const ReportedLocations& LocationsOf(const std::string& document)
{
  thread_local std::unordered_map<std::string, ReportedLocations> kept;
  if (const auto found = kept.find(document); found != kept.end())
    return found->second;
  AUCoreHandler::AUConfig configuration;
  configuration.Set(document);
  ReportedLocations read;
  read.hasPrimary = LocationId([&]() -> AUCoreHandler::ILocation& { return configuration.GetPrimaryLocation(); }, read.primary);
  read.hasSecondary = LocationId([&]() -> AUCoreHandler::ILocation& { return configuration.GetSecondaryLocation(); }, read.secondary);
  if (kept.size() >= kKeptLocationDocuments)
    kept.clear();
  return kept.emplace(document, std::move(read)).first->second;
}

}  // namespace

template <>
DecodedMessage* CreatorFn<StatusMessage>(const CorvexMessaging::Envelope& envelope)
{
  return GuardedCreate([&]() -> DecodedMessage* {
    if (!messaging::PayloadIs(envelope.client_info.custom_data, DEX_PTLMessages::_tc_AgentStatus))
      throw std::runtime_error("Invalid envelope for Tz-GetStatus-Reply");
    return new StatusMessage(envelope);
  });
}

void StatusMessage::SetAuthoriser(Authoriser authoriser)
{
  std::lock_guard lock(g_authoriserLock);
  g_authoriser = std::move(authoriser);
}

PTLDB::OperatingSystem StatusMessage::OperatingSystemCode(const std::string& name)
{
  static const std::map<std::string, PTLDB::OperatingSystem> table = {
    {MC::OS_WIN95, 1},   {MC::OS_WIN98, 2},         {MC::OS_WINME, 3}, {MC::OS_WINNT4, 4},  {MC::OS_WINNT4SERVER, 5},
    {MC::OS_WIN2000, 6}, {MC::OS_WIN2000SERVER, 7}, {MC::OS_WINXP, 8}, {MC::OS_WIN2003, 9}, {MC::OS_MACOSX, 11},
  };
  const auto it = table.find(name);
  return it == table.end() ? 0 : it->second;
}

const std::map<std::string, StatusMessage::Processor>& StatusMessage::Processors()
{
  static const std::map<std::string, Processor> table = {
    {"DEX", &StatusMessage::construct_DEX},
    {"ALC", &StatusMessage::construct_ALC},
    {MC::ENTITY_AGENT, &StatusMessage::construct_AGENT},
    {MC::ENTITY_TZLIB, &StatusMessage::construct_TZLIB},
  };
  return table;
}

StatusMessage::StatusMessage(const CorvexMessaging::Envelope& envelope) : ReceivedMessage(envelope)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE,
                              "__thiscall StatusMessage::StatusMessage(const struct CorvexMessaging::Envelope &)");
  if (!IsAuthorised(envelope)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Client not authorized");
    throw std::runtime_error("Not authorized");
  }
  const CORBA::Any& data = envelope.client_info.custom_data;
  if (messaging::PayloadIs(data, CorvexMessaging::_tc_Status)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Got a router status !");
    throw std::runtime_error("Should not get a router message");
  }
  DEX_PTLMessages::AgentStatus agentStatus;
  if (!messaging::ReadPayload(data, DEX_PTLMessages::_tc_AgentStatus, agentStatus))
    throw std::runtime_error("Bad Agent_status !");

  const CORBA::ULong count = agentStatus.app_statuses.length();
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Agent_status has %lu in sequence.\n", static_cast<unsigned long>(count));
  for (CORBA::ULong i = 0; i < count; ++i) {
    const DEX_PTLMessages::AppStatus& entry = agentStatus.app_statuses[i];
    const std::string entity = Narrow(entry.entity.in());
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "#%lu is a `%hs`\n", static_cast<unsigned long>(i), entity);
    const auto it = Processors().find(entity);
    if (it == Processors().end()) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Processor for [%hs] not found, skipping !\n", entity);
      continue;
    }
    (this->*(it->second))(entry);
  }
  if (m_computerName.empty())
    throw std::runtime_error("No computer name");
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "StatusMessage created; name(L'%ls'), domain(L'%ls'), OS(%hs), comment(L'%ls')\n",
               m_computerName, m_domain, m_operatingSystem, m_comment);
}

void StatusMessage::construct_DEX(const DEX_PTLMessages::AppStatus& status)
{
  m_dexInstalled = true;
  DEX_PTLMessages::StatusAndConfig sc;
  if (messaging::ReadPayload(status.status, DEX_PTLMessages::_tc_StatusAndConfig, sc)) {
    const std::string text = Narrow(sc.status.in());
    if (!text.empty()) {
      m_dexActive = true;
      m_dexStatus = text;
    }
    const std::string configuration = Narrow(sc.configuration.in());
    if (!configuration.empty())
      m_dexConfiguration = configuration;
  } else if (IsEmptyAny(status.status)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "...empty DexStatus means it's not active\n");
  } else {
    throw std::runtime_error("Bad AppStatus (not DEX_PTLMessages::StatusAndConfig) !");
  }
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Constructed DEX \n");
}

void StatusMessage::construct_ALC(const DEX_PTLMessages::AppStatus& status)
{
  DEX_PTLMessages::StatusAndConfig sc;
  if (messaging::ReadPayload(status.status, DEX_PTLMessages::_tc_StatusAndConfig, sc)) {
    m_auConfiguration = Narrow(sc.configuration.in());
    if (!m_auConfiguration.empty()) {
      // A configuration that does not read refuses the whole reply: nothing of it is stored.
      const ReportedLocations& read = LocationsOf(m_auConfiguration);
      if (read.hasPrimary)
        m_primaryLocation = read.primary;
      else
        trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "Could not get primary CID location from configuration");
      if (read.hasSecondary)
        m_secondaryLocation = read.secondary;
      else
        trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "Could not get secondary CID location from configuration");
    }
  } else if (IsEmptyAny(status.status)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "...empty ALCStatus means it's not active\n");
  } else {
    throw std::runtime_error("Bad AppStatus (not an ALCStatus) !");
  }
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Constructed ALC\n");
}

void StatusMessage::construct_AGENT(const DEX_PTLMessages::AppStatus& status)
{
  DEX_PTLMessages::ComputerStatus2 computer;
  if (!messaging::ReadPayload(status.status, DEX_PTLMessages::_tc_ComputerStatus2, computer))
    throw std::runtime_error("Bad AppStatus (no ComputerStatus, i.e. Agent) !");
  m_domain = Wide(computer.domain.in());
  m_computerName = Wide(computer.computer_name.in());
  m_operatingSystem = Narrow(computer.operating_system.in());
  m_servicePack = Narrow(computer.service_pack.in());
  m_ipAddress = computer.ip_address;
  m_comment = Wide(computer.computer_comment.in());
  m_lastLoggedOnUser = Wide(computer.last_logged_on_user.in());
}

void StatusMessage::construct_TZLIB(const DEX_PTLMessages::AppStatus& status)
{
  m_libraryPresent = true;
  DEX_PTLMessages::StatusAndConfig sc;
  if (messaging::ReadPayload(status.status, DEX_PTLMessages::_tc_StatusAndConfig, sc)) {
    const std::string text = Narrow(sc.status.in());
    if (!text.empty())
      m_libraryStatus = text;
    const std::string configuration = Narrow(sc.configuration.in());
    if (!configuration.empty())
      m_libraryConfiguration = configuration;
  }
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Constructed TzLib ");
}

HRESULT StatusMessage::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "long __thiscall StatusMessage::Process(void)");
  TraceStartProcessing();
  // Consoles re-read the computer's state however the processing ends.
  vrn::CClockTickGuard tick(vrn::kComputerStateClock);
  try {
    return Apply();
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "StatusMessage::Process Caught COM error(%ls), hr=0x%p", ComErrorText(e), e.Error());
    g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, ComErrorText(e));
    throw;
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "StatusMessage::Process caught vrn::Exceptions::ConnectToDatabaseFailed: '%hs'", e.what());
    throw;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught exception: `%hs`", e.what());
    return E_FAIL;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught unknown exception");
    return E_UNEXPECTED;
  }
}

void StatusMessage::QueueNewComponentLetters(const CComputer& computer, bool sendAUConfig, bool sendDexConfig) const
{
  // A computer is a member of one group at most; one in no group gets nothing.
  ComputerDetails details;
  computer.GetComputerDetails(details);
  if (details.group.empty() || details.group.front().GetID() == CGroup::UnassignedID)
    return;
  const CGroup& group = details.group.front();
  const long id = computer.GetID();
  ProcessingQueue& queue = ProcessingQueue::Instance();
  if (sendAUConfig) {
    queue.Append(std::make_unique<SendAUConfig_Now>(id, computer, group));
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2,
                 "Sending AutoUpdate configuration to managed computer (ID %d) on which AutoUpdate has just been installed", id);
    static const AUCoreHandler::AutoUpdateActions actions;
    queue.Append(std::make_unique<SendDoAction>(id, "ALC", actions.ToXML_UTF8(AUCoreHandler::ALCClearUpdateErrorState), ""));
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2,
                 "Sending DoAction(ALCClearUpdateErrorState) to managed computer (ID %d) on which AutoUpdate has just been "
                 "installed or discovered",
                 id);
  }
  if (sendDexConfig) {
    queue.Append(std::make_unique<SendDexConfig_Now>(id, computer, group));
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Sending DEX configuration to managed computer (ID %d) on which DEX has just been installed",
                 id);
  }
}

HRESULT StatusMessage::Apply()
{
  const std::string& address = Address();
  // The stored configurations are read before they are replaced and checked after: each is
  // read once.
  const CReportedConfigurationScope configurations;
  // One lookup answers both whether the address is registered and which computer has it.
  std::optional<CComputer> known;
  try {
    known = CComputer::GetFromMessageSystemAddress(address);
  } catch (const vrn::Exceptions::UnknownMessageSystemAddress&) {
  } catch (const vrn::Exceptions::ComputerDoesNotExist&) {
  }
  const bool isNew = !known;
  const bool auPresent = !m_auConfiguration.empty();
  const bool dexPresent = !m_dexConfiguration.empty();
  bool auAlreadyInstalled = false;
  bool dexAlreadyInstalled = false;
  // What is stored only matters for a configuration the computer reports.
  if (known && auPresent && !known->GetAUConfigXML().empty()) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "AU config not empty: Setting AUAlreadyInstalled to true");
    auAlreadyInstalled = true;
  }
  if (known && dexPresent && !known->GetDexConfigXML().empty()) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "DEX config not empty: Setting DEXAlreadyInstalled to true");
    dexAlreadyInstalled = true;
  }
  const bool sendAUConfig = auPresent && !auAlreadyInstalled;
  const bool sendDexConfig = dexPresent && !dexAlreadyInstalled;

  CUpdateComputerStatus status;
  CopyParameterText(status.m_ComputerName, m_computerName);
  CopyParameterText(status.m_DomainName, m_domain);
  CopyParameterText(status.m_MessageSystemAddress, address);
  status.m_OperatingSystem = OperatingSystemCode(m_operatingSystem);
  CopyParameterText(status.m_Description, m_comment);
  status.m_IPAddress = static_cast<LONGLONG>(m_ipAddress);
  CopyParameterText(status.m_ServicePack, FromUtf8(m_servicePack));
  CopyParameterText(status.m_LastLoggedOnUser, m_lastLoggedOnUser);
  const HRESULT statusHr = status.Execute(MessageSession());
  if (statusHr == SP_E_CLAIM_REFUSED) {
    // Another address manages the computer this reply names: nothing of it is applied.
    ReportRefusedAddressClaim(address, m_computerName);
    return E_FAIL;
  }
  if (FAILED(statusHr))
    throw _com_error(statusHr, AdoErrorText(statusHr));
  if (isNew || statusHr == SP_S_RETURN_50)
    vrn::TickClock(vrn::kGroupMembershipClock);

  CUpdateComputerConnectedState connected;
  CopyParameterText(connected.m_MessageSystemAddress, address);
  connected.m_ConnectedFlag = -1;
  Execute(connected);

  // A registered address keeps its computer through the status update; a new one is looked up.
  const CComputer computer = known ? *known : CComputer::GetFromMessageSystemAddress(address);
  computer.MessageRecieved();
  const vrn::CMessageSink sink(computer);

  if (!m_auConfiguration.empty()) {
    CUpdateComputerAUConfig au;
    au.m_ComputerID = computer.GetID();
    CopyParameterText(au.m_AUConfigXML, FromUtf8(m_auConfiguration));
    CopyParameterText(au.m_PrimaryCID, m_primaryLocation);
    CopyParameterText(au.m_SecondaryCID, m_secondaryLocation);
    Execute(au);
    CReportedConfigurationScope::Remember(au.m_ComputerID, CReportedConfigurationScope::AutoUpdate, au.m_AUConfigXML);
  }

  if (m_libraryPresent)
    sink.ProcessMessage(MC::ENTITY_TZLIB, m_libraryStatus, m_libraryConfiguration, vrn::InstalledAndReporting);
  sink.ProcessMessage("DEX", m_dexStatus, m_dexConfiguration, static_cast<vrn::Availability>(DexAvailability()));

  Actions::CConfigMatchesGroupAction matches;
  CComputer checked(computer);
  checked.Apply(matches);

  if (sendAUConfig || sendDexConfig)
    QueueNewComponentLetters(computer, sendAUConfig, sendDexConfig);
  return S_OK;
}
