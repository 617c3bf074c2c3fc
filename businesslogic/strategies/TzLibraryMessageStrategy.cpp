#include <stdexcept>

#include "businesslogic/TraceComponent.h"
#include "businesslogic/entities/TzLibraryServer.h"
#include "businesslogic/strategies/MessageStrategy.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"
#include "platform/trace/Trace.h"

namespace priv {

void CTzLibraryMessageStrategy::HandleStatusMessage(const CComputer& computer, const std::string& status, vrn::Availability) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CTzLibraryMessageStrategy::HandleStatusMessage(%i)", computer.GetID());
  TzLibHandler::TzLibraryStatusImpl parsed;
  parsed.Set(status);
  parsed.Validate();
  vrn::Entitys::CTzLibraryServer(computer).SetStatus(parsed);
}

void CTzLibraryMessageStrategy::HandleConfigMessage(const CComputer& computer, const std::string&) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CTzLibraryMessageStrategy::HandleConfigMessage(%i)", computer.GetID());
}

void CTzLibraryMessageStrategy::HandleEventMessage(const CComputer&, const std::string&, const std::string&) const
{
  throw std::runtime_error("Not implemented!");
}

}  // namespace priv
