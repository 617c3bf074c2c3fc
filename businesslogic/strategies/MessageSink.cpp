#include "businesslogic/strategies/MessageSink.h"

#include "businesslogic/TraceComponent.h"
#include "businesslogic/strategies/MessageStrategyFactory.h"
#include "platform/trace/Trace.h"

namespace vrn {

CMessageSink::CMessageSink(const CComputer& computer) : m_computer(computer) {}

void CMessageSink::ProcessMessage(const std::string& entityName, const std::string& status, const std::string& config,
                                  Availability availability) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"void CMessageSink::ProcessMessage(\"%S\", status, config )", entityName);
  const priv::CMessageStrategy& strategy = priv::CMessageStrategyFactory::Instance().GetStrategy(entityName);
  strategy.HandleConfigMessage(m_computer, config);
  strategy.HandleStatusMessage(m_computer, status, availability);
}

void CMessageSink::ProcessEventMessage(const std::string& entityName, const std::string& event) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"void CMessageSink::ProcessEventMessage called for entity %S", entityName);
  priv::CMessageStrategyFactory::Instance().GetStrategy(entityName).HandleEventMessage(m_computer, event, entityName);
}

}  // namespace vrn
