#pragma once
// The anti-virus configuration document: a group's configuration as the console edits it and
// the service stores it, and the configuration a computer reports.
#include <string>

#include "handlers/HandlerUtils/XMLElement.h"
#include "handlers/HandlerUtils/XMLTypes.h"
#include "handlers/KTDexHandler/KTDexConfigTypes.h"
#include "handlers/KTDexHandler/ValueHandle.h"

namespace KTDexHandler {

// Each group is written as one child of `parent` named after the group and read from that
// element. Required children missing on reading raise XMLException.
void ToXMLNode(const HandlerUtils::XMLElement& parent, const entity_t& entity);
void FromXMLNode(const HandlerUtils::XMLElement& node, entity_t& entity);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const scanBehaviour_t& behaviour);
void FromXMLNode(const HandlerUtils::XMLElement& node, scanBehaviour_t& behaviour);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const extensions_t& extensions);
void FromXMLNode(const HandlerUtils::XMLElement& node, extensions_t& extensions);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const exclusions_t& exclusions);
void FromXMLNode(const HandlerUtils::XMLElement& node, exclusions_t& exclusions);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const actions_t& actions);
void FromXMLNode(const HandlerUtils::XMLElement& node, actions_t& actions);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const onAccess_t& onAccess);
void FromXMLNode(const HandlerUtils::XMLElement& node, onAccess_t& onAccess);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const onAccessScan_t& scan);
void FromXMLNode(const HandlerUtils::XMLElement& node, onAccessScan_t& scan);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const schedule_t& schedule);
void FromXMLNode(const HandlerUtils::XMLElement& node, schedule_t& schedule);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const scanObjectSet_t& objects);
void FromXMLNode(const HandlerUtils::XMLElement& node, scanObjectSet_t& objects);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const scanSettings_t& settings);
void FromXMLNode(const HandlerUtils::XMLElement& node, scanSettings_t& settings);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const scan_t& scan);
void FromXMLNode(const HandlerUtils::XMLElement& node, scan_t& scan);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const onDemandScan_t& scan);
void FromXMLNode(const HandlerUtils::XMLElement& node, onDemandScan_t& scan);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const report_t& report);
void FromXMLNode(const HandlerUtils::XMLElement& node, report_t& report);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const desktop_t& desktop);
void FromXMLNode(const HandlerUtils::XMLElement& node, desktop_t& desktop);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const smtpConfig_t& smtpConfig);
void FromXMLNode(const HandlerUtils::XMLElement& node, smtpConfig_t& smtpConfig);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const smtp_t& smtp);
void FromXMLNode(const HandlerUtils::XMLElement& node, smtp_t& smtp);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const alerting_t& alerting);
void FromXMLNode(const HandlerUtils::XMLElement& node, alerting_t& alerting);

class KTDexConfigurationImpl;

class KTDexConfiguration
{
public:
  KTDexConfiguration();
  KTDexConfiguration(const KTDexConfiguration& other);
  KTDexConfiguration& operator=(const KTDexConfiguration& other);
  KTDexConfiguration(KTDexConfiguration&& other);
  KTDexConfiguration& operator=(KTDexConfiguration&& other) noexcept;
  ~KTDexConfiguration();

  // Back to the defaults.
  void Reset();

  // Resets, then reads the document. After a failure the held configuration is the default one
  // or partly read; callers discard it.
  void Set(const CorvexManagedEntity::XML_UTF8_t& text);
  void Set(const CorvexManagedEntity::XML_UTF16_t& text);

  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8() const;
  CorvexManagedEntity::XML_UTF16_t ToXML() const;

  config_t GetConfig() const;
  void SetConfig(const config_t& config);

private:
  ValueHandle<KTDexConfigurationImpl> m_impl;
};

}  // namespace KTDexHandler
