#pragma once
// A whole update configuration document: one AUConfig element per platform. An object that
// holds no document answers GetConfig (and the serialisations) from the built-in defaults.
#include <memory>
#include <string>

#include "handlers/AUCoreHandler/AUConfigInterfaces.h"
#include "handlers/HandlerUtils/XMLTypes.h"

namespace AUCoreHandler {

// The platforms of a configuration, in the order a loaded document is checked.
inline constexpr const wchar_t* Platforms[] = {L"Tandem", L"MacOSX", L"DEX95", L"DEXNT"};

class AutoUpdateConfigurationImpl;

class AutoUpdateConfiguration
{
public:
  AutoUpdateConfiguration();
  ~AutoUpdateConfiguration();
  // Copies hold a document of their own.
  AutoUpdateConfiguration(const AutoUpdateConfiguration& other);
  AutoUpdateConfiguration& operator=(const AutoUpdateConfiguration& other);
  AutoUpdateConfiguration(AutoUpdateConfiguration&& other) noexcept;
  AutoUpdateConfiguration& operator=(AutoUpdateConfiguration&& other) noexcept;

  // True once a document is held (loaded, created or defaulted).
  bool IsInitialised() const;
  // Drops the document: a new empty one. MECreateDOMFailed when none can be made.
  void Reset();
  // Resets, then loads a document holding the four platforms. A text that does not parse raises
  // MEMalformedException (the object is then empty), a missing platform MEUnknownPlatform, an
  // unreadable platform MEMalformedException "Bad XML" (the object then holds what was read).
  // References from GetConfig stay valid until the next Set, Reset or CreateConfig.
  void Set(const std::string& text);
  void Set(const std::wstring& text);
  // The first AUConfig element whose platform attribute is `platform` (case-sensitive);
  // MEUnknownPlatform "Unknown platform: '<name>'" when there is none.
  IAUConfig& GetConfig(const std::wstring& platform);
  // Replaces the held document by the built-in default one.
  void CreateConfig();

  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8();
  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8(const std::wstring& platform);
  CorvexManagedEntity::XML_UTF16_t ToXML();
  CorvexManagedEntity::XML_UTF16_t ToXML(const std::wstring& platform);

  // The text of the first entityInfo element of the document; false when there is none.
  bool GetEntityInfo(std::wstring& value) const;

  // Two configurations are equal when every platform compares the same (SameUpdateConfig);
  // two empty objects are equal, an empty and a held one are not.
  bool operator==(const AutoUpdateConfiguration& other) const;

private:
  AutoUpdateConfigurationImpl& Impl() const;
  std::unique_ptr<AutoUpdateConfigurationImpl> m_impl;
};

// True when the configuration holds the platform and its primary server has a non-empty
// ConnectionAddress. Any failure of the lookup is traced and answers false.
bool IsPlatformConfigured(AutoUpdateConfiguration& configuration, const std::wstring& platform);

// The built-in default document: the four platforms with version "1" and the default values.
const CorvexManagedEntity::XML_UTF8_t& DefaultAUConfigDocument();

}  // namespace AUCoreHandler
