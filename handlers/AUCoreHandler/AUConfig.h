#pragma once
// One platform's update configuration: a view of an AUConfig element inside a whole
// configuration document, or a configuration of its own loaded with Set.
#include <memory>
#include <string>

#include "handlers/AUCoreHandler/AUConfigElements.h"
#include "handlers/AUCoreHandler/AUConfigInterfaces.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/HandlerUtils/XMLElement.h"

namespace AUCoreHandler {

class AUConfig final : public IAUConfig
{
public:
  // No element yet: every child accessor raises until Set loads one.
  AUConfig();
  explicit AUConfig(HandlerUtils::XMLElement element);
  ~AUConfig() override;
  // Child views call back into this object: it stays where it was made.
  AUConfig(const AUConfig&) = delete;
  AUConfig& operator=(const AUConfig&) = delete;

  ILocation& GetPrimaryLocation() const override;
  ILocation& GetSecondaryLocation() const override;
  ISchedule& GetSchedule() const override;
  ILogging& GetLogging() const override;
  IBootstrap& GetBootstrap() const override;
  bool GetCorvexAddress(std::wstring& value) const override;
  void SetCorvexAddress(const std::wstring& value) override;

  void Set(const std::wstring& text) override;
  void Set(const std::string& text) override;
  bool GetEntityInfo(std::wstring& value) const override;
  void SetEntityInfo(const std::wstring& value) override;

  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8() const override;
  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8(const std::wstring& entityInfo) const override;
  CorvexManagedEntity::XML_UTF16_t ToXML() const override;
  CorvexManagedEntity::XML_UTF16_t ToXML(const std::wstring& entityInfo) const override;

  // The platform and version attributes of the element (false when absent).
  bool GetPlatform(std::wstring& value) const;
  bool GetVersion(std::wstring& value) const;
  const HandlerUtils::XMLElement& Element() const noexcept { return m_element; }

  // Reads every compared attribute (a comparison with itself) and the entity information;
  // a configuration that cannot be read so raises MEMalformedException "Bad XML".
  void Exercise() const;

private:
  template <class Text>
  void SetText(const Text& text);
  void Rebind(HandlerUtils::XMLElement element);
  Bootstrap& BootstrapView() const;
  void OnPrimaryAddressChanged(const std::wstring& address) const;
  bool ReadPrimaryAddress(std::wstring& address) const;
  HandlerUtils::XMLDocument Copy(const std::wstring* entityInfo) const;

  HandlerUtils::XMLElement m_element;
  mutable std::unique_ptr<Location> m_primary;
  mutable std::unique_ptr<Location> m_secondary;
  mutable std::unique_ptr<Schedule> m_schedule;
  mutable std::unique_ptr<Logging> m_logging;
  mutable std::unique_ptr<Bootstrap> m_bootstrap;
  mutable std::unique_ptr<CorvexAddress> m_corvexAddress;
  EntityInfo m_entityInfo;
};

}  // namespace AUCoreHandler
