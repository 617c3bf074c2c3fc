#include <gtest/gtest.h>

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

TEST(AutoUpdateConfiguration, RefusedDocumentsLeaveTheHeldOneIntact)
{
  AutoUpdateConfiguration configuration;
  configuration.Set(ReadSample("AUConfigurations.xml"));

  const std::string threePlatforms = WithoutPlatform(DefaultAUConfigDocument(), "DEX95");
  EXPECT_EQ(ErrorOf<MEUnknownPlatform>([&] { configuration.Set(threePlatforms); }), "Unknown platform: 'DEX95'");
  EXPECT_EQ(ErrorOf<MEUnknownPlatform>([&] { configuration.Set(WithoutPlatform(DefaultAUConfigDocument(), "Tandem")); }),
            "Unknown platform: 'Tandem'");

  const std::string noSchedule =
      Replace(DefaultAUConfigDocument(), "<schedule AllowLocalConfig='false' SchedEnable='true' Frequency='5' DetectDialUp='false'/>", "");
  EXPECT_EQ(ErrorOf<MEMalformedException>([&] { configuration.Set(noSchedule); }), "MalformedXML: Bad XML");
  const std::string noProxy = Replace(DefaultAUConfigDocument(), "<proxy ", "<notaproxy ");
  EXPECT_EQ(ErrorOf<MEMalformedException>([&] { configuration.Set(noProxy); }), "MalformedXML: Bad XML");

  {
    TraceCapture traces(TRACE_AUCOREHANDLER, 0);
    const std::string error = ErrorOf<MEMalformedException>([&] { configuration.Set(std::string("<AUConfigurations><AUConfig>")); });
    EXPECT_EQ(error.rfind("MalformedXML: Loading XML failed: '", 0), 0u) << error;
    EXPECT_TRUE(traces.Contains("Loading XML failed: '", 0));
  }

  EXPECT_EQ(PrimaryAddress(configuration, L"Tandem"), L"http://updates.hq.example:8080/corvex/kt");
  EXPECT_TRUE(IsPlatformConfigured(configuration, L"DEXNT"));
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
