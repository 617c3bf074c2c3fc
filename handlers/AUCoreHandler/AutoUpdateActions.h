#pragma once
// The fixed action documents that tell the update component what to do.
#include <map>

#include "handlers/HandlerUtils/XMLTypes.h"

namespace AUCoreHandler {

// A fixed underlying type: an action number from outside that is none of these is a value the
// type can hold, so it can be checked and refused.
enum AutoUpdateActionType : int
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
