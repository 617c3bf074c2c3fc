// The overview's charts and the outbreak banner in a headless Chromium, against a seeded scratch
// database: the marks' numbers (their data- attributes) are compared with SQL counts, an
// outbreak seeded while the console is open brings the banner to every page, and each new page
// is saved as a screenshot (web-screenshots/ in the build folder).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/eventlog/EventLog.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/web/BrowserSupport.h"
#include "tests/web/WebTestSupport.h"
#include "web/WebServer.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// 2,000 computers in three groups and about 6,000 alerts of the last six days (none in the last
// hour, so that no outbreak is under way until the test makes one).
const char* const kFleet = R"SQL(
INSERT INTO dbo."Groups" ("ParentID", "Name") VALUES (NULL, 'Head office'), (NULL, 'Plant'), (NULL, 'Depot');
INSERT INTO dbo."Computers" ("ComputerName", "DomainName", "GroupID", "MessageSystemAddress", "Connected",
                             "HasGroupDexConfig", "HasGroupAUConfig", "VirusDataVersion")
SELECT 'WS' || lpad(i::text, 4, '0'), 'CORP', (SELECT min("GroupID") FROM dbo."Groups") + i % 3, 'WS' || i, i % 4 <> 0,
       CASE WHEN i % 7 = 0 THEN NULL ELSE i % 5 <> 0 END, CASE WHEN i % 11 = 0 THEN NULL ELSE i % 6 <> 0 END,
       CASE WHEN i % 10 = 0 THEN '' WHEN i % 3 = 0 THEN '5.1.0' ELSE '5.2.0' END
  FROM generate_series(1, 2000) i;
INSERT INTO dbo."VirusDataVersions" ("VersionKey", "Version") VALUES (dbo.version_key('5.1.0'), '5.1.0'), (dbo.version_key('5.2.0'), '5.2.0');
INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "VirusName", "VirusType", "InfectedItem", "ScannerType", "ActionTaken")
SELECT (SELECT min("ComputerID") FROM dbo."Computers") + (i * 7) % 2000, 2,
       localtimestamp - interval '1 hour' - make_interval(mins => (i * 13) % 8000),
       'Worm.' || (i % 12 + i % 5), 301, 'C:\x', 1, 109 + i % 2
  FROM generate_series(1, 3000) i;
INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "Source", "EntityInfo", "Number", "MessageCode",
                          "Insert1", "Insert2", "Insert3", "Insert4", "Insert5")
SELECT (SELECT min("ComputerID") FROM dbo."Computers") + (i * 11) % 2000, 1,
       localtimestamp - interval '1 hour' - make_interval(mins => (i * 17) % 8000),
       CASE WHEN i % 3 = 0 THEN 'ALC' ELSE 'DEX' END, '', 1, 'M', '', '', '', '', ''
  FROM generate_series(1, 3000) i;
)SQL";

class ChartsBrowser : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (!webtest::ChromiumInstalled())
      GTEST_SKIP() << webtest::kNoChromium;
    m_conn.Exec(kFleet);
    m_conn.Exec("VACUUM ANALYZE");
    m_registry.SetLocation(L".", L"", std::wstring(m_db.Name().begin(), m_db.Name().end()));
    corvexweb::WebSettings settings = webtest::LoopbackSettings(m_registry.Dir());
    settings.outbreak.computers = 3;
    settings.outbreak.minutes = 30;
    m_port = m_server.Start(settings, m_data, [](const std::string& user, const std::string& password, std::string&) {
      return user == "ops" && password == "right";
    });
  }
  long Count(const std::string& sql) { return std::stol(m_conn.Exec(sql).Text(0, 0)); }

  testsupport::TempRegistry m_registry;
  corvexdb::ScratchDatabase m_db{"corvex_web_charts_e2e"};
  corvexdb::PgConnection m_conn = m_db.Connect();
  corvexweb::ConsoleData m_data;
  webtest::CapturedEvents m_events;
  webtest::RunningServer m_server;
  int m_port = 0;
};

TEST_F(ChartsBrowser, TheOverviewChartsShowTheFleetAndAnOutbreakBringsTheBanner)
{
  e2e::ScratchDir dir{"corvex-charts-browser"};
  webtest::ChromeDriver driver(dir.Path());
  ASSERT_TRUE(driver.Started()) << driver.Output();
  const std::string shots = SCREENSHOT_DIR;
  std::filesystem::create_directories(shots);
  webtest::WebDriver browser(driver.Port(), dir / "profile");
  const std::string base = "https://127.0.0.1:" + std::to_string(m_port);

  ASSERT_TRUE(webtest::OpenLogIn(browser, base)) << "no log-in form";
  const auto loggedIn = webtest::SubmitLogIn(browser, "ops", "right");
  ASSERT_TRUE(browser.Until("return document.querySelectorAll('#chart-versions rect').length > 0 &&"
                            " document.querySelectorAll('#chart-compliance [data-group]').length > 0 &&"
                            " document.querySelectorAll('#chart-viruses rect').length > 0 &&"
                            " document.querySelectorAll('#chart-hours g').length === 168"))
    << "the charts never showed";
  std::printf("overview with its charts drawn %.2f s after log-in (aim: under 2 s)\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - loggedIn).count());
  browser.Screenshot(shots + "/overview-charts.png");
  browser.Script("document.querySelector('#charts').scrollIntoView()");
  browser.Screenshot(shots + "/overview-charts-below.png");

  // Detections per hour: each kind's marks add up to the alerts of the last 168 hours.
  const std::string window = "\"AlertTime\" >= date_trunc('hour', localtimestamp) - interval '167 hours'";
  const auto sum = [&](const char* attribute) {
    return browser.Script(std::string("return [...document.querySelectorAll('#chart-hours g')].reduce((s, g) => s + Number(g.dataset.") +
                          attribute + "), 0)");
  };
  EXPECT_EQ(sum("virus"), Count("SELECT count(*) FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2 AND " + window));
  EXPECT_EQ(sum("update"), Count("SELECT count(*) FROM dbo.\"Alerts\" WHERE \"Source\" = 'ALC' AND " + window));
  EXPECT_EQ(sum("error"), Count("SELECT count(*) FROM dbo.\"Alerts\" WHERE \"Source\" = 'DEX' AND " + window));

  // Top viruses of the last 30 days: ten bars, each as many as the virus's detections.
  const json viruses = browser.Script("return [...document.querySelectorAll('#chart-viruses rect')].map(r => [r.dataset.name, Number(r.dataset.value)])");
  ASSERT_EQ(viruses.size(), 10u) << viruses;
  for (const json& v : viruses)
    EXPECT_EQ(v[1], Count("SELECT count(*) FROM dbo.\"Alerts\" WHERE \"VirusName\" = '" + v[0].get<std::string>() +
                          "' AND \"AlertTime\" >= localtimestamp - interval '30 days'")) << v;
  EXPECT_EQ(viruses[0][1], Count("SELECT max(n) FROM (SELECT count(*) n FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2 GROUP BY \"VirusName\") x"));

  // Configuration match: each group's "differs" segment.
  const json groups = browser.Script("return [...document.querySelectorAll('#chart-compliance [data-group]')].map(r =>"
                                     " [Number(r.dataset.group), Number(r.querySelectorAll('svg')[0].dataset.no), Number(r.querySelectorAll('svg')[1].dataset.unknown)])");
  ASSERT_EQ(groups.size(), 3u) << groups;
  for (const json& g : groups) {
    const std::string id = std::to_string(g[0].get<long long>());
    EXPECT_EQ(g[1], Count("SELECT count(*) FROM dbo.\"Computers\" WHERE \"GroupID\" = " + id + " AND \"HasGroupDexConfig\" = false"));
    EXPECT_EQ(g[2], Count("SELECT count(*) FROM dbo.\"Computers\" WHERE \"GroupID\" = " + id + " AND \"HasGroupAUConfig\" IS NULL"));
  }

  // Virus data versions, oldest first, the computers without one last.
  const json versions = browser.Script("return [...document.querySelectorAll('#chart-versions rect')].map(r => [r.dataset.name, Number(r.dataset.value)])");
  EXPECT_EQ(versions, json::parse("[[\"5.1.0\"," + std::to_string(Count("SELECT count(*) FROM dbo.\"Computers\" WHERE \"VirusDataVersion\" = '5.1.0'")) +
                                  "],[\"5.2.0\"," + std::to_string(Count("SELECT count(*) FROM dbo.\"Computers\" WHERE \"VirusDataVersion\" = '5.2.0'")) +
                                  "],[\"none reported\"," + std::to_string(Count("SELECT count(*) FROM dbo.\"Computers\" WHERE \"VirusDataVersion\" = ''")) + "]]"));

  // No outbreak yet. Then one virus on three computers within minutes (the rule: 3 in 30).
  EXPECT_EQ(browser.Script("return document.querySelector('#outbreak-banner').hidden"), true);
  m_conn.Exec("INSERT INTO dbo.\"Alerts\" (\"ComputerID\", \"AlertType\", \"AlertTime\", \"VirusName\", \"VirusType\", \"InfectedItem\","
              " \"ScannerType\", \"ActionTaken\")"
              " SELECT \"ComputerID\", 2, localtimestamp - make_interval(mins => \"ComputerID\" % 5), 'Storm.B', 301, 'C:\\s', 1, 110"
              " FROM dbo.\"Computers\" WHERE \"ComputerName\" IN ('WS0001', 'WS0002', 'WS0003')");
  browser.Open(base + "/#/computers");
  EXPECT_TRUE(browser.Until("const b = document.querySelector('#outbreak-banner'); return !b.hidden && b.textContent.includes('Storm.B')", 40s))
    << "no banner";
  EXPECT_EQ(browser.Script("return document.querySelector('a.export').getAttribute('href')"), "/api/export/computers.csv");
  browser.Screenshot(shots + "/outbreak-banner.png");
  EXPECT_EQ(m_events.WithId(corvexweb::kEventOutbreak).size(), 1u);

  // The banner leads to the outbreak view: the three computers in the order they reported it.
  browser.Click("#outbreak-banner a[data-virus]");
  ASSERT_TRUE(browser.Until("return document.querySelectorAll('#outbreak-table tr[data-computer]').length === 3"));
  EXPECT_EQ(browser.Script("return document.querySelectorAll('#outbreak-spread circle').length"), 3);
  EXPECT_EQ(browser.Script("return [...document.querySelectorAll('#outbreak-table tr[data-computer]')].every(r => r.textContent.includes('no'))"), true);
  browser.Screenshot(shots + "/outbreak.png");

  browser.Open(base + "/#/alerts");
  EXPECT_TRUE(browser.Until("const a = document.querySelector('a.export'); return a && a.getAttribute('href') === '/api/export/alerts.csv'"));
  EXPECT_EQ(m_events.WithId(corvexweb::kEventOutbreak).size(), 1u);  // every page's banner poll; one report
}

}  // namespace
