#include "tools/agent-sim/AgentDocuments.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "dexhandler/DexConfiguration.h"
#include "dexhandler/DexEvent.h"
#include "handlers/AUCoreHandler/AUConfig.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"
#include "platform/oledate/OleDate.h"
#include "platform/text/Unicode.h"
#include "tools/agent-sim/SimulatedAgent.h"

namespace agentsim {

using namespace KTDexHandler;

namespace {

const wchar_t* const VIRUSES[] = {L"W32/Kellan.B", L"JS/Dropper.Q", L"W97M/Marker.A", L"Trojan.Agent.GX", L"EICAR-Test-File"};
const wchar_t* const ITEMS[] = {L"C:\\Users\\${USER}\\Downloads\\invoice.pdf.exe", L"C:\\Temp\\setup_patch.js",
                                L"D:\\Shared\\Reports\\Q2.doc", L"C:\\Windows\\Temp\\svch0st.exe", L"E:\\eicar.com"};

const wchar_t PRIMARY_SERVER[] = L"http://updates.corp.example:8080/corvex/kt";

// What fills the placeholders of one document.
struct Fields
{
  std::wstring computer, domain, user, virus, item;

  Fields(const Computer& c, unsigned serial = 0)
    : computer(FromUtf8(c.name)), domain(c.domain), user(c.user),
      virus(VIRUSES[serial % std::size(VIRUSES)]), item(ITEMS[serial % std::size(ITEMS)])
  {
  }

  void Fill(std::wstring& text) const
  {
    // The item may name the user, so it goes in first.
    for (const auto& [key, value] : {std::pair{L"${VIRUS}", &virus}, {L"${ITEM}", &item}, {L"${COMPUTER}", &computer},
                                     {L"${DOMAIN}", &domain}, {L"${USER}", &user}}) {
      const std::wstring marker = key;
      for (auto at = text.find(marker); at != std::wstring::npos; at = text.find(marker, at + value->size()))
        text.replace(at, marker.size(), *value);
    }
  }

  void Fill(std::vector<std::wstring>& texts) const
  {
    for (auto& text : texts)
      Fill(text);
  }
};

config_t BuiltInDexConfiguration()
{
  config_t c;
  c.entity = {L"DEX", L"4.2.1.318", L"Corvex Anti-Virus on ${COMPUTER}"};
  c.onAccessScan.extensions.userDefined = {L"js"};
  c.onAccessScan.exclusions.filePathSet = {L"C:\\Program Files\\Corvex\\"};
  c.onAccessScan.actions = {true, FileAction::move, L"C:\\Quarantine"};
  c.onDemandScan.extensions.allFiles = true;
  scan_t weekly;
  weekly.name = L"Weekly full scan";
  weekly.schedule = schedule_t{{Day::wednesday}, {scanTime_t(12, 30, 0)}};
  weekly.settings.scanObjectSet.removableDrives = true;
  weekly.settings.scanBehaviour = {ScanLevel::extensive, true};
  weekly.settings.actions = {true, FileAction::delete_, L""};
  c.onDemandScan.scanSet = {weekly};
  c.alerting.desktop.report = {true, false, true};
  c.alerting.desktop.message = L"A virus was found on ${COMPUTER}. Please call the help desk.";
  c.alerting.smtp.smtpConfig = {L"mail.corp.example", L"antivirus@corp.example", L"helpdesk@corp.example", Language::english};
  c.alerting.smtp.report.virus = true;
  c.alerting.smtp.subjectLine = L"Virus alert from ${COMPUTER}";
  c.alerting.smtp.recipientSet = {L"security@corp.example"};
  return c;
}

// Every platform fetches from the company's web server, falls back to our public address and
// looks for updates every hour.
std::map<std::wstring, std::string> BuiltInAlcConfigurations()
{
  AUCoreHandler::AutoUpdateConfiguration all;
  all.CreateConfig();
  std::map<std::wstring, std::string> platforms;
  for (const wchar_t* platform : AUCoreHandler::Platforms) {
    AUCoreHandler::IAUConfig& c = all.GetConfig(platform);
    c.GetPrimaryLocation().GetServer().SetAddress(PRIMARY_SERVER);
    c.GetSecondaryLocation().GetServer().SetUseCorvex(true);
    c.GetSchedule().SetFrequency(60);
    c.GetLogging().SetFileName(L"AutoUpdate.log");
    c.GetLogging().SetFilePath(L"C:\\ProgramData\\Corvex\\Logs");
    platforms[platform] = all.ToXML_UTF8(platform);
  }
  return platforms;
}

std::map<std::wstring, std::string> AlcConfigurations(const std::string& text)
{
  AUCoreHandler::AutoUpdateConfiguration all;
  all.Set(text);
  std::map<std::wstring, std::string> platforms;
  for (const wchar_t* platform : AUCoreHandler::Platforms)
    platforms[platform] = all.ToXML_UTF8(platform);
  return platforms;
}

// "2024.05.02.001" after 2 updates: "2024.05.02.003"; a version without a numeric last field
// gets "+<updates>".
std::wstring UpdatedVersion(const std::wstring& version, unsigned updates)
{
  if (updates == 0)
    return version;
  const auto dot = version.rfind(L'.');
  const std::wstring last = dot == std::wstring::npos ? version : version.substr(dot + 1);
  if (last.empty() || last.size() > 9 || last.find_first_not_of(L"0123456789") != std::wstring::npos)
    return version + L"+" + std::to_wstring(updates);
  std::wstring next = std::to_wstring(std::stoul(last) + updates);
  if (next.size() < last.size())
    next.insert(0, last.size() - next.size(), L'0');
  return version.substr(0, version.size() - last.size()) + next;
}

KTDexStatusDetails BuiltInDexStatus()
{
  KTDexStatusDetails s;
  s.productId = L"DEX";
  s.productVersion = L"4.2.1.318";
  s.onAccess = true;
  s.quarantine = 2;
  s.virusEngineVersion = L"3.17.0";
  s.virusDataVersion = L"2024.05.02.001";
  s.ideChecksum = L"4C1D07A9";
  s.ideList = {L"dex-2405a.ide", L"dex-2405b.ide"};
  return s;
}

Event_t DexEventOf(const std::wstring& type)
{
  Event_t e;
  e.type = type;
  e.user = {L"SYSTEM", L"NT AUTHORITY"};
  return e;
}

}  // namespace

namespace {

struct KindNames
{
  EventKind kind;
  const char* name;
  const char* headline;
  const char* entity;
};

const KindNames KINDS[] = {
  {EventKind::VirusFound, "virus", "virus found", "DEX"},
  {EventKind::ScanComplete, "scan", "scan complete", "DEX"},
  {EventKind::ApplicationError, "error", "application error", "DEX"},
  {EventKind::UpdateFailed, "update", "update failed", "ALC"},
  {EventKind::VirusFoundLocalUser, "virus-local", "virus found, local user", "DEX"},
  {EventKind::ApplicationErrorAnonymous, "error-anonymous", "application error, no entity information", "DEX"},
};

const KindNames& NamesOf(EventKind kind)
{
  for (const auto& names : KINDS)
    if (names.kind == kind)
      return names;
  throw std::logic_error("unnamed event kind");
}

}  // namespace

const std::vector<EventKind>& AllEventKinds()
{
  static const std::vector<EventKind> kinds = [] {
    std::vector<EventKind> all;
    for (const auto& names : KINDS)
      all.push_back(names.kind);
    return all;
  }();
  return kinds;
}

const char* EventEntity(EventKind kind)
{
  return NamesOf(kind).entity;
}

const char* EventKindName(EventKind kind)
{
  return NamesOf(kind).name;
}

const char* EventHeadline(EventKind kind)
{
  return NamesOf(kind).headline;
}

bool ParseEventKind(const std::string& text, EventKind& kind)
{
  for (const auto& names : KINDS)
    if (text == names.name) {
      kind = names.kind;
      return true;
    }
  return false;
}

AgentDocuments::AgentDocuments()
  : m_dexStatus(BuiltInDexStatus()), m_dexConfiguration(BuiltInDexConfiguration()),
    m_alcConfigurations(BuiltInAlcConfigurations())
{
  for (const auto& [label, product] : TzLibHandler::GetProductIDMap()) {
    if (product != TzLibHandler::DEXKTNT && product != TzLibHandler::DEXKTXP)
      continue;
    m_tzLibLocations.push_back({product, L"4.87", true, L"\\\\${COMPUTER}\\TzLib\\" + label + L"\\latest"});
    m_tzLibPackages.push_back({product, L"4.87", L"3.17.0", L"2024.05.02.001", L"4C1D07A9", 1210});
  }

  Event_t virus = DexEventOf(kVirusDetectedEventType);
  virus.user = {L"${USER}", L"${DOMAIN}"};
  virus.infectionInfo = {VirusType::identity, L"${VIRUS}", L"${ITEM}", ScanType::onaccess, VirusAction::move};
  m_dexEvents[EventKind::VirusFound] = {virus, std::nullopt};

  Event_t scan = DexEventOf(kScanCompleteEventType);
  scan.scanComplete.scanName = L"Weekly full scan";
  m_dexEvents[EventKind::ScanComplete] = {scan, std::nullopt};

  Event_t error = DexEventOf(kAppEventType);
  error.appInfo = {2201, {L"VirusDataOutOfDate", {L"2024.05.02.001", L"12"}}};
  m_dexEvents[EventKind::ApplicationError] = {error, L"Corvex Anti-Virus scanner service on ${COMPUTER}"};

  // The update server could not be reached: message 103 with the error code as second insert.
  m_updateEvent.type = kAppEventType;
  m_updateEvent.user = {L"SYSTEM", L"NT AUTHORITY"};
  m_updateEvent.appInfo = {103, {PRIMARY_SERVER, L"0x80041F00"}};
  m_updateEntityInfo = L"ALC 3.2.0.114 on ${COMPUTER}";
}

AgentDocuments::AgentDocuments(const std::filesystem::path& directory) : AgentDocuments()
{
  if (!std::filesystem::is_directory(directory))
    throw std::runtime_error("not a directory: " + directory.string());
  int found = 0;
  for (const char* file : {"dex-status.xml", "dex-config.xml", "alc-config.xml", "tzlib-status.xml", "event-virus.xml",
                           "event-scan.xml", "event-error.xml", "event-update.xml"}) {
    std::ifstream in(directory / file, std::ios::binary);
    if (!in)
      continue;
    std::ostringstream text;
    text << in.rdbuf();
    try {
      Load(file, text.str());
    } catch (const std::exception& e) {
      throw std::runtime_error((directory / file).string() + ": " + e.what());
    }
    ++found;
  }
  if (found == 0)
    throw std::runtime_error("no agent documents in " + directory.string());
}

void AgentDocuments::Load(const std::string& file, const std::string& text)
{
  if (file == "dex-status.xml") {
    KTDexStatus status;
    status.Set(text);
    m_dexStatus = status.GetDetails();
  } else if (file == "dex-config.xml") {
    DexHandler::DexConfiguration configuration;
    configuration.Set(text);
    m_dexConfiguration = configuration.GetConfig();
  } else if (file == "alc-config.xml") {
    m_alcConfigurations = AlcConfigurations(text);
  } else if (file == "tzlib-status.xml") {
    TzLibHandler::TzLibraryStatusImpl status;
    status.Set(text);
    m_tzLibLocations = status.GetUpdateLocations();
    m_tzLibPackages = status.GetPackages();
  } else if (file == "event-update.xml") {
    AUCoreHandler::AUEvent event;
    event.Set(text);
    m_updateEvent = event.GetEventData();
    m_updateEntityInfo.clear();
    event.GetEntityInfo(m_updateEntityInfo);
  } else {
    DexHandler::DexEvent event;
    event.Set(text);
    std::wstring entityInfo;
    const EventKind kind = file == "event-virus.xml"  ? EventKind::VirusFound
                           : file == "event-scan.xml" ? EventKind::ScanComplete
                                                      : EventKind::ApplicationError;
    m_dexEvents[kind] = {event.GetEventData(),
                         event.GetEntityInfo(entityInfo) ? std::optional(entityInfo) : std::nullopt};
  }
}

std::string AgentDocuments::DexStatus(const config_t& applied) const { return DexStatus(applied, 0); }

std::string AgentDocuments::DexStatus(const config_t& applied, unsigned updates) const
{
  KTDexStatusDetails details = m_dexStatus;
  details.onAccess = applied.onAccessScan.enabled;
  details.virusDataVersion = UpdatedVersion(details.virusDataVersion, updates);
  KTDexStatus status;
  status.SetDetails(details);
  return status.ToXML_UTF8();
}

config_t AgentDocuments::DexConfiguration(const Computer& computer) const
{
  config_t c = m_dexConfiguration;
  const Fields fields(computer);
  fields.Fill(c.entity.entityInfo);
  fields.Fill(c.alerting.desktop.message);
  fields.Fill(c.alerting.smtp.subjectLine);
  return c;
}

std::string AgentDocuments::AlcConfiguration(const std::wstring& platform) const
{
  const auto found = m_alcConfigurations.find(platform);
  return found == m_alcConfigurations.end() ? std::string() : found->second;
}

std::wstring AgentDocuments::AlcEntityInfo(const Computer& computer) const
{
  std::wstring text = m_updateEntityInfo;
  Fields(computer).Fill(text);
  return text;
}

std::string AgentDocuments::TzLibStatus(const Computer& computer) const
{
  TzLibHandler::UpdateLocations locations = m_tzLibLocations;
  const Fields fields(computer);
  for (auto& location : locations)
    fields.Fill(location.path);
  TzLibHandler::TzLibraryStatusImpl status;
  status.SetUpdateLocations(locations);
  status.SetPackages(m_tzLibPackages);
  return status.ToXML_UTF8();
}

std::string AgentDocuments::Event(EventKind kind, const Computer& computer, std::time_t when, unsigned serial,
                                  const std::wstring& stamp) const
{
  Fields fields(computer, serial);
  fields.item += stamp;
  const HandlerUtils::timestamp_t timestamp(OleDateFromTimeT(when));
  if (kind == EventKind::UpdateFailed) {
    AUCoreHandler::Event_t event = m_updateEvent;
    event.timestamp = timestamp;
    fields.Fill(event.user.userId);
    fields.Fill(event.user.domain);
    fields.Fill(event.appInfo.message_inserts);
    AUCoreHandler::AUEvent document;
    document.SetEventData(event);
    document.SetEntityInfo(AlcEntityInfo(computer));
    return document.ToKTXML_UTF8();
  }
  // The variants are their kind's document without the domain, or without the entity information.
  DexEventTemplate t = m_dexEvents.at(kind == EventKind::VirusFoundLocalUser         ? EventKind::VirusFound
                                       : kind == EventKind::ApplicationErrorAnonymous ? EventKind::ApplicationError
                                                                                      : kind);
  if (kind == EventKind::VirusFoundLocalUser)
    t.event.user.domain.clear();
  if (kind == EventKind::ApplicationErrorAnonymous)
    t.entityInfo.reset();
  Event_t& event = t.event;
  event.timestamp = timestamp;
  fields.Fill(event.user.userId);
  fields.Fill(event.user.domain);
  fields.Fill(event.infectionInfo.virusName);
  fields.Fill(event.infectionInfo.item);
  fields.Fill(event.scanComplete.scanName);
  fields.Fill(event.appInfo.message.message_inserts);
  if (t.entityInfo)
    fields.Fill(*t.entityInfo);
  return DexHandler::DexEvent::ToAgentText(event, t.entityInfo);
}

std::string UpdateConfigurationFor(const std::string& received, const std::wstring& platform)
{
  HandlerUtils::XMLDocument parsed;
  parsed.SetXML(received);
  if (!parsed.GetRoot().SelectElements(L"self::*[local-name()='AUConfigurations']").empty()) {
    AUCoreHandler::AutoUpdateConfiguration all;
    all.Set(received);
    return all.ToXML_UTF8(platform);
  }
  AUCoreHandler::AUConfig one;
  one.Set(received);
  std::wstring theirs;
  one.GetPlatform(theirs);
  if (theirs != platform)
    throw CorvexManagedEntity::MEInvalidException(L"a configuration for platform '" + theirs + L"', not '" + platform + L"'");
  return received;
}

namespace {

template <class T>
std::string LabelOf(const LabelMap<T>& map, T value)
{
  for (const auto& [label, v] : map)
    if (v == value)
      return ToUtf8(label);
  return std::to_string(static_cast<long>(value));
}

std::string OnOff(bool on)
{
  return on ? "on" : "off";
}

std::string ServerOf(const AUCoreHandler::ILocation& location)
{
  const AUCoreHandler::IServer& server = location.GetServer();
  bool corvex = false;
  std::wstring address;
  if (server.GetUseCorvex(corvex) && corvex)
    return "Corvex";
  return server.GetAddress(address) && !address.empty() ? ToUtf8(address) : "none";
}

}  // namespace

std::string Describe(const config_t& c)
{
  std::size_t scheduled = 0;
  for (const auto& scan : c.onDemandScan.scanSet)
    scheduled += scan.schedule.has_value();
  return "on-access " + OnOff(c.onAccessScan.enabled) + " (" + LabelOf(GetScanLevelMap(), c.onAccessScan.scanBehaviour.level) +
         ", " + LabelOf(GetActionMap(), c.onAccessScan.actions.fileAction) + "), " +
         std::to_string(c.onDemandScan.scanSet.size()) + " on-demand scans (" + std::to_string(scheduled) +
         " scheduled), desktop alerts " + OnOff(c.alerting.desktop.report.virus) + ", " +
         std::to_string(c.alerting.smtp.recipientSet.size()) + " mail recipients";
}

std::string Describe(const AUCoreHandler::IAUConfig& c)
{
  bool scheduled = false;
  ULONG frequency = 0;
  std::string schedule = "scheduled updates off";
  if (c.GetSchedule().GetEnable(scheduled) && scheduled)
    schedule = c.GetSchedule().GetFrequency(frequency) ? "update frequency " + std::to_string(frequency) : "scheduled updates on";
  return "primary " + ServerOf(c.GetPrimaryLocation()) + ", secondary " + ServerOf(c.GetSecondaryLocation()) + ", " + schedule;
}

}  // namespace agentsim
