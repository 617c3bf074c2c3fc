#pragma once
// An anti-virus event as the product's agents send it.
//
// Agent form: the event document itself as UTF-8 bytes. An application event may carry, as a
// child of the root, one element entityInfo in the entity-information namespace naming the
// product component that raised the message; the event document proper ignores it.
#include <optional>
#include <string>

#include "handlers/KTDexHandler/KTDexEvent.h"

namespace DexHandler {

class DexEvent
{
public:
  DexEvent() = default;

  // Parses the agent's text. On failure the exception passes through and the object keeps what
  // it held.
  void Set(const std::string& agentText);

  // The event document. MEException when nothing was set.
  std::wstring GetKTXML() const;
  // For an application event that carries entity information: true and the text. False for
  // any other event.
  bool GetEntityInfo(std::wstring& entityInfo) const;

  // Builds the agent form of an event; `entityInfo` is written only for an application event.
  static std::string ToAgentText(const KTDexHandler::Event_t& event, const std::optional<std::wstring>& entityInfo = std::nullopt);

  const KTDexHandler::Event_t& GetEventData() const;

private:
  void Require() const;

  std::optional<KTDexHandler::Event_t> m_event;
  std::optional<std::wstring> m_entityInfo;
};

}  // namespace DexHandler
