#include <gtest/gtest.h>

#include "TestSupport.h"
#include "TraceCapture.h"
#include "handlers/AUCoreHandler/AUConfig.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/AUCoreHandler/SameUpdateConfig.h"
#include "handlers/AUCoreHandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLDocument.h"

using namespace AUCoreHandler;

namespace {

std::string Without(const std::string& text, const std::string& part) { return Replace(text, part, ""); }

// Two configurations that start out the same.
class Comparison : public ::testing::Test
{
protected:
  Comparison()
  {
    a.Set(DefaultPlatformText(L"Tandem"));
    b.Set(DefaultPlatformText(L"Tandem"));
  }
  bool Same() const { return SameUpdateConfig(a, b); }
  IServer& ServerA() { return a.GetPrimaryLocation().GetServer(); }
  IServer& ServerB() { return b.GetPrimaryLocation().GetServer(); }

  AUConfig a;
  AUConfig b;
};

}  // namespace

TEST_F(Comparison, AMissingAttributeCountsAsEqual)
{
  b.Set(Without(DefaultPlatformText(L"Tandem"), " DetectDialUp=\"false\""));
  a.GetSchedule().SetDetectDialUp(true);
  {
    TraceCapture traces(TRACE_AUCOREHANDLER, 2);
    EXPECT_TRUE(Same());
    EXPECT_TRUE(traces.Contains("Ignoreing exception CorvexManagedEntity::MEInvalidException: InvalidXML: rhs item not found", 2));
  }
  {
    TraceCapture traces(TRACE_AUCOREHANDLER, 2);
    EXPECT_TRUE(SameUpdateConfig(b, a));
    EXPECT_TRUE(traces.Contains("InvalidXML: lhs item not found", 2));
  }
  // A value that does not convert is ignored the same way.
  a.GetSchedule().SetDetectDialUp(false);
  b.Set(Replace(DefaultPlatformText(L"Tandem"), "SchedEnable=\"true\"", "SchedEnable=\"perhaps\""));
  bool enabled = true;
  EXPECT_FALSE(b.GetSchedule().GetEnable(enabled));
  EXPECT_TRUE(Same());
}

TEST_F(Comparison, PathsIgnoreCaseTrailingSeparatorsAndSlashDirection)
{
  ServerA().SetAddress(L"\\\\FILESRV01\\Updates\\NT\\");
  ServerB().SetAddress(L"\\\\filesrv01\\updates/nt");
  EXPECT_TRUE(Same());
  ServerA().SetAddress(L"HTTP://Updates.HQ.example:8080/KT/");
  ServerB().SetAddress(L"http://updates.hq.example:8080/kt");
  EXPECT_TRUE(Same());
  a.SetCorvexAddress(L"http://update.corvex.example/KT/AutoUpdate//");
  EXPECT_TRUE(Same());

  ServerB().SetAddress(L"http://updates.hq.example:8081/kt");
  EXPECT_FALSE(Same());
  ServerB().SetAddress(L"\\\\updates.hq.example\\kt");
  EXPECT_FALSE(Same()) << "a UNC path and an http URL differ in connection type";
  ServerB().SetAddress(L"http://updates.hq.example:8080/kt");
  a.SetCorvexAddress(L"http://mirror.corvex.example/KT/AutoUpdate");
  EXPECT_FALSE(Same());

  EXPECT_TRUE(PathCompare(L"C:/Logs/", L"c:\\logs"));
  EXPECT_TRUE(PathCompare(L"", L"\\\\"));
  EXPECT_FALSE(PathCompare(L"\\\\srv\\a", L"\\\\srv\\b"));
}

TEST_F(Comparison, ScheduleFrequencyOnlyWhenTheFirstIsEnabled)
{
  a.GetSchedule().SetFrequency(5);
  b.GetSchedule().SetFrequency(60);
  EXPECT_FALSE(Same());
  a.GetSchedule().SetEnable(false);
  b.GetSchedule().SetEnable(false);
  EXPECT_TRUE(Same());
  b.GetSchedule().SetEnable(true);
  EXPECT_FALSE(Same()) << "the enable state itself is compared";
  b.GetSchedule().SetEnable(false);
  b.GetSchedule().SetAllowLocalConfig(true);
  EXPECT_FALSE(Same());
}

TEST_F(Comparison, LoggingLevelAndSizeOnlyWhenEnabledAndNeverTheFile)
{
  a.GetLogging().SetFileName(L"AutoUpdate.log");
  b.GetLogging().SetFilePath(L"D:\\Logs");
  EXPECT_TRUE(Same());
  b.GetLogging().SetLevel(10);
  EXPECT_FALSE(Same());
  b.GetLogging().SetLevel(50);
  b.GetLogging().SetMaxFileSize(4);
  EXPECT_FALSE(Same());
  a.GetLogging().SetEnable(false);
  b.GetLogging().SetEnable(false);
  b.GetLogging().SetLevel(10);
  EXPECT_TRUE(Same());
}

TEST_F(Comparison, ServersAndProxies)
{
  ServerB().SetUserName(L"BRANCH1\\update");
  EXPECT_FALSE(Same());
  ServerB().SetUserName(L"");
  b.GetSecondaryLocation().GetServer().SetBandwidthLimit(64);
  EXPECT_FALSE(Same()) << "the secondary location is compared too";
  b.GetSecondaryLocation().GetServer().SetBandwidthLimit(0);
  ServerB().SetAutoDial(true);
  EXPECT_FALSE(Same());
  ServerB().SetAutoDial(false);

  // Servers that use our address: their own addresses do not matter.
  ServerA().SetUseCorvex(true);
  ServerB().SetUseCorvex(true);
  ServerA().SetAddress(L"\\\\a\\b");
  ServerB().SetAddress(L"http://c/d");
  EXPECT_TRUE(Same());
  ServerB().SetUseCorvex(false);
  EXPECT_FALSE(Same());
  ServerB().SetUseCorvex(true);

  IProxy& proxyA = a.GetPrimaryLocation().GetProxy();
  IProxy& proxyB = b.GetPrimaryLocation().GetProxy();
  proxyB.SetAddress(L"proxy.hq.example");
  proxyB.SetPortNumber(3128);
  EXPECT_TRUE(Same()) << "a disabled proxy's settings do not matter";
  proxyA.SetEnable(true);
  proxyB.SetEnable(true);
  EXPECT_FALSE(Same());
  proxyA.SetAddress(L"PROXY.hq.example\\");
  proxyA.SetPortNumber(3128);
  EXPECT_TRUE(Same());
  proxyB.SetUserName(L"svc");
  EXPECT_FALSE(Same());
}

TEST_F(Comparison, BootstrapAndEntityInformationAreNotCompared)
{
  b.GetBootstrap().SetUsePrimaryServerAddress(false);
  b.GetBootstrap().SetLocation(L"\\\\elsewhere\\boot");
  b.SetEntityInfo(L"ALC on PC7");
  EXPECT_TRUE(Same());
}

TEST_F(Comparison, AMissingElementRaises)
{
  HandlerUtils::XMLDocument document;
  document.SetXML(Without(DefaultPlatformText(L"Tandem"), "<logging AllowLocalConfig=\"false\" LogLevel=\"50\" LogEnable=\"true\" LogFileName=\"\" "
                                                 "LogFilePath=\"\" MaxLogFileSize=\"1\"/>"));
  AUConfig broken(document.GetRoot());
  EXPECT_THROW(SameUpdateConfig(a, broken), CorvexManagedEntity::MEInvalidException);
  EXPECT_THROW(broken.Exercise(), CorvexManagedEntity::MEMalformedException);
  EXPECT_NO_THROW(a.Exercise());
}

TEST(ComparisonSamples, AComputersReportMatchesItsGroup)
{
  // The report differs from the group in case, trailing separators, the log file and a missing
  // DetectDialUp, none of which changes what the computer does.
  AutoUpdateConfiguration group;
  group.Set(ReadSample("AUConfigurations.xml"));
  AUConfig computer;
  computer.Set(ReadSample("AUConfig-Tandem.xml"));
  EXPECT_TRUE(SameUpdateConfig(computer, group.GetConfig(L"Tandem")));
  EXPECT_TRUE(SameUpdateConfig(group.GetConfig(L"Tandem"), computer));
  EXPECT_FALSE(SameUpdateConfig(computer, group.GetConfig(L"DEXNT")));
}
