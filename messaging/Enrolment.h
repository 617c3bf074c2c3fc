#pragma once
// A messaging location's configuration directory: what nats-server runs from and what clients
// connect with. Layout (DIR is the directory):
//
//   nats-server.conf      listen, TLS, JetStream, ping, payload limit, pid_file; includes
//   clients.conf          the accounts CVX and SYS with one nkey user per enrolled client,
//                         regenerated from the register at every change (an include cannot sit
//                         inside a users array, so the whole accounts block lives there)
//   clients.list          the register: "address role public-key" per line
//   clients/<token>.nk    a client's seed (mode 0600); the relay's system user <token>.sys.nk
//   ca.pem, ca-key.pem, server-cert.pem, server-key.pem   the deployment's authority (keys 0600)
//   url                   the URL clients use, "tls://host:port"
//   nats-server.pid       written by the server while it runs
//
// Every file is replaced atomically (a temporary file renamed over it), and every change holds
// an exclusive flock on DIR, so concurrent enrolments queue rather than lose each other's lines.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace messaging::enrolment {

// A refused request (an invalid or duplicate address, an uninitialised directory, a server
// that does not run): the text says what to do about it.
class EnrolmentError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

struct ServerSettings
{
  std::string host;              // the name clients use (certificate and url); empty: this machine's name
  std::string listen = "0.0.0.0";  // the address the server binds
  int port = 4222;
  std::string relayName = "corvex-relay";
  int pingIntervalSeconds = 20;  // with pingMax, how soon a vanished client is noticed
  int pingMax = 3;
  std::string jetStreamDir;                 // store_dir (data in its jetstream/); empty: DIR
  std::int64_t maxMemoryStore = 256 << 20;  // bytes
  std::int64_t maxFileStore = 0;            // bytes; 0 leaves it to the server (the disk's free space)
  std::int64_t maxPayload = 8 << 20;
};

// Roles in the register.
inline constexpr const char* kRoleClient = "client";
inline constexpr const char* kRoleRelay = "relay";
inline constexpr const char* kRoleRelaySystem = "relay-sys";

struct RegisterEntry
{
  std::string address;
  std::string role;
  std::string publicKey;
};

// What a client needs to connect.
struct ClientCredentials
{
  std::string address;
  std::string publicKey;
  std::string seedFile;  // absolute
  std::string caFile;    // absolute
  std::string url;
};

// Creates DIR (when missing) and everything in it but the pid file; refuses a directory that
// already holds a configuration or a register.
void Init(const std::string& dir, const ServerSettings& settings);

// Enrols the clients in one change: all of them or, when one is refused (not a client
// address, the relay's name, already enrolled, given twice), none.
std::vector<ClientCredentials> Enrol(const std::string& dir, const std::vector<std::string>& addresses);
// Removes enrolled clients (all or none) and their seed files.
void Remove(const std::string& dir, const std::vector<std::string>& addresses);
// The register, in its order (the relay's users first, then clients by enrolment).
std::vector<RegisterEntry> List(const std::string& dir);
// What an enrolled client connects with; EnrolmentError when it is not enrolled.
ClientCredentials CredentialsOf(const std::string& dir, const std::string& address);

// Has the running server reread its configuration (SIGHUP to the process in nats-server.pid).
// EnrolmentError when no server of this directory runs. The server reloads asynchronously.
void Reload(const std::string& dir);

// Runs `serverProgram -t -c DIR/nats-server.conf`: true when the server finds the configuration
// valid; `output` receives what it printed.
bool Check(const std::string& dir, const std::string& serverProgram, std::string& output);

// Paths inside a directory.
std::string ConfigFile(const std::string& dir);
std::string SeedFileOf(const std::string& dir, const std::string& address);

// The subjects an enrolled client may publish to and subscribe to, as clients.conf grants them.
std::vector<std::string> PublishAllowed(const std::string& address);
std::vector<std::string> SubscribeAllowed(const std::string& address);

}  // namespace messaging::enrolment
