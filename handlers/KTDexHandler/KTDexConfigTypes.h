#pragma once
// The anti-virus configuration as a value: what a group's computers are to apply, or what a
// computer reports it applies. Defaults are those of a new configuration. Comparisons are
// member by member, lists in their order (equivalence, which ignores order where it has no
// effect, is the handler library's business).
#include <compare>
#include <optional>
#include <string>
#include <vector>

#include "handlers/KTDexHandler/LabelMaps.h"

namespace KTDexHandler {

using TextList = std::vector<std::wstring>;

// A time of day on a scan schedule, written "HH:MM:SS".
class scanTime_t
{
public:
  scanTime_t() = default;
  // Out-of-range values give 00:00:00 as a whole.
  scanTime_t(int hour, int minute, int second);

  // Another length or a missing colon gives 00:00:00; a part out of range becomes 0.
  static scanTime_t FromString(const std::wstring& text);
  std::wstring ToString() const;

  int Hour() const noexcept { return m_hour; }
  int Minute() const noexcept { return m_minute; }
  int Second() const noexcept { return m_second; }

  friend auto operator<=>(const scanTime_t&, const scanTime_t&) = default;

private:
  int m_hour = 0;
  int m_minute = 0;
  int m_second = 0;
};

struct entity_t
{
  std::wstring productId;
  std::wstring productVersion;
  std::wstring entityInfo;
  friend auto operator<=>(const entity_t&, const entity_t&) = default;
};

struct scanBehaviour_t
{
  ScanLevel level = ScanLevel::normal;
  bool archives = false;
  friend auto operator<=>(const scanBehaviour_t&, const scanBehaviour_t&) = default;
};

struct extensions_t
{
  bool allFiles = false;
  TextList excludeCorvexDefined;  // taken out of the built-in set
  TextList userDefined;           // added by the user
  bool noExtensions = true;       // scan files without extension
  friend auto operator<=>(const extensions_t&, const extensions_t&) = default;
};

struct exclusions_t
{
  TextList filePathSet;
  friend auto operator<=>(const exclusions_t&, const exclusions_t&) = default;
};

struct actions_t
{
  bool disinfect = false;
  FileAction fileAction = FileAction::doNothing;
  std::wstring destination;  // where moved files go
  friend auto operator<=>(const actions_t&, const actions_t&) = default;
};

struct onAccess_t
{
  bool fileRead = true;
  bool fileWrite = false;
  bool fileRename = false;
  bool accessInfectedRMBootSectors = false;
  friend auto operator<=>(const onAccess_t&, const onAccess_t&) = default;
};

struct onAccessScan_t
{
  bool enabled = true;
  scanBehaviour_t scanBehaviour;
  extensions_t extensions;
  exclusions_t exclusions;
  actions_t actions;
  onAccess_t onAccess;
  friend auto operator<=>(const onAccessScan_t&, const onAccessScan_t&) = default;
};

struct schedule_t
{
  std::vector<Day> daySet;
  std::vector<scanTime_t> timeSet;
  friend auto operator<=>(const schedule_t&, const schedule_t&) = default;
};

struct scanObjectSet_t
{
  bool CDDVDDrives = false;
  bool hardDrives = true;  // a new scan looks at the fixed disks
  bool networkDrives = false;
  bool removableDrives = false;
  friend auto operator<=>(const scanObjectSet_t&, const scanObjectSet_t&) = default;
};

struct scanSettings_t
{
  scanObjectSet_t scanObjectSet;
  scanBehaviour_t scanBehaviour;
  actions_t actions;
  friend auto operator<=>(const scanSettings_t&, const scanSettings_t&) = default;
};

struct scan_t
{
  std::wstring name;
  std::optional<schedule_t> schedule;  // present: a scheduled scan
  scanSettings_t settings;
  friend auto operator<=>(const scan_t&, const scan_t&) = default;
};

struct onDemandScan_t
{
  extensions_t extensions;
  exclusions_t exclusions;
  std::vector<scan_t> scanSet;
  friend auto operator<=>(const onDemandScan_t&, const onDemandScan_t&) = default;
};

struct report_t
{
  bool virus = false;
  bool scanErrors = false;
  bool DEXErrors = false;
  friend auto operator<=>(const report_t&, const report_t&) = default;
};

struct desktop_t
{
  report_t report{true, false, false};
  std::wstring message;  // shown on the desktop
  friend auto operator<=>(const desktop_t&, const desktop_t&) = default;
};

struct smtpConfig_t
{
  std::wstring server;
  std::wstring sender;
  std::wstring replyTo;
  Language language = Language::english;
  friend auto operator<=>(const smtpConfig_t&, const smtpConfig_t&) = default;
};

struct smtp_t
{
  smtpConfig_t smtpConfig;
  report_t report;
  std::wstring subjectLine;
  TextList recipientSet;  // e-mail addresses
  friend auto operator<=>(const smtp_t&, const smtp_t&) = default;
};

struct alerting_t
{
  desktop_t desktop;
  smtp_t smtp;
  friend auto operator<=>(const alerting_t&, const alerting_t&) = default;
};

struct config_t
{
  entity_t entity;
  onAccessScan_t onAccessScan;
  onDemandScan_t onDemandScan;
  alerting_t alerting;
  friend auto operator<=>(const config_t&, const config_t&) = default;
};

}  // namespace KTDexHandler
