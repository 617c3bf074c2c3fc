#include "businesslogic/strategies/MessageStrategyFactory.h"

#include "businesslogic/ProcessSingleton.h"
#include "businesslogic/TraceComponent.h"
#include "businesslogic/entities/EntityNames.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace priv {

CMessageStrategyFactory& CMessageStrategyFactory::Instance()
{
  return TProcessSingleton<CMessageStrategyFactory>::Instance();
}

CMessageStrategyFactory::CMessageStrategyFactory()
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CMessageStrategyFactory::CMessageStrategyFactory()");
  Register(vrn::ENTITY_ALC, std::make_unique<AutoUpdateMessageStrategy>());
  Register(vrn::ENTITY_TZLIB, std::make_unique<CTzLibraryMessageStrategy>());
  Register(vrn::ENTITY_DEX, std::make_unique<DexMessageStrategy>());
}

void CMessageStrategyFactory::Register(const std::string& entityName, std::unique_ptr<CMessageStrategy> strategy)
{
  m_strategies.try_emplace(entityName, std::move(strategy));
}

const CMessageStrategy& CMessageStrategyFactory::GetStrategy(const std::string& entityName) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "const CMessageStrategy& CMessageStrategyFactory::GetStrategy(\"%S\")",
                              entityName);
  const auto found = m_strategies.find(entityName);
  if (found == m_strategies.end())
    throw vrn::Exceptions::UnrecognisedEntity(FromUtf8(entityName));
  return *found->second;
}

}  // namespace priv
