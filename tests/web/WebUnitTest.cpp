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

TEST(WebSessions, FailedLogInsLockOutTheAddressAndTheAccount)
{
  corvexweb::LoginThrottle throttle(3, 5min, 2min);
  const Clock::time_point t0 = Clock::now();
  // Failures spread wider than the window never lock.
  for (int i = 0; i < 6; ++i)
    throttle.Failed("10.0.0.1", "alice", t0 + i * 3min);
  EXPECT_EQ(throttle.RetryAfter("10.0.0.1", "alice", t0 + 18min), 0);

  const Clock::time_point t1 = t0 + 1h;
  throttle.Failed("10.0.0.2", "bob", t1);
  throttle.Failed("10.0.0.3", "bob", t1);
  EXPECT_EQ(throttle.RetryAfter("10.0.0.4", "bob", t1), 0);
  throttle.Failed("10.0.0.4", "bob", t1);
  // The account is locked from every address; the addresses themselves are not.
  EXPECT_EQ(throttle.RetryAfter("10.0.0.9", "bob", t1 + 30s), 90);
  EXPECT_EQ(throttle.RetryAfter("10.0.0.2", "carol", t1), 0);
  EXPECT_EQ(throttle.RetryAfter("10.0.0.9", "bob", t1 + 2min), 0);

  // One address guessing many accounts is locked too; a success clears the account only.
  for (const char* user : {"u1", "u2", "u3"})
    throttle.Failed("10.0.0.5", user, t1);
  EXPECT_GT(throttle.RetryAfter("10.0.0.5", "dave", t1), 0);
  throttle.Failed("10.0.0.6", "erin", t1);
  throttle.Failed("10.0.0.6", "erin", t1);
  throttle.Succeeded("10.0.0.6", "erin");
  throttle.Failed("10.0.0.7", "erin", t1);
  throttle.Failed("10.0.0.7", "erin", t1);
  EXPECT_EQ(throttle.RetryAfter("10.0.0.8", "erin", t1), 0);
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
  {
    CRegKey web, service;
    web.Create(HKEY_LOCAL_MACHINE, corvexweb::kWebConsoleKey);
    service.Create(HKEY_LOCAL_MACHINE, corvexweb::kServiceKey);
    web.SetDWORDValue(L"Port", 9443);
    web.SetStringValue(L"CertificateFile", L"/srv/c.pem");
    service.SetStringValue(L"ConsoleAdministratorsGroup", L"admins");
  }
  s = corvexweb::WebSettings::FromRegistry();
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
