#include "messaging/Enrolment.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include <openssl/crypto.h>

#include "messaging/Addresses.h"
#include "messaging/Certificates.h"
#include "messaging/NKeys.h"
#include "messaging/NatsLink.h"
#include "messaging/SubjectToken.h"

extern char** environ;

namespace messaging::enrolment {

namespace {

const char* const kConfig = "nats-server.conf";
const char* const kClientsConfig = "clients.conf";
const char* const kRegister = "clients.list";
const char* const kClientsDir = "clients";
const char* const kPidFile = "nats-server.pid";
const char* const kUrlFile = "url";
const char* const kCaFile = "ca.pem";
const char* const kCaKeyFile = "ca-key.pem";
const char* const kServerCertFile = "server-cert.pem";
const char* const kServerKeyFile = "server-key.pem";
// A file name is at most 255 bytes; the longest suffix is ".sys.nk".
constexpr std::size_t kMaxTokenSize = 255 - 7;

std::string Errno(const std::string& what)
{
  return what + ": " + std::strerror(errno);
}

class Fd
{
public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd()
  {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return m_fd; }

private:
  int m_fd;
};

// The directory's exclusive lock, held while the object lives.
class DirectoryLock
{
public:
  explicit DirectoryLock(const std::string& dir) : m_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
  {
    if (m_fd.Get() < 0)
      throw EnrolmentError(Errno("cannot open the directory " + dir));
    while (::flock(m_fd.Get(), LOCK_EX) != 0) {
      if (errno != EINTR)
        throw EnrolmentError(Errno("cannot lock the directory " + dir));
    }
  }
  int Handle() const { return m_fd.Get(); }

private:
  Fd m_fd;
};

// An existing directory as an absolute path without symbolic links.
std::string Absolute(const std::string& dir)
{
  char resolved[PATH_MAX];
  if (!::realpath(dir.c_str(), resolved))
    throw EnrolmentError(Errno("cannot find the directory " + dir));
  struct stat st {};
  if (::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode))
    throw EnrolmentError(dir + " is not a directory");
  return resolved;
}

std::string Join(const std::string& dir, const std::string& name)
{
  return dir + "/" + name;
}

void WriteAll(int fd, const std::string& path, const char* data, std::size_t size)
{
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw EnrolmentError(Errno("cannot write " + path));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Writes the file next to its final name and renames it over that, so that readers (the server
// at a reload) see the old file or the new one, never half of one. `sync`: on disk before the
// rename (callers writing many files sync the file system once instead).
void WriteAtomically(const std::string& path, const std::string& content, mode_t mode, bool sync = true)
{
  const std::string temporary = path + ".tmp";
  {
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.Get() < 0)
      throw EnrolmentError(Errno("cannot create " + temporary));
    // A left-over temporary file keeps its old mode; a key must not.
    if (::fchmod(fd.Get(), mode) != 0)
      throw EnrolmentError(Errno("cannot set the mode of " + temporary));
    WriteAll(fd.Get(), temporary, content.data(), content.size());
    if (sync && ::fsync(fd.Get()) != 0)
      throw EnrolmentError(Errno("cannot sync " + temporary));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string error = Errno("cannot rename " + temporary + " to " + path);
    ::unlink(temporary.c_str());
    throw EnrolmentError(error);
  }
}

void WriteSecret(const std::string& path, std::string& content, bool sync = true)
{
  try {
    WriteAtomically(path, content, 0600, sync);
  } catch (...) {
    OPENSSL_cleanse(content.data(), content.size());
    throw;
  }
  OPENSSL_cleanse(content.data(), content.size());
}

std::string ReadText(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw EnrolmentError(Errno("cannot read " + path));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path)
{
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// A string for the server's configuration, in double quotes. Texts the configuration syntax
// would read differently are refused rather than escaped.
std::string Quote(const std::string& text, const char* what)
{
  for (const char c : text)
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      throw EnrolmentError(std::string(what) + " \"" + text + "\" has a character the server's configuration cannot hold");
  return "\"" + text + "\"";
}

std::string QuotedList(const std::vector<std::string>& items)
{
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i)
      text += ", ";
    text += "\"" + items[i] + "\"";
  }
  return text + "]";
}

std::string TokenOf(const std::string& address)
{
  std::string token = EscapeToken(address);
  if (token.size() > kMaxTokenSize)
    throw EnrolmentError("the address \"" + address + "\" is too long for a seed file name (" +
                         std::to_string(token.size()) + " bytes escaped, at most " + std::to_string(kMaxTokenSize) + ")");
  return token;
}

std::string SeedPath(const std::string& dir, const std::string& address, bool system = false)
{
  TokenOf(address);  // refuses an address too long for a file name
  return messaging::SeedFileOf(dir, address, system);
}

// ---- the register ----

std::vector<RegisterEntry> ReadRegister(const std::string& dir)
{
  const std::string path = Join(dir, kRegister);
  if (!Exists(path))
    throw EnrolmentError(dir + " is not a messaging directory (no " + kRegister + "): run corvex-nats init first");
  std::istringstream in(ReadText(path));
  std::vector<RegisterEntry> entries;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    // An address may begin with '#' but holds no blank: "# " begins a comment only.
    if (line.empty() || line.compare(0, 2, "# ") == 0)
      continue;
    std::istringstream fields(line);
    RegisterEntry entry;
    std::string extra;
    if (!(fields >> entry.address >> entry.role >> entry.publicKey) || (fields >> extra) ||
        !IsUserPublicKey(entry.publicKey) ||
        (entry.role != kRoleClient && entry.role != kRoleRelay && entry.role != kRoleRelaySystem))
      throw EnrolmentError(path + ":" + std::to_string(number) + ": not \"address role public-key\"");
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string FormatRegister(const std::vector<RegisterEntry>& entries)
{
  std::string text = "# address role public-key (written by corvex-nats; clients.conf is made from it)\n";
  for (const RegisterEntry& e : entries)
    text += e.address + " " + e.role + " " + e.publicKey + "\n";
  return text;
}

std::string RelayName(const std::vector<RegisterEntry>& entries)
{
  for (const RegisterEntry& e : entries)
    if (e.role == kRoleRelay)
      return e.address;
  throw EnrolmentError(std::string("the register ") + kRegister + " names no relay");
}

// ---- the server's configuration ----

std::string UserLine(const std::string& publicKey, const std::string& permissions)
{
  return "      {nkey: \"" + publicKey + "\", permissions: " + permissions + "}\n";
}

std::string ClientsConfig(const std::vector<RegisterEntry>& entries)
{
  std::string cvx;
  std::string sys;
  cvx.reserve(entries.size() * 320);
  for (const RegisterEntry& e : entries) {
    // An address holds no line end, so a comment line cannot end early.
    const std::string comment = "      # " + e.address + (e.role == kRoleClient ? "" : " (" + e.role + ")") + "\n";
    if (e.role == kRoleRelay) {
      cvx += comment + UserLine(e.publicKey, "{publish: \">\", subscribe: \">\"}");
    } else if (e.role == kRoleRelaySystem) {
      // Requests to the system services, and the replies to them in the relay's own inboxes.
      sys += comment + UserLine(e.publicKey, "{publish: {allow: [\"$SYS.REQ.>\", \"_I.>\"]}, "
                                             "subscribe: {allow: [\"$SYS.>\", \"_I.>\"]}}");
    } else {
      cvx += comment + UserLine(e.publicKey, "{publish: {allow: " + QuotedList(PublishAllowed(e.address)) +
                                                 "}, subscribe: {allow: " + QuotedList(SubscribeAllowed(e.address)) + "}}");
    }
  }
  return "# Accounts and users of the messaging server, regenerated from clients.list at every\n"
         "# enrolment and removal by corvex-nats: edits here are lost.\n"
         "accounts {\n"
         "  CVX {\n"
         "    jetstream: enabled\n"
         "    users: [\n" +
         cvx +
         "    ]\n"
         "  }\n"
         "  SYS {\n"
         "    users: [\n" +
         sys +
         "    ]\n"
         "  }\n"
         "}\n";
}

std::string ServerConfig(const std::string& dir, const ServerSettings& s, const std::string& jetStreamDir)
{
  std::string text =
    "# The messaging server of this location, written by corvex-nats init. Accounts and users\n"
    "# are in clients.conf (corvex-nats enrol/remove). Check with: nats-server -t -c <this file>\n"
    "host: " + Quote(s.listen, "the listen address") + "\n"
    "port: " + std::to_string(s.port) + "\n"
    "pid_file: " + Quote(Join(dir, kPidFile), "the directory") + "\n"
    "max_payload: " + std::to_string(s.maxPayload) + "\n"
    "ping_interval: \"" + std::to_string(s.pingIntervalSeconds) + "s\"\n"
    "ping_max: " + std::to_string(s.pingMax) + "\n"
    "\n"
    "# Clients must speak TLS; they trust ca.pem alone.\n"
    "tls {\n"
    "  cert_file: " + Quote(Join(dir, kServerCertFile), "the directory") + "\n"
    "  key_file: " + Quote(Join(dir, kServerKeyFile), "the directory") + "\n"
    "  timeout: 5\n"
    "}\n"
    "\n"
    "jetstream {\n"
    "  store_dir: " + Quote(jetStreamDir, "the JetStream directory") + "\n"
    "  max_memory_store: " + std::to_string(s.maxMemoryStore) + "\n";
  if (s.maxFileStore > 0)
    text += "  max_file_store: " + std::to_string(s.maxFileStore) + "\n";
  text +=
    "}\n"
    "\n"
    "system_account: SYS\n"
    "include \"" + std::string(kClientsConfig) + "\"\n";
  return text;
}

void WriteRegisterAndConfig(const std::string& dir, const std::vector<RegisterEntry>& entries)
{
  WriteAtomically(Join(dir, kRegister), FormatRegister(entries), 0644);
  WriteAtomically(Join(dir, kClientsConfig), ClientsConfig(entries), 0644);
}

std::string HostName()
{
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || !name[0])
    throw EnrolmentError("this machine has no host name: give one");
  return name;
}

void Validate(const ServerSettings& s)
{
  if (s.port < 1 || s.port > 65535)
    throw EnrolmentError("the port is a number from 1 to 65535");
  if (!IsValidClientAddress(s.relayName) || s.relayName.find('.') != std::string::npos)
    throw EnrolmentError("the relay's name \"" + s.relayName + "\" is not a service address (no '.', ':' or blanks)");
  if (s.pingIntervalSeconds < 1 || s.pingIntervalSeconds > 3600)
    throw EnrolmentError("the ping interval is from 1 to 3600 seconds");
  if (s.pingMax < 1 || s.pingMax > 100)
    throw EnrolmentError("the number of unanswered pings is from 1 to 100");
  if (s.maxPayload < 1024 || s.maxPayload > (64 << 20))
    throw EnrolmentError("the largest payload is from 1 KB to 64 MB");
  if (s.maxMemoryStore < 0 || s.maxFileStore < 0)
    throw EnrolmentError("JetStream limits are not negative");
  if (s.listen.empty())
    throw EnrolmentError("the listen address is empty");
}

std::string ReadUrl(const std::string& dir)
{
  std::string url = ReadText(Join(dir, kUrlFile));
  while (!url.empty() && (url.back() == '\n' || url.back() == '\r'))
    url.pop_back();
  return url;
}

ClientCredentials Credentials(const std::string& dir, const std::string& address, const std::string& publicKey,
                              const std::string& url)
{
  return ClientCredentials{address, publicKey, SeedPath(dir, address), Join(dir, kCaFile), url};
}

}  // namespace

std::string ConfigFile(const std::string& dir)
{
  return Join(dir, kConfig);
}

std::string SeedFileOf(const std::string& dir, const std::string& address)
{
  return SeedPath(dir, address);
}

std::vector<std::string> PublishAllowed(const std::string& address)
{
  const std::string t = EscapeToken(address);
  return {"cvx.to.*." + t, "cvx.svc.*." + t, "cvx.rt." + t, "cvx.ack." + t, "$JS.ACK.CVX_INBOX.svc_" + t + ".>"};
}

std::vector<std::string> SubscribeAllowed(const std::string& address)
{
  const std::string t = EscapeToken(address);
  return {"cvx.dlv." + t, "_I." + t + ".>"};
}

void Init(const std::string& dirArgument, const ServerSettings& settingsArgument)
{
  ServerSettings settings = settingsArgument;
  if (settings.host.empty())
    settings.host = HostName();
  Validate(settings);
  if (::mkdir(dirArgument.c_str(), 0755) != 0 && errno != EEXIST)
    throw EnrolmentError(Errno("cannot create " + dirArgument));
  const std::string dir = Absolute(dirArgument);
  Quote(dir, "the directory");
  DirectoryLock lock(dir);
  for (const char* name : {kConfig, kRegister, kClientsConfig})
    if (Exists(Join(dir, name)))
      throw EnrolmentError(dir + " already holds " + name + ": it is initialised (remove it first to start anew)");
  // The server keeps its data in a "jetstream" folder under store_dir: DIR/jetstream by default.
  const std::string jetStreamDir = settings.jetStreamDir.empty() ? dir : settings.jetStreamDir;
  if (jetStreamDir.front() != '/')
    throw EnrolmentError("the JetStream directory is an absolute path");
  const std::string clients = Join(dir, kClientsDir);
  if (::mkdir(clients.c_str(), 0750) != 0 && errno != EEXIST)
    throw EnrolmentError(Errno("cannot create " + clients));

  try {
    PemCertificate ca = NewCertificateAuthority("Corvex messaging authority " + settings.host);
    PemCertificate server = NewServerCertificate(ca.certificate, ca.privateKey, {settings.host, "localhost", "127.0.0.1"});
    WriteSecret(Join(dir, kCaKeyFile), ca.privateKey);
    WriteAtomically(Join(dir, kCaFile), ca.certificate, 0644);
    WriteSecret(Join(dir, kServerKeyFile), server.privateKey);
    WriteAtomically(Join(dir, kServerCertFile), server.certificate, 0644);
  } catch (const CertificateError& e) {
    throw EnrolmentError(e.what());
  }

  std::vector<RegisterEntry> entries;
  for (const bool system : {false, true}) {
    UserKeyPair pair = NewUserKeyPair();
    std::string content = pair.seed.Text() + "\n";
    WriteSecret(SeedPath(dir, settings.relayName, system), content);
    entries.push_back({settings.relayName, system ? kRoleRelaySystem : kRoleRelay, pair.publicKey});
  }
  const std::string host = settings.host.find(':') != std::string::npos ? "[" + settings.host + "]" : settings.host;
  WriteAtomically(Join(dir, kUrlFile), "tls://" + host + ":" + std::to_string(settings.port) + "\n", 0644);
  WriteRegisterAndConfig(dir, entries);
  WriteAtomically(Join(dir, kConfig), ServerConfig(dir, settings, jetStreamDir), 0644);
  ::fsync(lock.Handle());
}

std::vector<ClientCredentials> Enrol(const std::string& dirArgument, const std::vector<std::string>& addresses)
{
  const std::string dir = Absolute(dirArgument);
  DirectoryLock lock(dir);
  std::vector<RegisterEntry> entries = ReadRegister(dir);
  const std::string relay = RelayName(entries);
  std::unordered_set<std::string> known;
  known.reserve(entries.size());
  for (const RegisterEntry& e : entries)
    known.insert(e.address);
  std::unordered_set<std::string> batch;
  batch.reserve(addresses.size());
  for (const std::string& address : addresses) {
    if (!IsValidClientAddress(address))
      throw EnrolmentError("\"" + address + "\" is not a client address (1 to 255 bytes of text without blanks or ':', not "
                           "beginning or ending with '.')");
    TokenOf(address);
    if (address == relay)
      throw EnrolmentError("\"" + address + "\" is the relay's own name");
    if (known.count(address))
      throw EnrolmentError("\"" + address + "\" is already enrolled");
    if (!batch.insert(address).second)
      throw EnrolmentError("\"" + address + "\" is given twice");
  }
  const std::string url = ReadUrl(dir);

  std::vector<ClientCredentials> enrolled;
  enrolled.reserve(addresses.size());
  bool registered = false;
  try {
    for (const std::string& address : addresses) {
      UserKeyPair pair = NewUserKeyPair();
      std::string content = pair.seed.Text() + "\n";
      // One file-system sync for all of them below instead of one per seed.
      WriteSecret(SeedPath(dir, address), content, false);
      entries.push_back({address, kRoleClient, pair.publicKey});
      enrolled.push_back(Credentials(dir, address, pair.publicKey, url));
    }
    if (!enrolled.empty() && ::syncfs(lock.Handle()) != 0)
      throw EnrolmentError(Errno("cannot sync the seed files"));
    // The register is what counts: a clients.conf not written now is made from it next time.
    WriteAtomically(Join(dir, kRegister), FormatRegister(entries), 0644);
    registered = true;
    WriteAtomically(Join(dir, kClientsConfig), ClientsConfig(entries), 0644);
  } catch (...) {
    // Seeds of clients the register does not hold would only confuse the next enrolment.
    if (!registered)
      for (const ClientCredentials& c : enrolled)
        ::unlink(c.seedFile.c_str());
    throw;
  }
  return enrolled;
}

void Remove(const std::string& dirArgument, const std::vector<std::string>& addresses)
{
  const std::string dir = Absolute(dirArgument);
  DirectoryLock lock(dir);
  std::vector<RegisterEntry> entries = ReadRegister(dir);
  std::unordered_set<std::string> clients;
  for (const RegisterEntry& e : entries)
    if (e.role == kRoleClient)
      clients.insert(e.address);
  std::unordered_set<std::string> removing;
  for (const std::string& address : addresses) {
    if (!clients.count(address))
      throw EnrolmentError("\"" + address + "\" is not an enrolled client" +
                           (address == RelayName(entries) ? " (it is the relay)" : ""));
    removing.insert(address);
  }
  std::vector<RegisterEntry> kept;
  kept.reserve(entries.size());
  for (RegisterEntry& e : entries)
    if (e.role != kRoleClient || !removing.count(e.address))
      kept.push_back(std::move(e));
  WriteRegisterAndConfig(dir, kept);
  for (const std::string& address : removing)
    ::unlink(SeedPath(dir, address).c_str());
}

std::vector<RegisterEntry> List(const std::string& dirArgument)
{
  return ReadRegister(Absolute(dirArgument));
}

ClientCredentials CredentialsOf(const std::string& dirArgument, const std::string& address)
{
  const std::string dir = Absolute(dirArgument);
  for (const RegisterEntry& e : ReadRegister(dir))
    if (e.role == kRoleClient && e.address == address)
      return Credentials(dir, address, e.publicKey, ReadUrl(dir));
  throw EnrolmentError("\"" + address + "\" is not an enrolled client");
}

void Reload(const std::string& dirArgument)
{
  const std::string dir = Absolute(dirArgument);
  const std::string pidFile = Join(dir, kPidFile);
  if (!Exists(pidFile))
    throw EnrolmentError("the messaging server of " + dir + " does not run (no " + kPidFile + "); it reads the new "
                         "configuration when it starts");
  const std::string text = ReadText(pidFile);
  char* end = nullptr;
  const long pid = std::strtol(text.c_str(), &end, 10);
  if (pid <= 1 || (*end && *end != '\n'))
    throw EnrolmentError(pidFile + " does not hold a process id");
  // A pid left behind by a server that ended may belong to another process by now.
  std::string name;
  {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
  }
  if (name.rfind("nats-server", 0) != 0)
    throw EnrolmentError("the messaging server of " + dir + " does not run (process " + std::to_string(pid) + " of " +
                         kPidFile + " is gone); it reads the new configuration when it starts");
  if (::kill(static_cast<pid_t>(pid), SIGHUP) != 0)
    throw EnrolmentError(Errno("cannot signal the messaging server (process " + std::to_string(pid) + ")"));
}

bool Check(const std::string& dirArgument, const std::string& serverProgram, std::string& output)
{
  const std::string config = ConfigFile(Absolute(dirArgument));
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    throw EnrolmentError(Errno("cannot make a pipe"));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<std::string> args = {serverProgram, "-t", "-c", config};
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, serverProgram.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    throw EnrolmentError("cannot run " + serverProgram + ": " + std::strerror(spawned));
  }
  output.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace messaging::enrolment
