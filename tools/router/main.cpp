// corvex-router: the messaging router. Clients log on over its Unix socket (and optionally a
// TCP port) and exchange envelopes through it; see messaging/README.md.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "messaging/ProcessSupport.h"
#include "messaging/RouterConfig.h"
#include "messaging/RouterLocation.h"
#include "messaging/RouterServant.h"

namespace {

// True when something accepts connections on the socket path (another router).
bool SocketAnswers(const std::string& path)
{
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0)
    return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const bool answers = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return answers;
}

int Run(const router::RouterConfig& config)
{
  namespace fs = std::filesystem;
  if (config.unixSocket.size() >= sizeof(sockaddr_un::sun_path)) {
    std::fprintf(stderr, "corvex-router: socket path too long: %s\n", config.unixSocket.c_str());
    return 2;
  }
  if (SocketAnswers(config.unixSocket)) {
    std::fprintf(stderr, "corvex-router: another process already listens on %s\n", config.unixSocket.c_str());
    return 1;
  }
  std::error_code ec;
  fs::create_directories(fs::path(config.unixSocket).parent_path(), ec);
  fs::remove(config.unixSocket, ec);  // left behind by a router that did not stop cleanly

  const std::string unixEndpoint = "giop:unix:" + config.unixSocket;
  const std::string tcpEndpoint = config.tcpEndpoint.empty()
                                    ? std::string()
                                    : "giop:tcp:" + (config.tcpEndpoint.find(':') == std::string::npos
                                                       ? ":" + config.tcpEndpoint
                                                       : config.tcpEndpoint);
  const char* options[][2] = {{"endPoint", unixEndpoint.c_str()},
                              {tcpEndpoint.empty() ? nullptr : "endPoint", tcpEndpoint.c_str()},
                              {nullptr, nullptr}};
  int argc = 1;
  char name[] = "corvex-router";
  char* argv[] = {name, nullptr};
  CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
  // Waiting letters are decoded with the ORB's type codes and code sets, so it comes first.
  router::RouterLog log(config.log);
  router::RouterCore core(config.core, log);
  CORBA::Object_var object = orb->resolve_initial_references("omniINSPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(object.in());
  auto* servant = new router::RouterServant(core, config.deliveryTimeoutMs);
  PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(messaging::ROUTER_OBJECT_KEY);
  poa->activate_object_with_id(id.in(), servant);
  servant->_remove_ref();
  core.Start();
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();
  // The full reference beside the socket: unlike the corbaloc address it names the code sets.
  const std::string iorFile = messaging::RouterIorFile(config.unixSocket);
  {
    CORBA::Object_var self = poa->id_to_reference(id.in());
    CORBA::String_var ior = orb->object_to_string(self.in());
    std::ofstream(iorFile + ".tmp") << ior.in() << "\n";
    fs::rename(iorFile + ".tmp", iorFile, ec);
  }

  const std::string listening = "router " + config.core.name + " listening on " + unixEndpoint +
                                (tcpEndpoint.empty() ? "" : " and " + tcpEndpoint) + ", data in " +
                                config.core.dataDirectory.string();
  log.Write(2, listening);
  std::printf("%s\n", listening.c_str());
  std::fflush(stdout);

  const int signal = messaging::WaitForStopSignal();

  log.Write(2, std::string("router ") + config.core.name + " stopping on " + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
  manager->deactivate(true, true);  // no new calls; the ones under way finish
  core.Stop();
  orb->destroy();
  fs::remove(config.unixSocket, ec);
  fs::remove(iorFile, ec);
  log.Write(2, "router " + config.core.name + " stopped");
  return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
  // Every thread (the ORB's included) inherits the blocked stop signals; Run waits for them.
  messaging::BlockStopSignals();

  router::RouterConfig config;
  try {
    config = router::ParseRouterArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvex-router: %s\n%s", e.what(), router::RouterUsage().c_str());
    return 2;
  }
  if (config.help) {
    std::fputs(router::RouterUsage().c_str(), stdout);
    return 0;
  }
  try {
    return Run(config);
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "corvex-router: %s\n", e._name());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvex-router: %s\n", e.what());
  }
  return 1;
}
