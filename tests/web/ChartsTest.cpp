// The overview's charts, the outbreak view and rule, and the CSV exports, through a server on
// loopback against a seeded scratch database. The figures are checked against what the seed
// made by construction or against counts of plain SQL, never against the charts themselves.
#include <gtest/gtest.h>

#include <thread>

#include "platform/eventlog/EventLog.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "web/ApiError.h"
#include "web/WebServer.h"

namespace {

using nlohmann::json;
using webtest::Reply;

const char* const kSeed = R"SQL(
INSERT INTO dbo."Groups" ("ParentID", "Name") VALUES (NULL, 'North'), (NULL, 'South');
-- 60 computers: every third of no group, then North, South; match flags and versions by pattern.
INSERT INTO dbo."Computers" ("ComputerName", "DomainName", "GroupID", "MessageSystemAddress", "Connected",
                             "HasGroupDexConfig", "HasGroupAUConfig", "VirusDataVersion", "Description")
SELECT 'PC' || lpad(i::text, 3, '0'), 'CORP',
       CASE i % 3 WHEN 0 THEN NULL
                  WHEN 1 THEN (SELECT "GroupID" FROM dbo."Groups" WHERE "Name" = 'North')
                  ELSE (SELECT "GroupID" FROM dbo."Groups" WHERE "Name" = 'South') END,
       'PC' || i, i % 2 = 0,
       CASE i % 4 WHEN 0 THEN NULL WHEN 1 THEN false ELSE true END,
       CASE i % 5 WHEN 0 THEN NULL WHEN 1 THEN false ELSE true END,
       CASE i % 4 WHEN 0 THEN '' WHEN 1 THEN '4.8.1' WHEN 2 THEN '4.9.0' ELSE '4.10.0' END,
       'Computer ' || i
  FROM generate_series(1, 60) i;
-- A deleted computer counts nowhere.
INSERT INTO dbo."Computers" ("ComputerName", "Deleted", "GroupID", "HasGroupDexConfig", "VirusDataVersion")
SELECT 'GONE', true, "GroupID", false, '1.0.0' FROM dbo."Groups" WHERE "Name" = 'North';
INSERT INTO dbo."VirusDataVersions" ("VersionKey", "Version")
VALUES (dbo.version_key('4.8.1'), '4.8.1'), (dbo.version_key('4.9.0'), '4.9.0'), (dbo.version_key('4.10.0'), '4.10.0');
CREATE FUNCTION pg_temp.pc(n integer) RETURNS integer LANGUAGE sql AS
  $$ SELECT "ComputerID" FROM dbo."Computers" WHERE "ComputerName" = 'PC' || lpad(n::text, 3, '0') $$;
CREATE FUNCTION pg_temp.hour_ago(k integer) RETURNS timestamp LANGUAGE sql AS
  $$ SELECT date_trunc('hour', localtimestamp) - make_interval(hours => k) + interval '1 minute' $$;
-- Hour k back: k % 3 virus alerts (Alpha in even hours, Beta in odd ones), an anti-virus error
-- when k % 5 = 0, update errors when k % 7 = 0 (ALC) and k % 11 = 0 (TzLib).
INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "VirusName", "VirusType", "InfectedItem", "ScannerType", "ActionTaken")
SELECT pg_temp.pc(1 + (k + j) % 60), 2, pg_temp.hour_ago(k), CASE WHEN k % 2 = 0 THEN 'Alpha' ELSE 'Beta' END, 301, 'C:\x', 1, 109
  FROM generate_series(0, 199) k, generate_series(1, 2) j WHERE j <= k % 3;
INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "Source", "EntityInfo", "Number", "MessageCode",
                          "Insert1", "Insert2", "Insert3", "Insert4", "Insert5")
SELECT pg_temp.pc(1 + k % 60), 1, pg_temp.hour_ago(k), s, '', 7, 'M', '', '', '', '', ''
  FROM generate_series(0, 199) k, (VALUES ('DEX', 5), ('ALC', 7), ('TzLib', 11)) v(s, m) WHERE k % m = 0;
-- Long ago: five computers, one detection each, 100 days back.
INSERT INTO dbo."Alerts" ("ComputerID", "AlertType", "AlertTime", "VirusName", "VirusType", "InfectedItem", "ScannerType", "ActionTaken")
SELECT pg_temp.pc(i), 2, localtimestamp - interval '100 days', 'Ancient', 301, 'C:\y', 1, 103 FROM generate_series(1, 5) i;
)SQL";

class Charts : public ::testing::Test
{
protected:
  void SetUp() override
  {
    // The hourly seed must be made and read within one hour.
    while (std::stoi(m_conn.Exec("SELECT (extract(minute FROM localtimestamp) * 60 + extract(second FROM localtimestamp))::integer").Text(0, 0)) > 3590)
      std::this_thread::sleep_for(std::chrono::seconds(1));
    m_conn.Exec(kSeed);
    m_registry.SetLocation(L".", L"", std::wstring(m_db.Name().begin(), m_db.Name().end()));
    corvexweb::WebSettings settings = webtest::LoopbackSettings(m_registry.Dir());
    settings.outbreak.computers = 4;
    settings.outbreak.minutes = 30;
    m_port = m_server.Start(settings, m_data,
                            [](const std::string&, const std::string& password, std::string&) { return password == "right"; });
  }

  webtest::Browser LoggedIn()
  {
    webtest::Browser b(m_port);
    EXPECT_EQ(b.LogIn("alice", "right").status, 200);
    return b;
  }
  int Count(const std::string& sql, const std::vector<corvexdb::SqlValue>& params = {})
  {
    return std::stoi(m_conn.Exec(sql, params).Text(0, 0));
  }
  std::vector<EventRecord> Outbreaks() { return m_events.WithId(corvexweb::kEventOutbreak); }
  void VirusAlert(int pc, const std::string& virus, int minutesAgo, int action)
  {
    m_conn.Exec("INSERT INTO dbo.\"Alerts\" (\"ComputerID\", \"AlertType\", \"AlertTime\", \"VirusName\", \"VirusType\","
                " \"InfectedItem\", \"ScannerType\", \"ActionTaken\")"
                " SELECT \"ComputerID\", 2, localtimestamp - make_interval(mins => $2::integer), $3, 301, 'C:\\z', 1, $4::integer"
                " FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC' || lpad($1::text, 3, '0')",
                {std::to_string(pc), std::to_string(minutesAgo), virus, std::to_string(action)});
  }

  testsupport::TempRegistry m_registry;
  corvexdb::ScratchDatabase m_db{"corvex_web_charts"};
  corvexdb::PgConnection m_conn = m_db.Connect();
  corvexweb::ConsoleData m_data;
  webtest::CapturedEvents m_events;
  webtest::RunningServer m_server;
  int m_port = 0;
};

TEST_F(Charts, DetectionsPerHourCountEachKindInItsHour)
{
  webtest::Browser b = LoggedIn();
  const Reply r = b.Get("/api/charts/detections?days=7");
  ASSERT_EQ(r.status, 200) << r.body;
  const json& hours = r.body["Hours"];
  ASSERT_EQ(hours.size(), 168u);
  for (int row = 0; row < 168; ++row) {
    const int k = 167 - row;  // hours back; the last row is the current hour
    const json& h = hours[row];
    EXPECT_EQ(h["Virus"], k % 3) << h;
    EXPECT_EQ(h["Error"], k % 5 == 0 ? 1 : 0) << h;  // the anti-virus product's own errors
    EXPECT_EQ(h["Update"], (k % 7 == 0 ? 1 : 0) + (k % 11 == 0 ? 1 : 0)) << h;
  }
  EXPECT_EQ(hours[167]["Hour"], m_conn.Exec("SELECT to_char(localtimestamp, 'YYYY-MM-DD HH24:00')").Text(0, 0));
  EXPECT_EQ(b.Get("/api/charts/detections?days=1").body["Hours"].size(), 24u);
  EXPECT_EQ(b.Get("/api/charts/detections?days=0").status, 400);
  EXPECT_EQ(b.Get("/api/charts/detections?days=32").status, 400);
  EXPECT_EQ(b.Get("/api/charts/detections?days=x").status, 400);
  EXPECT_EQ(webtest::Browser(m_port).Get("/api/charts/detections").status, 401);
}

TEST_F(Charts, TopVirusesComputersAndGroupsOverAPeriodMatchPlainCounts)
{
  webtest::Browser b = LoggedIn();
  for (const int days : {30, 366}) {
    const Reply r = b.Get("/api/charts/top?days=" + std::to_string(days) + "&count=10");
    ASSERT_EQ(r.status, 200) << r.body;
    const std::string since = "localtimestamp - make_interval(days => " + std::to_string(days) + ")";
    const json& viruses = r.body["Viruses"];
    std::vector<std::string> names;
    for (const json& v : viruses) {
      names.push_back(v["VirusName"]);
      EXPECT_EQ(v["Detections"], Count("SELECT count(*) FROM dbo.\"Alerts\" WHERE \"VirusName\" = $1 AND \"AlertTime\" >= " + since,
                                       {v["VirusName"].get<std::string>()}));
      EXPECT_EQ(v["Computers"], Count("SELECT count(DISTINCT \"ComputerID\") FROM dbo.\"Alerts\" WHERE \"VirusName\" = $1 AND \"AlertTime\" >= " + since,
                                      {v["VirusName"].get<std::string>()}));
    }
    // Alpha: hours 0-199 even, k % 3 each; Beta the odd ones. Ancient only in the longer period.
    int alpha = 0, beta = 0;
    for (int k = 0; k < 200; ++k)
      (k % 2 == 0 ? alpha : beta) += k % 3;
    ASSERT_NE(alpha, beta);
    std::vector<std::string> expected = alpha > beta ? std::vector<std::string>{"Alpha", "Beta"} : std::vector<std::string>{"Beta", "Alpha"};
    if (days == 366)
      expected.push_back("Ancient");
    EXPECT_EQ(names, expected);
    EXPECT_EQ(viruses[0]["Detections"], std::max(alpha, beta));
    EXPECT_EQ(viruses[1]["Detections"], std::min(alpha, beta));

    int detections = 0;
    for (const json& c : r.body["Computers"]) {
      detections += c["Detections"].get<int>();
      EXPECT_EQ(c["Detections"], Count("SELECT count(*) FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2 AND \"ComputerID\" = $1 AND \"AlertTime\" >= " + since,
                                       {std::to_string(c["ComputerID"].get<long>())}));
    }
    EXPECT_EQ(r.body["Computers"].size(), 10u);
    for (std::size_t i = 1; i < r.body["Computers"].size(); ++i)
      EXPECT_GE(r.body["Computers"][i - 1]["Detections"], r.body["Computers"][i]["Detections"]);

    // Groups: every virus detection lands in exactly one group (the unassigned one included).
    int inGroups = 0;
    for (const json& g : r.body["Groups"]) {
      inGroups += g["Detections"].get<int>();
      const std::string where = g["GroupID"] == 4294967294LL ? "c.\"GroupID\" IS NULL"
                                                             : "c.\"GroupID\" = " + std::to_string(g["GroupID"].get<long long>());
      EXPECT_EQ(g["Detections"], Count("SELECT count(*) FROM dbo.\"Alerts\" a JOIN dbo.\"Computers\" c USING (\"ComputerID\")"
                                       " WHERE a.\"AlertType\" = 2 AND a.\"AlertTime\" >= " + since + " AND " + where));
    }
    EXPECT_EQ(r.body["Groups"].size(), 3u);
    EXPECT_EQ(inGroups, Count("SELECT count(*) FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2 AND \"AlertTime\" >= " + since));
  }
  EXPECT_EQ(b.Get("/api/charts/top?days=30&count=1").body["Viruses"].size(), 1u);
  EXPECT_EQ(b.Get("/api/charts/top?days=367").status, 400);
  EXPECT_EQ(b.Get("/api/charts/top?count=101").status, 400);
}

TEST_F(Charts, ComplianceAndVirusDataVersionsCountTheLiveFleet)
{
  webtest::Browser b = LoggedIn();
  const Reply compliance = b.Get("/api/charts/compliance");
  ASSERT_EQ(compliance.status, 200) << compliance.body;
  ASSERT_EQ(compliance.body.size(), 3u);  // North, South, unassigned; the deleted computer nowhere
  int computers = 0;
  for (const json& g : compliance.body) {
    const std::string where = "NOT \"Deleted\" AND " + (g["GroupID"] == 4294967294LL ? std::string("\"GroupID\" IS NULL")
                                                                                     : "\"GroupID\" = " + std::to_string(g["GroupID"].get<long long>()));
    const auto count = [&](const char* flag) { return Count(std::string("SELECT count(*) FROM dbo.\"Computers\" WHERE ") + where + " AND " + flag); };
    EXPECT_EQ(g["DexYes"], count("\"HasGroupDexConfig\" IS TRUE")) << g;
    EXPECT_EQ(g["DexNo"], count("\"HasGroupDexConfig\" IS FALSE")) << g;
    EXPECT_EQ(g["DexUnknown"], count("\"HasGroupDexConfig\" IS NULL")) << g;
    EXPECT_EQ(g["AUYes"], count("\"HasGroupAUConfig\" IS TRUE")) << g;
    EXPECT_EQ(g["AUNo"], count("\"HasGroupAUConfig\" IS FALSE")) << g;
    EXPECT_EQ(g["AUUnknown"], count("\"HasGroupAUConfig\" IS NULL")) << g;
    EXPECT_EQ(g["Computers"], g["DexYes"].get<int>() + g["DexNo"].get<int>() + g["DexUnknown"].get<int>());
    computers += g["Computers"].get<int>();
  }
  EXPECT_EQ(computers, 60);

  // Oldest first by version order (4.10.0 is newer than 4.9.0), the computers without one last.
  const Reply versions = b.Get("/api/charts/virus-data");
  ASSERT_EQ(versions.status, 200) << versions.body;
  std::vector<std::string> order;
  for (const json& v : versions.body) {
    order.push_back(v["Version"]);
    EXPECT_EQ(v["Computers"], 15) << v;  // a quarter of the 60 each
    EXPECT_EQ(v["Newest"], v["Version"] == "4.10.0") << v;
    EXPECT_EQ(v["Groups"], Count("SELECT count(DISTINCT coalesce(\"GroupID\", 0)) FROM dbo.\"Computers\" WHERE NOT \"Deleted\" AND \"VirusDataVersion\" = $1",
                                 {v["Version"].get<std::string>()}));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"4.8.1", "4.9.0", "4.10.0", ""}));
}

TEST_F(Charts, AnOutbreakIsShownWithItsComputersAndLoggedOnceWhenItBegins)
{
  // Gamma on four computers within minutes (the rule: 4 within 30); Delta on three only.
  VirusAlert(10, "Gamma", 9, 110);
  VirusAlert(10, "Gamma", 2, 109);  // the latest action counts: cleaned after all
  VirusAlert(20, "Gamma", 7, 110);  // disinfection failed
  VirusAlert(30, "Gamma", 5, 100);  // unknown action
  VirusAlert(40, "Gamma", 3, 103);  // deleted
  for (int pc : {11, 12, 13})
    VirusAlert(pc, "Delta", 4, 109);
  VirusAlert(50, "Gamma", 60 * 24, 109);  // long before the window: in the view, not in the rule

  webtest::Browser b = LoggedIn();
  Reply r = b.Get("/api/outbreaks");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body["Rule"], (json{{"Computers", 4}, {"Minutes", 30}}));
  ASSERT_EQ(r.body["Outbreaks"].size(), 1u) << r.body;
  EXPECT_EQ(r.body["Outbreaks"][0]["VirusName"], "Gamma");
  EXPECT_EQ(r.body["Outbreaks"][0]["Computers"], 4);
  ASSERT_EQ(Outbreaks().size(), 1u);
  EXPECT_EQ(Outbreaks()[0].strings[0], L"Gamma");
  EXPECT_EQ(Outbreaks()[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_NE(ToUtf8(Outbreaks()[0].text).find("reported by 4 computers within 30 minutes"), std::string::npos) << ToUtf8(Outbreaks()[0].text);

  // Looking again (the watch, or every page's banner) does not report it again; a new virus
  // that reaches the rule does.
  m_server->Charts().CheckOutbreaks();
  EXPECT_EQ(Outbreaks().size(), 1u);
  VirusAlert(14, "Delta", 1, 109);
  m_server->Charts().CheckOutbreaks();
  r = b.Get("/api/outbreaks");
  EXPECT_EQ(r.body["Outbreaks"].size(), 2u) << r.body;
  ASSERT_EQ(Outbreaks().size(), 2u);
  EXPECT_EQ(Outbreaks()[1].strings[0], L"Delta");

  // The view: every computer that reported Gamma, by first detection, with its latest outcome.
  r = b.Get("/api/outbreaks/virus?name=Gamma");
  ASSERT_EQ(r.status, 200) << r.body;
  std::vector<std::string> names;
  for (const json& c : r.body["Computers"])
    names.push_back(c["ComputerName"]);
  EXPECT_EQ(names, (std::vector<std::string>{"PC050", "PC010", "PC020", "PC030", "PC040"}));
  const json& pc10 = r.body["Computers"][1];
  EXPECT_EQ(pc10["Detections"], 2);
  EXPECT_EQ(pc10["Cleaned"], true);
  EXPECT_EQ(pc10["GroupName"], "North");  // 10 % 3 = 1
  EXPECT_LT(pc10["FirstSeen"].get<std::string>(), pc10["LastSeen"].get<std::string>());
  EXPECT_EQ(r.body["Computers"][2]["Cleaned"], false);
  EXPECT_TRUE(r.body["Computers"][3]["Cleaned"].is_null());
  EXPECT_EQ(r.body["Computers"][4]["Cleaned"], true);
  EXPECT_EQ(r.body["Computers"][3]["GroupID"], 4294967294LL);  // 30 % 3 = 0: no group
  EXPECT_EQ(b.Get("/api/outbreaks/virus?name=Nothing").body["Computers"].size(), 0u);
  EXPECT_EQ(b.Get("/api/outbreaks/virus?name=").status, 400);
  EXPECT_EQ(b.Get("/api/outbreaks/virus?name=" + std::string(33, 'x')).status, 400);
}

TEST(OutbreakRule, IsReadFromTheRegistryAndBadValuesAreRefusedByName)
{
  testsupport::TempRegistry registry;
  EXPECT_EQ(corvexweb::WebSettings::FromRegistry().outbreak.computers, 10);  // defaults
  EXPECT_EQ(corvexweb::WebSettings::FromRegistry().outbreak.minutes, 60);
  CRegKey web;
  web.Create(HKEY_LOCAL_MACHINE, corvexweb::kWebConsoleKey);
  web.SetDWORDValue(L"OutbreakComputers", 25);
  web.SetDWORDValue(L"OutbreakMinutes", 15);
  web.SetDWORDValue(L"OutbreakCheckSeconds", 5);
  const corvexweb::OutbreakRule rule = corvexweb::WebSettings::FromRegistry().outbreak;
  EXPECT_EQ(rule.computers, 25);
  EXPECT_EQ(rule.minutes, 15);
  EXPECT_EQ(rule.checkSeconds, 5);
  for (const auto& [name, value] : std::vector<std::pair<const wchar_t*, DWORD>>{
         {L"OutbreakComputers", 1}, {L"OutbreakMinutes", 0}, {L"OutbreakMinutes", 10081}, {L"OutbreakCheckSeconds", 4}}) {
    web.SetDWORDValue(name, value);
    try {
      corvexweb::WebSettings::FromRegistry();
      ADD_FAILURE() << ToUtf8(name) << " " << value << " was taken";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(ToUtf8(name)), std::string::npos) << e.what();
    }
    web.DeleteValue(name);
  }
  web.SetStringValue(L"OutbreakComputers", L"12");
  EXPECT_THROW(corvexweb::WebSettings::FromRegistry(), std::runtime_error);
}

TEST_F(Charts, ExportsStreamEveryRowAsCsv)
{
  // Enough computers for several pages, and one whose description is a formula with quotes,
  // a comma and a line break.
  m_conn.Exec("INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"Description\") SELECT 'BULK' || i, 'bulk ' || i"
              " FROM generate_series(1, 2500) i;"
              "UPDATE dbo.\"Computers\" SET \"Description\" = '=HYPERLINK(\"http://x\",\"y\"), and' || chr(10) || 'more'"
              " WHERE \"ComputerName\" = 'PC007'");
  webtest::Browser b = LoggedIn();
  httplib::SSLClient client("127.0.0.1", m_port);
  client.enable_server_certificate_verification(false);
  auto res = client.Get("/api/export/computers.csv", {{"Cookie", b.Cookie()}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(res->get_header_value("Content-Type").rfind("text/csv", 0), 0u);
  EXPECT_EQ(res->get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_NE(res->get_header_value("Content-Disposition").find("computers.csv"), std::string::npos);

  // Lines end with CRLF; the one line break inside a cell is quoted.
  const std::string& body = res->body;
  std::size_t lines = 0;
  for (std::size_t p = body.find("\r\n"); p != std::string::npos; p = body.find("\r\n", p + 2))
    ++lines;
  const int live = Count("SELECT count(*) FROM dbo.\"Computers\" WHERE NOT \"Deleted\"");
  EXPECT_EQ(lines, static_cast<std::size_t>(live) + 1);
  EXPECT_EQ(body.rfind("ComputerID,ComputerName,DomainName,", 0), 0u);
  EXPECT_NE(body.find(",\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\"), and\nmore\","), std::string::npos);
  EXPECT_EQ(body.find("GONE"), std::string::npos);
  // Ids rise through the pages without a repeat (a line break inside a cell is LF alone).
  long long last = 0;
  std::size_t rows = 0;
  for (std::size_t p = body.find("\r\n") + 2; p < body.size(); p = body.find("\r\n", p) + 2) {
    const long long id = std::stoll(body.substr(p, body.find(',', p) - p));
    EXPECT_GT(id, last);
    last = id;
    ++rows;
  }
  EXPECT_EQ(rows, static_cast<std::size_t>(live));

  res = client.Get("/api/export/alerts.csv", {{"Cookie", b.Cookie()}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  lines = 0;
  for (std::size_t p = res->body.find("\r\n"); p != std::string::npos; p = res->body.find("\r\n", p + 2))
    ++lines;
  EXPECT_EQ(lines, static_cast<std::size_t>(Count("SELECT count(*) FROM dbo.\"Alerts\"")) + 1);

  res = client.Get("/api/export/alerts.csv");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 401);
  EXPECT_EQ(json::parse(res->body)["error"]["code"], "not_logged_in");
}

}  // namespace

namespace {

TEST_F(Charts, FiguresAreKeptForAWhileAndThenMadeAgain)
{
  corvexweb::ConsoleCharts kept(m_data, corvexweb::OutbreakRule{}, nullptr, std::chrono::seconds(60));
  corvexweb::ConsoleCharts fresh(m_data, corvexweb::OutbreakRule{}, nullptr, std::chrono::seconds(0));
  const json before = kept.VirusDataVersions();
  m_conn.Exec("UPDATE dbo.\"Computers\" SET \"VirusDataVersion\" = '4.10.0' WHERE \"VirusDataVersion\" = '4.8.1'");
  EXPECT_EQ(kept.VirusDataVersions(), before);  // every page within the minute gets the same figures
  const json after = fresh.VirusDataVersions();
  ASSERT_EQ(after.size(), 3u) << after;
  EXPECT_EQ(after[1]["Version"], "4.10.0");
  EXPECT_EQ(after[1]["Computers"], 30);
}

TEST_F(Charts, OnlySoManyExportsRunAtOnce)
{
  std::vector<std::unique_ptr<httplib::Response>> running;
  for (int i = 0; i < corvexweb::ConsoleCharts::kExportsAtOnce; ++i) {
    running.push_back(std::make_unique<httplib::Response>());
    m_server->Charts().ExportComputers(*running.back());  // begun, its client not yet reading
  }
  httplib::Response refused;
  try {
    m_server->Charts().ExportAlerts(refused);
    ADD_FAILURE() << "a third export began";
  } catch (const corvexweb::ApiError& e) {
    EXPECT_EQ(e.Status(), 503);
  }
  running.pop_back();  // one ends (the server lets its answer go): room for the next
  httplib::Response next;
  EXPECT_NO_THROW(m_server->Charts().ExportAlerts(next));
}

}  // namespace
