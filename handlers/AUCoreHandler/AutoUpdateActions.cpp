#include "handlers/AUCoreHandler/AutoUpdateActions.h"

#include "handlers/HandlerUtils/MEException.h"

namespace AUCoreHandler {

AutoUpdateActions::AutoUpdateActions()
  : m_actions{
        {ALCClearUpdateErrorState, "<?xml version='1.0'?><action type=\"corvex.mgt.action.ALCClearUpdateErrorState\"/>"},
        {ALCForceUpdate, "<?xml version='1.0'?><action type=\"corvex.mgt.action.ALCForceUpdate\"/>"},
    }
{
}

const CorvexManagedEntity::XML_UTF8_t& AutoUpdateActions::ToXML_UTF8(AutoUpdateActionType action) const
{
  const auto it = m_actions.find(action);
  if (it == m_actions.end())
    throw CorvexManagedEntity::MEException(std::string("Invalid auto update action type"));
  return it->second;
}

}  // namespace AUCoreHandler
