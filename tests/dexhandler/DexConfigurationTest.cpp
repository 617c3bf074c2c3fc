#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "Samples.h"
#include "dexhandler/DexConfiguration.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "tests/handlers/KTDexHandler/TestSupport.h"

using DexHandler::DexConfiguration;
using namespace KTDexHandler;

namespace {

DexConfiguration FromConfig(const config_t& config)
{
  KTDexConfiguration document;
  document.SetConfig(config);
  DexConfiguration result;
  result.Set(document.ToXML());
  return result;
}

config_t SampleConfig()
{
  KTDexConfiguration document;
  document.Set(Sample("configuration.xml"));
  return document.GetConfig();
}

// Moves the first occurrence of the element `name` (with its content) to just before `before`.
std::string MoveElement(std::string text, const std::string& name, const std::string& before)
{
  const auto from = text.find("<" + name + ">");
  const std::string close = "</" + name + ">";
  const auto to = text.find(close, from) + close.size();
  const std::string element = text.substr(from, to - from);
  text.erase(from, to - from);
  text.insert(text.find(before), element);
  return text;
}

}  // namespace

TEST(DexConfiguration, SampleAgentTextBecomesTheSameConfigurationDocument)
{
  DexConfiguration configuration;
  EXPECT_FALSE(configuration.IsInitialised());
  configuration.Set(Sample("configuration.xml"));
  EXPECT_TRUE(configuration.IsInitialised());

  const config_t& config = configuration.GetConfig();
  ASSERT_EQ(config.onDemandScan.scanSet.size(), 3u);
  EXPECT_FALSE(config.onDemandScan.scanSet[2].schedule.has_value());

  KTDexConfiguration stored;
  stored.Set(configuration.GetKTXML());
  EXPECT_EQ(stored.GetConfig(), config);

  // The agent form is the complete document in UTF-8, defaults written out.
  DexConfiguration minimal;
  minimal.Set(Sample("configuration-minimal.xml"));
  const std::string opaque = minimal.ToOpaqueXML(L"");
  EXPECT_EQ(opaque.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u) << opaque;
  EXPECT_NE(opaque.find("<onAccess><fileRead>true</fileRead>"), std::string::npos) << opaque;
  EXPECT_EQ(opaque, minimal.ToOpaqueXML(L"WINXP"));
  DexConfiguration agent;
  agent.Set(opaque);
  EXPECT_EQ(agent.GetConfig(), minimal.GetConfig());
}

TEST(DexConfiguration, WithoutConfigurationNothingIsProducedOrEquivalent)
{
  DexConfiguration empty;
  EXPECT_EQ(MessageOf<CorvexManagedEntity::MEException>([&] { empty.GetKTXML(); }), "DexConfiguration holds no configuration");
  EXPECT_EQ(MessageOf<CorvexManagedEntity::MEException>([&] { empty.ToOpaqueXML(L""); }), "DexConfiguration holds no configuration");
  const DexConfiguration set = FromConfig(config_t{});
  EXPECT_FALSE(empty.IsEquivalent(set));
  EXPECT_FALSE(set.IsEquivalent(empty));
  EXPECT_FALSE(empty.IsEquivalent(DexConfiguration{}));
}

TEST(DexConfiguration, FailingSetKeepsWhatWasHeld)
{
  DexConfiguration configuration;
  EXPECT_THROW(configuration.Set(std::string("<config")), HandlerUtils::XMLException);
  EXPECT_FALSE(configuration.IsInitialised());

  configuration.Set(Sample("configuration.xml"));
  std::string broken = Sample("configuration.xml");
  const std::string sender = "<sender>antivirus@corp.example</sender>";
  broken.erase(broken.find(sender), sender.size());
  EXPECT_EQ(MessageOf<HandlerUtils::XMLException>([&] { configuration.Set(broken); }), "Failed to find node from path: cfg:sender");
  EXPECT_TRUE(configuration.IsInitialised());
  EXPECT_EQ(configuration.GetConfig(), SampleConfig());
}

TEST(DexConfiguration, DocumentsDifferingOnlyInElementOrderAreEquivalent)
{
  const std::string original = Sample("configuration.xml");
  std::string reordered = MoveElement(original, "alerting", "<onAccessScan>");
  reordered = MoveElement(reordered, "onAccess", "<enabled>");
  reordered = MoveElement(reordered, "archives", "<level>");
  reordered = MoveElement(reordered, "language", "<server>");
  reordered = MoveElement(reordered, "noExtensions", "<allFiles>");
  ASSERT_NE(reordered, original);

  DexConfiguration a, b;
  a.Set(original);
  b.Set(reordered);
  EXPECT_TRUE(a.IsEquivalent(b));
  EXPECT_TRUE(b.IsEquivalent(a));
}

TEST(DexConfiguration, ListsWhoseOrderHasNoEffectCompareAsSets)
{
  const config_t base = SampleConfig();
  config_t c = base;
  std::reverse(c.onAccessScan.extensions.userDefined.begin(), c.onAccessScan.extensions.userDefined.end());
  c.onAccessScan.extensions.userDefined.push_back(L"JS");  // a repeat, in another case
  std::reverse(c.onAccessScan.exclusions.filePathSet.begin(), c.onAccessScan.exclusions.filePathSet.end());
  c.onAccessScan.exclusions.filePathSet[0] = L"d:\\backup\\";
  std::reverse(c.onDemandScan.scanSet.begin(), c.onDemandScan.scanSet.end());
  auto& quick = c.onDemandScan.scanSet[1];
  ASSERT_EQ(quick.name, L"Working-day quick scan");
  std::reverse(quick.schedule->daySet.begin(), quick.schedule->daySet.end());
  quick.schedule->daySet.push_back(Day::monday);
  std::reverse(quick.schedule->timeSet.begin(), quick.schedule->timeSet.end());
  std::reverse(c.alerting.smtp.recipientSet.begin(), c.alerting.smtp.recipientSet.end());
  // Who reported the configuration is not part of its effect.
  c.entity = {L"DEX", L"4.3.0.12", L"server edition"};

  EXPECT_TRUE(FromConfig(base).IsEquivalent(FromConfig(c)));
  EXPECT_TRUE(FromConfig(c).IsEquivalent(FromConfig(base)));
}

TEST(DexConfiguration, AnyDifferingSettingBreaksEquivalence)
{
  const config_t base = SampleConfig();
  auto scan = [](config_t& c, std::size_t i) -> scan_t& { return c.onDemandScan.scanSet.at(i); };
  const std::vector<std::pair<const char*, std::function<void(config_t&)>>> changes = {
    {"on-access disabled", [](config_t& c) { c.onAccessScan.enabled = false; }},
    {"scan level", [](config_t& c) { c.onAccessScan.scanBehaviour.level = ScanLevel::normal; }},
    {"archives", [](config_t& c) { c.onAccessScan.scanBehaviour.archives = true; }},
    {"extension added", [](config_t& c) { c.onAccessScan.extensions.userDefined.push_back(L"bat"); }},
    {"exclusion removed", [](config_t& c) { c.onAccessScan.exclusions.filePathSet.pop_back(); }},
    {"file action", [](config_t& c) { c.onAccessScan.actions.fileAction = FileAction::delete_; }},
    {"file write", [](config_t& c) { c.onAccessScan.onAccess.fileWrite = false; }},
    {"on-demand extension", [](config_t& c) { c.onDemandScan.extensions.userDefined.push_back(L"tmp"); }},
    {"scan renamed", [&](config_t& c) { scan(c, 0).name = L"Weekly scan"; }},
    {"schedule removed", [&](config_t& c) { scan(c, 0).schedule.reset(); }},
    {"day changed", [&](config_t& c) { scan(c, 0).schedule->daySet = {Day::saturday}; }},
    {"time changed", [&](config_t& c) { scan(c, 0).schedule->timeSet = {scanTime_t(12, 30, 1)}; }},
    {"drive set", [&](config_t& c) { scan(c, 2).settings.scanObjectSet.networkDrives = true; }},
    {"scan repeated", [&](config_t& c) { c.onDemandScan.scanSet.push_back(scan(c, 0)); }},
    {"desktop report", [](config_t& c) { c.alerting.desktop.report.DEXErrors = true; }},
    {"mail server", [](config_t& c) { c.alerting.smtp.smtpConfig.server = L"mail2.corp.example"; }},
    {"mail language", [](config_t& c) { c.alerting.smtp.smtpConfig.language = Language::english; }},
    {"recipient", [](config_t& c) { c.alerting.smtp.recipientSet.back() = L"IT-OPS@corp.example.org"; }},
  };
  const DexConfiguration reference = FromConfig(base);
  for (const auto& [what, change] : changes) {
    config_t changed = base;
    change(changed);
    EXPECT_FALSE(reference.IsEquivalent(FromConfig(changed))) << what;
  }
}
