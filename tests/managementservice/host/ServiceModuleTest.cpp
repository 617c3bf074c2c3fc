// The rudadiz executable as a process: registration, service installation, and start-up as a
// local server or as a service reporting to a (fake) service manager.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "messaging/Enrolment.h"

#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class RudadizTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    char tmpl[] = "/tmp/corvex-rudadiz-XXXXXX";
    m_dir = ::mkdtemp(tmpl);
    m_env = {"CORVEX_REGISTRY=" + m_dir + "/registry.reg", "CORVEX_SYSTEMD_UNIT_DIR=" + m_dir + "/units",
             "CORVEX_TRACE_FILE=" + m_dir + "/trace.log", "CORVEX_TRACE_LEVEL=3", "PATH=/usr/bin:/bin",
             "CORVEX_EVENTLOG_FILE=" + m_dir + "/events.log"};
  }
  void TearDown() override
  {
    // A failure shows the end of the service's trace, which goes with the folder.
    if (HasFailure()) {
      const std::string trace = Read(m_dir + "/trace.log");
      std::cerr << "--- end of the service's trace ---\n" << trace.substr(trace.size() > 20000 ? trace.size() - 20000 : 0);
    }
    fs::remove_all(m_dir);
  }

  struct Result
  {
    int exitCode = -1;
    std::string err;  // standard output and error
  };

  Result Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
  {
    std::unique_ptr<e2e::ChildProcess> p = Start(args, extraEnv);
    return Finish(*p);
  }

  std::unique_ptr<e2e::ChildProcess> Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
  {
    std::vector<std::string> env = m_env;
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    fs::remove(m_dir + "/output");
    return std::make_unique<e2e::ChildProcess>(RUDADIZ_PATH, args, env, m_dir + "/output");
  }

  Result Finish(e2e::ChildProcess& p)
  {
    Result r;
    r.exitCode = p.Wait(std::chrono::seconds(30));
    r.err = Read(m_dir + "/output");
    return r;
  }

  static std::string Read(const std::string& path) { return e2e::ReadFile(path); }
  std::string Registry() const { return Read(m_dir + "/registry.reg"); }
  std::string UnitPath() const { return m_dir + "/units/corvex-management-service.service"; }

  void WriteRegistry(const std::string& body) const
  {
    std::ofstream(m_dir + "/registry.reg") << "Windows Registry Editor Version 5.00\n\n" << body;
  }
  // The registry a start-up needs: the database, the console group and socket, and the
  // messaging library's private key.
  void WritablePrivateKey(const std::string& group = "root", const std::string& database = "") const
  {
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools]\n"
                  "\"ServerLocation\"=\".\"\n\"DatabaseInstance\"=\"\"\n"
                  "\"DatabaseName\"=\"" + (database.empty() ? m_database.Name() : database) + "\"\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]\n"
                  "\"ConsoleAdministratorsGroup\"=\"" + group + "\"\n"
                  "\"ConsoleSocket\"=\"" + m_dir + "/console.sock\"\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service\\Private]\n"
                  "\"Messaging\"=\"" + MessagingDirectory() + "\"\n");
  }

  // The service's credentials for a messaging server that does not run: it starts all the
  // same and keeps trying to reach it in the background.
  std::string MessagingDirectory() const
  {
    const std::string dir = m_dir + "/messaging";
    if (!fs::exists(dir + "/url")) {
      messaging::enrolment::ServerSettings settings;
      settings.host = "127.0.0.1";
      settings.listen = "127.0.0.1";
      settings.port = 9;  // nothing listens there
      messaging::enrolment::Init(dir, settings);
      messaging::enrolment::Enrol(dir, {"PTLManagementService"});
    }
    return dir;
  }

  // Waits until the trace shows the text (start-up done), for at most a few seconds.
  bool WaitForTrace(const std::string& text) const
  {
    for (int i = 0; i < 100; ++i) {
      if (Read(m_dir + "/trace.log").find(text) != std::string::npos)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string m_dir;
  std::vector<std::string> m_env;
  corvexdb::ScratchDatabase m_database{"corvex_rudadiz"};
};

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// A datagram socket standing in for systemd's notification socket.
class FakeServiceManager
{
public:
  explicit FakeServiceManager(const std::string& path) : m_path(path)
  {
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval tv{0, 100000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~FakeServiceManager() { ::close(m_fd); }
  std::vector<std::string> Drain()
  {
    std::vector<std::string> out;
    char buf[1024];
    for (;;) {
      const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
      if (n <= 0)
        return out;
      out.emplace_back(buf, static_cast<std::size_t>(n));
    }
  }

private:
  std::string m_path;
  int m_fd;
};

}  // namespace

TEST_F(RudadizTest, RegServerWritesTheClassesAppIdAndTypeLibraryAndUnregServerRemovesThem)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  const std::string reg = Registry();
  for (const char* clsid : {"{94118687-66D6-464D-8893-94A0851C4C50}", "{88BF2A27-B563-4780-A82B-0D5BE60BAA5B}",
                            "{02D2BE0B-53CF-4c57-B6B1-0FCB348C843F}", "{FD90B831-6406-4DCF-BAB6-E5046C12E6CA}",
                            "{FE990909-05E1-406E-A90F-56DF96696C47}"}) {
    const std::string key = std::string("[HKEY_CLASSES_ROOT\\CLSID\\") + clsid;
    EXPECT_TRUE(Has(reg, key + "\\LocalServer32]\n@=\"" RUDADIZ_PATH "\"")) << clsid;
    EXPECT_TRUE(Has(reg, key + "\\TypeLib]\n@=\"{233739DD-ECF7-4803-AE70-7647A67B44D3}\"")) << clsid;
    EXPECT_TRUE(Has(reg, key + "]\n@=")) << clsid;
  }
  EXPECT_TRUE(Has(reg, "[HKEY_CLASSES_ROOT\\ManagementService.Clocks]\n@=\"Clocks Class\""));
  EXPECT_TRUE(Has(reg, "[HKEY_CLASSES_ROOT\\ManagementService.Clocks\\CurVer]\n@=\"ManagementService.Clocks.1\""));
  EXPECT_TRUE(Has(reg, "[HKEY_CLASSES_ROOT\\ManagementService.ComputerActions.1\\CLSID]\n@=\"{94118687-66D6-464D-8893-94A0851C4C50}\""));
  EXPECT_TRUE(Has(reg, "{88BF2A27-B563-4780-A82B-0D5BE60BAA5B}\\Programmable]"));
  EXPECT_FALSE(Has(reg, "{94118687-66D6-464D-8893-94A0851C4C50}\\Programmable]"));
  EXPECT_TRUE(Has(reg, "[HKEY_CLASSES_ROOT\\AppID\\{E0992E08-C43F-4419-BDD8-E60F19CB0AA3}]\n@=\"ManagementService\""));
  EXPECT_TRUE(Has(reg, "[HKEY_CLASSES_ROOT\\AppID\\RudaDiz.EXE]\n\"AppID\"=\"{E0992E08-C43F-4419-BDD8-E60F19CB0AA3}\""));
  EXPECT_TRUE(Has(reg, "[HKEY_CLASSES_ROOT\\TypeLib\\{233739DD-ECF7-4803-AE70-7647A67B44D3}\\1.0]"));
  EXPECT_FALSE(Has(reg, "LocalService"));
  EXPECT_FALSE(fs::exists(UnitPath()));

  ASSERT_EQ(Run({"/unregserver"}).exitCode, 0);
  const std::string after = Registry();
  EXPECT_FALSE(Has(after, "ManagementService"));
  EXPECT_FALSE(Has(after, "{94118687"));
  EXPECT_FALSE(Has(after, "RudaDiz.EXE"));
  EXPECT_TRUE(Has(after, "[HKEY_CLASSES_ROOT\\AppID]"));  // never removed
  EXPECT_TRUE(Has(after, "[HKEY_CLASSES_ROOT\\CLSID]"));
}

TEST_F(RudadizTest, RegisterSwitchWinsOverServiceWhateverTheOrder)
{
  for (const auto& args : {std::vector<std::string>{"-Service", "-RegServer"}, {"/REGSERVER", "/service"}}) {
    ASSERT_EQ(Run(args).exitCode, 0);
    EXPECT_FALSE(Has(Registry(), "LocalService"));
    EXPECT_FALSE(fs::exists(UnitPath()));
  }
}

TEST_F(RudadizTest, ServiceSwitchInstallsTheUnitOnceAndUnregServerRemovesIt)
{
  ASSERT_EQ(Run({"-Service"}).exitCode, 0);
  EXPECT_TRUE(Has(Registry(), "\"LocalService\"=\"Corvex Management Service\""));
  const std::string unit = Read(UnitPath());
  EXPECT_TRUE(Has(unit, "Type=notify"));
  EXPECT_TRUE(Has(unit, "Restart=on-failure"));
  EXPECT_TRUE(Has(unit, "ExecStart=\"" RUDADIZ_PATH "\""));

  // Registering again uninstalls the old service first and installs a fresh one.
  std::ofstream(UnitPath(), std::ios::app) << "# edited by the administrator\n";
  ASSERT_EQ(Run({"-Service"}).exitCode, 0);
  EXPECT_FALSE(Has(Read(UnitPath()), "# edited by the administrator"));
  EXPECT_TRUE(Has(Read(UnitPath()), "Type=notify"));

  // Registering as a local server uninstalls the service.
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(UnitPath()));
  EXPECT_FALSE(Has(Registry(), "LocalService"));

  ASSERT_EQ(Run({"-Service"}).exitCode, 0);
  ASSERT_EQ(Run({"-UnregServer"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(UnitPath()));
}

TEST_F(RudadizTest, UnwritableUnitFolderIsReportedAsServiceManagerFailure)
{
  m_env[1] = "CORVEX_SYSTEMD_UNIT_DIR=/proc/corvex-no-such-dir";
  const Result r = Run({"-Service"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_TRUE(Has(r.err, "Corvex Management Service: Could not open Service Manager")) << r.err;
}

TEST_F(RudadizTest, WithoutLocalServiceItRunsAsALocalServerAndStopsOnSigterm)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  WritablePrivateKey();
  const std::string notify = m_dir + "/notify";
  FakeServiceManager scm(notify);
  const auto process = Start({}, {"NOTIFY_SOCKET=" + notify});
  ASSERT_TRUE(WaitForTrace("### Service started"));
  struct stat st{};
  ASSERT_EQ(::stat((m_dir + "/console.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // without console security only the owner may connect
  process->Signal(SIGTERM);
  const Result r = Finish(*process);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(scm.Drain().empty());  // a local server makes no service manager calls
  EXPECT_TRUE(Has(Read(m_dir + "/trace.log"), "Fudging success to S_OK"));
}

TEST_F(RudadizTest, AsAServiceItReportsEachStateToTheServiceManager)
{
  ASSERT_EQ(Run({"-Service"}).exitCode, 0);
  std::string reg = Registry();
  WritablePrivateKey();
  std::ofstream(m_dir + "/registry.reg", std::ios::app) << reg.substr(reg.find('\n'));
  const std::string notify = m_dir + "/notify";
  FakeServiceManager scm(notify);
  const auto process = Start({}, {"NOTIFY_SOCKET=" + notify});
  ASSERT_TRUE(WaitForTrace("### Service started"));
  struct stat st{};
  ASSERT_EQ(::stat((m_dir + "/console.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);  // the console administrators group may connect
  EXPECT_EQ(st.st_gid, 0u);             // the group configured: root
  std::vector<std::string> seen = scm.Drain();
  process->Signal(SIGTERM);
  const Result r = Finish(*process);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  for (auto& m : scm.Drain())
    seen.push_back(m);
  ASSERT_GE(seen.size(), 4u);
  EXPECT_TRUE(Has(seen[0], "STATUS=Starting"));
  EXPECT_TRUE(Has(seen[1], "EXTEND_TIMEOUT_USEC=120000000"));
  EXPECT_TRUE(Has(seen[2], "READY=1"));
  EXPECT_TRUE(Has(seen[3], "STOPPING=1"));
  EXPECT_TRUE(Has(seen.back(), "STATUS=Stopped"));
}

TEST_F(RudadizTest, AMissingConsoleGroupStopsTheServiceAtStartUp)
{
  ASSERT_EQ(Run({"-Service"}).exitCode, 0);
  std::string reg = Registry();
  WritablePrivateKey("corvex-no-such-group");
  std::ofstream(m_dir + "/registry.reg", std::ios::app) << reg.substr(reg.find('\n'));
  const std::string notify = m_dir + "/notify";
  FakeServiceManager scm(notify);
  const Result r = Run({}, {"NOTIFY_SOCKET=" + notify});
  EXPECT_EQ(r.exitCode, 0x80070534 & 0xFF);  // HRESULT of "no mapping between account names and SIDs"
  const auto seen = scm.Drain();
  for (const auto& m : seen)
    EXPECT_FALSE(Has(m, "READY=1"));
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(Has(seen.back(), "STATUS=Stopped"));
  EXPECT_TRUE(Has(Read(m_dir + "/trace.log"), "Parent's PreMessageLoop failed"));
}

TEST_F(RudadizTest, ARegisteredServiceStartedOutsideTheServiceManagerFails)
{
  ASSERT_EQ(Run({"-Service"}).exitCode, 0);
  EXPECT_EQ(Run({}).exitCode, 1063 & 0xFF);  // the dispatcher could not connect
}

TEST_F(RudadizTest, AReadOnlyPrivateKeyStopsStartUpThroughTheComErrorBranch)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  std::string reg = Registry();
  WritablePrivateKey();
  std::ofstream(m_dir + "/registry.reg", std::ios::app) << reg.substr(reg.find('\n'));
  ASSERT_EQ(::chmod((m_dir + "/registry.reg").c_str(), 0444), 0);
  const Result r = Run({});
  EXPECT_EQ(r.exitCode, 5);  // E_ACCESSDENIED's low byte
  EXPECT_TRUE(Has(Read(m_dir + "/trace.log"), "Caught COM error(Access is denied.)"));
}

TEST_F(RudadizTest, ADatabaseOfAnotherInterfaceVersionStopsStartUp)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  const std::string classes = Registry();
  for (int version : {7, 9}) {
    WritablePrivateKey();
    std::ofstream(m_dir + "/registry.reg", std::ios::app) << classes.substr(classes.find('\n'));
    m_database.Connect().Exec("UPDATE dbo.\"InterfaceVersion\" SET \"MajorVersion\" = " + std::to_string(version));
    fs::remove(m_dir + "/events.log");
    const Result r = Run({});
    EXPECT_EQ(r.exitCode, 5);  // E_FAIL's low byte
    const std::string events = Read(m_dir + "/events.log");
    EXPECT_TRUE(Has(events, "0xC0001F47 1 [" + std::to_string(version) + "|8]")) << events;
    EXPECT_TRUE(Has(Read(m_dir + "/trace.log"), "Wrong database interface version, got " + std::to_string(version) + ", expected 8"));
  }
}

TEST_F(RudadizTest, AnUnreachableDatabaseStopsStartUpThroughTheComErrorBranch)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  const std::string classes = Registry();
  WritablePrivateKey("root", "corvex_no_such_database");
  std::ofstream(m_dir + "/registry.reg", std::ios::app) << classes.substr(classes.find('\n'));
  const Result r = Run({});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_TRUE(Has(Read(m_dir + "/events.log"), "0xC0001F44 1 [")) << Read(m_dir + "/events.log");
  EXPECT_FALSE(Has(Read(m_dir + "/trace.log"), "### Service started"));
}

// Where each of the texts first appears in the trace, in the order given; npos for a missing one.
std::vector<std::size_t> Positions(const std::string& trace, const std::vector<std::string>& texts)
{
  std::vector<std::size_t> at;
  for (const auto& t : texts)
    at.push_back(trace.find(t));
  return at;
}

// The texts appear in the trace, each after the one before it.
::testing::AssertionResult InOrder(const std::string& trace, const std::vector<std::string>& texts)
{
  const std::vector<std::size_t> at = Positions(trace, texts);
  for (std::size_t i = 0; i < at.size(); ++i) {
    if (at[i] == std::string::npos)
      return ::testing::AssertionFailure() << "missing: " << texts[i];
    if (i > 0 && at[i] < at[i - 1])
      return ::testing::AssertionFailure() << "`" << texts[i] << "` before `" << texts[i - 1] << "`";
  }
  return ::testing::AssertionSuccess();
}

TEST_F(RudadizTest, AFailedStartRollsBackWhatItReachedNewestFirst)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  const std::string classes = Registry();
  // The messaging library finds no directory: its local initialisation fails with a run-time
  // error after the session, discovery and the ORB are up.
  WritablePrivateKey();
  std::string reg = Read(m_dir + "/registry.reg");
  const std::string messaging = MessagingDirectory();
  reg.replace(reg.find(messaging), messaging.size(), m_dir + "/nowhere");
  WriteRegistry(reg.substr(reg.find("\n\n") + 2) + classes.substr(classes.find('\n')));
  const Result r = Run({});
  EXPECT_EQ(r.exitCode, 5);  // E_FAIL's low byte
  const std::string events = Read(m_dir + "/events.log");
  EXPECT_TRUE(Has(events, "0x0000029C 1 [InitialiseClientLibraryLocal: cannot read " + m_dir + "/nowhere/url] "
                          "The service could not start because of a run-time error: InitialiseClientLibraryLocal"))
      << events;
  const std::string trace = Read(m_dir + "/trace.log");
  EXPECT_TRUE(InOrder(trace, {"InitORB done.", "Start-up rolled back: ORB shut down", "Start-up rolled back: client library released",
                              "Start-up rolled back: computer discovery stopped", "Start-up rolled back: database session closed",
                              "Caught runtime_error(InitialiseClientLibraryLocal"}));
  // Nothing that was not reached is undone, and the service never ran.
  EXPECT_FALSE(Has(trace, "Start-up rolled back: client library shut down"));
  EXPECT_FALSE(Has(trace, "Start-up rolled back: receiver deleted"));
  EXPECT_FALSE(Has(trace, "### Service started"));
  EXPECT_FALSE(Has(trace, "PostMessageLoop"));
}

TEST_F(RudadizTest, AFailedInterfaceVersionCallIsReportedAndClosesTheSessionOnly)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  const std::string classes = Registry();
  WritablePrivateKey();
  std::ofstream(m_dir + "/registry.reg", std::ios::app) << classes.substr(classes.find('\n'));
  m_database.Connect().Exec("DROP FUNCTION dbo.\"GetInterfaceVersion\"");
  const Result r = Run({});
  EXPECT_EQ(r.exitCode, 0x80040E37 & 0xFF);  // the failed call's HRESULT
  const std::string events = Read(m_dir + "/events.log");
  EXPECT_TRUE(Has(events, "0xC0001F46 1 [")) << events;
  EXPECT_TRUE(Has(events, "A database or COM error occurred: ")) << events;
  const std::string trace = Read(m_dir + "/trace.log");
  EXPECT_TRUE(InOrder(trace, {"GetInterfaceVersion failed with 0x80040E37", "Start-up rolled back: database session closed"}));
  EXPECT_FALSE(Has(trace, "Start-up rolled back: computer discovery stopped"));
  EXPECT_FALSE(Has(trace, "InitORB done."));
}

TEST_F(RudadizTest, ShutdownStopsEachPartInOrder)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  const std::string classes = Registry();
  WritablePrivateKey();
  std::ofstream(m_dir + "/registry.reg", std::ios::app) << classes.substr(classes.find('\n'));
  auto p = Start({});
  ASSERT_TRUE(WaitForTrace("### Service started"));
  ::kill(p->Pid(), SIGTERM);
  EXPECT_EQ(Finish(*p).exitCode, 0);
  const std::string trace = Read(m_dir + "/trace.log");
  const std::string shutdown = trace.substr(trace.find("> CManagementServiceModule::PostMessageLoop"));
  EXPECT_TRUE(InOrder(shutdown, {"> __thiscall Receiver::~Receiver", "< void __cdecl Receiver::processing",
                                 "UpdateNowQueue::Stop(): the thread successfully stopped.", "< InstallTaskQueue::ThreadWorker()",
                                 "< InstallResultQueue::ThreadWorker()", "Stopping computer discovery handlers",
                                 "Stopped computer discovery handlers", "### Closing database session.",
                                 "> ComputerDiscovery::~ComputerDiscovery()", "< CManagementServiceModule::PostMessageLoop"}));
  EXPECT_FALSE(Has(trace, "Start-up rolled back"));
}

TEST_F(RudadizTest, TheProcessingThreadEndsTheServiceWith9999WhenTheDatabaseIsLost)
{
  ASSERT_EQ(Run({"-RegServer"}).exitCode, 0);
  const std::string classes = Registry();
  WritablePrivateKey();
  std::ofstream(m_dir + "/registry.reg", std::ios::app) << classes.substr(classes.find('\n'));
  auto p = Start({});
  ASSERT_TRUE(WaitForTrace("### Service started"));
  // The database goes away under the running service and does not come back.
  corvexdb::PgConnection admin(m_database.Options(), "postgres");
  admin.Exec("ALTER DATABASE " + m_database.Name() + " ALLOW_CONNECTIONS false");
  admin.Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + m_database.Name() + "'");
  // The processing thread notices on its next pass; a console request makes sure it has one (it
  // may find the service gone already, which is why its answer does not matter).
  e2e::ChildProcess(CORVEXCTL_PATH, {"refresh", "1"}, m_env, m_dir + "/ctl-output").Wait(std::chrono::seconds(30));
  const Result r = Finish(*p);
  admin.Exec("ALTER DATABASE " + m_database.Name() + " ALLOW_CONNECTIONS true");
  EXPECT_EQ(r.exitCode, 9999 & 0xFF);
  EXPECT_TRUE(Has(Read(m_dir + "/trace.log"), "Receiver::processing(): Caught ConnectToDatabaseFailed exception"));
  const std::string events = Read(m_dir + "/events.log");
  EXPECT_TRUE(Has(events, "0xC0001F46 1 [")) << events;
  EXPECT_FALSE(Has(Read(m_dir + "/trace.log"), "### Closing database session.")) << "the process ends without shutting down";
}
