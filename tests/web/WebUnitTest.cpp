// The web console's parts that need no server: sessions, the log-in throttle, the certificate
// made at first start, the settings and the embedded pages.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/registry/Registry.h"
#include "web/Certificate.h"
#include "web/Pages.h"
#include "web/Sessions.h"
#include "web/WebSettings.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TempDir
{
public:
  TempDir()
  {
    char tmpl[] = "/tmp/corvex-web-XXXXXX";
    m_path = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(m_path); }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
  std::string m_path;
};

TEST(WebSessions, TokensAreRandomAndSessionsEndWhenIdle)
{
  std::set<std::string> tokens;
  for (int i = 0; i < 100; ++i)
    tokens.insert(corvexweb::RandomToken());
  EXPECT_EQ(tokens.size(), 100u);
  EXPECT_EQ(tokens.begin()->size(), 64u);
  EXPECT_TRUE(corvexweb::ConstantTimeEquals("abc", "abc"));
  EXPECT_FALSE(corvexweb::ConstantTimeEquals("abc", "abd"));
  EXPECT_FALSE(corvexweb::ConstantTimeEquals("abc", "ab"));
  EXPECT_FALSE(corvexweb::ConstantTimeEquals("", "x"));

  corvexweb::SessionStore store(10min);
  const Clock::time_point t0 = Clock::now();
  const std::string alice = store.Create("alice", t0);
  const std::string bob = store.Create("bob", t0);
  const auto a = store.Use(alice, t0 + 9min);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->user, "alice");
  EXPECT_NE(a->csrf, store.Use(bob, t0 + 1min)->csrf);
  // Use restarts the idle time: alice is still in 9 minutes later, bob is not.
  EXPECT_TRUE(store.Use(alice, t0 + 18min));
  EXPECT_FALSE(store.Use(bob, t0 + 12min));
  EXPECT_FALSE(store.Use(alice, t0 + 29min));
  EXPECT_EQ(store.Count(), 0u);
  EXPECT_FALSE(store.Use("", t0));
  const std::string carol = store.Create("carol", t0);
  store.Remove(carol);
  EXPECT_FALSE(store.Use(carol, t0));
}

TEST(WebLogins, EachAddressHasItsAttemptsPerAccountAndASuccessStartsAfresh)
{
  corvexweb::LoginThrottle throttle({3, 100, 2min});
  const Clock::time_point t0 = Clock::now();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(throttle.Begin("10.0.0.1", "alice", t0 + i * 1s), 0);
  // The fourth attempt waits for the period begun by the first, even with the right password.
  EXPECT_EQ(throttle.Begin("10.0.0.1", "alice", t0 + 30s), 90);
  // Neither the account from elsewhere nor the address for another account is locked.
  EXPECT_EQ(throttle.Begin("10.0.0.2", "alice", t0 + 30s), 0);
  EXPECT_EQ(throttle.Begin("10.0.0.1", "bob", t0 + 30s), 0);
  EXPECT_EQ(throttle.Begin("10.0.0.1", "alice", t0 + 2min), 0);

  // An attempt that succeeds is taken back, and its address starts afresh.
  const Clock::time_point t1 = t0 + 1h;
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(throttle.Begin("10.0.0.3", "carol", t1), 0);
  EXPECT_EQ(throttle.Begin("10.0.0.3", "carol", t1), 0);
  throttle.Succeeded("10.0.0.3", "carol");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(throttle.Begin("10.0.0.3", "carol", t1 + 1s), 0);
  EXPECT_GT(throttle.Begin("10.0.0.3", "carol", t1 + 1s), 0);

  // One address guessing many accounts: four times the attempts, then it waits for any account.
  const Clock::time_point t2 = t0 + 2h;
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(throttle.Begin("10.0.0.9", "user" + std::to_string(i), t2), 0) << i;
  EXPECT_EQ(throttle.Begin("10.0.0.9", "dave", t2 + 20s), 100);
  EXPECT_EQ(throttle.Begin("10.0.0.8", "dave", t2 + 20s), 0);
}

TEST(WebLogins, AnAccountUnderAttackGivesEachAddressOneAttemptAndTheAdministratorStillGetsIn)
{
  corvexweb::LoginThrottle throttle({5, 6, 5min});
  const Clock::time_point t0 = Clock::now();
  // Guesses from many addresses, two each: the account comes under attack at the sixth.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(throttle.Begin("10.1.0." + std::to_string(i), "admin", t0), 0);
    EXPECT_EQ(throttle.Begin("10.1.0." + std::to_string(i), "admin", t0), 0);
  }
  EXPECT_TRUE(throttle.UnderAttack("admin", t0));
  EXPECT_FALSE(throttle.UnderAttack("other", t0));
  // Addresses that failed already wait; so does a fresh one after its single attempt.
  EXPECT_GT(throttle.Begin("10.1.0.0", "admin", t0 + 1s), 0);
  EXPECT_EQ(throttle.Begin("10.1.0.50", "admin", t0 + 1s), 0);
  EXPECT_EQ(throttle.Begin("10.1.0.50", "admin", t0 + 2s), 299);
  // The administrator from an address of their own is admitted (and, succeeding, stays so).
  EXPECT_EQ(throttle.Begin("192.168.7.7", "admin", t0 + 3s), 0);
  throttle.Succeeded("192.168.7.7", "admin");
  EXPECT_EQ(throttle.Begin("192.168.7.7", "admin", t0 + 4s), 0);
  throttle.Succeeded("192.168.7.7", "admin");
  // Once the period passes the account is no longer under attack.
  EXPECT_FALSE(throttle.UnderAttack("admin", t0 + 5min));
  EXPECT_EQ(throttle.Begin("10.1.0.0", "admin", t0 + 5min), 0);
}

TEST(WebLogins, ParallelAttemptsNeverPassTheCount)
{
  corvexweb::LoginThrottle throttle({5, 1000, 5min});
  std::atomic<int> admitted{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 40; ++i)
    threads.emplace_back([&] {
      while (!go)
        std::this_thread::yield();
      if (throttle.Begin("10.2.0.1", "admin") == 0)
        ++admitted;
    });
  go = true;
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(admitted, 5);
}

TEST(WebCertificate, MadeOnceWithAPrivateKeyAndRefusedWhenHalfThere)
{
  TempDir dir;
  const std::string cert = dir / "tls/cert.pem", key = dir / "tls/key.pem";
  ASSERT_TRUE(corvexweb::EnsureSelfSignedCertificate(cert, key));
  struct stat st{};
  ASSERT_EQ(::stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const auto written = std::filesystem::last_write_time(cert);
  EXPECT_FALSE(corvexweb::EnsureSelfSignedCertificate(cert, key));
  EXPECT_EQ(std::filesystem::last_write_time(cert), written);

  // The certificate is for this host and localhost, signed by its own key.
  FILE* f = std::fopen(cert.c_str(), "r");
  ASSERT_TRUE(f);
  X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  ASSERT_TRUE(x);
  EXPECT_EQ(X509_check_host(x, "localhost", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_ip_asc(x, "127.0.0.1", 0), 1);
  EVP_PKEY* pub = X509_get0_pubkey(x);
  EXPECT_EQ(X509_verify(x, pub), 1);
  EXPECT_GT(X509_cmp_current_time(X509_get0_notAfter(x)), 0);
  X509_free(x);

  std::filesystem::remove(key);
  EXPECT_THROW(corvexweb::EnsureSelfSignedCertificate(cert, key), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(key));
}

TEST(WebSettings, DefaultsRegistryValuesAndBadValues)
{
  TempDir dir;
  ::setenv("CORVEX_REGISTRY", (dir / "registry.reg").c_str(), 1);
  corvexweb::WebSettings s = corvexweb::WebSettings::FromRegistry();
  EXPECT_EQ(s.port, 8443);
  EXPECT_EQ(s.administratorsGroup, "corvex-console-admins");
  EXPECT_EQ(s.sessionIdleMinutes, 15);
  EXPECT_EQ(s.connectionsPerAddress, 16);
  EXPECT_EQ(s.requestDeadlineSeconds, 10);
  EXPECT_EQ(s.loginAttempts, 5);
  {
    CRegKey web, service;
    web.Create(HKEY_LOCAL_MACHINE, corvexweb::kWebConsoleKey);
    service.Create(HKEY_LOCAL_MACHINE, corvexweb::kServiceKey);
    web.SetDWORDValue(L"Port", 9443);
    web.SetStringValue(L"CertificateFile", L"/srv/c.pem");
    service.SetStringValue(L"ConsoleAdministratorsGroup", L"admins");
    web.SetDWORDValue(L"ConnectionsPerAddress", 4);
    web.SetDWORDValue(L"RequestDeadlineSeconds", 3);
    web.SetDWORDValue(L"LoginAccountAttempts", 50);
  }
  s = corvexweb::WebSettings::FromRegistry();
  EXPECT_EQ(s.connectionsPerAddress, 4);
  EXPECT_EQ(s.requestDeadlineSeconds, 3);
  EXPECT_EQ(s.loginAccountAttempts, 50);
  EXPECT_EQ(s.port, 9443);
  EXPECT_EQ(s.certificateFile, "/srv/c.pem");
  EXPECT_EQ(s.administratorsGroup, "admins");
  {
    CRegKey web;
    web.Create(HKEY_LOCAL_MACHINE, corvexweb::kWebConsoleKey);
    web.SetDWORDValue(L"Port", 70000);
  }
  EXPECT_THROW(corvexweb::WebSettings::FromRegistry(), std::runtime_error);
  {
    CRegKey web;
    web.Create(HKEY_LOCAL_MACHINE, corvexweb::kWebConsoleKey);
    web.SetDWORDValue(L"Port", 9443);
    web.SetDWORDValue(L"Workers", 0);  // a console that could answer nothing
  }
  EXPECT_THROW(corvexweb::WebSettings::FromRegistry(), std::runtime_error);
  {
    CRegKey web;
    web.Create(HKEY_LOCAL_MACHINE, corvexweb::kWebConsoleKey);
    web.SetDWORDValue(L"Workers", 8);
  }
  {
    CRegKey web;
    web.Create(HKEY_LOCAL_MACHINE, corvexweb::kWebConsoleKey);
    web.SetStringValue(L"Port", L"9443");
  }
  EXPECT_THROW(corvexweb::WebSettings::FromRegistry(), std::runtime_error);
  ::unsetenv("CORVEX_REGISTRY");
}

TEST(WebPages, EveryPageIsEmbeddedWithItsType)
{
  const corvexweb::Page* index = corvexweb::FindPage("/");
  ASSERT_TRUE(index);
  EXPECT_EQ(index, corvexweb::FindPage("/index.html"));
  EXPECT_NE(index->body.find("/app.js"), std::string_view::npos);
  ASSERT_TRUE(corvexweb::FindPage("/app.js"));
  ASSERT_TRUE(corvexweb::FindPage("/app.css"));
  EXPECT_FALSE(corvexweb::FindPage("/../CMakeLists.txt"));
  EXPECT_STREQ(corvexweb::ContentTypeOf("/app.js"), "text/javascript; charset=utf-8");
  EXPECT_STREQ(corvexweb::ContentTypeOf("/"), "text/html; charset=utf-8");
}

}  // namespace
