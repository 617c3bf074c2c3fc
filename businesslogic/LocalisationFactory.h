#pragma once
// The process-wide registry of the products' message localisers, by entity name: "ALC" (the
// update component) and "DEX" (the anti-virus product). Created on first use, destroyed at
// process exit; a use after that raises std::logic_error "Dead reference detected".
#include <map>
#include <memory>
#include <string>

#include "handlers/HandlerUtils/ILocalisation.h"

class CLocalisationFactory
{
public:
  static CLocalisationFactory& Instance();

  // The localiser of an entity; vrn::Exceptions::UnrecognisedEntity for a name without one.
  const CorvexManagedEntity::ILocalisation& GetStrategy(const std::wstring& entityName) const;

  CLocalisationFactory();
  CLocalisationFactory(const CLocalisationFactory&) = delete;
  CLocalisationFactory& operator=(const CLocalisationFactory&) = delete;

private:
  std::map<std::wstring, std::unique_ptr<CorvexManagedEntity::ILocalisation>> m_localisers;
};
