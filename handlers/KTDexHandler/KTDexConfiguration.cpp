#include "handlers/KTDexHandler/KTDexConfiguration.h"

#include <cwchar>

#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/KTDexHandler/Namespaces.h"
#include "handlers/KTDexHandler/NodeHelpers.h"
#include "handlers/KTDexHandler/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace KTDexHandler {

using HandlerUtils::XMLDocument;
using HandlerUtils::XMLElement;

namespace {

const std::wstring& Ns() { return kConfigurationNamespace; }

bool InRange(int hour, int minute, int second)
{
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60;
}

// A two-character field of a time item, read as a number the way the agents always have:
// leading blanks and a sign accepted, reading stops at the first non-digit.
int TimeField(const std::wstring& text, std::size_t at)
{
  const std::wstring field = text.substr(at, 2);
  return static_cast<int>(std::wcstol(field.c_str(), nullptr, 10));
}

// A group made of required booleans only: one table gives the element names, in written order,
// for both directions.
template <class Group>
struct BoolField
{
  const wchar_t* name;
  bool Group::*member;
};

template <class Group, std::size_t N>
void WriteBools(const XMLElement& node, const Group& group, const BoolField<Group> (&fields)[N])
{
  for (const auto& field : fields)
    node.CreateBoolNode(field.name, group.*field.member, Ns());
}

template <class Group, std::size_t N>
void ReadBools(const XMLElement& node, Group& group, const BoolField<Group> (&fields)[N])
{
  for (const auto& field : fields)
    group.*field.member = node.GetBoolFromNode(std::wstring(L"cfg:") + field.name);
}

const BoolField<scanObjectSet_t> kScanObjectFields[] = {
  {L"CDDVDDrives", &scanObjectSet_t::CDDVDDrives},
  {L"hardDrives", &scanObjectSet_t::hardDrives},
  {L"networkDrives", &scanObjectSet_t::networkDrives},
  {L"removableDrives", &scanObjectSet_t::removableDrives},
};
const BoolField<report_t> kReportFields[] = {
  {L"virus", &report_t::virus},
  {L"scanErrors", &report_t::scanErrors},
  {L"DEXErrors", &report_t::DEXErrors},
};
// accessInfectedRMBootSectors follows these, optional on reading.
const BoolField<onAccess_t> kOnAccessFields[] = {
  {L"fileRead", &onAccess_t::fileRead},
  {L"fileWrite", &onAccess_t::fileWrite},
  {L"fileRename", &onAccess_t::fileRename},
};

}  // namespace

scanTime_t::scanTime_t(int hour, int minute, int second)
{
  if (InRange(hour, minute, second)) {
    m_hour = hour;
    m_minute = minute;
    m_second = second;
  }
}

scanTime_t scanTime_t::FromString(const std::wstring& text)
{
  scanTime_t time;
  if (text.size() != 8 || text[2] != L':' || text[5] != L':')
    return time;
  const int hour = TimeField(text, 0);
  const int minute = TimeField(text, 3);
  const int second = TimeField(text, 6);
  time.m_hour = hour >= 0 && hour < 24 ? hour : 0;
  time.m_minute = minute >= 0 && minute < 60 ? minute : 0;
  time.m_second = second >= 0 && second < 60 ? second : 0;
  return time;
}

std::wstring scanTime_t::ToString() const
{
  wchar_t text[16];
  std::swprintf(text, sizeof text / sizeof *text, L"%02d:%02d:%02d", m_hour, m_minute, m_second);
  return text;
}

// Readers expect the prefix cfg bound on the document; each is given the group's own element.

void ToXMLNode(const XMLElement& parent, const entity_t& entity)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const entity_t&)");
  const XMLElement node = parent.CreateNode(L"entity", Ns());
  node.CreateStringNode(L"productId", entity.productId, Ns());
  node.CreateStringNode(L"product-version", entity.productVersion, Ns());
  node.CreateStringNode(L"entityInfo", entity.entityInfo, Ns());
}

void FromXMLNode(const XMLElement& node, entity_t& entity)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, entity_t&)");
  ReadOptionalText(node, L"cfg:productId", entity.productId);
  ReadOptionalText(node, L"cfg:product-version", entity.productVersion);
  entity.entityInfo = node.GetStringFromNode(L"cfg:entityInfo");
}

void ToXMLNode(const XMLElement& parent, const scanBehaviour_t& behaviour)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const scanBehaviour_t&)");
  const XMLElement node = parent.CreateNode(L"scanBehaviour", Ns());
  node.CreateEnumNode(L"level", behaviour.level, GetScanLevelMap(), Ns());
  node.CreateBoolNode(L"archives", behaviour.archives, Ns());
}

void FromXMLNode(const XMLElement& node, scanBehaviour_t& behaviour)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, scanBehaviour_t&)");
  behaviour.archives = node.GetBoolFromNode(L"cfg:archives");
  node.GetEnumFromNode(L"cfg:level", GetScanLevelMap(), behaviour.level);
}

void ToXMLNode(const XMLElement& parent, const extensions_t& extensions)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const extensions_t&)");
  const XMLElement node = parent.CreateNode(L"extensions", Ns());
  node.CreateBoolNode(L"allFiles", extensions.allFiles, Ns());
  ToXMLNode(node, L"excludeCorvexDefined", L"extension", extensions.excludeCorvexDefined, Ns());
  ToXMLNode(node, L"userDefined", L"extension", extensions.userDefined, Ns());
  node.CreateBoolNode(L"noExtensions", extensions.noExtensions, Ns());
}

void FromXMLNode(const XMLElement& node, extensions_t& extensions)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, extensions_t&)");
  extensions.allFiles = node.GetBoolFromNode(L"cfg:allFiles");
  FromXMLNode(node, L"cfg:excludeCorvexDefined/cfg:extension", extensions.excludeCorvexDefined);
  FromXMLNode(node, L"cfg:userDefined/cfg:extension", extensions.userDefined);
  extensions.noExtensions = node.GetBoolFromNode(L"cfg:noExtensions");
}

void ToXMLNode(const XMLElement& parent, const exclusions_t& exclusions)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const exclusions_t&)");
  const XMLElement node = parent.CreateNode(L"exclusions", Ns());
  ToXMLNode(node, L"filePathSet", L"filePath", exclusions.filePathSet, Ns());
}

void FromXMLNode(const XMLElement& node, exclusions_t& exclusions)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, exclusions_t&)");
  FromXMLNode(node, L"cfg:filePathSet/cfg:filePath", exclusions.filePathSet);
}

void ToXMLNode(const XMLElement& parent, const actions_t& actions)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const actions_t&)");
  const XMLElement node = parent.CreateNode(L"actions", Ns());
  node.CreateBoolNode(L"disinfect", actions.disinfect, Ns());
  node.CreateEnumNode(L"fileAction", actions.fileAction, GetActionMap(), Ns());
  node.CreateStringNode(L"destination", actions.destination, Ns());
}

void FromXMLNode(const XMLElement& node, actions_t& actions)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, actions_t&)");
  actions.disinfect = node.GetBoolFromNode(L"cfg:disinfect");
  ReadOptionalEnum(node, L"cfg:fileAction", GetActionMap(), actions.fileAction);
  ReadOptionalText(node, L"cfg:destination", actions.destination);
}

void ToXMLNode(const XMLElement& parent, const onAccess_t& onAccess)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const onAccess_t&)");
  const XMLElement node = parent.CreateNode(L"onAccess", Ns());
  WriteBools(node, onAccess, kOnAccessFields);
  node.CreateBoolNode(L"accessInfectedRMBootSectors", onAccess.accessInfectedRMBootSectors, Ns());
}

void FromXMLNode(const XMLElement& node, onAccess_t& onAccess)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, onAccess_t&)");
  ReadBools(node, onAccess, kOnAccessFields);
  ReadOptionalBool(node, L"cfg:accessInfectedRMBootSectors", onAccess.accessInfectedRMBootSectors);
}

void ToXMLNode(const XMLElement& parent, const onAccessScan_t& scan)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const onAccessScan_t&)");
  const XMLElement node = parent.CreateNode(L"onAccessScan", Ns());
  node.CreateBoolNode(L"enabled", scan.enabled, Ns());
  ToXMLNode(node, scan.scanBehaviour);
  ToXMLNode(node, scan.extensions);
  ToXMLNode(node, scan.exclusions);
  ToXMLNode(node, scan.actions);
  ToXMLNode(node, scan.onAccess);
}

void FromXMLNode(const XMLElement& node, onAccessScan_t& scan)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, onAccessScan_t&)");
  scan.enabled = node.GetBoolFromNode(L"cfg:enabled");
  FromXMLNode(node.GetNode(L"cfg:scanBehaviour"), scan.scanBehaviour);
  if (node.NodeExists(L"cfg:extensions"))
    FromXMLNode(node.GetNode(L"cfg:extensions"), scan.extensions);
  if (node.NodeExists(L"cfg:exclusions"))
    FromXMLNode(node.GetNode(L"cfg:exclusions"), scan.exclusions);
  FromXMLNode(node.GetNode(L"cfg:actions"), scan.actions);
  if (node.NodeExists(L"cfg:onAccess"))
    FromXMLNode(node.GetNode(L"cfg:onAccess"), scan.onAccess);
}

void ToXMLNode(const XMLElement& parent, const schedule_t& schedule)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const schedule_t&)");
  const XMLElement node = parent.CreateNode(L"schedule", Ns());
  const XMLElement days = node.CreateNode(L"daySet", Ns());
  for (const Day day : schedule.daySet)
    days.CreateEnumNode(L"day", day, GetDaysMap(), Ns());
  const XMLElement times = node.CreateNode(L"timeSet", Ns());
  for (const auto& time : schedule.timeSet)
    times.CreateStringNode(L"time", time.ToString(), Ns());
}

void FromXMLNode(const XMLElement& node, schedule_t& schedule)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, schedule_t&)");
  for (const auto& item : node.SelectElements(L"cfg:daySet/cfg:day")) {
    Day day = Day::monday;
    if (item.GetEnumFromNode(L".", GetDaysMap(), day))
      schedule.daySet.push_back(day);
    else
      trace::Trace(TRACE_KTDEXHANDLER, 1, L"Skipping unknown schedule day '%s'", item.GetText());
  }
  for (const auto& item : node.SelectElements(L"cfg:timeSet/cfg:time"))
    schedule.timeSet.push_back(scanTime_t::FromString(item.GetText()));
}

void ToXMLNode(const XMLElement& parent, const scanObjectSet_t& objects)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const scanObjectSet_t&)");
  const XMLElement node = parent.CreateNode(L"scanObjectSet", Ns());
  WriteBools(node, objects, kScanObjectFields);
}

void FromXMLNode(const XMLElement& node, scanObjectSet_t& objects)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, scanObjectSet_t&)");
  ReadBools(node, objects, kScanObjectFields);
}

void ToXMLNode(const XMLElement& parent, const scanSettings_t& settings)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const scanSettings_t&)");
  const XMLElement node = parent.CreateNode(L"settings", Ns());
  ToXMLNode(node, settings.scanObjectSet);
  ToXMLNode(node, settings.scanBehaviour);
  ToXMLNode(node, settings.actions);
}

void FromXMLNode(const XMLElement& node, scanSettings_t& settings)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, scanSettings_t&)");
  FromXMLNode(node.GetNode(L"cfg:scanObjectSet"), settings.scanObjectSet);
  FromXMLNode(node.GetNode(L"cfg:scanBehaviour"), settings.scanBehaviour);
  FromXMLNode(node.GetNode(L"cfg:actions"), settings.actions);
}

void ToXMLNode(const XMLElement& parent, const scan_t& scan)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, L"void ToXMLNode(XMLElement, const scan_t& '%s')", scan.name);
  const XMLElement node = parent.CreateNode(L"scan", Ns());
  node.CreateStringNode(L"name", scan.name, Ns());
  if (scan.schedule)
    ToXMLNode(node, *scan.schedule);
  ToXMLNode(node, scan.settings);
}

void FromXMLNode(const XMLElement& node, scan_t& scan)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, scan_t&)");
  scan.name = node.GetStringFromNode(L"cfg:name");
  if (node.NodeExists(L"cfg:schedule"))
    FromXMLNode(node.GetNode(L"cfg:schedule"), scan.schedule.emplace());
  FromXMLNode(node.GetNode(L"cfg:settings"), scan.settings);
}

void ToXMLNode(const XMLElement& parent, const onDemandScan_t& scan)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const onDemandScan_t&)");
  const XMLElement node = parent.CreateNode(L"onDemandScan", Ns());
  ToXMLNode(node, scan.extensions);
  ToXMLNode(node, scan.exclusions);
  const XMLElement scans = node.CreateNode(L"scanSet", Ns());
  for (const auto& item : scan.scanSet)
    ToXMLNode(scans, item);
}

void FromXMLNode(const XMLElement& node, onDemandScan_t& scan)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, onDemandScan_t&)");
  FromXMLNode(node.GetNode(L"cfg:extensions"), scan.extensions);
  FromXMLNode(node.GetNode(L"cfg:exclusions"), scan.exclusions);
  for (const auto& item : node.GetNode(L"cfg:scanSet").SelectElements(L"cfg:scan"))
    FromXMLNode(item, scan.scanSet.emplace_back());
}

void ToXMLNode(const XMLElement& parent, const report_t& report)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const report_t&)");
  const XMLElement node = parent.CreateNode(L"report", Ns());
  WriteBools(node, report, kReportFields);
}

void FromXMLNode(const XMLElement& node, report_t& report)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, report_t&)");
  ReadBools(node, report, kReportFields);
}

void ToXMLNode(const XMLElement& parent, const desktop_t& desktop)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const desktop_t&)");
  const XMLElement node = parent.CreateNode(L"desktop", Ns());
  ToXMLNode(node, desktop.report);
  node.CreateStringNode(L"message", desktop.message, Ns());
}

void FromXMLNode(const XMLElement& node, desktop_t& desktop)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, desktop_t&)");
  FromXMLNode(node.GetNode(L"cfg:report"), desktop.report);
  desktop.message = node.GetStringFromNode(L"cfg:message");
}

void ToXMLNode(const XMLElement& parent, const smtpConfig_t& smtpConfig)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const smtpConfig_t&)");
  const XMLElement node = parent.CreateNode(L"smtpConfig", Ns());
  node.CreateStringNode(L"server", smtpConfig.server, Ns());
  node.CreateStringNode(L"sender", smtpConfig.sender, Ns());
  node.CreateStringNode(L"replyTo", smtpConfig.replyTo, Ns());
  node.CreateEnumNode(L"language", smtpConfig.language, GetLanguageMap(), Ns());
}

void FromXMLNode(const XMLElement& node, smtpConfig_t& smtpConfig)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, smtpConfig_t&)");
  smtpConfig.server = node.GetStringFromNode(L"cfg:server");
  smtpConfig.sender = node.GetStringFromNode(L"cfg:sender");
  ReadOptionalText(node, L"cfg:replyTo", smtpConfig.replyTo);
  ReadOptionalEnum(node, L"cfg:language", GetLanguageMap(), smtpConfig.language);
}

void ToXMLNode(const XMLElement& parent, const smtp_t& smtp)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const smtp_t&)");
  const XMLElement node = parent.CreateNode(L"smtp", Ns());
  ToXMLNode(node, smtp.smtpConfig);
  ToXMLNode(node, smtp.report);
  node.CreateStringNode(L"subjectLine", smtp.subjectLine, Ns());
  ToXMLNode(node, L"recipientSet", L"recipient", smtp.recipientSet, Ns());
}

void FromXMLNode(const XMLElement& node, smtp_t& smtp)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, smtp_t&)");
  FromXMLNode(node.GetNode(L"cfg:smtpConfig"), smtp.smtpConfig);
  FromXMLNode(node.GetNode(L"cfg:report"), smtp.report);
  ReadOptionalText(node, L"cfg:subjectLine", smtp.subjectLine);
  FromXMLNode(node, L"cfg:recipientSet/cfg:recipient", smtp.recipientSet);
}

void ToXMLNode(const XMLElement& parent, const alerting_t& alerting)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void ToXMLNode(XMLElement, const alerting_t&)");
  const XMLElement node = parent.CreateNode(L"alerting", Ns());
  ToXMLNode(node, alerting.desktop);
  ToXMLNode(node, alerting.smtp);
}

void FromXMLNode(const XMLElement& node, alerting_t& alerting)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void FromXMLNode(XMLElement, alerting_t&)");
  FromXMLNode(node.GetNode(L"cfg:desktop"), alerting.desktop);
  FromXMLNode(node.GetNode(L"cfg:smtp"), alerting.smtp);
}

class KTDexConfigurationImpl
{
public:
  template <class Text>
  void Set(const Text& text)
  {
    // Reset first, so that anything the document leaves out has its default. A document that
    // fails to load leaves the defaults, or what was read before the failure: never the previous
    // configuration mixed with the new one.
    m_config = config_t();
    XMLDocument document;
    document.SetXML(text);
    document.SetSelectionNamespaces(SelectionNamespace(L"cfg", Ns()));
    const XMLElement root = document.GetRoot();
    FromXMLNode(root.GetNode(L"cfg:entity"), m_config.entity);
    FromXMLNode(root.GetNode(L"cfg:onAccessScan"), m_config.onAccessScan);
    if (root.NodeExists(L"cfg:onDemandScan"))
      FromXMLNode(root.GetNode(L"cfg:onDemandScan"), m_config.onDemandScan);
    FromXMLNode(root.GetNode(L"cfg:alerting"), m_config.alerting);
  }

  XMLDocument Write() const
  {
    XMLDocument document(L"config", Ns());
    const XMLElement root = document.GetRoot();
    ToXMLNode(root, m_config.entity);
    ToXMLNode(root, m_config.onAccessScan);
    ToXMLNode(root, m_config.onDemandScan);
    ToXMLNode(root, m_config.alerting);
    return document;
  }

  config_t m_config;
};

KTDexConfiguration::KTDexConfiguration() = default;
KTDexConfiguration::KTDexConfiguration(const KTDexConfiguration& other) = default;
KTDexConfiguration& KTDexConfiguration::operator=(const KTDexConfiguration& other) = default;
KTDexConfiguration::KTDexConfiguration(KTDexConfiguration&& other) = default;
KTDexConfiguration& KTDexConfiguration::operator=(KTDexConfiguration&& other) noexcept = default;
KTDexConfiguration::~KTDexConfiguration() = default;

void KTDexConfiguration::Reset()
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void KTDexConfiguration::Reset()");
  m_impl->m_config = config_t();
}

void KTDexConfiguration::Set(const CorvexManagedEntity::XML_UTF8_t& text)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void KTDexConfiguration::Set(utf8)");
  m_impl->Set(text);
}

void KTDexConfiguration::Set(const CorvexManagedEntity::XML_UTF16_t& text)
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "void KTDexConfiguration::Set(utf16)");
  m_impl->Set(text);
}

CorvexManagedEntity::XML_UTF8_t KTDexConfiguration::ToXML_UTF8() const
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "XML_UTF8_t KTDexConfiguration::ToXML_UTF8()");
  return m_impl->Write().ToXML_UTF8();
}

CorvexManagedEntity::XML_UTF16_t KTDexConfiguration::ToXML() const
{
  trace::CFunctionTrace scope(TRACE_KTDEXHANDLER, "XML_UTF16_t KTDexConfiguration::ToXML()");
  return m_impl->Write().ToXML();
}

config_t KTDexConfiguration::GetConfig() const { return m_impl->m_config; }

void KTDexConfiguration::SetConfig(const config_t& config) { m_impl->m_config = config; }

}  // namespace KTDexHandler
