// What a simulated agent does with the action letters it is sent, and the state that shows in
// its next status reply.
#include <stdexcept>

#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/HandlerUtils/XMLElement.h"
#include "platform/text/Unicode.h"
#include "tools/agent-sim/SimulatedAgent.h"

namespace agentsim {

namespace {

constexpr wchar_t kForceUpdate[] = L"corvex.mgt.action.ALCForceUpdate";
constexpr wchar_t kClearUpdateErrorState[] = L"corvex.mgt.action.ALCClearUpdateErrorState";

std::wstring ActionType(const std::string& action)
{
  HandlerUtils::XMLDocument document;
  document.SetXML(action);
  return document.GetRoot().GetStringFromAttribute(L"type");
}

}  // namespace

std::string SimulatedAgent::ApplyAction(const std::string& entity, const std::string& action)
{
  if (entity != "ALC" || !m_components.alc)
    throw std::runtime_error("no " + entity + " component for the action");
  const std::wstring type = ActionType(action);
  std::lock_guard lock(m_mutex);
  if (type == kForceUpdate) {
    // An update brings newer virus data, which the next status reply shows.
    ++m_updatesApplied;
    return "updated now (update " + std::to_string(m_updatesApplied) + ")";
  }
  if (type == kClearUpdateErrorState)
    return "cleared the update error state";
  throw std::runtime_error("unknown action \"" + ToUtf8(type) + "\"");
}

std::string SimulatedAgent::CurrentDexStatus() const
{
  return m_documents.DexStatus(m_dexConfiguration.GetConfig(), m_updatesApplied);
}

unsigned SimulatedAgent::UpdatesApplied() const
{
  std::lock_guard lock(m_mutex);
  return m_updatesApplied;
}

bool SimulatedAgent::CentralConfiguration() const
{
  std::lock_guard lock(m_mutex);
  return m_centralConfiguration;
}

}  // namespace agentsim
