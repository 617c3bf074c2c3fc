#include "dexhandler/DexConfiguration.h"

#include <algorithm>
#include <cwctype>

#include "dexhandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "platform/trace/Trace.h"

namespace DexHandler {

using namespace KTDexHandler;

namespace {

// The product treats these lists as sets: order and repetition have no effect.
template <class T>
void MakeSet(std::vector<T>& list)
{
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
}

// Extensions and paths name files on case-insensitive file systems.
void MakeFileNameSet(TextList& list)
{
  for (auto& text : list)
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
  MakeSet(list);
}

void Canonicalise(extensions_t& extensions)
{
  MakeFileNameSet(extensions.excludeCorvexDefined);
  MakeFileNameSet(extensions.userDefined);
}

void Canonicalise(exclusions_t& exclusions) { MakeFileNameSet(exclusions.filePathSet); }

// The configuration reduced to what decides its effect on a computer, so that two effects
// compare equal exactly when the reduced values do.
config_t Canonical(config_t config)
{
  // The product's identity and its entity information describe the sender, not a setting.
  config.entity = entity_t();
  Canonicalise(config.onAccessScan.extensions);
  Canonicalise(config.onAccessScan.exclusions);
  Canonicalise(config.onDemandScan.extensions);
  Canonicalise(config.onDemandScan.exclusions);
  for (auto& scan : config.onDemandScan.scanSet)
    if (scan.schedule) {
      MakeSet(scan.schedule->daySet);
      MakeSet(scan.schedule->timeSet);
    }
  // Every listed scan runs, in whatever order they are listed; two identical scans both run.
  std::sort(config.onDemandScan.scanSet.begin(), config.onDemandScan.scanSet.end());
  MakeSet(config.alerting.smtp.recipientSet);
  return config;
}

template <class Text>
config_t Parse(const Text& text)
{
  KTDexConfiguration document;
  document.Set(text);
  return document.GetConfig();
}

KTDexConfiguration Document(const config_t& config)
{
  KTDexConfiguration document;
  document.SetConfig(config);
  return document;
}

}  // namespace

void DexConfiguration::Set(const std::string& agentText)
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, "void DexConfiguration::Set(const std::string&)");
  m_config = Parse(agentText);
  m_initialised = true;
}

void DexConfiguration::Set(const std::wstring& text)
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, "void DexConfiguration::Set(const std::wstring&)");
  m_config = Parse(text);
  m_initialised = true;
}

bool DexConfiguration::IsEquivalent(const DexConfiguration& other) const
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, "bool DexConfiguration::IsEquivalent(const DexConfiguration&)");
  if (!m_initialised || !other.m_initialised)
    return false;
  return Canonical(m_config) == Canonical(other.m_config);
}

std::wstring DexConfiguration::GetKTXML() const
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, "std::wstring DexConfiguration::GetKTXML()");
  Require();
  return Document(m_config).ToXML();
}

std::string DexConfiguration::ToOpaqueXML(const std::wstring& platform) const
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, L"std::string DexConfiguration::ToOpaqueXML('%s')", platform);
  Require();
  return Document(m_config).ToXML_UTF8();
}

const config_t& DexConfiguration::GetConfig() const
{
  Require();
  return m_config;
}

void DexConfiguration::Require() const
{
  if (!m_initialised)
    throw CorvexManagedEntity::MEException("DexConfiguration holds no configuration");
}

}  // namespace DexHandler
