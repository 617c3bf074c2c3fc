#include <gtest/gtest.h>

#include "TestSupport.h"
#include "TraceCapture.h"
#include "handlers/AUCoreHandler/AUConfig.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/AUCoreHandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLDocument.h"

using namespace AUCoreHandler;
using CorvexManagedEntity::MEInvalidException;
using CorvexManagedEntity::MEMalformedException;

namespace {

class PlatformConfig : public ::testing::Test
{
protected:
  PlatformConfig() { config.Set(DefaultPlatformText(L"DEXNT")); }
  IServer& Primary() { return config.GetPrimaryLocation().GetServer(); }
  std::pair<long, std::wstring> PortAndType(const std::wstring& address)
  {
    Primary().SetAddress(address);
    std::pair<long, std::wstring> result{12345, L"unset"};
    EXPECT_TRUE(Primary().GetPortNumber(result.first));
    EXPECT_TRUE(Primary().GetConnectionType(result.second));
    return result;
  }
  AUConfig config;
};

using PortType = std::pair<long, std::wstring>;

}  // namespace

TEST_F(PlatformConfig, PortNumbersAndConnectionTypes)
{
  EXPECT_EQ(PortAndType(L"http://updates.hq.example:8080/corvex/kt"), PortType(8080, L"HTTP"));
  EXPECT_EQ(PortAndType(L"HTTP://UPDATES:9090"), PortType(9090, L"HTTP"));
  EXPECT_EQ(PortAndType(L"http://updates.hq.example/corvex:kt"), PortType(0, L"HTTP")) << "the first ':' after the scheme is the port's";
  EXPECT_EQ(PortAndType(L"http://updates.hq.example/corvex/kt"), PortType(80, L"HTTP"));
  EXPECT_EQ(PortAndType(L"\\\\FILESRV01\\CorvexUpdates"), PortType(-1, L"UNC"));
  EXPECT_EQ(PortAndType(L""), PortType(-1, L""));
  EXPECT_EQ(PortAndType(L"ftp://updates:21/"), PortType(-1, L""));

  HandlerUtils::XMLDocument document;
  document.SetXML(Replace(DefaultPlatformText(L"DEXNT"), " ConnectionAddress=\"\"", ""));
  AUConfig noAddress(document.GetRoot());
  long port = 7;
  std::wstring type = L"unset";
  EXPECT_FALSE(noAddress.GetPrimaryLocation().GetServer().GetPortNumber(port));
  EXPECT_FALSE(noAddress.GetPrimaryLocation().GetServer().GetConnectionType(type));
  EXPECT_EQ(port, 7);
}

TEST_F(PlatformConfig, SettersWriteTheAttributeTextAndTraceTheValue)
{
  TraceCapture traces(TRACE_AUCOREHANDLER, 2);
  Primary().SetAutoDial(true);
  Primary().SetBandwidthLimit(4294967295u);
  Primary().SetUserName(L"BRANCH1\\update");
  Primary().SetUserPassword(L"Upd@te95");
  config.GetSecondaryLocation().GetProxy().SetEnable(true);
  const std::string text = config.ToXML_UTF8();
  EXPECT_NE(text.find("AutoDial=\"true\""), std::string::npos);
  EXPECT_NE(text.find("BandwidthLimit=\"4294967295\""), std::string::npos);
  EXPECT_NE(text.find("UserPassword=\"Upd@te95\""), std::string::npos);
  EXPECT_NE(text.find("ProxyType=\"1\""), std::string::npos);
  EXPECT_TRUE(traces.Contains("AutoDial=true"));
  EXPECT_TRUE(traces.Contains("BandwidthLimit=4294967295"));
  EXPECT_TRUE(traces.Contains("UserName='BRANCH1\\update'"));
  EXPECT_FALSE(traces.Contains("Upd@te95")) << "passwords stay out of the trace";

  ULONG limit = 0;
  EXPECT_TRUE(Primary().GetBandwidthLimit(limit));
  EXPECT_EQ(limit, 4294967295u);
}

TEST_F(PlatformConfig, UnconvertibleValuesReadAsAbsent)
{
  config.Set(Replace(Replace(DefaultPlatformText(L"DEXNT"), "Frequency=\"5\"", "Frequency=\"12abc\""), "LogLevel=\"50\"", "LogLevel=\"high\""));
  ULONG value = 0;
  EXPECT_TRUE(config.GetSchedule().GetFrequency(value)) << "the number at the start counts";
  EXPECT_EQ(value, 12u);
  value = 99;
  EXPECT_FALSE(config.GetLogging().GetLevel(value));
  EXPECT_EQ(value, 99u);
}

TEST_F(PlatformConfig, BootstrapFollowsThePrimaryServer)
{
  IBootstrap& bootstrap = config.GetBootstrap();
  std::wstring location;
  TraceCapture traces(TRACE_AUCOREHANDLER, 2);

  Primary().SetAddress(L"\\\\FILESRV01\\CorvexUpdates\\DEXNT");
  EXPECT_TRUE(bootstrap.GetLocation(location));
  EXPECT_EQ(location, L"\\\\FILESRV01\\CorvexUpdates\\DEXNT");
  EXPECT_FALSE(bootstrap.FollowsHttpServer());
  EXPECT_TRUE(traces.Contains("path `\\\\FILESRV01\\CorvexUpdates\\DEXNT` is UNC", 2));

  Primary().SetAddress(L"http://updates.hq.example:8080/kt");
  EXPECT_TRUE(bootstrap.GetLocation(location));
  EXPECT_EQ(location, L"");
  EXPECT_TRUE(bootstrap.FollowsHttpServer());
  EXPECT_TRUE(traces.Contains("path `http://updates.hq.example:8080/kt` is HTTP", 2));

  Primary().SetAddress(L"updates");
  EXPECT_FALSE(bootstrap.FollowsHttpServer());
  EXPECT_TRUE(traces.Contains("path `updates` not UNC or HTTP", 0));

  config.GetSecondaryLocation().GetServer().SetAddress(L"\\\\FILESRV02\\Other");
  EXPECT_TRUE(bootstrap.GetLocation(location));
  EXPECT_EQ(location, L"") << "only the primary server is followed";

  bootstrap.SetUsePrimaryServerAddress(false);
  bootstrap.SetLocation(L"\\\\BOOT\\Share");
  Primary().SetAddress(L"\\\\FILESRV03\\Updates");
  EXPECT_TRUE(bootstrap.GetLocation(location));
  EXPECT_EQ(location, L"\\\\BOOT\\Share") << "a bootstrap of its own stays";

  bootstrap.SetUsePrimaryServerAddress(true);
  EXPECT_TRUE(bootstrap.GetLocation(location));
  EXPECT_EQ(location, L"\\\\FILESRV03\\Updates") << "following again takes the server's path at once";
}

TEST_F(PlatformConfig, MissingElementsAreNamed)
{
  const auto broken = [](const std::string& from, const std::string& to) {
    HandlerUtils::XMLDocument document;
    document.SetXML(Replace(DefaultPlatformText(L"DEXNT"), from, to));
    return document;
  };
  const auto noBootstrap = broken("<bootstrap ", "<bootstrapped ");
  AUConfig a(noBootstrap.GetRoot());
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { a.GetBootstrap(); }), "InvalidXML: invalid bootstrap");
  EXPECT_NO_THROW(a.GetPrimaryLocation().GetServer().SetAddress(L"\\\\srv\\share")) << "no bootstrap to follow the server";

  const auto noCorvex = broken("<corvex_address ", "<address ");
  AUConfig b(noCorvex.GetRoot());
  std::wstring address;
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { b.GetCorvexAddress(address); }), "InvalidXML: invalid Corvex address");

  const auto noServer = broken("<server ", "<svr ");
  AUConfig c(noServer.GetRoot());
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { c.GetPrimaryLocation().GetServer(); }), "InvalidXML: invalid server");
  EXPECT_NO_THROW(c.GetSecondaryLocation().GetServer());

  AUConfig empty;
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { empty.GetPrimaryLocation(); }), "InvalidXML: invalid primary location");
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { empty.GetSecondaryLocation(); }), "InvalidXML: invalid secondary location");
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { empty.GetSchedule(); }), "InvalidXML: invalid schedule");
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { empty.GetLogging(); }), "InvalidXML: invalid logging");
}

TEST_F(PlatformConfig, SetRefusesOtherDocumentsAndKeepsTheOldOne)
{
  Primary().SetAddress(L"\\\\KEEP\\me");
  EXPECT_EQ(ErrorOf<MEMalformedException>([&] { config.Set(std::string("<AUConfig platform='DEXNT'>")); }).rfind("MalformedXML: ", 0), 0u);
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { config.Set(ReadSample("AUConfigurations.xml")); }),
            "InvalidXML: not an AUConfig document");
  EXPECT_EQ(ErrorOf<MEMalformedException>([&] { config.Set(Replace(DefaultPlatformText(L"DEXNT"), "<schedule ", "<sched ")); }),
            "MalformedXML: Bad XML");
  std::wstring address;
  EXPECT_TRUE(Primary().GetAddress(address));
  EXPECT_EQ(address, L"\\\\KEEP\\me");
}

TEST(AUConfigInDocument, SetReplacesThePlatformInItsDocument)
{
  AutoUpdateConfiguration configuration;
  configuration.Set(ReadSample("AUConfigurations.xml"));
  IAUConfig& tandem = configuration.GetConfig(L"Tandem");
  ISchedule& schedule = tandem.GetSchedule();
  IServer& server = tandem.GetSecondaryLocation().GetServer();
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { tandem.Set(DefaultPlatformText(L"DEXNT")); }),
            "InvalidXML: the configuration of platform 'DEXNT' cannot replace that of 'Tandem'");

  std::string report = ReadSample("AUConfig-Tandem.xml");
  report = Replace(report, "Frequency=\"60\"", "Frequency=\"15\"");
  report = Replace(report, "BandwidthLimit=\"64\"", "BandwidthLimit=\"32\"");
  tandem.Set(report);

  ULONG value = 0;
  EXPECT_TRUE(schedule.GetFrequency(value)) << "views taken before the change see the new element";
  EXPECT_EQ(value, 15u);
  EXPECT_TRUE(server.GetBandwidthLimit(value));
  EXPECT_EQ(value, 32u);
  std::wstring info;
  EXPECT_TRUE(configuration.GetEntityInfo(info));
  EXPECT_EQ(info, L"ALC 3.2.0.114 on PC7 (Windows XP SP2)");

  AutoUpdateConfiguration reread;
  reread.Set(configuration.ToXML_UTF8());
  EXPECT_TRUE(reread.GetConfig(L"Tandem").GetSchedule().GetFrequency(value));
  EXPECT_EQ(value, 15u);
  EXPECT_TRUE(reread.GetConfig(L"DEXNT").GetSchedule().GetFrequency(value));
  EXPECT_EQ(value, 60u) << "the other platforms are untouched";
}

TEST_F(PlatformConfig, SerialisingWithAnotherEntityInformation)
{
  config.SetEntityInfo(L"ALC on PC7");
  const std::string withTarget = config.ToXML_UTF8(L"ALC on PC9");
  EXPECT_NE(withTarget.find(">ALC on PC9</entityInfo>"), std::string::npos) << withTarget;
  EXPECT_EQ(withTarget.find("PC7"), std::string::npos);
  const std::wstring without = config.ToXML(L"");
  EXPECT_EQ(without.find(L"entityInfo"), std::wstring::npos);
  std::wstring info;
  EXPECT_TRUE(config.GetEntityInfo(info));
  EXPECT_EQ(info, L"ALC on PC7") << "the held configuration is unchanged";

  AUConfig reread;
  reread.Set(without);
  EXPECT_FALSE(reread.GetEntityInfo(info));
}
