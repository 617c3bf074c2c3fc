#include "businesslogic/TraceComponent.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/strategies/EventUser.h"
#include "businesslogic/strategies/MessageStrategy.h"
#include "handlers/AUCoreHandler/AUEvent.h"
#include "handlers/KTDexHandler/KTDexEvent.h"
#include "platform/trace/Trace.h"

namespace priv {

void AutoUpdateMessageStrategy::HandleStatusMessage(const CComputer& computer, const std::string&, vrn::Availability) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void AutoUpdateMessageStrategy::HandleStatusMessage(%i)", computer.GetID());
}

void AutoUpdateMessageStrategy::HandleConfigMessage(const CComputer& computer, const std::string&) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void AutoUpdateMessageStrategy::HandleConfigMessage(%i)", computer.GetID());
}

void AutoUpdateMessageStrategy::HandleEventMessage(const CComputer& computer, const std::string& event,
                                                   const std::string& entityName) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void AutoUpdateMessageStrategy::HandleEventMessage(%i, event, \"%hs\")",
                              computer.GetID(), entityName);
  AUCoreHandler::AUEvent document;
  document.Set(event);
  const AUCoreHandler::Event_t e = document.GetEventData();
  // Only application events become alerts; the update document carries no message code, and the
  // alert no entity information.
  if (e.type == KTDexHandler::kAppEventType)
    CAlert::CreateErrorAlert(computer, e.timestamp.GetDate(), AlertSource(entityName), std::wstring(),
                             AlertUserName(e.user.domain, e.user.userId), e.appInfo.number, std::wstring(),
                             e.appInfo.message_inserts);
}

}  // namespace priv
