#pragma once
// The anti-virus configuration as the product's agents exchange it.
//
// Agent form: the agents read and write the configuration document itself, as UTF-8 bytes with
// an XML declaration, every element written out (defaults included) so that an agent never has
// to guess a default. Set(std::string) accepts any configuration document in bytes; ToOpaqueXML
// produces the complete form.
#include <string>

#include "handlers/KTDexHandler/KTDexConfigTypes.h"

namespace DexHandler {

class DexConfiguration
{
public:
  DexConfiguration() = default;

  // From an agent's text (bytes) or a stored configuration document (wide text). On failure the
  // exception passes through and the object keeps what it held.
  void Set(const std::string& agentText);
  void Set(const std::wstring& text);

  // False until a Set succeeded.
  bool IsInitialised() const noexcept { return m_initialised; }

  // True when both hold a configuration that has the same effect on a computer: the entity's
  // identity is not a setting, and lists whose order the product ignores compare as sets.
  bool IsEquivalent(const DexConfiguration& other) const;

  // The held configuration as a configuration document. MEException when none is held.
  std::wstring GetKTXML() const;
  // The held configuration in the agent form. `platform` names the target computer's platform;
  // every platform of the product reads the same form, so it does not change the text.
  std::string ToOpaqueXML(const std::wstring& platform) const;

  const KTDexHandler::config_t& GetConfig() const;

private:
  void Require() const;

  KTDexHandler::config_t m_config;
  bool m_initialised = false;
};

}  // namespace DexHandler
