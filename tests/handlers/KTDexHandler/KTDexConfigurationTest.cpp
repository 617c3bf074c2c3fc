#include <gtest/gtest.h>

#include "TestSupport.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "handlers/KTDexHandler/Namespaces.h"
#include "platform/text/Unicode.h"

using namespace KTDexHandler;
using HandlerUtils::XMLException;

namespace {

const std::string kOnAccessScan =
  "<onAccessScan><enabled>true</enabled><scanBehaviour><level>normal</level><archives>false</archives></scanBehaviour>"
  "<actions><disinfect>false</disinfect></actions></onAccessScan>";
const std::string kAlerting =
  "<alerting><desktop><report><virus>true</virus><scanErrors>false</scanErrors><DEXErrors>false</DEXErrors></report>"
  "<message/></desktop><smtp><smtpConfig><server/><sender/></smtpConfig>"
  "<report><virus>false</virus><scanErrors>false</scanErrors><DEXErrors>false</DEXErrors></report></smtp></alerting>";

std::string Config(const std::string& body)
{
  return "<config xmlns=\"" + ToUtf8(kConfigurationNamespace) + "\">" + body + "</config>";
}

// The smallest document that reads: only the required elements.
std::string Minimal(const std::string& onDemandScan = "")
{
  return Config("<entity><entityInfo>workstations</entityInfo></entity>" + kOnAccessScan + onDemandScan + kAlerting);
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos)
    text.replace(at, from.size(), to);
  return text;
}

config_t Read(const std::string& text)
{
  KTDexConfiguration configuration;
  configuration.Set(text);
  return configuration.GetConfig();
}

const std::string kSettings =
  "<settings><scanObjectSet><CDDVDDrives>false</CDDVDDrives><hardDrives>true</hardDrives><networkDrives>false</networkDrives>"
  "<removableDrives>false</removableDrives></scanObjectSet><scanBehaviour><level>normal</level><archives>false</archives>"
  "</scanBehaviour><actions><disinfect>false</disinfect></actions></settings>";
const std::string kOnDemandHead =
  "<onDemandScan><extensions><allFiles>true</allFiles><noExtensions>false</noExtensions></extensions><exclusions/>";

std::string OnDemand(const std::string& scans) { return kOnDemandHead + "<scanSet>" + scans + "</scanSet></onDemandScan>"; }

std::string Scan(const std::string& name, const std::string& schedule)
{
  return "<scan><name>" + name + "</name>" + schedule + kSettings + "</scan>";
}

// Every setting away from its default, lists with more than one entry.
config_t FullConfig()
{
  config_t c;
  c.entity = {L"DEX", L"4.2.1", L"workstations"};
  c.onAccessScan.enabled = false;
  c.onAccessScan.scanBehaviour = {ScanLevel::extensive, true};
  c.onAccessScan.extensions = {true, {L"txt", L"log"}, {L"js"}, false};
  c.onAccessScan.exclusions.filePathSet = {L"C:\\Temp\\", L"D:\\Backup\\"};
  c.onAccessScan.actions = {true, FileAction::move, L"C:\\Quarantine"};
  c.onAccessScan.onAccess = {false, true, true, true};
  c.onDemandScan.extensions = {false, {}, {L"vbs", L"ps1"}, true};
  c.onDemandScan.exclusions.filePathSet = {L"E:\\"};
  scan_t weekly;
  weekly.name = L"Weekly";
  weekly.schedule = schedule_t{{Day::friday, Day::monday}, {scanTime_t(12, 30, 0), scanTime_t(0, 0, 1)}};
  weekly.settings = {{true, false, true, true}, {ScanLevel::extensive, true}, {true, FileAction::delete_, L""}};
  scan_t adhoc;
  adhoc.name = L"Ad hoc";
  c.onDemandScan.scanSet = {weekly, adhoc};
  c.alerting.desktop = {{false, true, true}, L"Call the help desk"};
  c.alerting.smtp = {{L"mail.example", L"av@example", L"help@example", Language::japanese}, {true, true, false}, L"Alert",
                     {L"a@example", L"b@example"}};
  return c;
}

}  // namespace

TEST(KTDexConfiguration, MinimalDocumentReadsAndGainsEveryDefaultOnWrite)
{
  KTDexConfiguration configuration;
  configuration.Set(Minimal());
  config_t expected;
  expected.entity.entityInfo = L"workstations";
  EXPECT_EQ(configuration.GetConfig(), expected);

  const std::string text = configuration.ToXML_UTF8();
  EXPECT_TRUE(InOrder(
    text, {"<config xmlns=\"http://schemas.corvex.example/KT/KTDexConfiguration\"><entity><productId/><product-version/>",
           "<onAccessScan><enabled>true</enabled><scanBehaviour><level>normal</level><archives>false</archives></scanBehaviour>",
           "<extensions><allFiles>false</allFiles><excludeCorvexDefined/><userDefined/><noExtensions>true</noExtensions></extensions>"
           "<exclusions><filePathSet/></exclusions><actions><disinfect>false</disinfect><fileAction>doNothing</fileAction>",
           "<onAccess><fileRead>true</fileRead><fileWrite>false</fileWrite><fileRename>false</fileRename>",
           "<onDemandScan><extensions>", "<scanSet/></onDemandScan><alerting>",
           "<replyTo/><language>english</language></smtpConfig>", "<subjectLine/><recipientSet/></smtp></alerting></config>"}))
    << text;
  EXPECT_EQ(Occurrences(text, "xmlns"), 1u);
  EXPECT_EQ(Read(text), expected);
}

TEST(KTDexConfiguration, FullConfigurationRoundTripsThroughBothForms)
{
  KTDexConfiguration configuration;
  configuration.SetConfig(FullConfig());
  EXPECT_EQ(Read(configuration.ToXML_UTF8()), FullConfig());
  KTDexConfiguration wide;
  wide.Set(configuration.ToXML());
  EXPECT_EQ(wide.GetConfig(), FullConfig());

  const std::string text = configuration.ToXML_UTF8();
  EXPECT_TRUE(InOrder(text, {"<scan><name>Weekly</name><schedule><daySet><day>friday</day><day>monday</day></daySet>"
                             "<timeSet><time>12:30:00</time><time>00:00:01</time></timeSet></schedule><settings><scanObjectSet>",
                             "<actions><disinfect>true</disinfect><fileAction>delete</fileAction>",
                             "<scan><name>Ad hoc</name><settings>"}))
    << text;

  configuration.Reset();
  EXPECT_EQ(configuration.GetConfig(), config_t{});
}

TEST(KTDexConfiguration, ScanWithoutScheduleIsWrittenWithoutOne)
{
  const config_t read = Read(Minimal(OnDemand(Scan("Manual", "") + Scan("Nightly", "<schedule><daySet/><timeSet/></schedule>"))));
  ASSERT_EQ(read.onDemandScan.scanSet.size(), 2u);
  EXPECT_FALSE(read.onDemandScan.scanSet[0].schedule.has_value());
  ASSERT_TRUE(read.onDemandScan.scanSet[1].schedule.has_value());

  KTDexConfiguration configuration;
  configuration.SetConfig(read);
  const std::string text = configuration.ToXML_UTF8();
  EXPECT_EQ(Occurrences(text, "<schedule>"), 1u);
  EXPECT_TRUE(InOrder(text, {"<name>Manual</name><settings>", "<name>Nightly</name><schedule>"})) << text;
  EXPECT_EQ(Read(text), read);
}

TEST(KTDexConfiguration, TimeItemsOfTheWrongShapeOrOutOfRangeReadAsMidnightParts)
{
  const config_t read = Read(Minimal(OnDemand(Scan(
    "Times", "<schedule><daySet/><timeSet><time>7:30:00</time><time>25:61:00</time><time>23:59:59</time><time>12:61:30</time>"
             "<time>12-30-00</time><time>1a:3b:0c</time><time> 9:05:07</time></timeSet></schedule>"))));
  const auto& times = read.onDemandScan.scanSet.at(0).schedule->timeSet;
  std::vector<std::wstring> texts;
  for (const auto& t : times)
    texts.push_back(t.ToString());
  EXPECT_EQ(texts, (std::vector<std::wstring>{L"00:00:00", L"00:00:00", L"23:59:59", L"12:00:30", L"00:00:00", L"01:03:00", L"09:05:07"}));
}

TEST(KTDexConfiguration, TimeBuiltFromOutOfRangeNumbersIsMidnightAsAWhole)
{
  EXPECT_EQ(scanTime_t(23, 59, 59).ToString(), L"23:59:59");
  EXPECT_EQ(scanTime_t(24, 0, 0).ToString(), L"00:00:00");
  EXPECT_EQ(scanTime_t(10, 60, 5).ToString(), L"00:00:00");
  EXPECT_EQ(scanTime_t(10, 5, -1).ToString(), L"00:00:00");
  EXPECT_EQ(scanTime_t(7, 5, 3).ToString(), L"07:05:03");
}

TEST(KTDexConfiguration, LabelsReadInAnyCaseAndUnknownLabelsKeepTheDefault)
{
  std::string text = Replace(Minimal(), "<server/><sender/>", "<server/><sender/><language>German</language>");
  EXPECT_EQ(Read(text).alerting.smtp.smtpConfig.language, Language::german);
  text = Replace(Minimal(), "<server/><sender/>", "<server/><sender/><language>klingon</language>");
  EXPECT_EQ(Read(text).alerting.smtp.smtpConfig.language, Language::english);

  text = Replace(Minimal(), "<level>normal</level>", "<level>EXTENSIVE</level>");
  EXPECT_EQ(Read(text).onAccessScan.scanBehaviour.level, ScanLevel::extensive);

  text = Replace(Minimal(), "<disinfect>false</disinfect>", "<disinfect>false</disinfect><fileAction>Move</fileAction>");
  EXPECT_EQ(Read(text).onAccessScan.actions.fileAction, FileAction::move);
  text = Replace(Minimal(), "<disinfect>false</disinfect>", "<disinfect>false</disinfect><fileAction>doNothing</fileAction>");
  EXPECT_EQ(Read(text).onAccessScan.actions.fileAction, FileAction::doNothing);
}

TEST(KTDexConfiguration, UnknownScheduleDaysAreSkipped)
{
  const config_t read = Read(Minimal(
    OnDemand(Scan("Days", "<schedule><daySet><day>Sunday</day><day>someday</day><day>monday</day></daySet><timeSet/></schedule>"))));
  EXPECT_EQ(read.onDemandScan.scanSet.at(0).schedule->daySet, (std::vector<Day>{Day::sunday, Day::monday}));
}

TEST(KTDexConfiguration, MissingRequiredElementRaisesWithItsPathAndDropsTheHeldConfiguration)
{
  KTDexConfiguration configuration;
  configuration.SetConfig(FullConfig());
  const struct
  {
    std::string text;
    std::string message;
  } cases[] = {
    {Replace(Minimal(), "<entityInfo>workstations</entityInfo>", ""), "Failed to find node from path: cfg:entityInfo"},
    {Replace(Minimal(), "<level>normal</level>", ""), "Failed to find node from path: cfg:level"},
    {Replace(Minimal(), "<actions>", "<onAccess><fileRead>true</fileRead><fileRename>true</fileRename></onAccess><actions>"),
     "Failed to find node from path: cfg:fileWrite"},
    {Replace(Minimal(), "<sender/>", ""), "Failed to find node from path: cfg:sender"},
    {Minimal(kOnDemandHead + "</onDemandScan>"), "Failed to find node from path: cfg:scanSet"},
    {Minimal(OnDemand("<scan><name>x</name></scan>")), "Failed to find node from path: cfg:settings"},
    {Replace(Minimal(), "<archives>false</archives>", "<archives>sometimes</archives>"),
     "Failed to find boolean value from path: cfg:archives"},
  };
  for (const auto& c : cases) {
    configuration.SetConfig(FullConfig());
    EXPECT_EQ(MessageOf<XMLException>([&] { configuration.Set(c.text); }), c.message);
    EXPECT_NE(configuration.GetConfig(), FullConfig()) << "nothing of the previous configuration is mixed in: " << c.message;
  }

  // What was read before the failure stays, on top of the defaults.
  configuration.SetConfig(FullConfig());
  EXPECT_THROW(configuration.Set(Replace(Minimal(), "<sender/>", "")), XMLException);
  config_t partly;
  partly.entity.entityInfo = L"workstations";
  EXPECT_EQ(configuration.GetConfig().entity, partly.entity);
  EXPECT_EQ(configuration.GetConfig().onDemandScan, config_t().onDemandScan);

  // A text that does not parse leaves the defaults.
  configuration.SetConfig(FullConfig());
  EXPECT_THROW(configuration.Set(std::string("<config>")), XMLException);
  EXPECT_EQ(configuration.GetConfig(), config_t());
}
