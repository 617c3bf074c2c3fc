#pragma once
// The fixed action documents that tell the update component what to do.
#include <map>

#include "handlers/HandlerUtils/XMLTypes.h"

namespace AUCoreHandler {

enum AutoUpdateActionType
{
  ALCClearUpdateErrorState = 0,
  ALCForceUpdate = 1,
};

class AutoUpdateActions
{
public:
  AutoUpdateActions();
  // The action's document; MEException "Invalid auto update action type" for any other value.
  const CorvexManagedEntity::XML_UTF8_t& ToXML_UTF8(AutoUpdateActionType action) const;

private:
  std::map<AutoUpdateActionType, CorvexManagedEntity::XML_UTF8_t> m_actions;
};

}  // namespace AUCoreHandler
