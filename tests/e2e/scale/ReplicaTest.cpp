// The web console's lists read from a streaming replica: a private primary cluster and a replica
// made from it with pg_basebackup, both in a scratch folder on their own sockets (no TCP), run as
// the postgres account when the test runs as root, and stopped by PID whatever happens.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include <pwd.h>

#include "businesslogic/ReplicaReads.h"
#include "platform/ado/PgLink.h"
#include "platform/text/Unicode.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvex-db/ProcedureCall.h"
#include "web/ConsoleData.h"

namespace {

using namespace std::chrono_literals;
using e2e::ChildProcess;

const std::string kBin = "/usr/lib/postgresql/15/bin/";
const char* const kDatabase = "corvex_replica";

using e2e::WaitUntil;

// A primary and its replica, one port, a socket folder each.
class ReplicatedDatabase
{
public:
  ReplicatedDatabase()
  {
    char folder[] = "/tmp/corvex-replica-XXXXXX";
    m_dir = ::mkdtemp(folder);
    if (::geteuid() == 0) {
      // The server refuses to run as root.
      const passwd* pw = ::getpwnam("postgres");
      if (!pw)
        throw std::runtime_error("running as root needs the postgres account to run the servers");
      m_prefix = {"/usr/bin/setpriv", "--reuid=postgres", "--regid=postgres", "--init-groups"};
      for (const std::string sub : {"", "/p-sock", "/r-sock"}) {
        std::filesystem::create_directories(m_dir + sub);
        ::chown((m_dir + sub).c_str(), pw->pw_uid, pw->pw_gid);
      }
    } else {
      std::filesystem::create_directories(m_dir + "/p-sock");
      std::filesystem::create_directories(m_dir + "/r-sock");
    }
    m_port = e2e::FreeLoopbackPort();
    ::setenv("PGPORT", std::to_string(m_port).c_str(), 1);
    const std::string user = ::geteuid() == 0 ? "root" : ::getpwuid(::geteuid())->pw_name;
    Tool("initdb", {"-D", m_dir + "/primary", "-U", user, "-A", "trust", "--no-sync"});
    m_primary = Server("primary", PrimarySockets(), {"-c", "wal_level=replica", "-c", "max_wal_senders=4"});
    corvexdb::CreateDatabase(Options(PrimarySockets()), kDatabase);
    Tool("pg_basebackup", {"-D", m_dir + "/replica", "-R", "-h", PrimarySockets(), "-p", std::to_string(m_port), "-U",
                           user, "-X", "stream", "--no-sync", "-c", "fast"});
    m_replica = Server("replica", ReplicaSockets(), {"-c", "hot_standby=on"});
  }
  ~ReplicatedDatabase()
  {
    for (auto* server : {&m_replica, &m_primary})
      if (*server) {
        (*server)->Signal(SIGINT);  // fast shutdown
        if ((*server)->Wait(20s) < 0)
          (*server)->Signal(SIGKILL);
        server->reset();
      }
    std::filesystem::remove_all(m_dir);
    ::unsetenv("PGPORT");
  }

  std::string PrimarySockets() const { return m_dir + "/p-sock"; }
  std::string ReplicaSockets() const { return m_dir + "/r-sock"; }
  std::string Instance() const { return ":" + std::to_string(m_port); }
  // The database tool takes a socket folder without a port: the port comes from PGPORT, which
  // the fixture sets for this process.
  static corvexdb::ConnectionOptions Options(const std::string& sockets)
  {
    corvexdb::ConnectionOptions options;
    options.server = sockets;
    return options;
  }
  void KillReplica()
  {
    m_replica->Signal(SIGKILL);
    m_replica->Wait(10s);
    m_replica.reset();
  }

private:
  void Tool(const std::string& name, std::vector<std::string> args)
  {
    std::vector<std::string> all = m_prefix;
    all.push_back(kBin + name);
    all.insert(all.end(), args.begin(), args.end());
    std::string output;
    const int code = e2e::Run(all.front(), {all.begin() + 1, all.end()}, e2e::CurrentEnvironment(),
                              m_dir + "/" + name + ".log", output, 120s);
    if (code != 0)
      throw std::runtime_error(name + " failed: " + output);
  }
  std::unique_ptr<ChildProcess> Server(const std::string& name, const std::string& sockets,
                                       std::vector<std::string> settings)
  {
    std::vector<std::string> all = m_prefix;
    all.push_back(kBin + "postgres");
    for (const std::string& a : {std::string("-D"), m_dir + "/" + name, std::string("-p"), std::to_string(m_port),
                                 std::string("-k"), sockets, std::string("-c"), std::string("listen_addresses="),
                                 std::string("-c"), std::string("fsync=off")})
      all.push_back(a);
    all.insert(all.end(), settings.begin(), settings.end());
    // setpriv changes the user and executes the server: the PID is the server's own.
    auto process = std::make_unique<ChildProcess>(all.front(), std::vector<std::string>(all.begin() + 1, all.end()),
                                                  e2e::CurrentEnvironment(), m_dir + "/" + name + ".log");
    if (!process->WaitForOutput("ready to accept", 60s))
      throw std::runtime_error(name + " did not start: " + process->Output());
    return process;
  }

  std::string m_dir;
  std::vector<std::string> m_prefix;
  int m_port = 0;
  std::unique_ptr<ChildProcess> m_primary, m_replica;
};

std::unique_ptr<ado::PgLink> Link(const std::string& dataSource)
{
  ado::PgError error;
  auto link = ado::PgLink::Connect({dataSource, kDatabase, 5}, error);
  if (!link)
    throw std::runtime_error(error.message);
  return link;
}

void Statement(ado::PgLink& link, const std::string& sql)
{
  ado::PgResultPtr rows;
  ado::PgError error;
  std::lock_guard lock(link.Mutex());
  link.Run(sql, 10, rows, error);
  if (error.failed())
    throw std::runtime_error(sql + ": " + error.message);
}

// What corvexctl prints (both streams), run on this process's registry; it must succeed.
std::string Corvexctl(const std::vector<std::string>& args)
{
  // A log of each run's own: the runner gives back the whole file.
  static int runs = 0;
  const std::string log =
    ::testing::TempDir() + "/corvexctl-" + std::to_string(::getpid()) + "-" + std::to_string(++runs) + ".log";
  std::string output;
  const int code = e2e::Run(CORVEXCTL_PATH, args, e2e::CurrentEnvironment(), log, output, 60s);
  std::filesystem::remove(log);
  EXPECT_EQ(code, 0) << output;
  return output;
}

bool Lists(const nlohmann::json& rows, const std::string& name)
{
  return rows.dump().find("\"" + name + "\"") != std::string::npos;
}

TEST(ConsoleReplica, ListsComeFromTheReplicaWhileItIsFitAndFromThePrimaryOtherwise)
{
  if (::access((kBin + "initdb").c_str(), X_OK) != 0 || ::access((kBin + "pg_basebackup").c_str(), X_OK) != 0)
    GTEST_SKIP() << "the PostgreSQL 15 server programs are not installed";
  std::unique_ptr<ReplicatedDatabase> db;
  try {
    db = std::make_unique<ReplicatedDatabase>();
  } catch (const std::exception& e) {
    FAIL() << "cannot set up the primary and its replica: " << e.what();
  }
  const std::string primarySource = db->PrimarySockets() + db->Instance();
  const std::string replicaSource = db->ReplicaSockets() + db->Instance();
  corvexdb::PgConnection primary(db->Options(db->PrimarySockets()), kDatabase);
  auto addGroup = [&](const std::string& name) {
    const auto r = corvexdb::CallProcedure(primary, "AddGroup", {{"@NewParentID", "4294967295"}, {"@Name", name}});
    ASSERT_EQ(r.returnValue, 0) << name;
  };
  auto primaryLink = Link(primarySource);
  auto replicaLink = Link(replicaSource);

  // The lag as the console measures it: none once the replica replayed everything.
  addGroup("Alpha");
  ASSERT_TRUE(WaitUntil([&] { return replica::ReplicaLag(*replicaLink, primaryLink.get()) == 0.0; }, 20s));
  EXPECT_FALSE(replica::ReplicaLag(*primaryLink, primaryLink.get())) << "a primary counted as a replica";

  testsupport::TempRegistry registry;
  registry.SetLocation(FromUtf8(db->PrimarySockets()), FromUtf8(db->Instance()), FromUtf8(kDatabase));
  registry.Set(L"ReadServerLocation", FromUtf8(db->ReplicaSockets()));
  registry.SetDword(L"ReadReplicaMaxLagSeconds", 3600);
  ASSERT_EQ(replica::ReadReplicaSettings().replica, replicaSource);
  corvexweb::ConsoleData console;
  EXPECT_TRUE(Lists(console.Groups(), "Alpha"));

  // The replica stops replaying: a group added now is on the primary only, and the console's
  // list, read from the replica, does not show it yet.
  Statement(*replicaLink, "SELECT pg_wal_replay_pause()");
  addGroup("Beta");
  EXPECT_FALSE(Lists(console.Groups(), "Beta")) << "the list did not come from the replica";
  // corvexctl's lists the same way.
  const std::string fromReplica = Corvexctl({"groups"});
  EXPECT_NE(fromReplica.find("Alpha"), std::string::npos) << fromReplica;
  EXPECT_EQ(fromReplica.find("Beta"), std::string::npos) << "corvexctl's list did not come from the replica: " << fromReplica;

  // A console that allows a second's lag passes over the replica for the primary.
  replica::ReplicaSettings strict{replicaSource, primarySource, kDatabase, 1, 0};
  replica::ReplicaReads reads(strict);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(reads.ForReading(), nullptr);
  EXPECT_NE(reads.LastReason().find("behind"), std::string::npos) << reads.LastReason();
  Statement(*replicaLink, "SELECT pg_wal_replay_resume()");
  EXPECT_TRUE(WaitUntil([&] { return reads.ForReading() != nullptr; }, 20s)) << reads.LastReason();

  // The replica goes: the list comes from the primary at once, and the replica is passed over.
  db->KillReplica();
  EXPECT_TRUE(Lists(console.Groups(), "Beta"));
  const std::string fromPrimary = Corvexctl({"groups"});
  EXPECT_NE(fromPrimary.find("Beta"), std::string::npos) << fromPrimary;
  EXPECT_NE(fromPrimary.find("reading from the primary"), std::string::npos) << fromPrimary;
  EXPECT_EQ(reads.ForReading(), nullptr);
  EXPECT_NE(reads.LastReason().find("does not answer"), std::string::npos) << reads.LastReason();

  // No replica configured: nothing to read from but the primary.
  replica::ReplicaReads none(replica::ReplicaSettings{"", primarySource, kDatabase, 30, 0});
  EXPECT_EQ(none.ForReading(), nullptr);
}

}  // namespace
