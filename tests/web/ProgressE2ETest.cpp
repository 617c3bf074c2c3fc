// The progress page of the web console against a real database: remote installations stage by
// stage through the API and in a headless Chromium that follows an attempt to its end. The
// stages are written through the procedure the service's install workers call, in the order
// they call it, with the install flags as the workers set them (an install over SSH is the
// install end-to-end test's; here the page is under test, not the installer). Log-in goes
// through PAM with throwaway accounts, which needs root: elsewhere the tests skip.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/businesslogic/TestSupport.h"
#include "tests/web/BrowserSupport.h"
#include "tests/web/DbTestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "tools/corvex-db/ProcedureCall.h"
#include "web/WebServer.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using webtest::Reply;

enum Stage { kQueued = 1, kConnecting, kCopying, kRunning, kDone, kFailed, kStopped };

class Progress : public ::testing::Test
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

  std::string Call(const std::string& name, const corvexdb::ProcedureArgs& args, const char* output = nullptr)
  {
    return webtest::CallProcedure(m_conn, name, args, output);
  }
  std::string Computer(const std::string& name)
  {
    return Call("AddComputer", {{"@ComputerName", name}, {"@DomainName", "CORP"}, {"@OperatingSystem", "8"}, {"@Description", ""}},
                "@ComputerID");
  }
  // What the workers write at each stage, flags and result included.
  void Reach(const std::string& id, Stage stage, int result = 0)
  {
    Call("InstallStageSet", {{"@ComputerID", id}, {"@Stage", std::to_string(stage)}, {"@Result", std::to_string(result)}});
    if (stage == kQueued)
      Call("SetComputerInstallPendingFlag", {{"@ComputerID", id}, {"@InstallPendingFlag", "1"}});
    if (stage == kRunning) {
      Call("SetComputerInstallInProgressFlag", {{"@ComputerID", id}, {"@InstallInProgressFlag", "1"}});
      Call("SetComputerInstallPendingFlag", {{"@ComputerID", id}, {"@InstallPendingFlag", "0"}});
    }
    if (stage == kDone || stage == kFailed) {
      Call("ComputerSetInstallResult", {{"@ComputerID", id}, {"@InstallResult", std::to_string(result)}, {"@InstallTime", std::nullopt}});
      Call("SetComputerInstallInProgressFlag", {{"@ComputerID", id}, {"@InstallInProgressFlag", "0"}});
      Call("SetComputerInstallPendingFlag", {{"@ComputerID", id}, {"@InstallPendingFlag", "0"}});
    }
  }
  webtest::Browser LogIn()
  {
    webtest::Browser b(m_port);
    const Reply r = b.LogIn(m_accounts->admin, m_accounts->password);
    EXPECT_EQ(r.status, 200) << r.body;
    return b;
  }
  static std::vector<std::string> StagesOf(const json& computer)
  {
    std::vector<std::string> v;
    for (const json& s : computer["Stages"])
      v.push_back(s["Stage"]);
    return v;
  }

  testsupport::TempRegistry m_registry;
  corvexdb::ScratchDatabase m_db{"corvex_progress"};
  corvexdb::PgConnection m_conn = m_db.Connect();
  std::unique_ptr<webtest::ThrowawayAccounts> m_accounts;
  corvexweb::ConsoleData m_data;
  webtest::RunningServer m_server;
  int m_port = 0;
};

}  // namespace

TEST_F(Progress, TheApiGivesEachComputersStagesInOrderWithTheCauseOfAFailure)
{
  webtest::Browser b = LogIn();
  const std::string pc1 = Computer("PC1"), pc2 = Computer("PC2"), pc3 = Computer("PC3"), idle = Computer("IDLE");
  for (Stage s : {kQueued, kConnecting, kCopying, kRunning})
    Reach(pc1, s);
  Reach(pc1, kDone, 0);
  Reach(pc2, kQueued);
  Reach(pc2, kConnecting);
  Reach(pc2, kFailed, 47);
  Reach(pc3, kQueued);
  Reach(pc3, kConnecting);
  Reach(pc3, kCopying);

  Reply r = b.Get("/api/progress/installs");
  ASSERT_EQ(r.status, 200) << r.body;
  ASSERT_EQ(r.body["total"], 3) << r.body;  // IDLE never had an attempt
  EXPECT_EQ(r.body["finished"], 2);
  EXPECT_EQ(r.body["counts"], (json{{"done", 1}, {"failed", 1}, {"copying", 1}}));
  std::map<std::string, json> byId;
  for (const json& c : r.body["computers"])
    byId[std::to_string(c["ComputerID"].get<long>())] = c;
  EXPECT_EQ(r.body["computers"][0]["ComputerID"], std::stol(pc3)) << "the latest moved first";
  EXPECT_EQ(StagesOf(byId[pc1]), (std::vector<std::string>{"queued", "connecting", "copying", "running", "done"}));
  EXPECT_EQ(byId[pc1]["Result"], 0);
  EXPECT_EQ(byId[pc1]["Failed"], false);
  EXPECT_EQ(StagesOf(byId[pc2]), (std::vector<std::string>{"queued", "connecting", "failed"}));
  EXPECT_EQ(byId[pc2]["Result"], 47);
  EXPECT_EQ(byId[pc2]["Failed"], true);
  EXPECT_NE(byId[pc2]["Cause"].get<std::string>().find("accepts no remote connections"), std::string::npos) << byId[pc2];
  EXPECT_EQ(byId[pc3]["Stage"], "copying");
  EXPECT_EQ(byId[pc3]["Finished"], false);
  EXPECT_EQ(byId[pc3]["Interrupted"], false);
  EXPECT_EQ(byId.count(idle), 0u);
  // Stage times are in order.
  const json& stages = byId[pc1]["Stages"];
  for (std::size_t i = 1; i < stages.size(); ++i)
    EXPECT_LE(stages[i - 1]["Time"].get<std::string>(), stages[i]["Time"].get<std::string>());

  // The service restarts: its start clears every flag, and the attempt left at copying reads as
  // interrupted, not as still under way.
  Call("ClearComputerInstallFlags", {});
  r = b.Get("/api/progress/installs?computers=" + pc3);
  ASSERT_EQ(r.status, 200) << r.body;
  ASSERT_EQ(r.body["computers"].size(), 1u);
  EXPECT_EQ(r.body["computers"][0]["Interrupted"], true);
  EXPECT_EQ(r.body["computers"][0]["Finished"], true);
  EXPECT_EQ(r.body["counts"], (json{{"interrupted", 1}}));

  // A new attempt forgets the stages of the one before.
  Reach(pc2, kQueued);
  r = b.Get("/api/progress/installs?computers=" + pc2 + "," + idle);
  ASSERT_EQ(r.status, 200) << r.body;
  ASSERT_EQ(r.body["computers"].size(), 1u) << r.body;
  EXPECT_EQ(StagesOf(r.body["computers"][0]), (std::vector<std::string>{"queued"}));
  EXPECT_GT(r.body["computers"][0]["Attempt"], byId[pc2]["Attempt"]);
  EXPECT_EQ(b.Get("/api/progress/installs?count=1").body["computers"].size(), 1u);
  // The console's Stop takes it off the queue before its turn: finished, not installed, and said so.
  Reach(pc2, kStopped);
  r = b.Get("/api/progress/installs?computers=" + pc2);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(StagesOf(r.body["computers"][0]), (std::vector<std::string>{"queued", "stopped"}));
  EXPECT_EQ(r.body["computers"][0]["Finished"], true);
  EXPECT_EQ(r.body["computers"][0]["Failed"], true);
  EXPECT_EQ(r.body["computers"][0]["Result"], nullptr);
  EXPECT_EQ(r.body["computers"][0]["Cause"], "taken off the queue before its turn (install stop)");

  // Bad requests are refused with a clear error; unknown stages and computers by the database.
  for (const char* bad : {"?computers=abc", "?computers=1,,2", "?computers=-1", "?computers=99999999999", "?hours=0",
                          "?hours=x", "?count=1001"}) {
    r = b.Get(std::string("/api/progress/installs") + bad);
    EXPECT_EQ(r.status, 400) << bad << " " << r.body;
    EXPECT_EQ(r.ErrorCode(), "bad_request") << bad;
  }
  EXPECT_EQ(corvexdb::CallProcedure(m_conn, "InstallStageSet", {{"@ComputerID", pc1}, {"@Stage", "8"}, {"@Result", "0"}}).returnValue, 1);
  EXPECT_EQ(corvexdb::CallProcedure(m_conn, "InstallStageSet", {{"@ComputerID", "999999"}, {"@Stage", "1"}, {"@Result", "0"}}).returnValue,
            39);
  EXPECT_EQ(webtest::Browser(m_port).Get("/api/progress/installs").status, 401);
}

TEST_F(Progress, ABrowserFollowsAnInstallToItsEnd)
{
  if (!webtest::ChromiumInstalled())
    GTEST_SKIP() << webtest::kNoChromium;
  const std::string pc1 = Computer("PC1"), pc2 = Computer("PC2");
  Reach(pc1, kQueued);
  Reach(pc2, kQueued);

  e2e::ScratchDir dir{"corvex-progress-browser"};
  webtest::ChromeDriver driver(dir.Path());
  ASSERT_TRUE(driver.Started()) << driver.Output();
  const std::string shots = SCREENSHOT_DIR;
  std::filesystem::create_directories(shots);
  {
    webtest::WebDriver browser(driver.Port(), dir / "profile");
    const std::string base = "https://127.0.0.1:" + std::to_string(m_port);
    ASSERT_TRUE(webtest::OpenLogIn(browser, base)) << "no log-in form";
    webtest::SubmitLogIn(browser, m_accounts->admin, m_accounts->password);
    ASSERT_TRUE(browser.Until("return document.querySelector('#tiles') !== null || document.querySelector('header nav a.active') !== null"));
    browser.Open(base + "/#/progress");

    auto stageShown = [&](const std::string& id) {
      return "const r = document.querySelector('#progress-installs tr[data-computer=\"" + id + "\"]'); return r && r.dataset.stage";
    };
    EXPECT_EQ(browser.WaitFor(stageShown(pc1)), "queued");
    EXPECT_EQ(browser.Script("return document.querySelector('#progress-install-text').textContent"), "0 of 2 finished, 2 under way");
    // The search's part: no search runs, and the page says so from the server's events.
    EXPECT_TRUE(browser.Until("const t = document.querySelector('#progress-search-text'); return t && t.textContent === 'No search is running.'"));

    // The page follows each stage as the worker writes it, without being reloaded.
    browser.Script("window.notReloaded = true;");
    for (Stage s : {kConnecting, kCopying, kRunning}) {
      Reach(pc1, s);
      const char* name = s == kConnecting ? "connecting" : s == kCopying ? "copying" : "running";
      EXPECT_EQ(browser.WaitFor("const r = document.querySelector('#progress-installs tr[data-computer=\"" + pc1 +
                                  "\"]'); return r && r.dataset.stage === '" + name + "' && r.dataset.stage",
                                10s),
                name);
      if (s == kCopying)
        browser.Screenshot(shots + "/progress-under-way.png");
    }
    Reach(pc1, kDone, 0);
    Reach(pc2, kConnecting);
    Reach(pc2, kFailed, 60);
    EXPECT_TRUE(browser.Until("return document.querySelector('#progress-install-text').textContent === '2 of 2 finished, 1 failed'", 10s))
      << browser.Script("return document.querySelector('#progress-install-text').textContent");
    EXPECT_EQ(browser.Script("return window.notReloaded === true"), true);
    EXPECT_EQ(browser.Script(stageShown(pc1)), "done");
    EXPECT_EQ(browser.Script(stageShown(pc2)), "failed");
    // Steps reached, and the diagnosed cause of the failure with its code.
    EXPECT_EQ(browser.Script("return [...document.querySelectorAll('#progress-installs tr[data-computer=\"" + pc1 +
                             "\"] li.reached, #progress-installs tr[data-computer=\"" + pc1 +
                             "\"] li.done')].map(l => l.dataset.step).join(' ')"),
              "queued connecting copying running done");
    const json cause = browser.Script("return document.querySelector('#progress-installs tr[data-computer=\"" + pc2 +
                                      "\"] td.cause').textContent");
    EXPECT_NE(cause.get<std::string>().find("host key is not recorded"), std::string::npos) << cause;
    EXPECT_NE(cause.get<std::string>().find("(60)"), std::string::npos) << cause;
    EXPECT_EQ(browser.Script("const b = document.querySelector('#progress-install-bar'); return b.value + '/' + b.max"), "2/2");
    browser.Screenshot(shots + "/progress.png");
  }
  driver.Stop();
}
