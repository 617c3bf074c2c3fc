// A network search against a real Samba server: the service browses the server's workgroup,
// enters the server with the operating system and comment its own answer implies, and the
// console hears the search start, progress and end.
//
// Needs root. The test moves itself into new network and mount namespaces: the server runs in a
// second network namespace joined to the test's by a veth pair (the server's query must reach a
// computer that is not the client's own), and Samba's fixed state folders and the client's
// configuration are covered by scratch folders through bind mounts, so nothing of the machine's
// network or Samba state is touched.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/e2e/support/MessagingLocation.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"

using namespace std::chrono_literals;

namespace {

constexpr char kWorkgroup[] = "CVXTESTGRP";
constexpr char kServer[] = "CVXSAMBA";
constexpr char kComment[] = "Corvex test file server";
constexpr char kServerAddress[] = "10.231.77.1";
constexpr char kClientAddress[] = "10.231.77.2";
const char* const kSambaFolders[] = {"/run/samba", "/var/log/samba", "/var/lib/samba", "/var/cache/samba", "/etc/samba"};

std::string Find(const std::string& name)
{
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/libexec/samba"}) {
    const std::string path = std::string(dir) + "/" + name;
    if (::access(path.c_str(), X_OK) == 0)
      return path;
  }
  return {};
}

ino_t NetNamespace(pid_t pid)
{
  struct stat st{};
  const std::string path = pid ? "/proc/" + std::to_string(pid) + "/ns/net" : std::string("/proc/self/ns/net");
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Kills, by PID, every process living in the network namespace (the daemons and their children).
void KillNamespace(ino_t ns)
{
  if (!ns)
    return;
  for (int round = 0; round < 20; ++round) {
    int found = 0;
    DIR* proc = ::opendir("/proc");
    for (dirent* e = nullptr; proc && (e = ::readdir(proc)) != nullptr;) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid > 0 && NetNamespace(pid) == ns) {
        ::kill(pid, SIGKILL);
        ++found;
      }
    }
    if (proc)
      ::closedir(proc);
    if (!found)
      return;
    std::this_thread::sleep_for(50ms);
  }
}

class SambaSearch : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root: the test makes network and mount namespaces and runs a Samba server";
    for (const char* program : {"ip", "unshare", "nsenter", "smbd", "nmbd", "samba-dcerpcd"})
      if (Find(program).empty())
        GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
    ASSERT_EQ(::unshare(CLONE_NEWNS | CLONE_NEWNET), 0) << "unshare: " << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    for (const char* folder : kSambaFolders) {
      const std::string scratch = m_dir / ("samba" + std::string(folder));
      std::filesystem::create_directories(scratch);
      if (std::string(folder) == "/var/lib/samba")
        std::filesystem::create_directories(scratch + "/private");
      // Samba's package makes these; a machine that lost /run/samba gets it back empty.
      std::filesystem::create_directories(folder);
      ASSERT_EQ(::mount(scratch.c_str(), folder, nullptr, MS_BIND, nullptr), 0) << folder;
    }
    Ip({"link", "set", "lo", "up"});

    // The server's namespace, held by a process of its own, joined to ours by a veth pair.
    m_holder = std::make_unique<e2e::ChildProcess>(Find("unshare"), std::vector<std::string>{"-n", "sleep", "300"},
                                                   std::vector<std::string>{}, m_dir / "holder.out");
    for (int i = 0; i < 100 && NetNamespace(m_holder->Pid()) == NetNamespace(0); ++i)
      std::this_thread::sleep_for(10ms);
    m_serverNs = NetNamespace(m_holder->Pid());
    ASSERT_NE(m_serverNs, NetNamespace(0));
    const std::string netns = "/proc/" + std::to_string(m_holder->Pid()) + "/ns/net";
    Ip({"link", "add", "cvxc", "type", "veth", "peer", "name", "cvxs", "netns", netns});
    Ip({"addr", "add", std::string(kClientAddress) + "/24", "dev", "cvxc"});
    Ip({"link", "set", "cvxc", "up"});
    for (const auto& args : std::vector<std::vector<std::string>>{{"link", "set", "lo", "up"},
                                                                  {"addr", "add", std::string(kServerAddress) + "/24", "dev", "cvxs"},
                                                                  {"link", "set", "cvxs", "up"}}) {
      std::vector<std::string> full = {"--net=" + netns, Find("ip")};
      full.insert(full.end(), args.begin(), args.end());
      Run(Find("nsenter"), full);
    }
    WriteConfigurations();
    for (const auto& [name, program, extra] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"dcerpcd", Find("samba-dcerpcd"), "--libexec-rpcds"}, {"nmbd", Find("nmbd"), "--no-process-group"},
           {"smbd", Find("smbd"), "--no-process-group"}})
      m_daemons.push_back(std::make_unique<e2e::ChildProcess>(
        Find("nsenter"),
        std::vector<std::string>{"--net=" + netns, program, "-F", extra, "-s", m_dir / "server.conf", "-l", m_dir / "log"},
        std::vector<std::string>{}, m_dir / (name + ".out")));

    e2e::WriteServiceRegistry(m_dir, m_database.Name());
    // The service does not start without the messaging location it is configured for.
    m_messaging = std::make_unique<e2e::MessagingLocation>(m_dir.Path());
    m_env = {"CORVEX_REGISTRY=" + m_dir / "registry.reg", "CORVEX_TRACE_LEVEL=2", "CORVEX_TRACE_FILE=" + m_dir / "trace.log",
             "HOME=" + m_dir.Path()};
    std::string out;
    ASSERT_EQ(e2e::Run(RUDADIZ_PATH, {"-RegServer"}, m_env, m_dir / "regserver.out", out), 0) << out;
    m_service = std::make_unique<e2e::ChildProcess>(RUDADIZ_PATH, std::vector<std::string>{}, m_env, m_dir / "service.out");
    ASSERT_TRUE(e2e::WaitForText(m_dir / "trace.log", "Started computer discovery handlers", 20s))
      << e2e::ReadFile(m_dir / "service.out");
  }

  void TearDown() override
  {
    if (m_service) {
      m_service->Signal(SIGTERM);
      EXPECT_EQ(m_service->Wait(20s), 0) << "the service stops with its discovery threads";
      m_service.reset();
    }
    m_daemons.clear();
    KillNamespace(m_serverNs);
    m_holder.reset();
  }

  void WriteConfigurations()
  {
    std::filesystem::create_directories(m_dir / "log");
    std::filesystem::create_directories(m_dir / "share");
    e2e::WriteFile(m_dir / "server.conf", std::string("[global]\n") + "  workgroup = " + kWorkgroup + "\n  netbios name = " +
                                            kServer + "\n  server string = " + kComment +
                                            "\n  interfaces = cvxs\n  bind interfaces only = yes\n"
                                            "  server min protocol = NT1\n  local master = yes\n  preferred master = yes\n"
                                            "  domain master = yes\n  os level = 65\n  name resolve order = lmhosts wins bcast\n"
                                            "  map to guest = bad user\n  disable spoolss = yes\n  load printers = no\n"
                                            // State stays in the compiled-in folders: smbd reads the browse list
                                            // nmbd writes there whatever the configuration says. They are the
                                            // scratch folders mounted over them.
                                            "[pub]\n  path = " + m_dir / "share" + "\n  guest ok = yes\n");
    // The client's configuration: the machine's own file, covered by the bind mount.
    e2e::WriteFile("/etc/samba/smb.conf", std::string("[global]\n  workgroup = ") + kWorkgroup +
                                            "\n  netbios name = CVXCLIENT\n  interfaces = cvxc\n  bind interfaces only = yes\n"
                                            "  name resolve order = lmhosts wins bcast\n");
  }

  void Ip(const std::vector<std::string>& args) { Run(Find("ip"), args); }
  void Run(const std::string& program, const std::vector<std::string>& args)
  {
    std::string out;
    ASSERT_EQ(e2e::Run(program, args, {}, m_dir / "setup.out", out), 0) << program << ": " << out;
  }
  int Console(const std::vector<std::string>& args, std::string& out, std::chrono::milliseconds timeout = 40s)
  {
    return e2e::Run(CORVEXCTL_PATH, args, m_env, m_dir / ("ctl" + std::to_string(++m_runs) + ".out"), out, timeout);
  }
  std::string Query(const std::string& sql) { return m_db.Exec(sql).Text(0, 0); }

  e2e::ScratchDir m_dir{"corvex-e2e-samba"};
  corvexdb::ScratchDatabase m_database{"corvex_e2e_samba"};
  corvexdb::PgConnection m_db = m_database.Connect();
  std::vector<std::string> m_env;
  std::unique_ptr<e2e::ChildProcess> m_holder;
  ino_t m_serverNs = 0;
  std::vector<std::unique_ptr<e2e::ChildProcess>> m_daemons;
  std::unique_ptr<e2e::MessagingLocation> m_messaging;
  std::unique_ptr<e2e::ChildProcess> m_service;
  int m_runs = 0;
};

}  // namespace

TEST_F(SambaSearch, TheServerOfAWorkgroupIsFoundWithItsSystemAndComment)
{
  // The browse list forms after the daemons start: a workgroup's servers after some seconds, the
  // workgroup itself in the network's list later. Both are polled, within bounds.
  std::string out;
  bool found = false;
  for (int i = 0; i < 12 && !found; ++i) {
    ASSERT_EQ(Console({"search", "--user", "", kWorkgroup}, out), 0) << out;
    found = out.find("search finished: 1 computers found, 1 queried") != std::string::npos;
    if (!found)
      std::this_thread::sleep_for(1s);
  }
  ASSERT_TRUE(found) << out << e2e::ReadFile(m_dir / "log/log.nmbd") << e2e::ReadFile(m_dir / "log/log.smbd");
  // The listener heard the start, each step and the end, in that order (not a terminal: one line each).
  EXPECT_NE(out.find("search started\n"), std::string::npos) << out;
  EXPECT_NE(out.find("found 1, queried 0, remaining 1\n"), std::string::npos) << out;
  EXPECT_LT(out.find("found 1, queried 1, remaining 0\n"), out.find("search finished")) << out;

  // The server announces the UNIX-server type bit: code 13, with its own server string.
  EXPECT_EQ(Query(std::string("SELECT \"OperatingSystem\" || '|' || \"Description\" || '|' || \"DomainName\" FROM dbo.\"Computers\" "
                              "WHERE \"ComputerName\" = '") + kServer + "'"),
            std::string("13|") + kComment + "|" + kWorkgroup);
  const std::string trace = e2e::ReadFile(m_dir / "trace.log");
  EXPECT_NE(trace.find(std::string("Computer ") + kServer + " found on " + kWorkgroup), std::string::npos);

  bool listed = false;
  for (int i = 0; i < 40 && !listed; ++i) {
    // Until the workgroup is announced the list is empty, or the browse fails.
    listed = Console({"domains"}, out) == 0 && out.find(kWorkgroup) != std::string::npos;
    if (!listed)
      std::this_thread::sleep_for(1s);
  }
  EXPECT_TRUE(listed) << out;

  // An unknown workgroup ends its search with nothing found and nothing entered.
  ASSERT_EQ(Console({"search", "--user", "", "NOSUCHGRP"}, out), 0) << out;
  EXPECT_NE(out.find("search finished: 0 computers found, 0 queried"), std::string::npos) << out;
  EXPECT_EQ(Query("SELECT count(*) FROM dbo.\"Computers\""), "1");
  // A stop with nothing running is harmless.
  ASSERT_EQ(Console({"search-stop"}, out), 0) << out;
}
