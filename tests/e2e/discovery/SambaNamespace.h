// A Samba server in a network namespace of its own, for the tests that need a real one.
//
// Needs root. Enter() moves the test process into new network and mount namespaces: the server
// runs in a second network namespace joined to the test's by a veth pair (its queries must reach
// a computer that is not the client's own), and Samba's fixed folders (the client's
// configuration included) are scratch folders bind-mounted over them, so nothing of the
// machine's network or Samba state is touched.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/support/ProcessRunner.h"

namespace e2e {

// The full path of a program from the system's and Samba's folders; empty when not installed.
std::string FindProgram(const std::string& name);

// The network namespace of a process (0: this one); 0 when it cannot be read.
ino_t NetNamespace(pid_t pid);

// Kills, by PID, the processes of the network namespace (those whose name starts with `only`,
// when given).
void KillNamespace(ino_t ns, const std::string& only = {});

// The two ends of the veth pair and their addresses (without prefix; all in one /24).
struct SambaLink
{
  std::string clientLink;
  std::string serverLink;
  std::string clientAddress;
  std::vector<std::string> serverAddresses;
};

class SambaNamespace
{
public:
  // The scratch folder holds the mounted folders, the server's configuration (server.conf),
  // its logs (log/) and the daemons' output; it must outlive this.
  explicit SambaNamespace(const ScratchDir& dir) : m_dir(dir) {}
  ~SambaNamespace() { Stop(); }
  SambaNamespace(const SambaNamespace&) = delete;
  SambaNamespace& operator=(const SambaNamespace&) = delete;

  // The first of the programs that is not installed; empty when all are.
  static std::string Missing(std::initializer_list<const char*> programs);

  // Makes the namespaces, the mounts and the link. Fails the test (fatally) when a step fails.
  void Enter(const SambaLink& link);

  // Starts a daemon in the server's namespace with the scratch folder's server.conf.
  void StartDaemon(const std::string& name, const std::string& program, const std::string& extra);
  // Kills the daemon started under that name and its children: the processes of the server's
  // namespace whose names start with it (so the name is the program's own, e.g. "smbd").
  void StopDaemon(const std::string& name);
  // Kills everything of the server's namespace and takes the mounts away, so the next test of
  // this process mounts its own scratch folders. Safe to call twice.
  void Stop();

  // Runs a program; a failure fails the test (fatally).
  void Run(const std::string& program, const std::vector<std::string>& args);

  const std::string& NetnsPath() const { return m_netns; }

private:
  const ScratchDir& m_dir;
  std::string m_netns;
  std::unique_ptr<ChildProcess> m_holder;
  ino_t m_serverNs = 0;
  std::map<std::string, std::unique_ptr<ChildProcess>> m_daemons;
  bool m_mounted = false;
};

}  // namespace e2e
