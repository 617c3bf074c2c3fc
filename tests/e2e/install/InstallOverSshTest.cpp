// Remote installation end to end: the service and corvexctl as processes, a private sshd on a
// loopback port with its own host key and configuration, and a throwaway account with a
// password. Needs root (to make the account and run sshd); skips elsewhere.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "platform/text/Unicode.h"
#include "security/Obscurer.h"
#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvex-db/ProcedureCall.h"

using namespace std::chrono_literals;

namespace {

constexpr int kInstallIntervalMs = 1500;

std::string RandomWord(std::size_t n)
{
  static const char kChars[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::random_device rd;
  std::string s;
  for (std::size_t i = 0; i < n; ++i)
    s += kChars[rd() % (sizeof kChars - 1)];
  return s;
}

int FreeLoopbackPort()
{
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool Accepts(int port)
{
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

// The forms a password takes in a process of ours: UTF-8, the wide text (UTF-32) and UTF-16.
std::vector<std::string> MemoryForms(const std::string& ascii)
{
  std::string utf32, utf16;
  for (char c : ascii) {
    utf32 += std::string{c, '\0', '\0', '\0'};
    utf16 += std::string{c, '\0'};
  }
  return {ascii, utf32, utf16};
}

// Where in the process's readable memory any of the texts is: "" when nowhere. Reads
// /proc/PID/mem region by region (root, or the same user with ptrace rights).
std::string FindInMemory(pid_t pid, const std::vector<std::string>& texts)
{
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0)
    return "cannot open the process's memory: " + std::string(std::strerror(errno));
  std::size_t longest = 0;
  for (const auto& t : texts)
    longest = std::max(longest, t.size());
  std::string found;
  for (std::string line; found.empty() && std::getline(maps, line);) {
    unsigned long long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
        line.find("[vvar]") != std::string::npos || line.find("[vsyscall]") != std::string::npos)
      continue;
    std::string carry;
    for (unsigned long long at = start; found.empty() && at < end;) {
      std::string chunk(std::min<unsigned long long>(end - at, 1 << 20), '\0');
      const ssize_t n = ::pread(mem, chunk.data(), chunk.size(), static_cast<off_t>(at));
      if (n <= 0)
        break;
      chunk.resize(static_cast<std::size_t>(n));
      const std::string window = carry + chunk;
      for (std::size_t i = 0; i < texts.size() && found.empty(); ++i)
        if (window.find(texts[i]) != std::string::npos)
          found = "form " + std::to_string(i) + " in " + line;
      carry = window.substr(window.size() > longest ? window.size() - longest : 0);
      at += static_cast<unsigned long long>(n);
    }
  }
  ::close(mem);
  return found;
}

// The test account's processes left behind by a task (its wrapper records its group's PID).
void StopTaskProcesses(const std::string& home)
{
  Shell("for f in " + home + "/.corvex-tasks/*/pid; do [ -f \"$f\" ] && kill -KILL -\"$(cat \"$f\")\" 2>/dev/null; done; true");
}

class InstallOverSsh : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root: it creates a local account and runs sshd";
    if (::access("/usr/sbin/sshd", X_OK) != 0 || ::access("/usr/sbin/useradd", X_OK) != 0)
      GTEST_SKIP() << "needs openssh-server and useradd";
    m_user = "corvexit" + std::to_string(::getpid() % 100000);
    m_password = "Pw-" + RandomWord(20);
    m_home = m_dir / "home";
    m_shares = m_dir / "shares";
    ::chmod(m_dir.Path().c_str(), 0755);

    // The account: home in the scratch folder, a password, no login but through our sshd.
    ASSERT_EQ(Shell("useradd -M -d " + m_home + " -s /bin/sh " + m_user + " >/dev/null 2>&1"), 0);
    m_userMade = true;
    ASSERT_EQ(Shell("mkdir -p " + m_home + " && chown " + m_user + " " + m_home + " && chmod 700 " + m_home), 0);
    e2e::WriteFile(m_dir / "chpasswd.in", m_user + ":" + m_password + "\n");
    ASSERT_EQ(Shell("chpasswd < " + m_dir / "chpasswd.in"), 0);
    ::unlink((m_dir / "chpasswd.in").c_str());

    // The setup program where the target reads \\localhost\share: records when it started and
    // its arguments, then sleeps and exits as the control files say.
    ASSERT_EQ(Shell("mkdir -p " + m_shares + "/localhost/share"), 0);
    e2e::WriteFile(m_shares + "/localhost/share/setup.exe",
                   "#!/bin/sh\n"
                   "echo \"$(date +%s%N)\" >> " + m_dir / "starts.log" + "\n"
                   "printf '%s\\0' \"$@\" > " + m_dir / "args.bin" + "\n"
                   "sleep \"$(cat " + m_dir / "sleep" + ")\"\n"
                   "exit \"$(cat " + m_dir / "exitcode" + ")\"\n");
    ::chmod((m_shares + "/localhost/share/setup.exe").c_str(), 0755);
    for (const char* f : {"starts.log", "args.bin"}) {
      e2e::WriteFile(m_dir / f, "");
      ::chmod((m_dir / f).c_str(), 0666);
    }
    SetSetup(0, "0");

    // The server: its own host key, configuration and PID file, on a free loopback port.
    m_port = FreeLoopbackPort();
    ASSERT_EQ(Shell("ssh-keygen -q -t ed25519 -N '' -f " + m_dir / "hostkey" + " && mkdir -p /run/sshd"), 0);
    e2e::WriteFile(m_dir / "sshd_config",
                   "Port " + std::to_string(m_port) + "\nListenAddress 127.0.0.1\nHostKey " + m_dir / "hostkey" +
                     "\nPidFile " + m_dir / "sshd.pid" +
                     "\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\nPubkeyAuthentication no\n"
                     "UsePAM no\nStrictModes no\nAllowUsers " + m_user + "\n");
    m_sshd = std::make_unique<e2e::ChildProcess>("/usr/sbin/sshd", std::vector<std::string>{"-f", m_dir / "sshd_config", "-D", "-e"},
                                                 std::vector<std::string>{}, m_dir / "sshd.out");
    for (int i = 0; i < 100 && !Accepts(m_port); ++i)
      std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(Accepts(m_port)) << e2e::ReadFile(m_dir / "sshd.out");

    // A host whose recorded key is another one: "127.1" is 127.0.0.1 under another name.
    ASSERT_EQ(Shell("ssh-keygen -q -t ed25519 -N '' -f " + m_dir / "otherkey"), 0);
    e2e::WriteFile(m_dir / "known_hosts", "[127.1]:" + std::to_string(m_port) + " " + e2e::ReadFile(m_dir / "otherkey.pub"));

    // The database: computers in a group whose update configuration names the update server
    // and the bootstrap share.
    AUCoreHandler::AutoUpdateConfiguration config;
    config.CreateConfig();
    AUCoreHandler::IAUConfig& tandem = config.GetConfig(L"Tandem");
    AUCoreHandler::IServer& server = tandem.GetPrimaryLocation().GetServer();
    server.SetAddress(L"http://cid.example:8080/updates");
    server.SetUserName(L"CORP\\cid");
    server.SetUserPassword(FromUtf8(m_cidPassword));
    tandem.GetBootstrap().SetUsePrimaryServerAddress(false);
    tandem.GetBootstrap().SetLocation(L"\\\\localhost\\share");
    m_group = *Call("AddGroup", {{"@NewParentID", std::nullopt}, {"@Name", "Install"}}).Output("@GroupID");
    Call("SetGroupAUConfigXML", {{"@GroupID", m_group}, {"@AUConfigXML", ToUtf8(config.ToXML())}});

    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    // The service does not start without the messaging location it is configured for.
    m_messaging = std::make_unique<e2e::MessagingLocation>(m_dir.Path());
    std::ofstream(m_dir / "registry.reg", std::ios::app)
      << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service]\n"
      << "\"InstallTimeInterval\"=dword:" << Hex(kInstallIntervalMs) << "\n"
      << "\"InstallResultTimeInterval\"=dword:" << Hex(400) << "\n"
      << "\"MaximumInstallTimeInterval\"=dword:" << Hex(60000) << "\n"
      << "\"InstallSshPort\"=dword:" << Hex(m_port) << "\n"
      << "\"InstallSshTimeoutSecs\"=dword:" << Hex(5) << "\n"
      << "\"InstallKnownHostsFile\"=\"" << m_dir / "known_hosts" << "\"\n"
      << "\"InstallShareRoot\"=\"" << m_shares << "\"\n";
    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=3", "CORVEX_TRACE_FILE=" + m_dir / "trace.log",
             "CORVEX_EVENTLOG_FILE=" + m_dir / "events.log"};
    e2e::WriteFile(m_dir / "password", m_password + "\n");
    e2e::WriteFile(m_dir / "wrong-password", "not-" + m_password + "\n");

    // The target's key, recorded deliberately as an administrator does: its fingerprint as the
    // computer itself shows it, given to corvexctl.
    {
      std::string out;
      e2e::Run("/usr/bin/ssh-keygen", {"-l", "-E", "sha256", "-f", m_dir / "hostkey.pub"}, {}, m_dir / "fp.out", out);
      std::istringstream words(out);
      std::string bits;
      words >> bits >> m_fingerprint;
      ASSERT_EQ(e2e::Run(CORVEXCTL_PATH, {"install", "trust", "localhost", "--fingerprint", m_fingerprint}, m_env,
                         m_dir / "trust.out", out),
                0)
        << out;
      EXPECT_NE(out.find("recorded"), std::string::npos) << out;
    }

    m_service = std::make_unique<e2e::ChildProcess>(RUDADIZ_PATH, std::vector<std::string>{}, m_env, m_dir / "service.out");
    ASSERT_TRUE(e2e::WaitForText(m_dir / "trace.log", "Connect done.", 15s)) << e2e::ReadFile(m_dir / "service.out");
  }

  void TearDown() override
  {
    if (m_service) {
      m_service->Signal(SIGTERM);
      EXPECT_EQ(m_service->Wait(20s), 0);
    }
    if (m_userMade)
      StopTaskProcesses(m_home);
    if (m_sshd) {
      const std::string pid = e2e::ReadFile(m_dir / "sshd.pid");
      if (!pid.empty())
        ::kill(std::stoi(pid), SIGTERM);
      m_sshd->Signal(SIGTERM);
      m_sshd->Wait(10s);
    }
    if (m_userMade)
      Shell("userdel " + m_user + " >/dev/null 2>&1");
  }

  static std::string Hex(int v)
  {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
  }

  corvexdb::ProcedureResult Call(const std::string& name, const corvexdb::ProcedureArgs& args)
  {
    corvexdb::ProcedureResult result = corvexdb::CallProcedure(m_db, name, args);
    EXPECT_EQ(result.returnValue, 0) << name;
    return result;
  }

  // A computer of the install group running OS 8.
  std::string Computer(const std::string& name)
  {
    const std::string id = *Call("AddComputer", {{"@ComputerName", name}, {"@DomainName", "WORKGROUP"}, {"@OperatingSystem", "8"},
                                                  {"@Description", ""}})
                              .Output("@ComputerID");
    Call("AddComputerToGroup", {{"@ComputerID", id}, {"@NewGroupID", m_group}});
    return id;
  }

  struct InstallState
  {
    bool pending = false;
    bool inProgress = false;
    std::optional<std::string> time;
    std::string result;
  };
  InstallState State(const std::string& id)
  {
    const auto r = Call("GetComputerDetails", {{"@ComputerID", id}});
    return {r.Output("@InstallPendingFlag") == "t", r.Output("@InstallInProgressFlag") == "t", r.Output("@InstallTime"),
            r.Output("@InstallFailureReason").value_or("")};
  }
  // The result once one is written and neither flag is set; "(none)" after the time given.
  std::string WaitResult(const std::string& id, std::chrono::seconds limit = 25s)
  {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      const InstallState s = State(id);
      if (s.time && !s.pending && !s.inProgress)
        return s.result;
      std::this_thread::sleep_for(100ms);
    }
    return "(none)";
  }

  int Install(const std::vector<std::string>& ids, const std::string& user, const std::string& passwordFile)
  {
    std::vector<std::string> args{"install", "--user", user, "--password-file", m_dir / passwordFile};
    args.insert(args.end(), ids.begin(), ids.end());
    std::string out;
    const int rc = e2e::Run(CORVEXCTL_PATH, args, m_env, m_dir / ("ctl" + std::to_string(++m_runs) + ".out"), out);
    EXPECT_EQ(rc, 0) << out;
    return rc;
  }

  void SetSetup(int exitCode, const std::string& sleepSeconds)
  {
    e2e::WriteFile(m_dir / "exitcode", std::to_string(exitCode) + "\n");
    e2e::WriteFile(m_dir / "sleep", sleepSeconds + "\n");
  }

  // When the service's trace says the attempt for the computer started: milliseconds of the day.
  std::optional<long long> AttemptTime(const std::string& name)
  {
    std::istringstream in(e2e::ReadFile(m_dir / "trace.log"));
    for (std::string line; std::getline(in, line);) {
      if (line.find("Install attempt starting for " + name) == std::string::npos || line.size() < 23)
        continue;
      // "YYYY-MM-DD HH:MM:SS.mmm ..."
      const long long h = std::stoll(line.substr(11, 2)), m = std::stoll(line.substr(14, 2)), sec = std::stoll(line.substr(17, 2)),
                      ms = std::stoll(line.substr(20, 3));
      return ((h * 60 + m) * 60 + sec) * 1000 + ms;
    }
    return std::nullopt;
  }

  std::vector<long long> Starts()
  {
    std::istringstream in(e2e::ReadFile(m_dir / "starts.log"));
    std::vector<long long> v;
    for (long long t; in >> t;)
      v.push_back(t);
    return v;
  }

  e2e::ScratchDir m_dir{"corvex-e2e-install"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_install"};
  corvexdb::PgConnection m_db = m_database.Connect();
  std::string m_user, m_password, m_home, m_shares, m_group, m_fingerprint;
  std::string m_cidPassword = "Cid-" + RandomWord(12);
  bool m_userMade = false;
  int m_port = 0;
  int m_runs = 0;
  std::unique_ptr<e2e::ChildProcess> m_sshd;
  std::unique_ptr<e2e::MessagingLocation> m_messaging;
  std::unique_ptr<e2e::ChildProcess> m_service;
  std::vector<std::string> m_env;
};

}  // namespace

TEST_F(InstallOverSsh, ResultsFlagsSpacingRefusalsAndNoPasswordInAnyOutput)
{
  const std::string local = Computer("localhost");
  // Nothing listens on 127.0.0.2: its attempt fails at once, without touching the account's
  // task folder on 127.0.0.1 (the same computer as localhost).
  const std::string closed = Computer("127.0.0.2");

  // Success, with the flags watched on the way: the second computer waits (pending) while the
  // first one's setup runs (in progress).
  SetSetup(0, "1.5");
  Install({local, closed}, "WORKGROUP\\" + m_user, "password");
  bool sawFirstRunningWhileSecondWaits = false;
  for (int i = 0; i < 100 && !sawFirstRunningWhileSecondWaits; ++i) {
    const InstallState first = State(local);
    sawFirstRunningWhileSecondWaits = first.inProgress && !first.pending && State(closed).pending;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(sawFirstRunningWhileSecondWaits);
  EXPECT_EQ(WaitResult(local), "0");
  // Remote registry's place (the SSH port) not running.
  EXPECT_EQ(WaitResult(closed), "47");
  EXPECT_EQ(Starts().size(), 1u);
  const auto first = AttemptTime("localhost");
  const auto second = AttemptTime("127.0.0.2");
  ASSERT_TRUE(first && second) << e2e::ReadFile(m_dir / "trace.log");
  const long long apart = (*second - *first + 86400000) % 86400000;  // across midnight too
  EXPECT_GE(apart, kInstallIntervalMs) << "two attempts closer than the interval";

  // The setup program got the update server and its obscured credentials.
  std::vector<std::string> args;
  {
    const std::string bin = e2e::ReadFile(m_dir / "args.bin");
    for (std::size_t at = 0; at < bin.size();) {
      const auto nul = bin.find('\0', at);
      args.push_back(bin.substr(at, nul - at));
      at = nul + 1;
    }
  }
  ASSERT_EQ(args.size(), 9u);
  EXPECT_EQ(args[1], "http://cid.example:8080/updates");
  Obscurity::Obscurer obscurer;
  EXPECT_EQ(obscurer.reveal(args[3]), L"CORP\\cid");
  EXPECT_EQ(obscurer.reveal(args[5]), FromUtf8(m_cidPassword));

  // A failing setup program gives its exit code.
  SetSetup(3, "0");
  Install({local}, m_user, "password");
  EXPECT_EQ(WaitResult(local), "3");

  // Logon refused: a wrong password and an unknown account look alike from here (the target's
  // server hides which), and this computer's own accounts are no answer for the target's, so
  // both are the logon failure itself (0x8007052E).
  const std::string logonFailure = std::to_string(static_cast<std::int32_t>(0x8007052Eu));
  Install({local}, m_user, "wrong-password");
  EXPECT_EQ(WaitResult(local), logonFailure);
  Install({local}, "nosuchuser" + m_user, "password");
  EXPECT_EQ(WaitResult(local), logonFailure);
  // root is an account of this computer, but sshd lets only the test account in.
  Install({local}, "root", "password");
  EXPECT_EQ(WaitResult(local), logonFailure);

  // A recorded key that differs: refused as access denied, and nothing runs there.
  const std::string changed = Computer("127.1");
  const std::size_t before = Starts().size();
  Install({changed}, m_user, "password");
  EXPECT_EQ(WaitResult(changed), "59");
  EXPECT_EQ(Starts().size(), before);
  EXPECT_NE(e2e::ReadFile(m_dir / "trace.log").find("differs from the recorded one"), std::string::npos);

  // A key nobody recorded (127.0.0.1 is the same server under a name not trusted): its own
  // result, its fingerprint in the trace, nothing run and nothing recorded.
  const std::string unknown = Computer("127.0.0.1");
  const std::size_t beforeUnknown = Starts().size();
  const std::string knownHosts = e2e::ReadFile(m_dir / "known_hosts");
  Install({unknown}, m_user, "password");
  EXPECT_EQ(WaitResult(unknown), "60");
  EXPECT_EQ(Starts().size(), beforeUnknown);
  EXPECT_EQ(e2e::ReadFile(m_dir / "known_hosts"), knownHosts);
  EXPECT_NE(e2e::ReadFile(m_dir / "trace.log").find("Host key of 127.0.0.1 is not trusted: ssh-ed25519 " + m_fingerprint),
            std::string::npos)
    << "the diagnosis names the key";
  {
    // Without a fingerprint and without a terminal, corvexctl shows the key and records nothing.
    std::string out;
    EXPECT_EQ(e2e::Run(CORVEXCTL_PATH, {"install", "trust", "127.0.0.1"}, m_env, m_dir / "trust2.out", out), 1);
    EXPECT_NE(out.find(m_fingerprint), std::string::npos) << out;
    EXPECT_EQ(e2e::ReadFile(m_dir / "known_hosts"), knownHosts);
  }

  // The service's memory, everything it has allocated and freed included, holds no copy of the
  // console password after the installs.
  EXPECT_EQ(FindInMemory(m_service->Pid(), MemoryForms(m_password)), "") << "a copy of the password is left in memory";
  // The search itself sees the process's memory: its environment is there.
  EXPECT_NE(FindInMemory(m_service->Pid(), {"CORVEX_REGISTRY=" + m_dir / "registry.reg"}), "");

  // Stop the service, then look for the password in everything the run wrote.
  m_service->Signal(SIGTERM);
  EXPECT_EQ(m_service->Wait(20s), 0);
  m_service.reset();
  std::string everything;
  for (const char* f : {"trace.log", "service.out", "events.log", "registry.reg", "known_hosts", "sshd.out", "trust.out",
                        "trust2.out"})
    everything += e2e::ReadFile(m_dir / f);
  for (int i = 1; i <= m_runs; ++i)
    everything += e2e::ReadFile(m_dir / ("ctl" + std::to_string(i) + ".out"));
  auto dump = m_db.Exec("SELECT string_agg(c::text, ' ') FROM dbo.\"Computers\" c");
  everything += dump.Value(0, 0).value_or("");
  EXPECT_EQ(everything.find(m_password), std::string::npos) << "the console password leaked";
  // Every file of the run (the target's home and task folders, the shares, the service's files),
  // but the two the test gave corvexctl, and the whole database.
  for (const auto& file : std::filesystem::recursive_directory_iterator(m_dir.Path())) {
    const std::string name = file.path().filename();
    if (file.is_regular_file() && name != "password" && name != "wrong-password") {
      EXPECT_EQ(e2e::ReadFile(file.path()).find(m_password), std::string::npos) << file.path();
    }
  }
  ASSERT_EQ(Shell("pg_dump -h /var/run/postgresql -d " + m_database.Name() + " > " + m_dir / "dump.sql"), 0);
  const std::string wholeDatabase = e2e::ReadFile(m_dir / "dump.sql");
  EXPECT_NE(wholeDatabase.find(m_cidPassword), std::string::npos) << "the dump holds the groups' configurations";
  EXPECT_EQ(wholeDatabase.find(m_password), std::string::npos) << "the console password is in the database";
  EXPECT_EQ(everything.find(args[3]), std::string::npos) << "an obscured credential was traced";
  EXPECT_EQ(everything.find(args[5]), std::string::npos) << "an obscured credential was traced";
  EXPECT_EQ(everything.find(m_cidPassword), std::string::npos);
  EXPECT_NE(e2e::ReadFile(m_dir / "trace.log").find("Install pending for localhost (Tandem)"), std::string::npos);
}

// The stages consoles follow: a successful install passes through every stage in order and ends
// done; one whose target accepts no connection stops after connecting with the diagnosed cause;
// a computer that cannot be installed remotely is never queued. corvexctl, its output a file and
// not a terminal, prints each stage as a plain line and waits for every outcome.
TEST_F(InstallOverSsh, StagesAreRecordedInOrderAndCorvexctlFollowsThemAsPlainLines)
{
  const std::string local = Computer("localhost");
  const std::string closed = Computer("127.0.0.2");
  // OS 11 (Mac OS X) is not installable remotely.
  const std::string mac = *Call("AddComputer", {{"@ComputerName", "mac1"}, {"@DomainName", "WORKGROUP"},
                                                {"@OperatingSystem", "11"}, {"@Description", ""}})
                             .Output("@ComputerID");
  Call("AddComputerToGroup", {{"@ComputerID", mac}, {"@NewGroupID", m_group}});
  SetSetup(0, "1");

  std::string out;
  const int rc = e2e::Run(CORVEXCTL_PATH,
                          {"install", "--wait", "--user", m_user, "--password-file", m_dir / "password", local, closed, mac},
                          m_env, m_dir / "follow.out", out, 60s);
  EXPECT_EQ(rc, 1) << out;  // one failed, one not queued
  EXPECT_EQ(out.find('\r'), std::string::npos) << "a bar drawn in place into a file: " << out;
  EXPECT_EQ(out.find("\033["), std::string::npos) << out;

  // The lines of one computer, in the order printed.
  auto linesOf = [&](const std::string& name, const std::string& id) {
    std::vector<std::string> stages;
    const std::string prefix = "install: " + name + " (id " + id + ") ";
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(prefix, 0) == 0)
        stages.push_back(line.substr(prefix.size()));
    return stages;
  };
  EXPECT_EQ(linesOf("localhost", local), (std::vector<std::string>{"queued", "connecting", "copying", "running", "done"})) << out;
  const std::vector<std::string> failing = linesOf("127.0.0.2", closed);
  ASSERT_EQ(failing.size(), 3u) << out;
  EXPECT_EQ(failing[0], "queued");
  EXPECT_EQ(failing[1], "connecting");
  EXPECT_EQ(failing[2].rfind("failed: 47 the target computer accepts no remote connections", 0), 0u) << failing[2];
  EXPECT_NE(out.find("install: computer (id " + mac + ") not queued"), std::string::npos) << out;
  EXPECT_NE(out.find("install: 2 computer(s) finished, 1 not queued, some failed"), std::string::npos) << out;

  // What the database holds agrees, and the flags and result the install stores are as before.
  auto stored = m_db.Exec("SELECT \"ComputerID\", string_agg(\"Stage\"::text || coalesce(':' || \"Result\", ''), ' ' ORDER BY \"Seq\")"
                          " FROM dbo.\"InstallStages\" GROUP BY 1 ORDER BY 1");
  std::map<std::string, std::string> byComputer;
  for (int r = 0; r < stored.Rows(); ++r)
    byComputer[stored.Value(r, 0).value_or("")] = stored.Value(r, 1).value_or("");
  EXPECT_EQ(byComputer[local], "1 2 3 4 5:0");
  EXPECT_EQ(byComputer[closed], "1 2 6:47");
  EXPECT_EQ(byComputer.count(mac), 0u);
  EXPECT_EQ(State(local).result, "0");
  EXPECT_EQ(State(closed).result, "47");

  // A second attempt replaces the first one's stages.
  SetSetup(3, "0");
  ASSERT_EQ(e2e::Run(CORVEXCTL_PATH, {"install", "--wait", "--user", m_user, "--password-file", m_dir / "password", local},
                     m_env, m_dir / "follow2.out", out, 30s),
            1)
    << out;
  EXPECT_NE(out.find("install: localhost (id " + local + ") failed: 3 the setup program ended with exit code 3"),
            std::string::npos)
    << out;
  // The listing without following: one line per computer with its outcome.
  ASSERT_EQ(e2e::Run(CORVEXCTL_PATH, {"install", "progress", local, closed, mac}, m_env, m_dir / "list.out", out), 0) << out;
  EXPECT_NE(out.find(local + "\tlocalhost\tfailed: 3 "), std::string::npos) << out;
  EXPECT_NE(out.find(closed + "\t127.0.0.2\tfailed: 47 "), std::string::npos) << out;
  EXPECT_NE(out.find(mac + "\t-\tno attempt"), std::string::npos) << out;
}
