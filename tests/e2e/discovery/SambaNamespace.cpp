#include "tests/e2e/discovery/SambaNamespace.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace e2e {

namespace {

const char* const kSambaFolders[] = {"/run/samba", "/var/log/samba", "/var/lib/samba", "/var/cache/samba", "/etc/samba"};

std::string Command(pid_t pid)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

}  // namespace

std::string FindProgram(const std::string& name)
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

void KillNamespace(ino_t ns, const std::string& only)
{
  if (!ns)
    return;
  for (int round = 0; round < 40; ++round) {
    int found = 0;
    DIR* proc = ::opendir("/proc");
    for (dirent* e = nullptr; proc && (e = ::readdir(proc)) != nullptr;) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid > 0 && pid != ::getpid() && NetNamespace(pid) == ns && (only.empty() || Command(pid).rfind(only, 0) == 0)) {
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

std::string SambaNamespace::Missing(std::initializer_list<const char*> programs)
{
  for (const char* program : programs)
    if (FindProgram(program).empty())
      return program;
  return {};
}

void SambaNamespace::Enter(const SambaLink& link)
{
  ASSERT_EQ(::unshare(CLONE_NEWNS | CLONE_NEWNET), 0) << "unshare: " << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  m_mounted = true;
  for (const char* folder : kSambaFolders) {
    const std::string scratch = m_dir / ("samba" + std::string(folder));
    std::filesystem::create_directories(scratch);
    if (std::string(folder) == "/var/lib/samba")
      std::filesystem::create_directories(scratch + "/private");
    // Samba's package makes these; a machine that lost /run/samba gets it back empty.
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::mount(scratch.c_str(), folder, nullptr, MS_BIND, nullptr), 0) << folder;
  }
  const std::string ip = FindProgram("ip");
  ASSERT_NO_FATAL_FAILURE(Run(ip, {"link", "set", "lo", "up"}));

  // The server's namespace, held by a process of its own.
  m_holder = std::make_unique<ChildProcess>(FindProgram("unshare"), std::vector<std::string>{"-n", "sleep", "300"},
                                            std::vector<std::string>{}, m_dir / "holder.out");
  for (int i = 0; i < 100 && NetNamespace(m_holder->Pid()) == NetNamespace(0); ++i)
    std::this_thread::sleep_for(10ms);
  m_serverNs = NetNamespace(m_holder->Pid());
  ASSERT_NE(m_serverNs, NetNamespace(0));
  m_netns = "/proc/" + std::to_string(m_holder->Pid()) + "/ns/net";
  ASSERT_NO_FATAL_FAILURE(Run(ip, {"link", "add", link.clientLink, "type", "veth", "peer", "name", link.serverLink, "netns", m_netns}));
  ASSERT_NO_FATAL_FAILURE(Run(ip, {"addr", "add", link.clientAddress + "/24", "dev", link.clientLink}));
  ASSERT_NO_FATAL_FAILURE(Run(ip, {"link", "set", link.clientLink, "up"}));
  std::vector<std::vector<std::string>> serverSide{{"link", "set", "lo", "up"}};
  for (const std::string& address : link.serverAddresses)
    serverSide.push_back({"addr", "add", address + "/24", "dev", link.serverLink});
  serverSide.push_back({"link", "set", link.serverLink, "up"});
  for (const auto& args : serverSide) {
    std::vector<std::string> full = {"--net=" + m_netns, ip};
    full.insert(full.end(), args.begin(), args.end());
    ASSERT_NO_FATAL_FAILURE(Run(FindProgram("nsenter"), full));
  }
}

void SambaNamespace::StartDaemon(const std::string& name, const std::string& program, const std::string& extra)
{
  m_daemons[name] = std::make_unique<ChildProcess>(
    FindProgram("nsenter"),
    std::vector<std::string>{"--net=" + m_netns, program, "-F", extra, "-s", m_dir / "server.conf", "-l", m_dir / "log"},
    std::vector<std::string>{}, m_dir / (name + ".out"));
}

void SambaNamespace::StopDaemon(const std::string& name)
{
  KillNamespace(m_serverNs, name);
  m_daemons.erase(name);
}

void SambaNamespace::Stop()
{
  m_daemons.clear();
  KillNamespace(m_serverNs);
  m_serverNs = 0;
  m_holder.reset();
  if (m_mounted)
    for (const char* folder : kSambaFolders)
      ::umount2(folder, MNT_DETACH);
  m_mounted = false;
}

void SambaNamespace::Run(const std::string& program, const std::vector<std::string>& args)
{
  std::string out;
  ASSERT_EQ(e2e::Run(program, args, {}, m_dir / "setup.out", out), 0) << program << ": " << out;
}

}  // namespace e2e
