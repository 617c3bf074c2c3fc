// The audit trail and read-only viewers through the web console's API against a real database:
// an administrator's changes are recorded with who, when, from where and what; a viewer reads
// everything, every change of theirs is refused and recorded; the purge never touches the
// trail; the CSV export quotes its cells; and a browser shows a viewer no change controls. Log-in
// goes through PAM with throwaway accounts, which needs root: elsewhere the tests skip.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/eventlog/EventLog.h"
#include "platform/text/Unicode.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/web/BrowserSupport.h"
#include "tests/web/DbTestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "tools/corvex-db/ProcedureCall.h"
#include "web/ApiError.h"
#include "web/ConsoleAudit.h"
#include "web/WebServer.h"

namespace {

using nlohmann::json;
using webtest::Reply;

constexpr const char* kRoot = "4294967295";

// A viewers group with one member, and an account in both groups.
class ViewerAccounts
{
public:
  ViewerAccounts(const std::string& administratorsGroup, const std::string& password)
  {
    const std::string tag = std::to_string(::getpid());
    group = "cvxvg" + tag;
    viewer = "cvxvv" + tag;
    both = "cvxvb" + tag;
    Run("groupadd " + group);
    Run("useradd -M -N -s /usr/sbin/nologin -G " + group + " " + viewer);
    Run("useradd -M -N -s /usr/sbin/nologin -G " + group + "," + administratorsGroup + " " + both);
    Run("printf '%s\\n' '" + viewer + ":" + password + "' '" + both + ":" + password + "' | chpasswd");
  }
  ~ViewerAccounts()
  {
    Run("userdel " + viewer);
    Run("userdel " + both);
    Run("groupdel " + group);
  }
  ViewerAccounts(const ViewerAccounts&) = delete;
  ViewerAccounts& operator=(const ViewerAccounts&) = delete;

  std::string group, viewer, both;

private:
  static void Run(const std::string& command) { (void)std::system((command + " >/dev/null 2>&1").c_str()); }
};

class Audit : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (!webtest::ThrowawayAccounts::CanMake())
      GTEST_SKIP() << "log-in goes through PAM with throwaway accounts, which needs root";
    m_accounts = std::make_unique<webtest::ThrowawayAccounts>();
    m_viewers = std::make_unique<ViewerAccounts>(m_accounts->group, m_accounts->password);
    m_registry.SetLocation(L".", L"", std::wstring(m_db.Name().begin(), m_db.Name().end()));
    corvexweb::WebSettings settings = webtest::LoopbackSettings(m_registry.Dir());
    settings.administratorsGroup = m_accounts->group;
    settings.viewersGroup = m_viewers->group;
    m_port = m_server.Start(settings, m_data);
  }

  webtest::Browser LogIn(const std::string& user)
  {
    webtest::Browser b(m_port);
    const Reply r = b.LogIn(user, m_accounts->password);
    EXPECT_EQ(r.status, 200) << r.body;
    return b;
  }
  // The trail as the database holds it, oldest first.
  json Trail()
  {
    const corvexdb::PgResult rows = m_conn.Exec(
      "SELECT \"Account\", \"Source\", \"Console\", \"Action\", \"Target\", \"Detail\", \"Outcome\", \"OutcomeText\","
      " extract(epoch FROM \"EntryTime\")::bigint FROM dbo.\"AuditTrail\" ORDER BY \"AuditID\"");
    json out = json::array();
    for (int r = 0; r < rows.Rows(); ++r)
      out.push_back({{"account", rows.Text(r, 0)}, {"source", rows.Text(r, 1)}, {"console", rows.Text(r, 2)},
                     {"action", rows.Text(r, 3)}, {"target", rows.Text(r, 4)}, {"detail", rows.Text(r, 5)},
                     {"outcome", rows.Text(r, 6)}, {"text", rows.Text(r, 7)}, {"epoch", std::stoll(rows.Text(r, 8))}});
    return out;
  }
  long long Count(const std::string& table)
  {
    return std::stoll(m_conn.Exec("SELECT count(*) FROM dbo.\"" + table + "\"").Text(0, 0));
  }
  std::string Call(const std::string& name, const corvexdb::ProcedureArgs& args, const char* output = nullptr)
  {
    return webtest::CallProcedure(m_conn, name, args, output);
  }
  testsupport::TempRegistry m_registry;
  corvexdb::ScratchDatabase m_db{"corvex_audit"};
  corvexdb::PgConnection m_conn = m_db.Connect();
  std::unique_ptr<webtest::ThrowawayAccounts> m_accounts;
  std::unique_ptr<ViewerAccounts> m_viewers;
  corvexweb::ConsoleData m_data;
  webtest::CapturedEvents m_events;
  webtest::RunningServer m_server;
  int m_port = 0;
};

TEST_F(Audit, AnAdministratorsChangesAreRecordedWithWhoWhenFromWhereAndWhat)
{
  webtest::Browser admin = LogIn(m_accounts->admin);
  EXPECT_EQ(admin.Get("/api/session").body["role"], "administrator");
  const long long before = std::time(nullptr);

  Reply r = admin.Post("/api/groups", {{"parent", std::stoll(kRoot)}, {"name", "Audited"}});
  ASSERT_EQ(r.status, 200) << r.body;
  const std::string group = std::to_string(r.body["GroupID"].get<long long>());
  EXPECT_EQ(admin.Post("/api/groups/" + group + "/rename", {{"name", "Audited twice"}}).status, 200);
  // Refused by the database (a second group of that name) and by the server (a bad body).
  EXPECT_EQ(admin.Post("/api/groups", {{"parent", std::stoll(kRoot)}, {"name", "Audited twice"}}).status, 409);
  EXPECT_EQ(admin.Post("/api/purge-settings", {{"CompanyName", "x"}, {"Method", 9}, {"Months", 1}, {"Maximum", 1}}).status, 400);
  // No service runs: the action fails, and the install password never reaches the trail.
  r = admin.Post("/api/actions/install", {{"computers", {1, 2}}, {"user", "LAB\\setup"}, {"password", "install-secret"}});
  EXPECT_GE(r.status, 500) << r.body;
  // Requests without the session's CSRF token are refused and still recorded under the session.
  webtest::Browser noToken = LogIn(m_accounts->admin);
  noToken.ForgetCsrf();
  EXPECT_EQ(noToken.Post("/api/search/stop").status, 403);

  const json trail = Trail();
  ASSERT_EQ(trail.size(), 6u) << trail.dump(1);
  for (const json& e : trail) {
    EXPECT_EQ(e["account"], m_accounts->admin);
    EXPECT_EQ(e["source"], "127.0.0.1");
    EXPECT_EQ(e["console"], "web");
    EXPECT_GE(e["epoch"].get<long long>(), before - 2);
    EXPECT_LE(e["epoch"].get<long long>(), std::time(nullptr) + 2);
    EXPECT_EQ(e.dump().find("install-secret"), std::string::npos) << e;
  }
  EXPECT_EQ(trail[0]["action"], "group-create");
  EXPECT_EQ(trail[0]["target"], "group " + group);
  EXPECT_EQ(trail[0]["detail"], "name \"Audited\", under group " + std::string(kRoot));
  EXPECT_EQ(trail[0]["outcome"], "done");
  EXPECT_EQ(trail[1]["action"], "group-rename");
  EXPECT_EQ(trail[1]["detail"], "name \"Audited twice\"");
  EXPECT_EQ(trail[2]["outcome"], "refused");
  EXPECT_NE(trail[2]["text"].get<std::string>().find("HTTP 409"), std::string::npos) << trail[2];
  EXPECT_EQ(trail[3]["action"], "purge-settings");
  EXPECT_EQ(trail[3]["outcome"], "refused");
  EXPECT_EQ(trail[4]["action"], "install");
  EXPECT_EQ(trail[4]["target"], "computers 1, 2");
  EXPECT_EQ(trail[4]["detail"], "account \"LAB\\setup\"");
  EXPECT_EQ(trail[4]["outcome"], "failed");
  EXPECT_EQ(trail[5]["action"], "search-stop");
  EXPECT_NE(trail[5]["text"].get<std::string>().find("CSRF"), std::string::npos);

  // The page: newest first, filtered by account, action (a beginning) and time, in pages.
  r = admin.Get("/api/audit");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body["total"], 6);
  EXPECT_EQ(r.body["rows"][0]["Action"], "search-stop");
  EXPECT_EQ(r.body["rows"][5]["Action"], "group-create");
  EXPECT_EQ(r.body["rows"][5]["DatabaseUser"], m_conn.Exec("SELECT session_user").Text(0, 0));
  EXPECT_EQ(admin.Get("/api/audit?action=group-").body["total"], 3);
  EXPECT_EQ(admin.Get("/api/audit?action=group_").body["total"], 0);  // "_" is no wildcard
  EXPECT_EQ(admin.Get("/api/audit?account=" + m_accounts->admin + "&action=install").body["total"], 1);
  EXPECT_EQ(admin.Get("/api/audit?account=nobody").body["total"], 0);
  EXPECT_EQ(admin.Get("/api/audit?since=2999-01-01").body["total"], 0);
  EXPECT_EQ(admin.Get("/api/audit?since=2000-01-01T00:00Z&until=2999-12-31T23:59:59").body["total"], 6);
  r = admin.Get("/api/audit?offset=4&count=1");
  EXPECT_EQ(r.body["rows"].size(), 1u);
  EXPECT_EQ(r.body["rows"][0]["Action"], "group-rename");
  for (const char* bad : {"since=yesterday", "since=2024-13-01", "until=2024-01-01T25:00", "count=0", "count=1001", "offset=-1"}) {
    r = admin.Get(std::string("/api/audit?") + bad);
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_EQ(r.ErrorCode(), "bad_request") << bad;
  }
  // Reading the trail changes nothing in it.
  EXPECT_EQ(Count("AuditTrail"), 6);
}

TEST_F(Audit, AViewerReadsEverythingAndEveryChangeIsRefusedAndRecorded)
{
  webtest::Browser viewer = LogIn(m_viewers->viewer);
  EXPECT_EQ(viewer.Get("/api/session").body["role"], "viewer");
  for (const char* path : {"/api/computers", "/api/alerts", "/api/groups", "/api/purge-settings", "/api/overview", "/api/audit"})
    EXPECT_EQ(viewer.Get(path).status, 200) << path;

  const std::string group = Call("AddGroup", {{"@NewParentID", std::nullopt}, {"@Name", "Kept"}}, "@GroupID");
  const std::vector<std::pair<std::string, json>> changes{
    {"/api/groups", {{"parent", std::stoll(kRoot)}, {"name", "Viewer's"}}},
    {"/api/groups/" + group + "/rename", {{"name", "Renamed"}}},
    {"/api/groups/" + group + "/move", {{"parent", std::stoll(kRoot)}}},
    {"/api/groups/" + group + "/delete", json::object()},
    {"/api/groups/" + group + "/add-computers", {{"computers", {1}}}},
    {"/api/groups/" + group + "/configuration", {{"configuration", "update"}, {"xml", "<x/>"}}},
    {"/api/alerts/dealt-with", {{"computer", 1}}},
    {"/api/purge-settings", {{"CompanyName", "x"}, {"Method", 2}, {"Months", 1}, {"Maximum", 0}}},
    {"/api/search", {{"domains", {"LAB"}}, {"user", ""}, {"password", ""}}},
    {"/api/search/stop", json::object()},
    {"/api/actions/refresh", {{"computers", {1}}}},
    {"/api/actions/install", {{"computers", {1}}, {"user", "u"}, {"password", "viewer-secret"}}},
    {"/api/actions/install-stop", json::object()},
  };
  for (const auto& [path, body] : changes) {
    const Reply r = viewer.Post(path, body);
    EXPECT_EQ(r.status, 403) << path;
    EXPECT_EQ(r.ErrorCode(), "read_only") << path;
  }
  // Nothing changed...
  EXPECT_EQ(Count("Groups"), 1);
  EXPECT_EQ(m_conn.Exec("SELECT \"Name\" FROM dbo.\"Groups\"").Text(0, 0), "Kept");
  // ...and every refusal is in the trail under the viewer's name.
  const json trail = Trail();
  ASSERT_EQ(trail.size(), changes.size());
  for (const json& e : trail) {
    EXPECT_EQ(e["account"], m_viewers->viewer);
    EXPECT_EQ(e["outcome"], "refused");
    EXPECT_NE(e["text"].get<std::string>().find("HTTP 403"), std::string::npos) << e;
    EXPECT_EQ(e.dump().find("viewer-secret"), std::string::npos);
  }
  EXPECT_EQ(trail[3]["action"], "group-delete");
  EXPECT_EQ(trail[3]["target"], "group " + group);
  EXPECT_EQ(trail[10]["action"], "refresh");

  // An account in both groups is an administrator.
  webtest::Browser both = LogIn(m_viewers->both);
  EXPECT_EQ(both.Get("/api/session").body["role"], "administrator");
  EXPECT_EQ(both.Post("/api/groups/" + group + "/rename", {{"name", "Renamed"}}).status, 200);
  // An account in neither group still cannot log in.
  webtest::Browser outsider(m_port);
  EXPECT_EQ(outsider.LogIn(m_accounts->outsider, m_accounts->password).status, 401);
}

TEST_F(Audit, ThePurgeLeavesTheTrailAloneAndTheTrailCannotBeRewritten)
{
  const std::string pc = Call("AddComputer", {{"@ComputerName", "PC1"}, {"@DomainName", "LAB"}, {"@OperatingSystem", "8"},
                                              {"@Description", ""}}, "@ComputerID");
  for (int i = 0; i < 5; ++i)
    Call("AddVirusAlert", {{"@ComputerID", pc}, {"@AlertTime", "2001-01-01 00:00:00"}, {"@UserName", "alice"},
                           {"@VirusName", "EICAR"}, {"@VirusType", "1"}, {"@InfectedItem", "C:\\x"}, {"@ScannerType", "1"},
                           {"@ActionTaken", "1"}});
  // Entries older than every alert, so that a purge by age would take them if it looked.
  m_conn.Exec("INSERT INTO dbo.\"AuditTrail\" (\"EntryTime\", \"Account\", \"Source\", \"Console\", \"Action\", \"Outcome\")"
              " SELECT '1990-01-01'::timestamp + make_interval(days => i), 'old', 'local (uid 0)', 'corvexctl', 'refresh', 'done'"
              " FROM generate_series(1, 50) i");

  webtest::Browser admin = LogIn(m_accounts->admin);
  // Purge by age and by count, keeping nothing.
  ASSERT_EQ(admin.Post("/api/purge-settings", {{"CompanyName", "Example"}, {"Method", 3}, {"Months", 1}, {"Maximum", 0}}).status, 200);
  EXPECT_EQ(Count("Alerts"), 0);
  Call("PurgeAlerts", {});
  EXPECT_EQ(Count("AuditTrail"), 51);  // the old entries and the purge's own
  EXPECT_EQ(Trail()[50]["action"], "purge-settings");
  EXPECT_EQ(Trail()[50]["detail"], "method 3, months 1, maximum 0, company name \"Example\"");

  // Append-only, even for the database's owner.
  EXPECT_THROW(m_conn.Exec("DELETE FROM dbo.\"AuditTrail\""), corvexdb::DbError);
  EXPECT_THROW(m_conn.Exec("UPDATE dbo.\"AuditTrail\" SET \"Account\" = 'someone else'"), corvexdb::DbError);
  EXPECT_THROW(m_conn.Exec("TRUNCATE dbo.\"AuditTrail\""), corvexdb::DbError);
  EXPECT_EQ(Count("AuditTrail"), 51);
}

TEST_F(Audit, AChangeWhoseEntryCannotBeWrittenIsAnsweredAsAnErrorAndLogged)
{
  webtest::Browser admin = LogIn(m_accounts->admin);
  m_conn.Exec("ALTER TABLE dbo.\"AuditTrail\" RENAME TO \"AuditTrailAway\"");
  const Reply r = admin.Post("/api/groups", {{"parent", std::stoll(kRoot)}, {"name", "Unrecorded"}});
  m_conn.Exec("ALTER TABLE dbo.\"AuditTrailAway\" RENAME TO \"AuditTrail\"");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.ErrorCode(), "audit_failed");
  EXPECT_NE(r.ErrorText().find("(done)"), std::string::npos) << r.ErrorText();
  EXPECT_EQ(Count("Groups"), 1);  // the change itself was made, and the answer says so
  bool logged = false;
  for (const EventRecord& e : m_events.All())
    if (e.id == corvexweb::kEventAuditFailed) {
      logged = true;
      EXPECT_NE(e.text.find(L"group-create"), std::wstring::npos);
      EXPECT_NE(e.text.find(FromUtf8(m_accounts->admin)), std::wstring::npos);
    }
  EXPECT_TRUE(logged);
  // The next change is recorded again.
  EXPECT_EQ(admin.Post("/api/groups", {{"parent", std::stoll(kRoot)}, {"name", "Recorded"}}).status, 200);
  EXPECT_EQ(Count("AuditTrail"), 1);
}

// Change controls the page offers: laid out, not hidden, and not disabled.
const char* const kVisibleChangeControls =
  "return [...document.querySelectorAll('form.edit button, form.edit input, form.edit select, form.edit textarea, .actions, [data-dealt]')]"
  ".filter(e => e.getClientRects().length > 0 && !e.disabled).length";

TEST_F(Audit, ABrowserShowsAViewerNoChangeControlsAndTheAuditPage)
{
  if (!webtest::ChromiumInstalled())
    GTEST_SKIP() << webtest::kNoChromium;
  const std::string pc = Call("AddComputer", {{"@ComputerName", "PC1"}, {"@DomainName", "LAB"}, {"@OperatingSystem", "8"},
                                              {"@Description", ""}}, "@ComputerID");
  Call("AddVirusAlert", {{"@ComputerID", pc}, {"@AlertTime", "now"}, {"@UserName", "alice"}, {"@VirusName", "EICAR"},
                         {"@VirusType", "1"}, {"@InfectedItem", "C:\\x"}, {"@ScannerType", "1"}, {"@ActionTaken", "1"}});
  webtest::Browser admin = LogIn(m_accounts->admin);
  ASSERT_EQ(admin.Post("/api/groups", {{"parent", std::stoll(kRoot)}, {"name", "Seen"}}).status, 200);
  ASSERT_EQ(admin.Post("/api/groups", {{"parent", std::stoll(kRoot)}, {"name", "Seen"}}).status, 409);

  const std::filesystem::path dir = m_registry.Dir();
  webtest::ChromeDriver driver(dir);
  ASSERT_TRUE(driver.Started()) << driver.Output();
  const std::string shots = SCREENSHOT_DIR;
  std::filesystem::create_directories(shots);
  webtest::WebDriver browser(driver.Port(), dir / "profile");
  const std::string base = "https://127.0.0.1:" + std::to_string(m_port);

  // The administrator's pages have change controls: the check below can see them.
  ASSERT_TRUE(webtest::OpenLogIn(browser, base));
  webtest::SubmitLogIn(browser, m_accounts->admin, m_accounts->password);
  ASSERT_TRUE(browser.Until("return document.querySelector('#who').textContent !== ''"));
  browser.Open(base + "/#/groups");
  EXPECT_TRUE(browser.Until("return document.querySelector('#group-tree li') !== null"));
  EXPECT_GT(browser.Script(kVisibleChangeControls).get<int>(), 0);
  browser.Click("#logout");
  ASSERT_TRUE(browser.Until("return document.querySelector('#login') !== null"));

  // The viewer's: none on any page, while the data is there.
  webtest::SubmitLogIn(browser, m_viewers->viewer, m_accounts->password);
  ASSERT_TRUE(browser.Until("return document.querySelector('#who').textContent.includes('(viewer)')"));
  const std::vector<std::pair<std::string, std::string>> pages{
    {"groups", "#group-tree li[data-group]"}, {"computers", "#computer-grid .row, #computer-grid [data-computer]"},
    {"computer/" + pc, "#computer-details dt"}, {"alerts", "#alert-table tr[data-alert]"}, {"search", "#search-progress"}};
  for (const auto& [page, content] : pages) {
    browser.Open(base + "/#/" + page);
    EXPECT_TRUE(browser.Until("return document.querySelector('" + content + "') !== null")) << page;
    EXPECT_EQ(browser.Script(kVisibleChangeControls), 0) << page;
    if (page == "groups" || page == "alerts")
      browser.Screenshot(shots + "/viewer-" + page + ".png");
  }
  // What the controls would change is still there to read.
  browser.Open(base + "/#/alerts");
  EXPECT_TRUE(browser.Until("const c = document.querySelector('#alert-table tr[data-alert] td:last-child');"
                            "return c !== null && c.textContent === 'outstanding'"));
  EXPECT_TRUE(browser.Until("const p = document.querySelector('#purge'); return p !== null && p.Months.value !== '' && p.Months.disabled"));

  // The audit page lists the administrator's changes, newest first, and offers the export.
  browser.Open(base + "/#/audit");
  ASSERT_TRUE(browser.Until("return document.querySelectorAll('#audit-table tr[data-audit]').length === 2"))
    << browser.Script("return document.querySelector('#view').innerText");
  EXPECT_EQ(browser.Script("return document.querySelector('#audit-table tr[data-audit] td:nth-child(4)').textContent"), "group-create");
  EXPECT_EQ(browser.Script("return document.querySelector('#audit-table tr[data-audit] td:nth-child(7)').textContent.startsWith('refused')"),
            true);
  EXPECT_EQ(browser.Script("return document.querySelector('#audit-count').textContent"), "(2)");
  browser.Type("#audit-filters input[name=account]", "nobody");
  browser.Click("#audit-filters button");
  EXPECT_TRUE(browser.Until("return document.querySelector('#audit-count').textContent === '(0)'"));
  EXPECT_EQ(browser.Script("return document.querySelector('#audit-csv').getAttribute('href')"), "/api/audit.csv?account=nobody");
  browser.Screenshot(shots + "/audit.png");
}

// Splits a CSV text into records of cells, following the quoting rules.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text)
{
  std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
        records.back().back() += '"', ++i;
      else if (c == '"')
        quoted = false;
      else
        records.back().back() += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      records.back().emplace_back();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++i;
      records.emplace_back(1);
    } else {
      records.back().back() += c;
    }
  }
  if (records.back().size() == 1 && records.back()[0].empty())
    records.pop_back();
  return records;
}

TEST_F(Audit, TheCsvExportStreamsTheWholeFilteredTrailWithItsCellsQuoted)
{
  // More entries than one piece of the export, and texts that need quoting or defusing.
  m_conn.Exec("INSERT INTO dbo.\"AuditTrail\" (\"Account\", \"Source\", \"Console\", \"Action\", \"Target\", \"Outcome\")"
              " SELECT 'bulk', 'local (uid 0)', 'corvexctl', 'refresh', 'computer ' || i, 'done' FROM generate_series(1, 2500) i");
  m_conn.Exec("INSERT INTO dbo.\"AuditTrail\" (\"Account\", \"Source\", \"Console\", \"Action\", \"Target\", \"Detail\", \"Outcome\")"
              " VALUES ('odd', '10.0.0.1', 'web', 'group-rename', 'group 1', 'name \"A, B\"' || chr(10) || 'next', 'done'),"
              "        ('odd', '10.0.0.1', 'web', 'group-create', '=HYPERLINK(\"x\")', '', 'done')");
  webtest::Browser viewer = LogIn(m_viewers->viewer);  // reading the trail is a viewer's right too

  httplib::SSLClient client("127.0.0.1", m_port);
  client.enable_server_certificate_verification(false);
  auto res = client.Get("/api/audit.csv?account=odd", {{"Cookie", viewer.Cookie()}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(res->get_header_value("Content-Type").rfind("text/csv", 0), 0u);
  auto records = ParseCsv(res->body);
  ASSERT_EQ(records.size(), 3u) << res->body;
  const auto& header = records[0];
  ASSERT_EQ(header, corvexweb::ConsoleAudit::Columns());
  EXPECT_EQ(records[1][5], "group-create");
  EXPECT_EQ(records[1][6], "'=HYPERLINK(\"x\")");  // shown, never run
  EXPECT_EQ(records[2][7], "name \"A, B\"\nnext");
  EXPECT_EQ(records[2][3], "10.0.0.1");

  // The whole trail, newest first, each entry once, across the export's pieces.
  res = client.Get("/api/audit.csv", {{"Cookie", viewer.Cookie()}});
  ASSERT_TRUE(res);
  records = ParseCsv(res->body);
  ASSERT_EQ(records.size(), 2503u);
  long long last = 1LL << 62;
  for (std::size_t i = 1; i < records.size(); ++i) {
    const long long id = std::stoll(records[i][0]);
    ASSERT_LT(id, last) << "row " << i;
    last = id;
  }
  EXPECT_EQ(last, 1);

  // Without a session, or with a filter that does not read: an error, not a file.
  webtest::Browser anonymous(m_port);
  EXPECT_EQ(anonymous.Get("/api/audit.csv").status, 401);
  EXPECT_EQ(viewer.Get("/api/audit.csv?since=soon").status, 400);
}

TEST(AuditDescription, NamesEachChangeWithoutItsSecretsOrDocuments)
{
  using corvexweb::DescribeChange;
  auto e = DescribeChange("/api/actions/send-config", R"({"group": 7, "subgroups": true, "configuration": "anti-virus"})", 200,
                          R"({"queued": 12})");
  EXPECT_EQ(e.action, "send-config");
  EXPECT_EQ(e.target, "group 7 (with subgroups)");
  EXPECT_EQ(e.detail, "anti-virus configuration");
  EXPECT_EQ(e.outcome, "done");
  EXPECT_EQ(e.outcomeText, "queued 12");

  json many = json::array();
  for (int i = 1; i <= 25; ++i)
    many.push_back(i);
  e = DescribeChange("/api/actions/central-config", json{{"computers", many}, {"on", false}}.dump(), 502,
                     R"({"error": {"code": "service_error", "message": "refused by the service"}})");
  EXPECT_EQ(e.target.rfind("computers 1, 2, ", 0), 0u) << e.target;
  EXPECT_NE(e.target.find("(25 in all)"), std::string::npos) << e.target;
  EXPECT_EQ(e.target.find("21"), std::string::npos) << e.target;
  EXPECT_EQ(e.detail, "off");
  EXPECT_EQ(e.outcome, "failed");
  EXPECT_EQ(e.outcomeText, "HTTP 502: refused by the service");

  const std::string xml(5000, 'x');
  e = DescribeChange("/api/groups/9/configuration", json{{"configuration", "update"}, {"xml", xml}}.dump(), 200, "{}");
  EXPECT_EQ(e.detail, "update configuration, 5000 bytes");
  e = DescribeChange("/api/search", R"({"domains": ["LAB", "CORP"], "user": "LAB\\me", "password": "s3cret"})", 200, "{}");
  EXPECT_EQ(e.action, "search-start");
  EXPECT_EQ(e.target, "LAB, CORP");
  EXPECT_EQ((e.target + e.detail + e.outcomeText).find("s3cret"), std::string::npos);
  // A change of a route this list does not know is named by its address.
  e = DescribeChange("/api/outbreak/rule", R"({"computers": 5})", 200, "{}");
  EXPECT_EQ(e.action, "outbreak-rule");
  // A body that is not JSON still gives an entry.
  e = DescribeChange("/api/alerts/dealt-with", "not json", 400, "not json either");
  EXPECT_EQ(e.action, "alerts-dealt-with");
  EXPECT_EQ(e.outcome, "refused");
  EXPECT_EQ(e.outcomeText, "HTTP 400");
}

TEST(AuditDescription, TimeFiltersReadOnlyAsUtcDates)
{
  EXPECT_EQ(corvexweb::AuditTime("", "since"), "");
  EXPECT_EQ(corvexweb::AuditTime("2024-05-02", "since"), "2024-05-02 00:00:00");
  EXPECT_EQ(corvexweb::AuditTime("2024-05-02T08:30Z", "since"), "2024-05-02 08:30:00");
  EXPECT_EQ(corvexweb::AuditTime("2024-05-02 08:30:15", "since"), "2024-05-02 08:30:15");
  for (const char* bad : {"2024-5-2", "2024-05-02T8:30", "2024-00-10", "2024-05-32", "2024-05-02T24:00", "now", "2024-05-02; DROP"})
    EXPECT_THROW(corvexweb::AuditTime(bad, "since"), corvexweb::ApiError) << bad;
}

}  // namespace
