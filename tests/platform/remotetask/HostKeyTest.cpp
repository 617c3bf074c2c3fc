// Which targets the installer talks to: host keys against the service's own known-hosts file (a
// private sshd on loopback with its own host key; needs root to run sshd, skips elsewhere), the
// deliberate recording of a key, the import of an existing known-hosts file, and setup locations
// that must not leave the share root.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "platform/remotetask/SshConnection.h"
#include "platform/text/Unicode.h"
#include "tests/e2e/support/ProcessRunner.h"

using namespace remotetask;
using namespace std::chrono_literals;

TEST(BootstrapPathTest, UncLocationsMapUnderTheShareRootAndNothingLeavesIt)
{
  std::string path;
  EXPECT_TRUE(MapBootstrapPath(L"\\\\server\\share\\setup.exe", "/mnt/s/", path));
  EXPECT_EQ(path, "/mnt/s/server/share/setup.exe");
  EXPECT_TRUE(MapBootstrapPath(L"\\\\server\\my share\\sub\\..x\\setup.exe", "/mnt/s", path));
  EXPECT_EQ(path, "/mnt/s/server/my share/sub/..x/setup.exe");
  // Not UNC: a path on the target as it is.
  EXPECT_TRUE(MapBootstrapPath(L"/opt/setup", "/mnt/s", path));
  EXPECT_EQ(path, "/opt/setup");

  for (const wchar_t* escape : {L"\\\\server\\share\\..\\..\\..\\etc\\setup.exe", L"\\\\..\\share\\setup.exe",
                                L"\\\\server\\..\\setup.exe", L"\\\\server\\share/../../bin/sh", L"\\\\server\\share\\.\\setup.exe",
                                L"\\\\server\\share\\sub\\..", L"\\\\server", L"\\\\\\share\\setup.exe", L"\\\\server\\\\setup.exe",
                                L"\\\\server\\share\\set\nup.exe", L"/opt/set\x01up"}) {
    path = "unchanged";
    EXPECT_FALSE(MapBootstrapPath(escape, "/mnt/s", path)) << ToUtf8(escape);
    EXPECT_EQ(path, "");
  }
}

namespace {

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

class HostKeyTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root: it runs sshd";
    if (::access("/usr/sbin/sshd", X_OK) != 0)
      GTEST_SKIP() << "needs openssh-server";
    m_port = e2e::FreeLoopbackPort();
    ASSERT_EQ(Shell("ssh-keygen -q -t ed25519 -N '' -f " + dir / "hostkey" + " && ssh-keygen -q -t ed25519 -N '' -f " +
                    dir / "otherkey" + " && mkdir -p /run/sshd"),
              0);
    // Nobody may log on: these tests never get past the host key.
    e2e::WriteFile(dir / "sshd_config", "Port " + std::to_string(m_port) + "\nListenAddress 127.0.0.1\nHostKey " +
                                          dir / "hostkey" + "\nPidFile " + dir / "sshd.pid" +
                                          "\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                                          "PubkeyAuthentication no\nUsePAM no\nAllowUsers nobody-at-all\n");
    m_sshd = std::make_unique<e2e::ChildProcess>("/usr/sbin/sshd", std::vector<std::string>{"-f", dir / "sshd_config", "-D", "-e"},
                                                 std::vector<std::string>{}, dir / "sshd.out");
    for (int i = 0; i < 100 && !Accepts(m_port); ++i)
      std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(Accepts(m_port)) << e2e::ReadFile(dir / "sshd.out");
    settings.port = static_cast<unsigned>(m_port);
    settings.timeoutSeconds = 5;
    settings.knownHostsFile = dir / "known_hosts";
    // The key as the server's own files give it, in the form an administrator compares.
    std::string out;
    e2e::Run("/usr/bin/ssh-keygen", {"-l", "-E", "sha256", "-f", dir / "hostkey.pub"}, {}, dir / "fp.out", out);
    std::istringstream words(out);
    std::string bits;
    words >> bits >> m_fingerprint;
  }

  void TearDown() override
  {
    if (m_sshd) {
      // Its per-connection children end on their own once our sessions are closed; stopping the
      // server before would leave them to a parent that may never reap them.
      const std::string children = "pgrep -P " + std::to_string(m_sshd->Pid()) + " >/dev/null";
      for (int i = 0; i < 100 && Shell(children) == 0; ++i)
        std::this_thread::sleep_for(20ms);
      m_sshd->Signal(SIGTERM);
      m_sshd->Wait(10s);
    }
  }

  HRESULT Connect(const std::wstring& host, std::string* fingerprint = nullptr)
  {
    SshConnection connection(settings);
    const HRESULT hr = connection.Connect(host);
    if (fingerprint)
      *fingerprint = connection.HostKeyFingerprint();
    return hr;
  }

  std::string Entry(const std::string& host, const std::string& pubFile)
  {
    std::istringstream pub(e2e::ReadFile(dir / pubFile));
    std::string type, key;
    pub >> type >> key;
    return "[" + host + "]:" + std::to_string(m_port) + " " + type + " " + key + "\n";
  }

  e2e::ScratchDir dir{"corvex-hostkey"};
  Settings settings;
  int m_port = 0;
  std::string m_fingerprint;
  std::unique_ptr<e2e::ChildProcess> m_sshd;
};

}  // namespace

TEST_F(HostKeyTest, AnUnknownKeyIsRefusedByDefaultWithItsFingerprintAndRecordedOnlyDeliberately)
{
  ASSERT_FALSE(Settings{}.acceptNewHostKeys) << "new keys must not be taken unless set";
  std::string seen;
  EXPECT_EQ(Connect(L"127.0.0.1", &seen), HOST_KEY_NOT_TRUSTED);
  ASSERT_FALSE(m_fingerprint.empty());
  EXPECT_TRUE(SameFingerprint(m_fingerprint, seen)) << m_fingerprint << " / " << seen;
  EXPECT_EQ(e2e::ReadFile(dir / "known_hosts"), "") << "nothing is recorded by a refused connection";

  // A fingerprint that is not the key's records nothing.
  std::string presented;
  bool recorded = true;
  EXPECT_EQ(TrustHostKey(L"127.0.0.1", settings, "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", presented, recorded),
            HOST_KEY_NOT_TRUSTED);
  EXPECT_FALSE(recorded);
  EXPECT_EQ(Connect(L"127.0.0.1"), HOST_KEY_NOT_TRUSTED);

  // The right one does, and from then on the host is reached; again is no change.
  EXPECT_EQ(TrustHostKey(L"\\\\127.0.0.1", settings, m_fingerprint, presented, recorded), S_OK);
  EXPECT_TRUE(recorded);
  EXPECT_EQ(Connect(L"127.0.0.1"), S_OK);
  EXPECT_EQ(TrustHostKey(L"127.0.0.1", settings, "", presented, recorded), S_OK);
  EXPECT_FALSE(recorded);

  // Allowing first use records without being asked.
  settings.acceptNewHostKeys = true;
  EXPECT_EQ(Connect(L"localhost"), S_OK);
  settings.acceptNewHostKeys = false;
  EXPECT_EQ(Connect(L"localhost"), S_OK);
}

TEST_F(HostKeyTest, AChangedKeyIsAlwaysRefusedAndNeverReplaced)
{
  e2e::WriteFile(dir / "known_hosts", Entry("127.0.0.1", "otherkey.pub"));
  settings.acceptNewHostKeys = true;
  EXPECT_EQ(Connect(L"127.0.0.1"), E_ACCESSDENIED);
  std::string presented;
  bool recorded = true;
  EXPECT_EQ(TrustHostKey(L"127.0.0.1", settings, m_fingerprint, presented, recorded), E_ACCESSDENIED);
  EXPECT_FALSE(recorded);
  EXPECT_EQ(e2e::ReadFile(dir / "known_hosts"), Entry("127.0.0.1", "otherkey.pub"));
  EXPECT_EQ(Connect(L"127.0.0.1"), E_ACCESSDENIED);
}

TEST_F(HostKeyTest, ImportTakesPlainEntriesAndRefusesWhatCouldChangeARecordedKey)
{
  e2e::WriteFile(dir / "known_hosts", Entry("localhost", "otherkey.pub"));
  std::istringstream in("# a comment\n\n" + Entry("127.0.0.1", "hostkey.pub") +  // taken
                        Entry("localhost", "hostkey.pub") +                       // localhost has another key
                        Entry("localhost", "otherkey.pub") +                      // already there
                        "|1|c2FsdA==|aGFzaA== " + Entry("x", "hostkey.pub").substr(Entry("x", "hostkey.pub").find(' ') + 1) +
                        "*.example.com " + Entry("x", "hostkey.pub").substr(Entry("x", "hostkey.pub").find(' ') + 1) +
                        "@cert-authority * ssh-ed25519 AAAA\n"
                        "host ssh-ed25519 not-base64!\n"
                        "lonely-word\n");
  const KnownHostsImport result = ImportKnownHosts(in, settings);
  EXPECT_EQ(result.imported, 1u);
  EXPECT_EQ(result.alreadyRecorded, 1u);
  ASSERT_EQ(result.refused.size(), 6u);
  EXPECT_NE(result.refused[0].find("line 4: the host has another recorded key"), std::string::npos) << result.refused[0];
  EXPECT_NE(result.refused[1].find("hashed"), std::string::npos);
  EXPECT_NE(result.refused[2].find("wildcards"), std::string::npos);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(Connect(L"127.0.0.1"), S_OK);
  EXPECT_EQ(Connect(L"localhost"), E_ACCESSDENIED);
}
