// Where the ORB listens: the service's console endpoint and the messaging library's ORB serve on
// Unix sockets only, never on a TCP port, even with the old "ConsoleTcpPort" setting present. And
// the payload limits the library reads from its key. The process has one ORB, so each case runs
// in a child process of its own and reports back through a pipe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "messaging/ClientLibrary.h"
#include "messaging/PayloadCheck.h"
#include "platform/dcom/Dcom.h"
#include "platform/registry/Registry.h"
#include "tests/messaging/TestSupport.h"

namespace {

// "address:port" (hex, as the kernel writes them) of every listening TCP socket of this process.
std::string TcpListeners()
{
  std::set<std::string> inodes;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
    if (!error && target.rfind("socket:[", 0) == 0)
      inodes.insert(target.substr(8, target.size() - 9));
  }
  std::string found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state == "0A" && inodes.count(inode))
        found += local + " ";
    }
  }
  return found;
}

// Runs `body` in a child process; what it returns (or "child failed") comes back.
std::string InChild(const std::function<std::string()>& body)
{
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0)
    return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeEnds[0]);
    std::string report;
    try {
      report = body();
    } catch (const std::exception& e) {
      report = std::string("exception: ") + e.what();
    } catch (...) {
      report = "exception";
    }
    (void)!::write(pipeEnds[1], report.data(), report.size());
    ::_exit(0);  // no destructors of the parent's objects in the child
  }
  ::close(pipeEnds[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
    report.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "child failed";
  return report;
}

TEST(Listeners, TheConsoleEndpointIsAUnixSocketOfItsOwnerOnlyAndNoTcpPort)
{
  messaging_test::TempDir dir;
  const std::string socket = (dir.Path() / "console.sock").string();
  const std::string report = InChild([&] {
    ::setenv("CORVEX_REGISTRY", (dir.Path() / "registry.reg").c_str(), 1);
    {
      CRegKey key;
      key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service");
      key.SetStringValue(L"ConsoleSocket", std::wstring(socket.begin(), socket.end()).c_str());
      key.SetDWORDValue(L"ConsoleTcpPort", 40123);  // a setting of old: no longer opens a port
    }
    if (StartConsoleEndpoint() != S_OK)
      return std::string("the endpoint did not start");
    struct stat st{};
    if (::stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
      return std::string("no console socket");
    std::string out = "mode " + std::to_string(st.st_mode & 0777) + "; tcp: " + TcpListeners();
    // Another computer's service is not reached over the network.
    COSERVERINFO elsewhere{L"otherhost"};
    MULTI_QI result{&IID_IUnknown, nullptr, S_OK};
    out += "; remote " + std::to_string(static_cast<std::uint32_t>(CoCreateInstanceEx(
                             GUID{}, nullptr, 0, &elsewhere, 1, &result)));
    StopConsoleEndpoint();
    return out;
  });
  EXPECT_EQ(report, "mode " + std::to_string(0600) + "; tcp: ; remote " + std::to_string(0x800706BAul));
}

TEST(Listeners, TheMessagingLibrarysOrbServesOnAUnixSocketOnly)
{
  const std::string report = InChild([] {
    char name[] = "listener_tests";
    char* argv[] = {name, nullptr};
    auto* library = ZiriviridUrurezArevudUza::IClientLibrary::Instance();
    library->InitORB(1, argv);
    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
    // Activating a POA is what makes the ORB open its endpoints.
    CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(object);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    CORBA::Object_var self = poa->create_reference("IDL:Nothing:1.0");
    CORBA::String_var text = orb->object_to_string(self);
    const std::string reference = text.in();
    return "tcp: " + TcpListeners() + "; reference of " + std::to_string(reference.size()) + " characters";
  });
  EXPECT_EQ(report.rfind("tcp: ; reference of ", 0), 0u) << report;
}

// The payload check's limits come from the library's key, read when the local identity is set
// up; a value out of range stops it with the key named.
TEST(LibrarySettings, ThePayloadLimitsAreReadFromTheLibrarysKey)
{
  messaging_test::TempDir dir;
  std::ofstream(dir.Path() / "url") << "tls://127.0.0.1:1\n";
  std::ofstream(dir.Path() / "ca.pem") << "-\n";
  const std::string keyPath = "SOFTWARE\\Corvex\\Test\\Private";
  auto run = [&](DWORD nesting, DWORD anys, DWORD work) {
    return InChild([&] {
      ::setenv("CORVEX_REGISTRY", (dir.Path() / "registry.reg").c_str(), 1);
      {
        CRegKey key;
        key.Create(HKEY_LOCAL_MACHINE, std::wstring(keyPath.begin(), keyPath.end()).c_str());
        const std::string messaging = dir.Path().string();
        key.SetStringValue(L"Messaging", std::wstring(messaging.begin(), messaging.end()).c_str());
        key.SetDWORDValue(L"MaxPayloadNesting", nesting);
        key.SetDWORDValue(L"MaxPayloadAnys", anys);
        key.SetDWORDValue(L"MaxPayloadWork", work);
      }
      char name[] = "listener_tests";
      char* argv[] = {name, nullptr};
      auto* library = ZiriviridUrurezArevudUza::IClientLibrary::Instance();
      library->InitORB(1, argv);
      try {
        library->InitialiseClientLibraryLocal("KT", keyPath.c_str(), "Test.reg", 0, "", 0, 0);
      } catch (const std::exception& e) {
        return std::string("refused: ") + e.what();
      }
      const auto limits = messaging::CurrentPayloadLimits();
      return std::to_string(limits.nesting) + " " + std::to_string(limits.anys) + " " + std::to_string(limits.work);
    });
  };
  EXPECT_EQ(run(12, 3, 50000), "12 3 50000");
  const std::string refused = run(1, 3, 50000);
  EXPECT_EQ(refused.rfind("refused: ", 0), 0u) << refused;
  EXPECT_NE(refused.find("Private"), std::string::npos) << refused;
  EXPECT_NE(refused.find("nesting 1"), std::string::npos) << refused;
  EXPECT_EQ(run(12, 3, 10).rfind("refused: ", 0), 0u);
}

}  // namespace
