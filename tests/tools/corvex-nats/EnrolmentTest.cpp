// Nkeys, the configuration directory, and what a real nats-server run from that directory lets
// enrolled, unknown, removed and anonymous clients do.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nats/nats.h>

#include "messaging/Enrolment.h"
#include "messaging/NKeys.h"
#include "messaging/SubjectToken.h"
#include "tests/e2e/support/ProcessRunner.h"

namespace {

namespace enrolment = messaging::enrolment;
using namespace std::chrono_literals;

const char* const kServer = "/usr/sbin/nats-server";

mode_t ModeOf(const std::string& path)
{
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

int FreePort()
{
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    return -1;
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout = 5s)
{
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// ---- nkeys ----

TEST(NKeys, CrcIsXmodem)
{
  const char check[] = "123456789";
  EXPECT_EQ(messaging::NKeyCrc16(reinterpret_cast<const unsigned char*>(check), 9), 0x31C3);
}

TEST(NKeys, NewPairReadsBackAndSignsAsTheClientLibraryDoes)
{
  const messaging::UserKeyPair pair = messaging::NewUserKeyPair();
  ASSERT_EQ(pair.seed.Text().size(), 58u);
  EXPECT_EQ(pair.seed.Text().substr(0, 2), "SU");
  ASSERT_EQ(pair.publicKey.size(), 56u);
  EXPECT_EQ(pair.publicKey[0], 'U');
  EXPECT_TRUE(messaging::IsUserSeed(pair.seed.Text()));
  EXPECT_TRUE(messaging::IsUserPublicKey(pair.publicKey));
  EXPECT_EQ(messaging::PublicKeyFromSeed(pair.seed.Text()), pair.publicKey);

  // libnats decodes the seed with its own code: Ed25519 signatures are deterministic, so the
  // same bytes prove the seed text (prefix, base32, CRC) is the one NATS expects.
  const std::string nonce = "a-server-nonce-0123456789";
  const auto ours = messaging::Sign(pair.seed.Text(), nonce.data(), nonce.size());
  unsigned char* theirs = nullptr;
  int length = 0;
  ASSERT_EQ(nats_Open(-1), NATS_OK);
  ASSERT_EQ(nats_Sign(pair.seed.Text().c_str(), nonce.c_str(), &theirs, &length), NATS_OK);
  ASSERT_EQ(length, 64);
  EXPECT_EQ(std::memcmp(ours.data(), theirs, 64), 0);
  std::free(theirs);
}

TEST(NKeys, MalformedKeysAreRefused)
{
  const messaging::UserKeyPair pair = messaging::NewUserKeyPair();
  const std::string seed = pair.seed.Text();
  std::string flipped = seed;
  flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
  std::string lower = seed;
  const auto letter = lower.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 2);
  lower[letter] = static_cast<char>(std::tolower(lower[letter]));
  for (const std::string& bad : {flipped, lower, seed.substr(0, 57), seed + "A", pair.publicKey, std::string(),
                                 "SA" + seed.substr(2)}) {
    EXPECT_FALSE(messaging::IsUserSeed(bad)) << bad;
    EXPECT_THROW(messaging::PublicKeyFromSeed(bad), messaging::NKeyError) << bad;
    EXPECT_THROW(messaging::Sign(bad, "x", 1), messaging::NKeyError) << bad;
  }
  std::string flippedKey = pair.publicKey;
  flippedKey[30] = flippedKey[30] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(messaging::IsUserPublicKey(flippedKey));
  EXPECT_FALSE(messaging::IsUserPublicKey(seed));
  EXPECT_FALSE(messaging::IsUserPublicKey("N" + pair.publicKey.substr(1)));
}

TEST(NKeys, SeedFileHoldsOneSeedAndNothingElse)
{
  e2e::ScratchDir dir("corvex-nkeys");
  const messaging::UserKeyPair pair = messaging::NewUserKeyPair();
  const std::string good = dir / "good.nk";
  e2e::WriteFile(good, pair.seed.Text() + "\n");
  EXPECT_EQ(messaging::ReadSeedFile(good).Text(), pair.seed.Text());
  e2e::WriteFile(dir / "crlf.nk", pair.seed.Text() + "\r\n");
  EXPECT_EQ(messaging::ReadSeedFile(dir / "crlf.nk").Text(), pair.seed.Text());

  std::string broken = pair.seed.Text();
  broken[30] = broken[30] == 'Q' ? 'R' : 'Q';
  const std::vector<std::pair<std::string, std::string>> bad = {
    {"public.nk", pair.publicKey + "\n"},
    {"broken.nk", broken + "\n"},
    {"two.nk", pair.seed.Text() + "\n" + pair.seed.Text() + "\n"},
    {"blank.nk", "\n"},
    {"creds.nk", "-----BEGIN USER NKEY SEED-----\n" + pair.seed.Text() + "\n------END USER NKEY SEED------\n"},
  };
  for (const auto& [name, content] : bad) {
    e2e::WriteFile(dir / name, content);
    try {
      messaging::ReadSeedFile(dir / name);
      ADD_FAILURE() << name << " was read as a seed";
    } catch (const messaging::NKeyError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(name), std::string::npos) << text;
      EXPECT_EQ(text.find(pair.seed.Text().substr(2, 20)), std::string::npos) << "the error shows the seed";
      EXPECT_EQ(text.find(broken.substr(2, 20)), std::string::npos) << "the error shows the file's text";
    }
  }
  EXPECT_THROW(messaging::ReadSeedFile(dir.Path()), messaging::NKeyError);
  EXPECT_THROW(messaging::ReadSeedFile(dir / "missing.nk"), messaging::NKeyError);
}

// ---- the configuration directory, without a server ----

class EnrolmentDirectory : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_settings.host = "corvex-test.example";
    m_settings.listen = "127.0.0.1";
    m_settings.port = 14222;
    m_settings.maxMemoryStore = 64 << 20;
    m_settings.maxFileStore = 256 << 20;
    enrolment::Init(m_dir.Path(), m_settings);
  }

  std::string Register() const { return e2e::ReadFile(m_dir / "clients.list"); }
  std::string Check() const
  {
    std::string output;
    EXPECT_TRUE(enrolment::Check(m_dir.Path(), kServer, output)) << output;
    return output;
  }

  e2e::ScratchDir m_dir{"corvex-nats-dir"};
  enrolment::ServerSettings m_settings;
};

TEST_F(EnrolmentDirectory, InitWritesAValidConfigurationWithPrivateKeys)
{
  for (const char* key : {"ca-key.pem", "server-key.pem", "clients/corvex-relay.nk", "clients/corvex-relay.sys.nk"})
    EXPECT_EQ(ModeOf(m_dir / key), 0600u) << key;
  EXPECT_EQ(e2e::ReadFile(m_dir / "url"), "tls://corvex-test.example:14222\n");
  const std::string config = e2e::ReadFile(m_dir / "nats-server.conf");
  for (const std::string& part : {"pid_file: \"" + m_dir / "nats-server.pid\"", std::string("system_account: SYS"),
                                  std::string("max_payload: 8388608"), std::string("include \"clients.conf\""),
                                  std::string("tls {"), "store_dir: \"" + m_dir.Path() + "\""})
    EXPECT_NE(config.find(part), std::string::npos) << part << " missing in\n" << config;
  const auto entries = enrolment::List(m_dir.Path());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].role, "relay");
  EXPECT_EQ(entries[1].role, "relay-sys");
  EXPECT_EQ(messaging::PublicKeyFromSeed(messaging::ReadSeedFile(m_dir / "clients/corvex-relay.nk").Text()),
            entries[0].publicKey);
  Check();
  EXPECT_THROW(enrolment::Init(m_dir.Path(), m_settings), enrolment::EnrolmentError);

  enrolment::ServerSettings bad = m_settings;
  bad.relayName = "relay.with.dots";
  e2e::ScratchDir other("corvex-nats-dir");
  EXPECT_THROW(enrolment::Init(other.Path(), bad), enrolment::EnrolmentError);
  EXPECT_FALSE(std::filesystem::exists(other / "nats-server.conf"));
}

TEST_F(EnrolmentDirectory, EnrolmentIsAllOrNothingAndKeepsTheServerConfigurationValid)
{
  // Addresses with bytes that must be escaped in subjects and file names.
  const std::vector<std::string> first = {"PC7.Agent", "a*b>c.Agent", "Caf\xC3\xA9#1.Agent", "#hash.Agent", "Service_Name"};
  const auto enrolled = enrolment::Enrol(m_dir.Path(), first);
  ASSERT_EQ(enrolled.size(), first.size());
  EXPECT_EQ(enrolled[1].seedFile, m_dir / "clients/a=2Ab=3Ec=2EAgent.nk");
  EXPECT_EQ(enrolled[1].caFile, m_dir / "ca.pem");
  EXPECT_EQ(enrolled[1].url, "tls://corvex-test.example:14222");
  for (const auto& c : enrolled) {
    EXPECT_EQ(ModeOf(c.seedFile), 0600u);
    EXPECT_EQ(messaging::PublicKeyFromSeed(messaging::ReadSeedFile(c.seedFile).Text()), c.publicKey);
  }
  const std::string clients = e2e::ReadFile(m_dir / "clients.conf");
  EXPECT_NE(clients.find("\"cvx.to.*.a=2Ab=3Ec=2EAgent\", \"cvx.svc.*.a=2Ab=3Ec=2EAgent\", \"cvx.rt.a=2Ab=3Ec=2EAgent\", "
                         "\"cvx.ack.a=2Ab=3Ec=2EAgent\", \"$JS.ACK.CVX_INBOX.svc_a=2Ab=3Ec=2EAgent.>\""),
            std::string::npos)
    << clients;
  EXPECT_NE(clients.find("subscribe: {allow: [\"cvx.dlv.PC7=2EAgent\", \"_I.PC7=2EAgent.>\"]}"), std::string::npos);
  Check();

  const std::string before = Register();
  for (const std::vector<std::string>& refused : std::vector<std::vector<std::string>>{
         {"PC8.Agent", "PC7.Agent"},       // already enrolled
         {"PC8.Agent", "PC8.Agent"},       // twice
         {"PC8.Agent", "corvex-relay"},    // the relay
         {"PC8.Agent", "has blank.Agent"}, // not an address
         {"PC8.Agent", ".Agent"},
         {"PC8.Agent", std::string(250, 'x') + ".Agent"},  // fine as an address, too long as a file name
       }) {
    EXPECT_THROW(enrolment::Enrol(m_dir.Path(), refused), enrolment::EnrolmentError) << refused[1];
    EXPECT_EQ(Register(), before);
    EXPECT_FALSE(std::filesystem::exists(enrolment::SeedFileOf(m_dir.Path(), "PC8.Agent")));
  }

  EXPECT_THROW(enrolment::Remove(m_dir.Path(), {"PC7.Agent", "PC9.Agent"}), enrolment::EnrolmentError);
  EXPECT_THROW(enrolment::Remove(m_dir.Path(), {"corvex-relay"}), enrolment::EnrolmentError);
  EXPECT_EQ(Register(), before);
  enrolment::Remove(m_dir.Path(), {"PC7.Agent", "Service_Name"});
  EXPECT_FALSE(std::filesystem::exists(enrolled[0].seedFile));
  std::set<std::string> left;
  for (const auto& e : enrolment::List(m_dir.Path()))
    left.insert(e.address);
  EXPECT_EQ(left, (std::set<std::string>{"corvex-relay", "a*b>c.Agent", "Caf\xC3\xA9#1.Agent", "#hash.Agent"}));
  EXPECT_EQ(e2e::ReadFile(m_dir / "clients.conf").find("PC7=2EAgent"), std::string::npos);
  Check();
  // Enrolled again after its removal: a new key.
  EXPECT_NE(enrolment::Enrol(m_dir.Path(), {"PC7.Agent"})[0].publicKey, enrolled[0].publicKey);

  try {
    enrolment::Reload(m_dir.Path());
    ADD_FAILURE() << "reloaded a server that does not run";
  } catch (const enrolment::EnrolmentError& e) {
    EXPECT_NE(std::string(e.what()).find("does not run"), std::string::npos) << e.what();
  }
  e2e::WriteFile(m_dir / "nats-server.pid", "999999999\n");  // a server gone long ago
  EXPECT_THROW(enrolment::Reload(m_dir.Path()), enrolment::EnrolmentError);
}

TEST_F(EnrolmentDirectory, ConcurrentEnrolmentsLoseNothing)
{
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; i += 5) {
        std::vector<std::string> batch;
        for (int j = i; j < i + 5; ++j)
          batch.push_back("T" + std::to_string(t) + "-" + std::to_string(j) + ".Agent");
        try {
          enrolment::Enrol(m_dir.Path(), batch);
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(enrolment::List(m_dir.Path()).size(), 2u + kThreads * kEach);
  Check();
}

// ---- a real server run from the directory ----

// nats-server on a free loopback port, from an Init'ed directory; killed by its pid when the
// test ends, and by the kernel should the test process die first.
class Server
{
public:
  Server(const std::string& dir, const std::string& log)
  {
    // Everything the child needs is made before the fork: it only calls what is safe there.
    const std::string config = enrolment::ConfigFile(dir);
    const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    m_pid = ::fork();
    if (m_pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(output, STDOUT_FILENO);
      ::dup2(output, STDERR_FILENO);
      ::execl(kServer, kServer, "-c", config.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(output);
    m_ready = m_pid > 0 && e2e::WaitForText(log, "Server is ready", 15s);
  }
  ~Server()
  {
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      if (!WaitUntil([this] { return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 3s)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
      }
    }
  }
  bool Ready() const { return m_ready; }

private:
  pid_t m_pid = -1;
  bool m_ready = false;
};

// What the server told a connection asynchronously (permission violations).
struct Errors
{
  std::mutex mutex;
  std::vector<std::string> texts;

  bool Seen(const std::string& part)
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::string& t : texts)
      if (t.find(part) != std::string::npos)
        return true;
    return false;
  }
};

void OnError(natsConnection* nc, natsSubscription*, natsStatus status, void* closure)
{
  auto* errors = static_cast<Errors*>(closure);
  const char* text = nullptr;
  natsConnection_GetLastError(nc, &text);
  std::lock_guard<std::mutex> lock(errors->mutex);
  errors->texts.push_back(std::string(natsStatus_GetText(status)) + ": " + (text ? text : ""));
}

natsStatus SignNonce(char**, unsigned char** signature, int* length, const char* nonce, void* closure)
{
  const auto* seed = static_cast<const std::string*>(closure);
  const auto bytes = messaging::Sign(*seed, nonce, std::strlen(nonce));
  *signature = static_cast<unsigned char*>(std::malloc(bytes.size()));
  std::memcpy(*signature, bytes.data(), bytes.size());
  *length = static_cast<int>(bytes.size());
  return NATS_OK;
}

struct Connection
{
  natsConnection* nc = nullptr;
  natsStatus status = NATS_ERR;
  std::string error;

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { Reset(); }
  void Reset()
  {
    if (nc) {
      natsConnection_Close(nc);
      natsConnection_Destroy(nc);
    }
    nc = nullptr;
    status = NATS_ERR;
    error.clear();
  }
};

enum class Auth
{
  Callback,  // our signing, as the service's library does it
  SeedFile,  // libnats reading the seed file itself
  None,
};

class EnrolmentServer : public ::testing::Test
{
protected:
  static void SetUpTestSuite()
  {
    s_dir = new e2e::ScratchDir("corvex-nats-e2e");
    enrolment::ServerSettings settings;
    settings.host = "localhost";
    settings.listen = "127.0.0.1";
    settings.port = FreePort();
    settings.pingIntervalSeconds = 2;
    settings.maxMemoryStore = 32 << 20;
    settings.maxFileStore = 64 << 20;
    enrolment::Init(s_dir->Path(), settings);
    s_server = new Server(s_dir->Path(), *s_dir / "server.log");
  }
  static void TearDownTestSuite()
  {
    delete s_server;
    s_server = nullptr;
    delete s_dir;
    s_dir = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_server->Ready()) << e2e::ReadFile(*s_dir / "server.log"); }

  static std::string Dir() { return s_dir->Path(); }

  static void Connect(Connection& c, const std::string& publicKey, const std::string* seed, Auth auth, Errors* errors,
                      const std::string& seedFile = "")
  {
    natsOptions* opts = nullptr;
    natsOptions_Create(&opts);
    const enrolment::ClientCredentials relay = RelayCredentials();
    natsOptions_SetURL(opts, relay.url.c_str());
    natsOptions_LoadCATrustedCertificates(opts, relay.caFile.c_str());
    // The server's certificate names the host clients are given.
    natsOptions_SetExpectedHostname(opts, "localhost");
    natsOptions_SetAllowReconnect(opts, false);
    natsOptions_SetTimeout(opts, 3000);
    if (auth == Auth::Callback)
      natsOptions_SetNKey(opts, publicKey.c_str(), SignNonce, const_cast<std::string*>(seed));
    else if (auth == Auth::SeedFile)
      natsOptions_SetNKeyFromSeed(opts, publicKey.c_str(), seedFile.c_str());
    if (errors)
      natsOptions_SetErrorHandler(opts, OnError, errors);
    c.status = natsConnection_Connect(&c.nc, opts);
    if (c.status != NATS_OK) {
      c.error = std::string(natsStatus_GetText(c.status)) + " " + nats_GetLastError(nullptr);
      c.nc = nullptr;
    }
    natsOptions_Destroy(opts);
  }

  // libnats 3.4.1 sends no signature when its first byte is zero, so one connect in 256 is
  // refused whatever the key; the next nonce gives another signature. Connects that must be
  // admitted take up to three tries.
  static void Admit(Connection& c, const std::string& publicKey, const std::string* seed, Auth auth, Errors* errors,
                    const std::string& seedFile = "")
  {
    for (int attempt = 0; attempt < 3; ++attempt) {
      c.Reset();
      Connect(c, publicKey, seed, auth, errors, seedFile);
      if (c.status == NATS_OK || c.error.find("Authorization Violation") == std::string::npos)
        return;
    }
  }

  // An enrolled client's connection with its own seed file.
  static void ConnectAs(Connection& c, const enrolment::ClientCredentials& client, Errors* errors = nullptr)
  {
    s_seeds.push_back(messaging::ReadSeedFile(client.seedFile).Text());
    Admit(c, client.publicKey, &s_seeds.back(), Auth::Callback, errors);
  }

  static enrolment::ClientCredentials RelayCredentials()
  {
    for (const auto& e : enrolment::List(Dir()))
      if (e.role == enrolment::kRoleRelay)
        return {e.address, e.publicKey, enrolment::SeedFileOf(Dir(), e.address), *s_dir / "ca.pem",
                [] {
                  std::string url = e2e::ReadFile(*s_dir / "url");
                  url.pop_back();
                  return url;
                }()};
    throw std::runtime_error("no relay");
  }

  static e2e::ScratchDir* s_dir;
  static Server* s_server;
  static std::list<std::string> s_seeds;
};

e2e::ScratchDir* EnrolmentServer::s_dir = nullptr;
Server* EnrolmentServer::s_server = nullptr;
std::list<std::string> EnrolmentServer::s_seeds;

struct Inbox
{
  natsSubscription* sub = nullptr;
  ~Inbox() { natsSubscription_Destroy(sub); }
  // The subjects of the messages that arrive within the wait.
  std::vector<std::string> Drain(std::chrono::milliseconds wait)
  {
    std::vector<std::string> subjects;
    natsMsg* msg = nullptr;
    while (natsSubscription_NextMsg(&msg, sub, static_cast<int64_t>(wait.count())) == NATS_OK) {
      subjects.push_back(natsMsg_GetSubject(msg));
      natsMsg_Destroy(msg);
    }
    return subjects;
  }
};

TEST_F(EnrolmentServer, EnrolledClientSendsAsItselfOnlyAndReadsOnlyItsOwnDeliveries)
{
  const auto clients = enrolment::Enrol(Dir(), {"PC1.Agent", "PC2.Agent"});
  enrolment::Reload(Dir());
  const enrolment::ClientCredentials relayCredentials = RelayCredentials();
  Connection relay;
  ConnectAs(relay, relayCredentials);
  ASSERT_EQ(relay.status, NATS_OK) << relay.error;
  Inbox everything;
  ASSERT_EQ(natsConnection_SubscribeSync(&everything.sub, relay.nc, "cvx.>"), NATS_OK);
  ASSERT_EQ(natsConnection_Flush(relay.nc), NATS_OK);

  Errors errors;
  Connection pc1;
  // The reload is asynchronous: the new user may need a moment.
  ASSERT_TRUE(WaitUntil([&] {
    pc1.Reset();
    ConnectAs(pc1, clients[0], &errors);
    return pc1.status == NATS_OK;
  })) << pc1.error;
  Inbox own;
  ASSERT_EQ(natsConnection_SubscribeSync(&own.sub, pc1.nc, "cvx.dlv.PC1=2EAgent"), NATS_OK);
  for (const char* subject : {"cvx.rt.PC1=2EAgent", "cvx.ack.PC1=2EAgent", "cvx.to.PC2=2EAgent.PC1=2EAgent",
                              "cvx.svc.Svc.PC2=2EAgent",  // as another address: refused
                              "cvx.svc.Svc.PC1=2EAgent"})
    ASSERT_EQ(natsConnection_PublishString(pc1.nc, subject, "x"), NATS_OK);
  natsConnection_Flush(pc1.nc);
  EXPECT_EQ(everything.Drain(300ms), (std::vector<std::string>{"cvx.rt.PC1=2EAgent", "cvx.ack.PC1=2EAgent",
                                                                "cvx.to.PC2=2EAgent.PC1=2EAgent", "cvx.svc.Svc.PC1=2EAgent"}));
  EXPECT_TRUE(WaitUntil([&] { return errors.Seen("Permissions Violation for Publish to \"cvx.svc.Svc.PC2=2EAgent\""); }));

  // Deliveries: its own arrive; another's mailbox and the whole tree are refused.
  Inbox other;
  Inbox tree;
  // One at a time: the handler reads the connection's last error, which the next one replaces.
  natsConnection_SubscribeSync(&other.sub, pc1.nc, "cvx.dlv.PC2=2EAgent");
  natsConnection_Flush(pc1.nc);
  EXPECT_TRUE(WaitUntil([&] { return errors.Seen("Permissions Violation for Subscription to \"cvx.dlv.PC2=2EAgent\""); }));
  natsConnection_SubscribeSync(&tree.sub, pc1.nc, "cvx.>");
  natsConnection_Flush(pc1.nc);
  EXPECT_TRUE(WaitUntil([&] { return errors.Seen("Permissions Violation for Subscription to \"cvx.>\""); }));
  natsConnection_PublishString(relay.nc, "cvx.dlv.PC1=2EAgent", "for pc1");
  natsConnection_PublishString(relay.nc, "cvx.dlv.PC2=2EAgent", "for pc2");
  natsConnection_Flush(relay.nc);
  EXPECT_EQ(own.Drain(300ms), std::vector<std::string>{"cvx.dlv.PC1=2EAgent"});
  EXPECT_TRUE(other.Drain(50ms).empty());
  EXPECT_TRUE(tree.Drain(50ms).empty());

  // A request through the relay gets its reply in the client's own inbox prefix.
  Inbox requests;
  natsConnection_SubscribeSync(&requests.sub, relay.nc, "cvx.rt.*");
  natsConnection_Flush(relay.nc);
  std::thread responder([&] {
    natsMsg* msg = nullptr;
    if (natsSubscription_NextMsg(&msg, requests.sub, 3000) == NATS_OK) {
      natsConnection_PublishString(relay.nc, natsMsg_GetReply(msg), "pong");
      natsMsg_Destroy(msg);
    }
  });
  Inbox replies;
  natsConnection_SubscribeSync(&replies.sub, pc1.nc, "_I.PC1=2EAgent.r1");
  natsConnection_PublishRequestString(pc1.nc, "cvx.rt.PC1=2EAgent", "_I.PC1=2EAgent.r1", "ping");
  natsConnection_Flush(pc1.nc);
  responder.join();
  EXPECT_EQ(replies.Drain(300ms), std::vector<std::string>{"_I.PC1=2EAgent.r1"});
  EXPECT_FALSE(errors.Seen("_I."));

  // The client library can read the seed file itself.
  Connection pc2;
  Admit(pc2, clients[1].publicKey, nullptr, Auth::SeedFile, nullptr, clients[1].seedFile);
  EXPECT_EQ(pc2.status, NATS_OK) << pc2.error;
}

TEST_F(EnrolmentServer, RelaySystemUserSeesConnectionsAndAsksTheServer)
{
  const enrolment::ClientCredentials relay = RelayCredentials();
  std::string publicKey;
  for (const auto& e : enrolment::List(Dir()))
    if (e.role == enrolment::kRoleRelaySystem)
      publicKey = e.publicKey;
  const std::string seedFile = Dir() + "/clients/corvex-relay.sys.nk";
  EXPECT_EQ(messaging::PublicKeyFromSeed(messaging::ReadSeedFile(seedFile).Text()), publicKey);
  Errors errors;
  Connection system;
  Admit(system, publicKey, nullptr, Auth::SeedFile, &errors, seedFile);
  ASSERT_EQ(system.status, NATS_OK) << system.error;
  Inbox connects;
  Inbox replies;
  ASSERT_EQ(natsConnection_SubscribeSync(&connects.sub, system.nc, "$SYS.ACCOUNT.CVX.CONNECT"), NATS_OK);
  ASSERT_EQ(natsConnection_SubscribeSync(&replies.sub, system.nc, "_I.corvex-relay.ping"), NATS_OK);
  natsConnection_PublishRequestString(system.nc, "$SYS.REQ.SERVER.PING", "_I.corvex-relay.ping", "");
  natsConnection_Flush(system.nc);
  EXPECT_EQ(replies.Drain(500ms), std::vector<std::string>{"_I.corvex-relay.ping"});

  const auto client = enrolment::Enrol(Dir(), {"PC5.Agent"})[0];
  enrolment::Reload(Dir());
  Connection pc5;
  ASSERT_TRUE(WaitUntil([&] {
    ConnectAs(pc5, client);
    return pc5.status == NATS_OK;
  })) << pc5.error;
  EXPECT_FALSE(connects.Drain(500ms).empty());
}

TEST_F(EnrolmentServer, AnonymousUnknownForgedAndPlainConnectionsAreRefused)
{
  const auto client = enrolment::Enrol(Dir(), {"PC3.Agent"})[0];
  enrolment::Reload(Dir());
  Connection anonymous;
  Connect(anonymous, "", nullptr, Auth::None, nullptr);
  EXPECT_NE(anonymous.status, NATS_OK);
  EXPECT_NE(anonymous.error.find("Authorization Violation"), std::string::npos) << anonymous.error;

  const messaging::UserKeyPair stranger = messaging::NewUserKeyPair();
  Connection unknown;
  Connect(unknown, stranger.publicKey, &stranger.seed.Text(), Auth::Callback, nullptr);
  EXPECT_NE(unknown.status, NATS_OK);
  EXPECT_NE(unknown.error.find("Authorization Violation"), std::string::npos) << unknown.error;

  // An enrolled public key with a signature from another seed.
  Connection forged;
  Connect(forged, client.publicKey, &stranger.seed.Text(), Auth::Callback, nullptr);
  EXPECT_NE(forged.status, NATS_OK);

  // Without TLS: the server announces that it requires it and drops a plain CONNECT.
  const enrolment::ClientCredentials relay = RelayCredentials();
  const int port = std::stoi(relay.url.substr(relay.url.rfind(':') + 1));
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval timeout{3, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string received;
  char buffer[4096];
  ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n > 0)
    received.assign(buffer, static_cast<std::size_t>(n));
  EXPECT_NE(received.find("\"tls_required\":true"), std::string::npos) << received;
  const std::string plain = "CONNECT {\"verbose\":false,\"pedantic\":false}\r\nSUB cvx.> 1\r\nPING\r\n";
  ::send(fd, plain.data(), plain.size(), MSG_NOSIGNAL);
  received.clear();
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
    received.append(buffer, static_cast<std::size_t>(n));
  const bool timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  ::close(fd);
  EXPECT_EQ(received.find("PONG"), std::string::npos) << received;
  EXPECT_FALSE(timedOut) << "the server kept a plain connection open";
}

TEST_F(EnrolmentServer, RemovedClientIsRefusedAfterTheReload)
{
  const auto client = enrolment::Enrol(Dir(), {"PC4.Agent"})[0];
  enrolment::Reload(Dir());
  Connection before;
  ASSERT_TRUE(WaitUntil([&] {
    before.Reset();
    ConnectAs(before, client);
    return before.status == NATS_OK;
  })) << before.error;
  const std::string seed = messaging::ReadSeedFile(client.seedFile).Text();

  enrolment::Remove(Dir(), {"PC4.Agent"});
  enrolment::Reload(Dir());
  Connection after;
  EXPECT_TRUE(WaitUntil([&] {
    after.Reset();
    Connect(after, client.publicKey, &seed, Auth::Callback, nullptr);
    return after.status != NATS_OK;
  }));
  EXPECT_NE(after.error.find("Authorization Violation"), std::string::npos) << after.error;
  // The connection it had is closed by the reload too.
  EXPECT_TRUE(WaitUntil([&] { return natsConnection_IsClosed(before.nc); }));
}

// ---- the programs ----

int RunTool(const std::string& program, const std::vector<std::string>& args, std::string& output,
            const std::vector<std::string>& env = {})
{
  static int n = 0;
  e2e::ScratchDir scratch("corvex-nats-out");
  std::vector<std::string> environment = e2e::CurrentEnvironment();
  environment.insert(environment.end(), env.begin(), env.end());
  return e2e::Run(program, args, environment, scratch / ("out" + std::to_string(++n)), output);
}

TEST(CorvexNatsTool, CommandLine)
{
  e2e::ScratchDir dir("corvex-nats-tool");
  const std::string location = dir / "loc";
  std::string out;
  EXPECT_EQ(RunTool(CORVEX_NATS_BIN, {"--help"}, out), 0);
  EXPECT_NE(out.find("enrol DIR ADDRESS..."), std::string::npos);
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
         {}, {"frobnicate", location}, {"init"}, {"init", location, "--port", "x"}, {"init", location, "--bogus", "1"},
         {"enrol", location}, {"enrol", location, "--bogus", "A.Agent"}, {"list"}, {"list", location, "extra"}}) {
    EXPECT_EQ(RunTool(CORVEX_NATS_BIN, bad, out), 2) << (bad.empty() ? "" : bad[0]) << ": " << out;
  }
  ASSERT_EQ(RunTool(CORVEX_NATS_BIN, {"init", location, "--host", "h.example", "--port", "4333", "--relay-name", "relay1",
                                      "--ping-interval", "5", "--ping-max", "4", "--max-file-store", "1G"},
                    out),
            0)
    << out;
  EXPECT_EQ(e2e::ReadFile(location + "/url"), "tls://h.example:4333\n");
  const std::string config = e2e::ReadFile(location + "/nats-server.conf");
  EXPECT_NE(config.find("ping_interval: \"5s\"\nping_max: 4\n"), std::string::npos) << config;
  EXPECT_NE(config.find("max_file_store: 1073741824"), std::string::npos) << config;

  std::vector<std::string> enrol = {"enrol", location};
  for (int i = 0; i < 300; ++i)
    enrol.push_back("SIM" + std::to_string(i) + ".Agent");
  ASSERT_EQ(RunTool(CORVEX_NATS_BIN, enrol, out), 0) << out;
  EXPECT_EQ(e2e::CountOf(out, ".Agent U"), 300);
  std::string list;
  for (int i = 300; i < 350; ++i)
    list += "SIM" + std::to_string(i) + ".Agent\n";
  e2e::WriteFile(dir / "addresses", list);
  ASSERT_EQ(RunTool(CORVEX_NATS_BIN, {"enrol", location, "--from", dir / "addresses"}, out), 0) << out;
  EXPECT_EQ(e2e::CountOf(out, ".Agent U"), 50);
  EXPECT_EQ(RunTool(CORVEX_NATS_BIN, {"enrol", location, "SIM0.Agent"}, out), 1);
  EXPECT_NE(out.find("already enrolled"), std::string::npos) << out;
  EXPECT_EQ(RunTool(CORVEX_NATS_BIN, {"remove", location, "SIM1.Agent", "SIM2.Agent"}, out), 0) << out;
  EXPECT_EQ(RunTool(CORVEX_NATS_BIN, {"list", location}, out), 0);
  EXPECT_EQ(e2e::CountOf(out, " client U"), 348);
  EXPECT_NE(out.find("relay1 relay U"), std::string::npos);
  EXPECT_EQ(RunTool(CORVEX_NATS_BIN, {"check", location}, out), 0) << out;
  EXPECT_EQ(RunTool(CORVEX_NATS_BIN, {"reload", location}, out), 1);
  EXPECT_NE(out.find("does not run"), std::string::npos) << out;
  EXPECT_EQ(RunTool(CORVEX_NATS_BIN, {"remove", location, "SIM3.Agent", "--reload"}, out), 1);
  EXPECT_NE(out.find("the change is written"), std::string::npos) << out;
}

TEST(CorvexCtlAgent, AgentCommandsUseTheRegistryLocation)
{
  e2e::ScratchDir dir("corvexctl-agent");
  const std::string location = dir / "messaging";
  enrolment::ServerSettings settings;
  settings.host = "console.example";
  enrolment::Init(location, settings);
  e2e::WriteFile(dir / "registry.reg", "Windows Registry Editor Version 5.00\n\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\KT\\Management Tools]\n"
                                       "\"MessagingDirectory\"=\"" + location + "\"\n");
  const std::vector<std::string> env = {"CORVEX_REGISTRY=" + dir / "registry.reg"};
  std::string out;
  ASSERT_EQ(RunTool(CORVEXCTL_BIN, {"agent", "enrol", "PC10", "PC11"}, out, env), 0) << out;
  const auto credentials = enrolment::CredentialsOf(location, "PC11.Agent");
  for (const std::string& part : {std::string("PC10.Agent\n"), "public key: " + credentials.publicKey,
                                  "seed file:  " + location + "/clients/PC11=2EAgent.nk", "CA file:    " + location + "/ca.pem",
                                  std::string("URL:        tls://console.example:4222")})
    EXPECT_NE(out.find(part), std::string::npos) << part << " missing in\n" << out;
  EXPECT_EQ(RunTool(CORVEXCTL_BIN, {"agent", "remove", "PC10"}, out, env), 0) << out;
  EXPECT_EQ(RunTool(CORVEXCTL_BIN, {"agent", "list"}, out, env), 0) << out;
  EXPECT_EQ(out, "PC11 " + credentials.publicKey + "\n");
  // --messaging wins over the registry.
  EXPECT_EQ(RunTool(CORVEXCTL_BIN, {"agent", "list", "--messaging", dir / "nowhere"}, out, env), 1);
  EXPECT_EQ(RunTool(CORVEXCTL_BIN, {"agent", "enrol"}, out, env), 2);
}

}  // namespace
