#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "TestSupport.h"
#include "TraceCapture.h"
#include "handlers/AUCoreHandler/AUConfig.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/AUCoreHandler/Namespaces.h"
#include "handlers/AUCoreHandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"

using namespace AUCoreHandler;
using CorvexManagedEntity::MEMalformedException;
using CorvexManagedEntity::MEUnknownPlatform;

namespace {

std::string WithoutPlatform(std::string text, const std::string& platform)
{
  const auto begin = text.find("<AUConfig platform='" + platform + "'");
  const auto end = text.find("</AUConfig>", begin);
  if (begin == std::string::npos || end == std::string::npos)
    throw std::logic_error("no platform " + platform);
  return text.erase(begin, end + 11 - begin);
}

std::wstring PrimaryAddress(AutoUpdateConfiguration& configuration, const wchar_t* platform)
{
  std::wstring address;
  EXPECT_TRUE(configuration.GetConfig(platform).GetPrimaryLocation().GetServer().GetAddress(address));
  return address;
}

// Every attribute value of every platform, read through the getters; an attribute that is not
// there shows as "-", so a serialisation that drops attributes cannot pass for a faithful one.
std::vector<std::wstring> Values(AutoUpdateConfiguration& configuration)
{
  std::vector<std::wstring> values;
  const auto text = [&](bool found, const std::wstring& value) { values.push_back(found ? value : L"-"); };
  const auto flag = [&](bool found, bool value) { values.push_back(found ? (value ? L"true" : L"false") : L"-"); };
  const auto number = [&](bool found, ULONG value) { values.push_back(found ? std::to_wstring(value) : L"-"); };
  for (const wchar_t* platform : Platforms) {
    IAUConfig& config = configuration.GetConfig(platform);
    std::wstring t;
    bool b = false;
    ULONG n = 0;
    text(config.GetCorvexAddress(t), t);
    for (ILocation* location : {&config.GetPrimaryLocation(), &config.GetSecondaryLocation()}) {
      IServer& server = location->GetServer();
      text(server.GetAddress(t), t);
      text(server.GetUsername(t), t);
      text(server.GetUserPassword(t), t);
      flag(server.GetAllowLocalConfig(b), b);
      flag(server.GetUseCorvex(b), b);
      flag(server.GetAutoDial(b), b);
      number(server.GetBandwidthLimit(n), n);
      IProxy& proxy = location->GetProxy();
      text(proxy.GetAddress(t), t);
      text(proxy.GetUsername(t), t);
      flag(proxy.GetEnable(b), b);
      number(proxy.GetPortNumber(n), n);
    }
    flag(config.GetSchedule().GetEnable(b), b);
    flag(config.GetSchedule().GetDetectDialUp(b), b);
    number(config.GetSchedule().GetFrequency(n), n);
    flag(config.GetLogging().GetEnable(b), b);
    number(config.GetLogging().GetLevel(n), n);
    number(config.GetLogging().GetMaxFileSize(n), n);
    text(config.GetLogging().GetFileName(t), t);
    text(config.GetBootstrap().GetLocation(t), t);
  }
  return values;
}

}  // namespace

TEST(AutoUpdateConfiguration, BuiltInDefaults)
{
  AutoUpdateConfiguration configuration;
  EXPECT_FALSE(configuration.IsInitialised());
  IAUConfig& nt = configuration.GetConfig(L"DEXNT");
  EXPECT_TRUE(configuration.IsInitialised()) << "GetConfig on an empty object loads the built-in document";

  ULONG port = 0, frequency = 0, level = 0, size = 0;
  EXPECT_TRUE(nt.GetPrimaryLocation().GetProxy().GetPortNumber(port));
  EXPECT_EQ(port, 8080u);
  EXPECT_TRUE(nt.GetSchedule().GetFrequency(frequency));
  EXPECT_EQ(frequency, 5u);
  EXPECT_TRUE(nt.GetLogging().GetLevel(level));
  EXPECT_EQ(level, 50u);
  EXPECT_TRUE(nt.GetLogging().GetMaxFileSize(size));
  EXPECT_EQ(size, 1u);
  bool on = false;
  EXPECT_TRUE(nt.GetSchedule().GetEnable(on));
  EXPECT_TRUE(on);
  EXPECT_TRUE(nt.GetBootstrap().GetUsePrimaryServerAddress(on));
  EXPECT_TRUE(on);
  EXPECT_TRUE(nt.GetSecondaryLocation().GetProxy().GetEnable(on));
  EXPECT_FALSE(on);
  std::wstring text;
  EXPECT_TRUE(nt.GetCorvexAddress(text));
  EXPECT_EQ(text, CorvexUpdateAddress);

  const std::string& document = DefaultAUConfigDocument();
  EXPECT_EQ(document.rfind("<?xml version='1.0' encoding='utf-8'?>", 0), 0u);
  EXPECT_EQ(document.find('"'), std::string::npos) << "attributes are single-quoted";
  for (const wchar_t* platform : Platforms) {
    auto& config = dynamic_cast<AUConfig&>(configuration.GetConfig(platform));
    EXPECT_TRUE(config.GetVersion(text));
    EXPECT_EQ(text, L"1");
    EXPECT_FALSE(IsPlatformConfigured(configuration, platform)) << "the defaults name no update server";
  }
}

TEST(AutoUpdateConfiguration, LoadsTheSampleAndAnswersByPlatform)
{
  AutoUpdateConfiguration configuration;
  configuration.Set(ReadSample("AUConfigurations.xml"));
  EXPECT_EQ(PrimaryAddress(configuration, L"Tandem"), L"http://updates.hq.example:8080/corvex/kt");
  EXPECT_EQ(PrimaryAddress(configuration, L"DEX95"), L"\\\\FILESRV01\\CorvexUpdates\\DEX95");
  for (const wchar_t* platform : Platforms)
    EXPECT_TRUE(IsPlatformConfigured(configuration, platform)) << platform;
  EXPECT_EQ(&configuration.GetConfig(L"MacOSX"), &configuration.GetConfig(L"MacOSX")) << "one cached view per platform";
  EXPECT_EQ(ErrorOf<MEUnknownPlatform>([&] { configuration.GetConfig(L"dexnt"); }), "Unknown platform: 'dexnt'")
      << "platform names are case-sensitive";
}

TEST(AutoUpdateConfiguration, RefusedDocumentsDropTheHeldOne)
{
  AutoUpdateConfiguration configuration;
  const auto refused = [&](const std::string& text) {
    configuration.Set(ReadSample("AUConfigurations.xml"));
    configuration.Set(text);
  };

  const std::string threePlatforms = WithoutPlatform(DefaultAUConfigDocument(), "DEX95");
  EXPECT_EQ(ErrorOf<MEUnknownPlatform>([&] { refused(threePlatforms); }), "Unknown platform: 'DEX95'");
  EXPECT_EQ(PrimaryAddress(configuration, L"Tandem"), L"") << "what was read, not the sample held before";
  EXPECT_EQ(ErrorOf<MEUnknownPlatform>([&] { refused(WithoutPlatform(DefaultAUConfigDocument(), "Tandem")); }),
            "Unknown platform: 'Tandem'");

  const std::string noSchedule =
      Replace(DefaultAUConfigDocument(), "<schedule AllowLocalConfig='false' SchedEnable='true' Frequency='5' DetectDialUp='false'/>", "");
  EXPECT_EQ(ErrorOf<MEMalformedException>([&] { refused(noSchedule); }), "MalformedXML: Bad XML");
  const std::string noProxy = Replace(DefaultAUConfigDocument(), "<proxy ", "<notaproxy ");
  EXPECT_EQ(ErrorOf<MEMalformedException>([&] { refused(noProxy); }), "MalformedXML: Bad XML");
  EXPECT_FALSE(IsPlatformConfigured(configuration, L"DEXNT"));

  {
    TraceCapture traces(TRACE_AUCOREHANDLER, 0);
    const std::string error = ErrorOf<MEMalformedException>([&] { refused(std::string("<AUConfigurations><AUConfig>")); });
    EXPECT_EQ(error.rfind("MalformedXML: Loading XML failed: '", 0), 0u) << error;
    EXPECT_TRUE(traces.Contains("Loading XML failed: '", 0));
  }
  EXPECT_FALSE(configuration.IsInitialised()) << "a text that does not parse leaves nothing held";
}

TEST(AutoUpdateConfiguration, WideTextAndCopies)
{
  AutoUpdateConfiguration original;
  original.Set(ReadSample("AUConfigurations.xml"));
  const std::wstring wide = original.ToXML();
  EXPECT_EQ(wide.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>", 0), 0u);

  AutoUpdateConfiguration fromWide;
  fromWide.Set(wide);
  EXPECT_TRUE(fromWide == original);
  const std::vector<std::wstring> values = Values(original);
  EXPECT_EQ(std::count(values.begin(), values.end(), L"-"), 0) << "the sample has every attribute";
  EXPECT_EQ(Values(fromWide), values);

  AutoUpdateConfiguration copy(original);
  EXPECT_TRUE(copy == original);
  copy.GetConfig(L"DEXNT").GetPrimaryLocation().GetServer().SetUserName(L"BRANCH1\\other");
  EXPECT_FALSE(copy == original) << "a copy holds its own document";
  std::wstring name;
  EXPECT_TRUE(original.GetConfig(L"DEXNT").GetPrimaryLocation().GetServer().GetUsername(name));
  EXPECT_EQ(name, L"");

  AutoUpdateConfiguration empty, otherEmpty;
  EXPECT_TRUE(empty == otherEmpty);
  EXPECT_FALSE(empty == original);
  EXPECT_FALSE(AutoUpdateConfiguration(empty).IsInitialised());
}

TEST(AutoUpdateConfiguration, ResetAndSerialisingAnEmptyObject)
{
  AutoUpdateConfiguration configuration;
  configuration.Set(ReadSample("AUConfigurations.xml"));
  configuration.Reset();
  EXPECT_FALSE(configuration.IsInitialised());
  const std::string text = configuration.ToXML_UTF8();
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
  AutoUpdateConfiguration defaults;
  defaults.CreateConfig();
  AutoUpdateConfiguration reread;
  reread.Set(text);
  EXPECT_TRUE(reread == defaults);
  const std::vector<std::wstring> values = Values(reread);
  EXPECT_EQ(values, Values(defaults));
  EXPECT_EQ(std::count(values.begin(), values.end(), L"-"), 0);
  EXPECT_EQ(std::count(values.begin(), values.end(), L"8080"), 8) << "two proxies on each of four platforms";
}

TEST(AutoUpdateConfiguration, OnePlatformAsADocumentOfItsOwn)
{
  AutoUpdateConfiguration configuration;
  configuration.Set(ReadSample("AUConfigurations.xml"));
  const std::string text = configuration.ToXML_UTF8(L"DEX95");
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
  EXPECT_NE(text.find("<AUConfig xmlns=\"" + std::string("http://schemas.corvex.example/KT/AUConfig") + "\""), std::string::npos) << text;
  EXPECT_EQ(text.find("platform=\"DEXNT\""), std::string::npos);
  EXPECT_NE(text.find("platform=\"DEX95\""), std::string::npos);

  AUConfig alone;
  alone.Set(text);
  std::wstring address;
  EXPECT_TRUE(alone.GetPrimaryLocation().GetServer().GetAddress(address));
  EXPECT_EQ(address, L"\\\\FILESRV01\\CorvexUpdates\\DEX95");
  EXPECT_EQ(ErrorOf<MEUnknownPlatform>([&] { configuration.ToXML(L"Linux"); }), "Unknown platform: 'Linux'");
}

TEST(AutoUpdateConfiguration, EntityInformation)
{
  AutoUpdateConfiguration configuration;
  configuration.Set(ReadSample("AUConfigurations.xml"));
  std::wstring info;
  EXPECT_FALSE(configuration.GetEntityInfo(info));
  configuration.GetConfig(L"MacOSX").SetEntityInfo(L"ALC 3.2 on MAC12");
  EXPECT_TRUE(configuration.GetEntityInfo(info));
  EXPECT_EQ(info, L"ALC 3.2 on MAC12");
  const std::string text = configuration.ToXML_UTF8();
  EXPECT_NE(text.find("<entityInfo xmlns=\"http://schemas.corvex.example/EntityInfo\">ALC 3.2 on MAC12</entityInfo>"), std::string::npos)
      << text;
  AutoUpdateConfiguration reread;
  reread.Set(text);
  EXPECT_TRUE(reread.GetConfig(L"MacOSX").GetEntityInfo(info));
  EXPECT_EQ(info, L"ALC 3.2 on MAC12");
}

TEST(AutoUpdateConfiguration, IsPlatformConfiguredTracesAFailedLookup)
{
  AutoUpdateConfiguration configuration;
  configuration.Set(ReadSample("AUConfigurations.xml"));
  TraceCapture traces(TRACE_AUCOREHANDLER, 0);
  EXPECT_FALSE(IsPlatformConfigured(configuration, L"Linux"));
  EXPECT_TRUE(traces.Contains("Caught exception 'Unknown platform: 'Linux''", 0));

  configuration.GetConfig(L"DEXNT").GetPrimaryLocation().GetServer().SetAddress(L"");
  EXPECT_FALSE(IsPlatformConfigured(configuration, L"DEXNT")) << "an empty address configures nothing";
}
