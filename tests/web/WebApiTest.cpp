// The web console's API against a real database, through a server on loopback: who may log in,
// what a POST needs, and each list with its filters and paging. PAM parts need root (they make
// throwaway accounts) and skip elsewhere.
#include <gtest/gtest.h>

#include <thread>

#include "platform/eventlog/EventLog.h"
#include "platform/text/Unicode.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/web/DbTestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "tools/corvex-db/ProcedureCall.h"
#include "web/WebServer.h"

namespace {

using nlohmann::json;
using webtest::Reply;

class WebApi : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (!webtest::ThrowawayAccounts::CanMake())
      GTEST_SKIP() << "log-in goes through PAM with throwaway accounts, which needs root";
    m_accounts = std::make_unique<webtest::ThrowawayAccounts>();
    m_registry.SetLocation(L".", L"", std::wstring(m_db.Name().begin(), m_db.Name().end()));
    corvexweb::WebSettings settings = webtest::LoopbackSettings(m_registry.Dir());
    settings.administratorsGroup = m_accounts->group;
    m_port = m_server.Start(settings, m_data);
  }

  webtest::Browser LoggedIn()
  {
    webtest::Browser b(m_port);
    EXPECT_EQ(b.LogIn(m_accounts->admin, m_accounts->password).status, 200);
    return b;
  }
  std::string Call(const std::string& name, const corvexdb::ProcedureArgs& args, const char* output = nullptr)
  {
    return webtest::CallProcedure(m_conn, name, args, output);
  }
  testsupport::TempRegistry m_registry;
  corvexdb::ScratchDatabase m_db{"corvex_web"};
  corvexdb::PgConnection m_conn = m_db.Connect();
  std::unique_ptr<webtest::ThrowawayAccounts> m_accounts;
  corvexweb::ConsoleData m_data;
  webtest::CapturedEvents m_events;
  webtest::RunningServer m_server;
  int m_port = 0;
};

std::vector<std::string> Names(const Reply& r)
{
  std::vector<std::string> names;
  for (const json& row : r.body["rows"])
    names.push_back(row["ComputerName"]);
  return names;
}

TEST_F(WebApi, OnlyConsoleAdministratorsGetASessionAndFailuresAreThrottledAndLogged)
{
  webtest::Browser anonymous(m_port);
  Reply r = anonymous.Get("/api/computers");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.ErrorCode(), "not_logged_in");
  EXPECT_EQ(anonymous.Get("/").status, 200);  // the log-in page itself is open

  // Right password, but not in the group; then a wrong password.
  webtest::Browser outsider(m_port);
  r = outsider.LogIn(m_accounts->outsider, m_accounts->password);
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.ErrorCode(), "login_refused");
  EXPECT_TRUE(outsider.Cookie().empty());
  EXPECT_EQ(outsider.LogIn(m_accounts->admin, "not the password").status, 401);

  webtest::Browser admin(m_port);
  r = admin.LogIn(m_accounts->admin, m_accounts->password);
  ASSERT_EQ(r.status, 200) << r.body;
  const std::string cookie = r.Header("Set-Cookie");
  for (const char* attribute : {"HttpOnly", "Secure", "SameSite=Strict"})
    EXPECT_NE(cookie.find(attribute), std::string::npos) << cookie;
  EXPECT_EQ(admin.Cookie().size(), std::string("corvex_session=").size() + 64);
  EXPECT_EQ(admin.Get("/api/session").body["user"], m_accounts->admin);

  // Refusals reach the event log with account and address, never the password.
  int refusals = 0;
  for (const EventRecord& e : m_events.All()) {
    EXPECT_EQ(ToUtf8(e.text).find(m_accounts->password), std::string::npos) << ToUtf8(e.text);
    if (e.id == corvexweb::kEventLoginRefused) {
      ++refusals;
      EXPECT_NE(e.text.find(L"127.0.0.1"), std::wstring::npos);
    }
  }
  EXPECT_EQ(refusals, 2);

  // Five failures in a row for one account lock it out, even with the right password.
  webtest::Browser guesser(m_port);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(guesser.LogIn(m_accounts->admin, "guess " + std::to_string(i)).status, 401);
  r = guesser.LogIn(m_accounts->admin, m_accounts->password);
  EXPECT_EQ(r.status, 429);
  EXPECT_FALSE(r.Header("Retry-After").empty());
  EXPECT_EQ(r.ErrorCode(), "too_many_attempts");
  // The session made before the lock-out goes on.
  EXPECT_EQ(admin.Get("/api/session").status, 200);

  // A body that is not JSON, and a log-in without an account.
  EXPECT_EQ(anonymous.Post("/api/login", json::array()).status, 400);
  EXPECT_EQ(anonymous.Post("/api/login", {{"password", "x"}}).status, 400);
}

TEST_F(WebApi, EveryPostNeedsItsSessionsCsrfTokenAndOurOrigin)
{
  webtest::Browser one = LoggedIn();
  webtest::Browser two = LoggedIn();
  ASSERT_NE(one.Csrf(), two.Csrf());

  const std::string own = one.Csrf();
  one.ForgetCsrf();
  Reply r = one.Post("/api/logout");
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(r.ErrorCode(), "csrf");
  one.SetCsrf(two.Csrf());
  EXPECT_EQ(one.Post("/api/logout").status, 403);
  one.SetCsrf(own);
  EXPECT_EQ(one.Post("/api/logout", json::object(), {{"Origin", "https://elsewhere.example"}}).status, 403);
  EXPECT_EQ(one.Get("/api/session").status, 200);

  EXPECT_EQ(one.Post("/api/logout").status, 200);
  EXPECT_EQ(one.Get("/api/session").status, 401);
  EXPECT_EQ(two.Get("/api/session").status, 200);
}

TEST_F(WebApi, ComputerListFiltersSortsAndPages)
{
  const std::string top = Call("AddGroup", {{"@NewParentID", std::nullopt}, {"@Name", "Head office"}}, "@GroupID");
  const std::string sub = Call("AddGroup", {{"@NewParentID", top}, {"@Name", "Sales"}}, "@GroupID");
  // 240 computers by plain rows: PC000..PC239, a third of them in each place.
  m_conn.Exec("INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"GroupID\", \"Connected\", \"MessageSystemAddress\")"
              " SELECT 'PC' || lpad(i::text, 3, '0'), CASE i % 3 WHEN 0 THEN " + top + " WHEN 1 THEN " + sub +
              " END, i % 2 = 0, 'PC' || i FROM generate_series(0, 239) i");
  const std::string odd = Call("AddComputer", {{"@ComputerName", "odd_100%"}, {"@DomainName", "LAB"},
                                               {"@OperatingSystem", "13"}, {"@Description", ""}}, "@ComputerID");
  const std::string pc4 = *corvexdb::CallProcedure(m_conn, "GetComputerID", {{"@ComputerName", "PC004"}}).Output("@ComputerID");
  Call("AddVirusAlert", {{"@ComputerID", pc4}, {"@AlertTime", "2024-05-02 08:30:00"}, {"@UserName", "alice"},
                         {"@VirusName", "EICAR"}, {"@VirusType", "1"}, {"@InfectedItem", "eicar.com"}, {"@ScannerType", "2"},
                         {"@ActionTaken", "3"}});
  Call("AddErrorAlert", {{"@ComputerID", odd}, {"@AlertTime", "2024-05-03 08:30:00"}, {"@UserName", "bob"}, {"@Source", "DEX"},
                         {"@EntityInfo", "e"}, {"@number", "7"}, {"@MessageCode", "E7"}, {"@Insert1", ""}, {"@Insert2", ""},
                         {"@Insert3", ""}, {"@Insert4", ""}, {"@Insert5", ""}});
  webtest::Browser b = LoggedIn();

  Reply r = b.Get("/api/computers?offset=100&count=50");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body["total"], 241);
  ASSERT_EQ(r.body["rows"].size(), 50u);
  EXPECT_EQ(Names(r).front(), "PC099");  // after odd_100%
  EXPECT_EQ(Names(r).back(), "PC148");
  r = b.Get("/api/computers?offset=200&count=100&order=1&asc=0");
  EXPECT_EQ(Names(r).back(), "odd_100%");
  EXPECT_EQ(r.body["rows"].size(), 41u);
  EXPECT_EQ(Names(b.Get("/api/computers?count=1")).front(), "odd_100%");
  const json first = b.Get("/api/computers?name=PC004").body["rows"][0];
  EXPECT_EQ(first["GroupName"], "Sales");
  EXPECT_EQ(first["OutstandingVirusAlerts"], 1);
  EXPECT_EQ(first["Connected"], true);

  EXPECT_EQ(b.Get("/api/computers?group=" + top).body["total"], 80);
  EXPECT_EQ(b.Get("/api/computers?group=" + top + "&subgroups=1").body["total"], 160);
  EXPECT_EQ(b.Get("/api/computers?group=4294967294").body["total"], 81);  // no group, the odd one included
  EXPECT_EQ(b.Get("/api/computers?connected=1").body["total"], 120);
  EXPECT_EQ(Names(b.Get("/api/computers?alerts=2")), std::vector<std::string>{"PC004"});
  EXPECT_EQ(Names(b.Get("/api/computers?alerts=3")), std::vector<std::string>{"odd_100%"});
  EXPECT_EQ(b.Get("/api/computers?alerts=1").body["total"], 2);
  // Name search is a plain part of the name: '%' and '_' are not wildcards.
  EXPECT_EQ(Names(b.Get("/api/computers?name=0%25")), std::vector<std::string>{"odd_100%"});
  EXPECT_EQ(b.Get("/api/computers?name=_").body["total"], 1);
  EXPECT_EQ(b.Get("/api/computers?name=pc01").body["total"], 10);

  // Bad requests are JSON errors with the status that fits.
  for (const char* bad : {"/api/computers?count=0", "/api/computers?count=1001", "/api/computers?offset=-1",
                          "/api/computers?order=9", "/api/computers?alerts=x", "/api/computers?name=" "abcdefghijklmnopqrstuvwxyz0123456"}) {
    r = b.Get(bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_EQ(r.ErrorCode(), "bad_request") << bad;
  }
  r = b.Get("/api/computers?group=999999");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.ErrorText(), "Group not found");
}

TEST_F(WebApi, OverviewComputerAndAlertPages)
{
  const std::string pc7 = Call("ComputerFromAddressNameDomain",
                               {{"@MessageSystemAddress", "PC7"}, {"@ComputerName", "PC7"}, {"@DomainName", "WORKGROUP"}}, "@ComputerID");
  Call("AddComputer", {{"@ComputerName", "BROWSED"}, {"@DomainName", "OFFICE"}, {"@OperatingSystem", "13"}, {"@Description", ""}});
  Call("UpdateComputerConnectedState", {{"@MessageSystemAddress", "PC7"}, {"@ConnectedFlag", "1"}});
  Call("SetDexStatus", {{"@ComputerID", pc7}, {"@DexInstalled", "1"}, {"@OnAccessFlag", "1"}, {"@Version", "7.2"},
                        {"@QuarantineCount", "0"}, {"@VirusDataVersion", "4.10"}, {"@VirusEngineVersion", "1"},
                        {"@IDEChecksum", "x"}, {"@ProductID", "p"}, {"@IDEList", ""}});
  for (int i = 0; i < 3; ++i)
    Call("AddVirusAlert", {{"@ComputerID", pc7}, {"@AlertTime", "now"}, {"@UserName", "alice"}, {"@VirusName", "V" + std::to_string(i)},
                           {"@VirusType", "1"}, {"@InfectedItem", "f" + std::to_string(i)}, {"@ScannerType", "2"}, {"@ActionTaken", "3"}});
  Call("AddErrorAlert", {{"@ComputerID", pc7}, {"@AlertTime", "2020-01-01 00:00:00"}, {"@UserName", "bob"}, {"@Source", "DEX"},
                         {"@EntityInfo", "e"}, {"@number", "7"}, {"@MessageCode", "E7"}, {"@Insert1", "a"}, {"@Insert2", ""},
                         {"@Insert3", ""}, {"@Insert4", ""}, {"@Insert5", ""}});
  Call("MarkAlertsAsDealtWith", {{"@ComputerID", pc7}, {"@AlertID", m_conn.Exec("SELECT min(\"AlertID\") FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2").Text(0, 0)}});
  webtest::Browser b = LoggedIn();

  Reply r = b.Get("/api/overview");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body["Computers"], 2);
  EXPECT_EQ(r.body["Managed"], 1);
  EXPECT_EQ(r.body["Connected"], 1);
  EXPECT_EQ(r.body["DexActive"], 1);
  EXPECT_EQ(r.body["OpenVirusAlerts"], 2);
  EXPECT_EQ(r.body["OpenErrorAlerts"], 1);
  ASSERT_EQ(r.body["AlertsPerDay"].size(), 30u);
  EXPECT_EQ(r.body["AlertsPerDay"].back()["VirusAlerts"], 3);  // today's, dealt with or not
  EXPECT_EQ(r.body["AlertsPerDay"].back()["ErrorAlerts"], 0);  // the 2020 one is older
  EXPECT_EQ(b.Get("/api/overview?days=0").status, 400);

  r = b.Get("/api/computers/" + pc7);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body["Address"], "PC7");
  EXPECT_EQ(r.body["DexVersion"], "7.2");
  EXPECT_EQ(r.body["VirusAlerts"].size(), 3u);
  r = b.Get("/api/computers/987654");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.ErrorText(), "Computer not found in database when trying to get computer details");
  EXPECT_EQ(b.Get("/api/computers/99999999999").status, 404);

  // Alerts newest first, filtered, paged.
  r = b.Get("/api/alerts?count=2");
  EXPECT_EQ(r.body["total"], 4);
  ASSERT_EQ(r.body["rows"].size(), 2u);
  EXPECT_EQ(r.body["rows"][0]["VirusName"], "V2");
  EXPECT_EQ(r.body["rows"][0]["ComputerName"], "PC7");
  EXPECT_EQ(b.Get("/api/alerts?offset=3").body["rows"][0]["MessageCode"], "E7");
  EXPECT_EQ(b.Get("/api/alerts?type=1").body["total"], 1);
  EXPECT_EQ(b.Get("/api/alerts?type=2&outstanding=1").body["total"], 2);
  EXPECT_EQ(b.Get("/api/alerts?outstanding=0").body["rows"][0]["VirusName"], "V0");
  EXPECT_EQ(b.Get("/api/alerts?computer=987654").body["total"], 0);
  EXPECT_EQ(b.Get("/api/alerts?type=3").status, 400);

  // The group tree ends with the unassigned group and its computers.
  r = b.Get("/api/groups");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body.back()["GroupID"], 4294967294u);
  EXPECT_EQ(r.body.back()["Computers"], 2);
}

TEST_F(WebApi, GroupsAlertsAndPurgeSettingsChangeWithTheSystemsOwnErrors)
{
  const std::string pc = Call("AddComputer", {{"@ComputerName", "PC1"}, {"@DomainName", "LAB"}, {"@OperatingSystem", "8"},
                                              {"@Description", ""}}, "@ComputerID");
  webtest::Browser b = LoggedIn();
  Reply r = b.Post("/api/groups", {{"parent", 4294967295u}, {"name", "Office"}});
  ASSERT_EQ(r.status, 200) << r.body;
  const unsigned office = r.body["GroupID"];
  const unsigned sales = b.Post("/api/groups", {{"parent", office}, {"name", "Sales"}}).body["GroupID"];
  const std::string g = "/api/groups/" + std::to_string(office);
  const std::string s = "/api/groups/" + std::to_string(sales);

  r = b.Post("/api/groups", {{"parent", office}, {"name", "sales"}});
  EXPECT_EQ(r.status, 409);
  EXPECT_EQ(r.ErrorText(), "Group name already exists: sales");
  r = b.Post("/api/groups", {{"parent", office}, {"name", "a/b"}});
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.ErrorText(), "Invalid group name");
  EXPECT_EQ(b.Post("/api/groups", {{"parent", office}, {"name", std::string(33, 'x')}}).status, 400);
  r = b.Post("/api/groups/4294967294/rename", {{"name", "x"}});
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.ErrorText(), "The operation \"SetName\" is not supported");
  EXPECT_EQ(b.Post("/api/groups/999999/rename", {{"name", "x"}}).ErrorText(), "Group not found");
  EXPECT_EQ(b.Post(g + "/move", {{"parent", sales}}).status, 409);  // into its own subgroup
  EXPECT_EQ(b.Post(g + "/delete").status, 409);                     // it has a subgroup
  EXPECT_EQ(b.Post(g + "/explode").status, 404);

  EXPECT_EQ(b.Post(s + "/rename", {{"name", "Sales EU"}}).status, 200);
  EXPECT_EQ(b.Post(s + "/add-computers", {{"computers", {std::stol(pc)}}}).status, 200);
  EXPECT_EQ(b.Post(s + "/move", {{"parent", 4294967295u}}).status, 200);
  r = b.Get("/api/groups");
  ASSERT_EQ(r.body.size(), 3u);  // Office, Sales EU, unassigned: both at the top now
  EXPECT_EQ(r.body[1]["Name"], "Sales EU");
  EXPECT_EQ(r.body[1]["Depth"], 1);
  EXPECT_EQ(r.body[1]["Computers"], 1);
  EXPECT_EQ(b.Post(s + "/add-computers", {{"computers", {987654}}}).status, 404);

  // A group made at the top gets the default anti-virus configuration; it goes back unchanged,
  // and a document that does not read leaves it as it was.
  r = b.Get(g + "/configuration");
  ASSERT_EQ(r.status, 200) << r.body;
  ASSERT_TRUE(r.body["DexConfigXML"].is_string());
  EXPECT_TRUE(r.body["AUConfigXML"].is_null());
  const std::string dex = r.body["DexConfigXML"];
  EXPECT_EQ(b.Post(g + "/configuration", {{"configuration", "anti-virus"}, {"xml", dex}}).status, 200);
  r = b.Post(g + "/configuration", {{"configuration", "anti-virus"}, {"xml", "<config"}});
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.ErrorCode(), "bad_request");
  EXPECT_EQ(b.Get(g + "/configuration").body["DexConfigXML"], dex);
  EXPECT_EQ(b.Post(s + "/delete").status, 200);

  // Alerts: details, the virus information link, dealt with one by one.
  Call("AddVirusAlert", {{"@ComputerID", pc}, {"@AlertTime", "now"}, {"@UserName", "alice"}, {"@VirusName", "EICAR"},
                         {"@VirusType", "1"}, {"@InfectedItem", "eicar.com"}, {"@ScannerType", "2"}, {"@ActionTaken", "3"}});
  const json alert = b.Get("/api/alerts").body["rows"][0];
  r = b.Get("/api/alerts/" + std::to_string(alert["AlertID"].get<long>()));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body["VirusName"], "EICAR");
  EXPECT_NE(r.body["VirusInformation"].get<std::string>().find("virus=EICAR"), std::string::npos);
  EXPECT_EQ(b.Post("/api/alerts/dealt-with", {{"computer", std::stol(pc)}, {"alert", alert["AlertID"]}}).status, 200);
  EXPECT_EQ(b.Get("/api/alerts?outstanding=1").body["total"], 0);
  EXPECT_EQ(b.Post("/api/alerts/dealt-with", {{"computer", 987654}}).status, 404);

  // Purge settings.
  r = b.Post("/api/purge-settings", {{"CompanyName", "Example Ltd"}, {"Method", 1}, {"Months", 12}, {"Maximum", 500}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(b.Get("/api/purge-settings").body,
            (json{{"CompanyName", "Example Ltd"}, {"Method", 1}, {"Months", 12}, {"Maximum", 500}}));
  EXPECT_EQ(b.Post("/api/purge-settings", {{"CompanyName", ""}, {"Method", 4}, {"Months", 12}, {"Maximum", 500}}).status, 400);
  r = b.Post("/api/purge-settings", {{"CompanyName", std::string(257, 'c')}, {"Method", 1}, {"Months", 12}, {"Maximum", 5}});
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.ErrorText(), "Invalid company name");
  EXPECT_EQ(b.Get("/api/purge-settings").body["CompanyName"], "Example Ltd");
}

TEST_F(WebApi, ADatabaseOrServiceThatIsDownIsAClearError)
{
  webtest::Browser b = LoggedIn();
  m_registry.Set(L"DatabaseName", L"corvex_no_such_database");
  Reply r = b.Get("/api/overview");
  EXPECT_EQ(r.status, 503) << r.body;
  EXPECT_EQ(r.ErrorCode(), "database_unavailable");
  m_registry.Set(L"DatabaseName", std::wstring(m_db.Name().begin(), m_db.Name().end()));
  EXPECT_EQ(b.Get("/api/overview").status, 200);

  // No service on the console socket.
  CRegKey key;
  key.Create(HKEY_LOCAL_MACHINE, L"Software\\Corvex\\KT\\Management Tools\\Management Service");
  key.SetStringValue(L"ConsoleSocket", FromUtf8(m_registry.Dir() + "/no-service.sock"));
  r = b.Get("/api/clocks");
  EXPECT_EQ(r.status, 503) << r.body;
  EXPECT_EQ(r.ErrorCode(), "service_unavailable");
  EXPECT_EQ(b.Get("/api/nothing").status, 404);
}

}  // namespace
