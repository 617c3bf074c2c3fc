#include "businesslogic/LocalisationFactory.h"

#include "businesslogic/ProcessSingleton.h"
#include "businesslogic/TraceComponent.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "dexhandler/DexLocalisation.h"
#include "handlers/AUCoreHandler/AULocalisation.h"
#include "platform/trace/Trace.h"

CLocalisationFactory& CLocalisationFactory::Instance() { return TProcessSingleton<CLocalisationFactory>::Instance(); }

CLocalisationFactory::CLocalisationFactory()
{
  m_localisers.emplace(L"ALC", std::make_unique<AUCoreHandler::AULocalisation>());
  m_localisers.emplace(L"DEX", std::make_unique<DexHandler::DexLocalisation>());
}

const CorvexManagedEntity::ILocalisation& CLocalisationFactory::GetStrategy(const std::wstring& entityName) const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"const ILocalisation & CLocalisationFactory::GetStrategy (\"%s\")", entityName);
  const auto it = m_localisers.find(entityName);
  if (it == m_localisers.end())
    throw vrn::Exceptions::UnrecognisedEntity(entityName);
  return *it->second;
}
