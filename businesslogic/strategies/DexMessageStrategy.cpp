#include "businesslogic/TraceComponent.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/Dex.h"
#include "businesslogic/strategies/EventUser.h"
#include "businesslogic/strategies/MessageStrategy.h"
#include "dexhandler/DexConfiguration.h"
#include "dexhandler/DexEvent.h"
#include "handlers/KTDexHandler/KTDexEvent.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "platform/trace/Trace.h"

namespace priv {

void DexMessageStrategy::HandleStatusMessage(const CComputer& computer, const std::string& status,
                                             vrn::Availability availability) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void DexMessageStrategy::HandleStatusMessage(%i, status, %d)", computer.GetID(),
                              static_cast<LONG>(availability));
  const vrn::Entitys::Dex dex(computer);
  switch (availability) {
    case vrn::NotInstalled:
      dex.SetStatusNotInstalled();
      break;
    case vrn::InstalledAndReporting: {
      if (status.empty()) {
        trace::Trace(TRACE_BUSINESSLOGIC, 1, "Empty Dex status");
        return;
      }
      KTDexHandler::KTDexStatus parsed;
      parsed.Set(status);
      dex.SetStatus(parsed);
      break;
    }
    case vrn::InstalledNotRunning:
      dex.SetStatusNotRunning();
      break;
    default:
      trace::Trace(TRACE_BUSINESSLOGIC, 0, "Unexpected Dex status availability: %d", static_cast<LONG>(availability));
  }
}

void DexMessageStrategy::HandleConfigMessage(const CComputer& computer, const std::string& config) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void DexMessageStrategy::HandleConfigMessage(%i, config)", computer.GetID());
  if (config.empty()) {
    trace::Trace(TRACE_BUSINESSLOGIC, 1, "Empty Dex configuration");
    return;
  }
  const vrn::Entitys::Dex dex(computer);
  DexHandler::DexConfiguration configuration;
  configuration.Set(config);
  dex.SetConfiguration(configuration.GetKTXML());
}

void DexMessageStrategy::HandleEventMessage(const CComputer& computer, const std::string& event,
                                            const std::string& entityName) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void DexMessageStrategy::HandleEventMessage(%i, event, \"%hs\")",
                              computer.GetID(), entityName);
  DexHandler::DexEvent agentEvent;
  agentEvent.Set(event);
  KTDexHandler::KTDexEvent document;
  document.Set(agentEvent.GetKTXML());
  const KTDexHandler::Event_t e = document.GetEventData();
  const std::wstring userName = AlertUserName(e.user.domain, e.user.userId);
  const DATE alertTime = e.timestamp.GetDate();

  if (e.type == KTDexHandler::kVirusDetectedEventType) {
    const KTDexHandler::virusInfectionInfo_t& v = e.infectionInfo;
    CAlert::CreateVirusDetectedAlert(computer, alertTime, v.virusName, static_cast<LONG>(v.virusType), v.item,
                                     static_cast<LONG>(v.scanType), static_cast<LONG>(v.actionTaken), userName);
  } else if (e.type == KTDexHandler::kAppEventType) {
    std::wstring entityInfo;
    if (!agentEvent.GetEntityInfo(entityInfo)) {
      trace::Trace(TRACE_BUSINESSLOGIC, 0, "No entity info in Dex event");
      return;
    }
    CAlert::CreateErrorAlert(computer, alertTime, AlertSource(entityName), entityInfo, userName, e.appInfo.number,
                             e.appInfo.message.message_code, e.appInfo.message.message_inserts);
  } else if (e.type == KTDexHandler::kScanCompleteEventType) {
    computer.SetLastScanTime(alertTime, e.scanComplete.scanName);
  }
}

}  // namespace priv
