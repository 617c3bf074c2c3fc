#pragma once
// The documents a simulated agent reports, built and read through the document classes: the
// anti-virus ("DEX") status, configuration and events, the update component's ("ALC")
// configuration and events, and the library server's ("TzLib") status.
//
// Built-in values by default; a directory of document files replaces any of them. Each file is
// read through its document class when the simulator starts, so a file that the service could
// not read either is refused there. Texts of the values may hold placeholders that are filled
// per computer: ${COMPUTER}, ${DOMAIN}, ${USER}, and in virus events ${VIRUS} and ${ITEM}
// (which change from one event to the next). An event's timestamp is always its sending time.
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "handlers/AUCoreHandler/AUConfigInterfaces.h"
#include "handlers/AUCoreHandler/AUEvent.h"
#include "handlers/KTDexHandler/KTDexConfigTypes.h"
#include "handlers/KTDexHandler/KTDexEvent.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "handlers/TzLibHandler/TzLibraryTypes.h"

namespace agentsim {

struct Computer;

enum class EventKind
{
  VirusFound,
  ScanComplete,
  ApplicationError,
  UpdateFailed,
  VirusFoundLocalUser,        // a virus found while a local account (no domain) was logged on
  ApplicationErrorAnonymous,  // an application error that does not name the component that raised it
};

// Every kind, in the order above.
const std::vector<EventKind>& AllEventKinds();

// The component that raises events of the kind: "DEX" or "ALC".
const char* EventEntity(EventKind kind);
// "virus", "scan", "error", "update", "virus-local", "error-anonymous" on the command line;
// false for any other text.
bool ParseEventKind(const std::string& text, EventKind& kind);
const char* EventKindName(EventKind kind);
// "virus found", ... in the simulator's output.
const char* EventHeadline(EventKind kind);

class AgentDocuments
{
public:
  // The built-in documents.
  AgentDocuments();
  // The built-in documents, with every file of the directory that has one of these names
  // taking the place of its built-in document: dex-status.xml, dex-config.xml (the agent form),
  // alc-config.xml (a whole update configuration, every platform), tzlib-status.xml,
  // event-virus.xml, event-scan.xml, event-error.xml (the agent form), event-update.xml.
  // std::runtime_error naming the file when the directory cannot be read, holds none of them,
  // or a file does not read as its document.
  explicit AgentDocuments(const std::filesystem::path& directory);

  // The anti-virus status; on-access scanning runs as the applied configuration says.
  std::string DexStatus(const KTDexHandler::config_t& applied) const;
  // The same after `updates` force-updates: the virus data version's last field counts them.
  std::string DexStatus(const KTDexHandler::config_t& applied, unsigned updates) const;
  // The configuration a computer starts with.
  KTDexHandler::config_t DexConfiguration(const Computer& computer) const;
  // The update configuration a computer of the platform starts with (an AUConfig document);
  // empty when the configuration has no such platform.
  std::string AlcConfiguration(const std::wstring& platform) const;
  // The entity information an update component reports with its configuration and events.
  std::wstring AlcEntityInfo(const Computer& computer) const;
  std::string TzLibStatus(const Computer& computer) const;
  // The event in the form its component sends it. serial varies what changes from one event to
  // the next (virus names, items).
  // A stamp, when given, is appended to the infected item.
  std::string Event(EventKind kind, const Computer& computer, std::time_t when, unsigned serial,
                    const std::wstring& stamp = {}) const;

private:
  struct DexEventTemplate
  {
    KTDexHandler::Event_t event;
    std::optional<std::wstring> entityInfo;
  };

  void Load(const std::string& file, const std::string& text);

  KTDexHandler::KTDexStatusDetails m_dexStatus;
  KTDexHandler::config_t m_dexConfiguration;
  std::map<std::wstring, std::string> m_alcConfigurations;  // platform -> AUConfig document
  TzLibHandler::UpdateLocations m_tzLibLocations;
  TzLibHandler::Packages m_tzLibPackages;
  std::map<EventKind, DexEventTemplate> m_dexEvents;
  AUCoreHandler::Event_t m_updateEvent;
  std::wstring m_updateEntityInfo;
};

// A received update configuration (one platform's AUConfig document, or a whole configuration
// of every platform) as the AUConfig document of `platform`. MEException or XMLException when it
// does not read, or holds another platform only.
std::string UpdateConfigurationFor(const std::string& received, const std::wstring& platform);

// One line on what a configuration sets, for the simulator's output.
std::string Describe(const KTDexHandler::config_t& configuration);
std::string Describe(const AUCoreHandler::IAUConfig& configuration);

}  // namespace agentsim
