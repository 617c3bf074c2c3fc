#pragma once
// The documents a simulated agent reports: anti-virus status and configuration ("DEX"),
// update configuration ("ALC"), library status ("TzLib") and event documents. Built-in samples
// by default; a directory of files replaces any of them. Texts may hold placeholders that are
// filled per computer: ${COMPUTER}, ${DOMAIN}, ${USER}, ${TIMESTAMP} (UTC, "%Y%m%d %H%M%S"),
// ${VIRUS}, ${ITEM}.
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

namespace agentsim {

struct Computer;

enum class EventKind
{
  VirusFound,
  ScanComplete,
  ApplicationError,
};

// Replaceable by the document classes of the handlers once agents build their documents.
class IAgentDocuments
{
public:
  virtual ~IAgentDocuments() = default;
  virtual std::string DexStatus(const Computer& computer) const = 0;
  virtual std::string DexConfiguration(const Computer& computer) const = 0;
  virtual std::string AlcConfiguration(const Computer& computer) const = 0;
  virtual std::string TzLibStatus(const Computer& computer) const = 0;
  // serial varies what changes from one event to the next (virus names, items).
  virtual std::string Event(EventKind kind, const Computer& computer, std::time_t when, unsigned serial) const = 0;
};

class SampleDocuments : public IAgentDocuments
{
public:
  // The built-in samples.
  SampleDocuments();
  // The samples, with every file of the directory that has one of these names taking the
  // place of its sample: dex-status.xml, dex-config.xml, alc-config.xml, tzlib-status.xml,
  // event-virus.xml, event-scan.xml, event-error.xml. std::runtime_error when the directory
  // cannot be read or holds none of them.
  explicit SampleDocuments(const std::filesystem::path& directory);

  std::string DexStatus(const Computer& computer) const override;
  std::string DexConfiguration(const Computer& computer) const override;
  std::string AlcConfiguration(const Computer& computer) const override;
  std::string TzLibStatus(const Computer& computer) const override;
  std::string Event(EventKind kind, const Computer& computer, std::time_t when, unsigned serial) const override;

  static const char* FileName(const std::string& document);

private:
  std::string Fill(const std::string& name, const Computer& computer, std::time_t when, unsigned serial) const;
  std::map<std::string, std::string> m_texts;
};

// "%Y%m%d %H%M%S" in UTC, the event documents' timestamp.
std::string EventTimestamp(std::time_t when);

// Puts one platform's update configuration (an AUConfig element, as a SetConfiguration
// letter carries it) into a whole AUConfigurations document in place of that platform's
// element. A whole document replaces the held one; text that is neither is returned unchanged
// in `applied` = false.
std::string MergeUpdateConfiguration(const std::string& held, const std::string& received, bool& applied);

}  // namespace agentsim
