// The web console with every program real: nats-server and the relay, the service, simulated
// agents and corvex-web itself. Actions from the API reach the service's console objects; a headless
// Chromium logs in, sees every page with the data of a seeded database, and follows a change
// live through the change clocks. Screenshots go to the build folder (web-screenshots/).
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tests/web/BrowserSupport.h"
#include "tests/web/WebTestSupport.h"
#include "tools/corvex-db/DatabaseTool.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

int FreePort()
{
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

class WebConsole : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (!webtest::ThrowawayAccounts::CanMake())
      GTEST_SKIP() << "log-in goes through PAM with throwaway accounts, which needs root";
    m_accounts = std::make_unique<webtest::ThrowawayAccounts>();
    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    m_port = FreePort();
    char port[16];
    std::snprintf(port, sizeof port, "%08x", m_port);
    e2e::WriteFile(m_dir / "registry.reg",
                   e2e::ReadFile(m_dir / "registry.reg") +
                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Web Console]\n"
                     "\"ListenAddress\"=\"127.0.0.1\"\n\"Port\"=dword:" + port + "\n"
                     "\"CertificateFile\"=\"" + m_dir / "tls/cert.pem" + "\"\n\"KeyFile\"=\"" + m_dir / "tls/key.pem" + "\"\n"
                     "\"SessionIdleMinutes\"=dword:0000000f\n"
                     // An outbreak is two computers reporting one virus within an hour, looked
                     // for every 5 seconds.
                     "\"OutbreakComputers\"=dword:00000002\n\"OutbreakMinutes\"=dword:0000003c\n"
                     "\"OutbreakCheckSeconds\"=dword:00000005\n");
    std::string registry = e2e::ReadFile(m_dir / "registry.reg");
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]\n";
    // The service's metrics on a port of this test's own: the overview reads its queue from them.
    char metricsPort[16];
    std::snprintf(metricsPort, sizeof metricsPort, "%08x", FreePort());
    registry.insert(registry.find(key) + key.size(), "\"ConsoleAdministratorsGroup\"=\"" + m_accounts->group + "\"\n" +
                                                       "\"MetricsPort\"=dword:" + metricsPort + "\n");
    e2e::WriteFile(m_dir / "registry.reg", registry);

    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=2", "CORVEX_TRACE_FILE=" + m_dir / "trace.log"};
    e2e::ChildProcess reg(RUDADIZ_PATH, {"-RegServer"}, m_env, m_dir / "regserver.out");
    ASSERT_EQ(reg.Wait(), 0);
    m_messaging = std::make_unique<e2e::MessagingLocation>(m_dir.Path());
    m_service = std::make_unique<e2e::ChildProcess>(RUDADIZ_PATH, std::vector<std::string>{}, m_env, m_dir / "service.out");
    ASSERT_TRUE(e2e::WaitForText(m_dir / "trace.log", "Connect done.", 15s)) << e2e::ReadFile(m_dir / "service.out");
    m_web = std::make_unique<e2e::ChildProcess>(WEB_PATH, std::vector<std::string>{},
                                                std::vector<std::string>{"CORVEX_REGISTRY=" + m_dir / "registry.reg",
                                                                         "CORVEX_EVENTLOG_FILE=" + m_dir / "events.log"},
                                                m_dir / "web.out");
    ASSERT_TRUE(m_web->WaitForOutput("listening on https://127.0.0.1:" + std::to_string(m_port) + "/")) << m_web->Output();
  }

  void TearDown() override
  {
    for (auto* p : {&m_driver, &m_agents, &m_web, &m_service})
      if (*p)
        (*p)->Signal(SIGTERM);
    if (m_web) {
      EXPECT_EQ(m_web->Wait(10s), 0) << m_web->Output();
    }
    if (m_service) {
      EXPECT_EQ(m_service->Wait(20s), 0) << e2e::ReadFile(m_dir / "service.out");
    }
  }

  void StartAgents(int count)
  {
    m_agents = std::make_unique<e2e::ChildProcess>(
      AGENT_SIM_PATH,
      std::vector<std::string>{"--messaging", m_messaging->Directory(), "--enrol", "--agents", std::to_string(count),
                               "--service", "PTLManagementService"},
      std::vector<std::string>{}, m_dir / "agents.out", e2e::ChildInput::Pipe);
    ASSERT_TRUE(m_agents->WaitForOutput(" connected", 15s, count)) << m_agents->Output();
  }
  std::string Computer(const std::string& address)
  {
    return Sql("SELECT \"@ComputerID\" FROM dbo.\"ComputerFromAddressNameDomain\"('" + address + "', '" + address + "', 'CORP')");
  }
  std::string Sql(const std::string& query) { return m_db.Exec(query).Text(0, 0); }
  std::string WaitForSql(const std::string& query, const std::string& expected, std::chrono::seconds timeout = 20s)
  {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::string answer;
    while ((answer = Sql(query)) != expected && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(100ms);
    return answer;
  }

  e2e::ScratchDir m_dir{"corvex-e2e-web"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_web"};
  corvexdb::PgConnection m_db{m_database.Connect()};
  std::unique_ptr<webtest::ThrowawayAccounts> m_accounts;
  std::vector<std::string> m_env;
  int m_port = 0;
  std::unique_ptr<e2e::MessagingLocation> m_messaging;
  std::unique_ptr<e2e::ChildProcess> m_service, m_web, m_agents, m_driver;
};

}  // namespace

TEST_F(WebConsole, ActionsReachTheServicesConsoleObjects)
{
  StartAgents(2);
  const std::string pc1 = Computer("PC1"), pc2 = Computer("PC2");
  const std::string group = Sql("SELECT \"@GroupID\" FROM dbo.\"AddGroup\"(NULL, 'Office')");
  Sql("SELECT \"@RETURN_VALUE\" FROM dbo.\"AddComputerToGroup\"(" + pc2 + ", " + group + ")");
  webtest::Browser b(m_port);
  ASSERT_EQ(b.LogIn(m_accounts->admin, m_accounts->password).status, 200);
  const json clocks = b.Get("/api/clocks").body;

  // A refresh brings the agents' details into the database and moves the computer-state clock.
  webtest::Reply r = b.Post("/api/actions/refresh", {{"computers", {std::stol(pc1), std::stol(pc2)}}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body["queued"], 2);
  const std::string connected = "SELECT count(*) FROM dbo.\"Computers\" WHERE \"Connected\" AND \"OperatingSystem\" = 8";
  EXPECT_EQ(WaitForSql(connected, "2"), "2") << e2e::ReadFile(m_dir / "trace.log");
  EXPECT_NE(b.Get("/api/clocks").body["1"], clocks["1"]);

  // By group: the group's members only.
  r = b.Post("/api/actions/update-now", {{"group", std::stoul(group)}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body["computers"], json::array({std::stol(pc2)}));
  EXPECT_TRUE(e2e::WaitForText(m_dir / "trace.log", "Sending DoAction(UpdateNow) to managed computer (ID " + pc2 + ")", 20s));
  r = b.Post("/api/actions/send-config", {{"computers", {std::stol(pc1), std::stol(pc2)}}, {"configuration", "anti-virus"}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_TRUE(e2e::WaitForText(m_dir / "trace.log", "Sending DexConfig To ManagedComputer id " + pc2, 10s));
  r = b.Post("/api/actions/central-config", {{"computers", {std::stol(pc1)}}, {"on", false}});
  EXPECT_EQ(r.status, 200) << r.body;

  // An install request reaches the service's install object (which checks and queues it); the
  // queue is emptied again.
  r = b.Post("/api/actions/install", {{"computers", {std::stol(pc1)}}, {"user", "CORP\\admin"}, {"password", "install-secret"}});
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(b.Post("/api/actions/install", {{"computers", {std::stol(pc1)}}}).status, 400);
  EXPECT_EQ(b.Post("/api/actions/install-stop").status, 200);

  // A search of no domains starts and finishes at once; the service's listener calls reach the
  // browser as server-sent events.
  r = b.Post("/api/search", {{"domains", json::array()}, {"user", "scanner"}, {"password", "search-secret"}});
  ASSERT_EQ(r.status, 200) << r.body;
  const std::string events = b.Stream("/api/search/events", "\"event\":\"started\"");
  EXPECT_NE(events.find("data: {"), std::string::npos) << events;
  EXPECT_NE(events.find("\"event\":\"started\""), std::string::npos) << events;
  EXPECT_EQ(b.Post("/api/search", {{"domains", {1}}, {"user", "u"}, {"password", "p"}}).status, 400);
  EXPECT_EQ(b.Post("/api/search/stop").status, 200);

  // What the actions refuse, before the service is asked.
  EXPECT_EQ(b.Post("/api/actions/central-config", {{"computers", {1}}}).status, 400);
  EXPECT_EQ(b.Post("/api/actions/send-config", {{"computers", {1}}, {"configuration", "all"}}).status, 400);
  EXPECT_EQ(b.Post("/api/actions/refresh", {{"computers", {"PC1"}}}).status, 400);
  EXPECT_EQ(b.Post("/api/actions/refresh", json::object()).status, 400);
  EXPECT_EQ(b.Post("/api/actions/refresh", {{"group", 999999}}).status, 404);
  EXPECT_EQ(b.Post("/api/actions/reboot", {{"computers", {1}}}).status, 404);
  b.ForgetCsrf();
  EXPECT_EQ(b.Post("/api/actions/refresh", {{"computers", {1}}}).status, 403);

  // An outbreak from the agents themselves: both simulated computers report a virus, and the
  // console's own watch (no page asks) reports it once to the event log; the banner's API names it.
  EXPECT_TRUE(b.Get("/api/outbreaks").body["Outbreaks"].empty());
  m_agents->Write("event all virus\n");
  json outbreaks;
  for (int i = 0; i < 200 && (outbreaks = b.Get("/api/outbreaks").body["Outbreaks"]).empty(); ++i)
    std::this_thread::sleep_for(100ms);
  ASSERT_EQ(outbreaks.size(), 1u) << e2e::ReadFile(m_dir / "trace.log");
  EXPECT_EQ(outbreaks[0]["Computers"], 2);
  const std::string virus = outbreaks[0]["VirusName"];
  EXPECT_EQ(virus, Sql("SELECT \"VirusName\" FROM dbo.\"Alerts\" WHERE \"AlertType\" = 2 LIMIT 1"));
  const std::string reported = "Virus outbreak: \"" + virus + "\" reported by 2 computers within 60 minutes";
  EXPECT_TRUE(e2e::WaitForText(m_dir / "events.log", reported, 15s)) << e2e::ReadFile(m_dir / "events.log");
  std::this_thread::sleep_for(6s);  // one more look of the watch: still one report
  const std::string log = e2e::ReadFile(m_dir / "events.log");
  EXPECT_EQ(log.find(reported), log.rfind(reported)) << log;
  const json view = b.Get("/api/outbreaks/virus?name=" + virus).body;
  EXPECT_EQ(view["Computers"].size(), 2u) << view;

  // No password reaches the web console's event log or output.
  for (const std::string& file : {m_dir / "events.log", m_dir / "web.out"})
    for (const std::string& secret : {m_accounts->password, std::string("search-secret"), std::string("install-secret")})
      EXPECT_EQ(e2e::ReadFile(file).find(secret), std::string::npos) << file;
}

TEST_F(WebConsole, ABrowserLogsInAndSeesEveryPageLive)
{
  if (!webtest::ChromiumInstalled())
    GTEST_SKIP() << webtest::kNoChromium;
  // A seeded fleet: 3,000 computers in two groups with alerts, and one agent.
  m_db.Exec("INSERT INTO dbo.\"Groups\" (\"ParentID\", \"Name\") VALUES (NULL, 'Head office');"
            "INSERT INTO dbo.\"Groups\" (\"ParentID\", \"Name\") SELECT \"GroupID\", 'Sales' FROM dbo.\"Groups\";"
            "INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"DomainName\", \"GroupID\", \"MessageSystemAddress\", \"Connected\","
            " \"OperatingSystem\", \"DexInstalled\", \"DexRunning\", \"DexOnAccess\")"
            " SELECT 'WS' || lpad(i::text, 4, '0'), 'CORP', (SELECT min(\"GroupID\") FROM dbo.\"Groups\") + i % 2, 'WS' || i,"
            " i % 4 <> 0, 8, true, true, true FROM generate_series(1, 3000) i;"
            "SELECT dbo.\"AddVirusAlert\"(c.\"ComputerID\", localtimestamp - make_interval(days => c.\"ComputerID\" % 20), 'alice',"
            " 'EICAR', 1, 'C:\\eicar.com', 1, 2) FROM dbo.\"Computers\" c WHERE c.\"ComputerID\" % 50 = 0;");
  StartAgents(1);
  const std::string pc1 = Computer("PC1");

  const int driverPort = FreePort();
  m_driver = std::make_unique<e2e::ChildProcess>("/usr/bin/chromedriver", std::vector<std::string>{"--port=" + std::to_string(driverPort)},
                                                 std::vector<std::string>{}, m_dir / "chromedriver.out");
  ASSERT_TRUE(m_driver->WaitForOutput("started successfully", 15s)) << m_driver->Output();
  const std::string shots = SCREENSHOT_DIR;
  std::filesystem::create_directories(shots);
  webtest::WebDriver browser(driverPort, m_dir / "profile");
  const std::string base = "https://127.0.0.1:" + std::to_string(m_port);

  browser.Open(base + "/");
  ASSERT_TRUE(browser.Until("return document.querySelector('#login') !== null")) << "no log-in form";
  browser.Screenshot(shots + "/login.png");
  browser.Type("#login input[name=user]", m_accounts->admin);
  browser.Type("#login input[name=password]", "wrong");
  browser.Click("#login button");
  EXPECT_TRUE(browser.Until("return document.querySelector('#login-error').textContent"));
  browser.Type("#login input[name=password]", m_accounts->password);
  browser.Click("#login button");

  // Overview: the counts of the seeded fleet (3,001 computers, 60 open virus alerts).
  const json computers = browser.WaitFor("const t = document.querySelector('[data-tile=\"Computers\"] .value'); return t && t.textContent");
  ASSERT_FALSE(computers.is_null()) << "the overview never showed";
  EXPECT_EQ(computers, "3,001");
  EXPECT_EQ(browser.Script("return document.querySelector('[data-tile=\"Open virus alerts\"] .value').textContent"), "60");
  EXPECT_EQ(browser.Script("return document.querySelectorAll('#chart rect').length"), 60);  // two bars a day
  // The service's own counters: the tiles of a service that answers, with its queue's depth.
  EXPECT_EQ(browser.Script("const t = document.querySelector('[data-tile=\"Processing queue\"] .value');"
                           "return t !== null && /^[0-9,]+$/.test(t.textContent)"), true);
  EXPECT_TRUE(browser.Script("return document.querySelector('[data-tile=\"Applied per second\"]') !== null"));
  browser.Screenshot(shots + "/overview.png");

  // Computers: the first rows, then the last ones after scrolling the whole list.
  browser.Open(base + "/#/computers");
  EXPECT_EQ(browser.WaitFor("const r = document.querySelector('.row[data-id] a'); return r && r.textContent"), "PC1");
  EXPECT_EQ(browser.Script("return document.querySelector('#computer-count').textContent"), "(3,001)");
  const json shown = browser.Script("return document.querySelectorAll('.row').length");
  EXPECT_GT(shown, 10);
  EXPECT_LT(shown, 100);  // only the rows in sight are in the page
  browser.Screenshot(shots + "/computers.png");
  browser.Script("const g = document.querySelector('#computer-grid'); g.scrollTop = g.scrollHeight;");
  EXPECT_TRUE(browser.Until("return [...document.querySelectorAll('.row[data-id] a')].some(a => a.textContent === 'WS3000')"));
  browser.Screenshot(shots + "/computers-end.png");

  // Live: a refresh of PC1 through the service makes its row show it connected, unreloaded.
  browser.Script("const g = document.querySelector('#computer-grid'); g.scrollTop = 0;");
  ASSERT_TRUE(browser.Until("const r = document.querySelector('.row[data-id=\"" + pc1 + "\"]'); return r && r.textContent.includes('not managed') === false && r.textContent.includes('unknown')"));
  EXPECT_EQ(browser.Script("return document.querySelector('.row[data-id=\"" + pc1 + "\"]').textContent.includes('Windows XP')"), false);
  browser.Script("const c = document.querySelector('.row[data-id=\"" + pc1 + "\"] input'); c.click();");
  browser.Click("#computer-actions button[data-action=refresh]");
  EXPECT_TRUE(browser.Until("const r = document.querySelector('.row[data-id=\"" + pc1 + "\"]'); return r && r.textContent.includes('Windows XP')", 30s))
    << Sql("SELECT \"OperatingSystem\" || ' ' || coalesce(\"Connected\"::text, '-') FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + pc1)
    << " clocks " << browser.Script("return JSON.stringify(state.clocks)");
  browser.Screenshot(shots + "/computers-live.png");

  browser.Open(base + "/#/computer/" + pc1);
  EXPECT_EQ(browser.WaitFor("const t = document.querySelector('#computer-title'); return t && t.textContent"), "PC1");
  browser.Screenshot(shots + "/computer.png");

  browser.Open(base + "/#/groups");
  EXPECT_TRUE(browser.Until("return [...document.querySelectorAll('#group-tree li')].map(l => l.textContent).join('|').includes('Sales1500 computers')"));
  browser.Screenshot(shots + "/groups.png");

  browser.Open(base + "/#/alerts");
  EXPECT_EQ(browser.WaitFor("return document.querySelector('#alert-count').textContent"), "(60)");
  EXPECT_EQ(browser.Script("return document.querySelectorAll('#alert-table tr[data-alert]').length"), 60);
  browser.Screenshot(shots + "/alerts.png");

  browser.Open(base + "/#/search");
  EXPECT_TRUE(browser.Until("const p = document.querySelector('#search-progress'); return p && p.textContent.includes('No search')"));
  browser.Screenshot(shots + "/search.png");
}
