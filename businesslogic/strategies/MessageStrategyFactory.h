#pragma once
// The process-wide registry of message strategies by entity name, created on first use with the
// strategies of "ALC", "TzLib" and "DEX", and not changed after.
#include <map>
#include <memory>
#include <string>

#include "businesslogic/strategies/MessageStrategy.h"

namespace priv {

class CMessageStrategyFactory
{
public:
  // The one instance: std::logic_error "Dead reference detected" once it was destroyed at exit.
  static CMessageStrategyFactory& Instance();

  CMessageStrategyFactory();
  CMessageStrategyFactory(const CMessageStrategyFactory&) = delete;
  CMessageStrategyFactory& operator=(const CMessageStrategyFactory&) = delete;

  // Keeps the strategy unless the name has one already (the given one is then dropped).
  void Register(const std::string& entityName, std::unique_ptr<CMessageStrategy> strategy);
  // vrn::Exceptions::UnrecognisedEntity "Unrecognised Entity :<name>" for a name without one.
  const CMessageStrategy& GetStrategy(const std::string& entityName) const;

private:
  std::map<std::string, std::unique_ptr<CMessageStrategy>> m_strategies;
};

}  // namespace priv
