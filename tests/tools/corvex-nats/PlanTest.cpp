// corvex-nats plan: the description it reads and refuses, and the directories it writes for a
// head office cluster and its sites (one authority, matching link credentials, valid for
// nats-server).
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "messaging/Enrolment.h"
#include "tests/e2e/support/ProcessRunner.h"
#include "tools/corvex-nats/Plan.h"

namespace {

namespace fs = std::filesystem;
using corvexnats::ParsePlan;

std::string Read(const fs::path& path)
{
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Scratch
{
public:
  Scratch()
  {
    char folder[] = "/tmp/corvex-plan-XXXXXX";
    m_path = ::mkdtemp(folder);
  }
  ~Scratch() { fs::remove_all(m_path); }
  const std::string& Path() const { return m_path; }

private:
  std::string m_path;
};

// The error text of a refused description; empty when it was taken.
std::string Refusal(const std::string& text)
{
  try {
    ParsePlan(text);
    return {};
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

TEST(PlanDescription, ReadsServersWithTheirDefaults)
{
  const auto plan = ParsePlan("# the deployment\n"
                              "authority /etc/corvex/ca\n"
                              "head hq1 host=10.0.0.1 port=5222 cluster-port=7000 leaf-port=7500 store=/srv/js\n"
                              "head hq2 host=10.0.0.2   # second node\n"
                              "head hq3 host=10.0.0.3 listen=10.0.0.3\n"
                              "\n"
                              "site paris host=paris.example port=4333\n");
  EXPECT_EQ(plan.authority, "/etc/corvex/ca");
  ASSERT_EQ(plan.heads.size(), 3u);
  ASSERT_EQ(plan.sites.size(), 1u);
  EXPECT_EQ(plan.heads[0].port, 5222);
  EXPECT_EQ(plan.heads[0].clusterPort, 7000);
  EXPECT_EQ(plan.heads[0].leafPort, 7500);
  EXPECT_EQ(plan.heads[0].store, "/srv/js");
  EXPECT_EQ(plan.heads[1].port, 4222);
  EXPECT_EQ(plan.heads[1].clusterPort, 6222);
  EXPECT_EQ(plan.heads[1].listen, "0.0.0.0");
  EXPECT_EQ(plan.heads[2].listen, "10.0.0.3");
  EXPECT_EQ(plan.sites[0].host, "paris.example");
  EXPECT_EQ(plan.sites[0].port, 4333);
  EXPECT_EQ(plan.sites[0].line, 7);
}

TEST(PlanDescription, RefusesWhatCannotRunAndSaysWhere)
{
  EXPECT_NE(Refusal("site s host=a\n").find("no head"), std::string::npos);
  EXPECT_NE(Refusal("head a host=x\nhead b host=y\n").find("quorum"), std::string::npos);
  EXPECT_NE(Refusal("head a host=x\nsite a host=y\n").find("line 2: the name \"a\" is given twice"), std::string::npos);
  EXPECT_NE(Refusal("head a\n").find("needs host="), std::string::npos);
  EXPECT_NE(Refusal("head a host=x port=0\n").find("port is a port from 1 to 65535"), std::string::npos);
  EXPECT_NE(Refusal("head a host=x port=42x\n").find("\"42x\""), std::string::npos);
  EXPECT_NE(Refusal("head a host=x colour=red\n").find("takes no \"colour\""), std::string::npos);
  EXPECT_NE(Refusal("head a host=x\nsite b host=y leaf-port=9\n").find("a site takes no \"leaf-port\""),
            std::string::npos);
  EXPECT_NE(Refusal("head a host=x store=relative\n").find("absolute"), std::string::npos);
  EXPECT_NE(Refusal("head head host=x\n").find("domain"), std::string::npos);
  EXPECT_NE(Refusal("head a host=x\nsite b host=y\nsite b-sys host=z\n").find("line 3: a site's name"), std::string::npos);
  EXPECT_NE(Refusal("head a.b host=x\n").find("needs a name"), std::string::npos);
  EXPECT_NE(Refusal("router a host=x\n").find("not authority, head or site"), std::string::npos);
  EXPECT_NE(Refusal("head a host=x hostx\n").find("not key=value"), std::string::npos);
  // One machine, one port, whoever asks for it.
  EXPECT_NE(Refusal("head a host=x port=7422\nsite s host=y\nsite t host=x port=7422\n").find("port 7422 of x"),
            std::string::npos);
  EXPECT_EQ(Refusal("head a host=x\nsite s host=y\n"), "");  // the same port on other machines
}

// The subject's names and whether the certificate serves clients too.
struct CertificateFacts
{
  bool signedByAuthority = false;
  bool clientUse = false;
  std::set<std::string> names;
};

CertificateFacts Inspect(const std::string& certificatePem, const std::string& authorityPem)
{
  CertificateFacts facts;
  BIO* bio = BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  bio = BIO_new_mem_buf(authorityPem.data(), static_cast<int>(authorityPem.size()));
  X509* ca = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (cert && ca) {
    EVP_PKEY* key = X509_get_pubkey(ca);
    facts.signedByAuthority = X509_verify(cert, key) == 1;
    EVP_PKEY_free(key);
    facts.clientUse = (X509_get_extended_key_usage(cert) & XKU_SSL_CLIENT) != 0;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
      if (name->type == GEN_DNS)
        facts.names.insert(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)));
    }
    GENERAL_NAMES_free(names);
  }
  X509_free(cert);
  X509_free(ca);
  return facts;
}

// The password a configuration gives a user name, in an authorization entry or a link URL.
std::string PasswordOf(const std::string& config, const std::string& user)
{
  std::smatch m;
  if (std::regex_search(config, m, std::regex("user: \"" + user + "\", password: \"([0-9a-f]+)\"")))
    return m[1];
  if (std::regex_search(config, m, std::regex("tls://" + user + ":([0-9a-f]+)@")))
    return m[1];
  return {};
}

TEST(PlanOutput, AClusterAndTwoSitesUnderOneAuthorityWithMatchingLinks)
{
  Scratch scratch;
  const auto plan = ParsePlan("head hq1 host=hq1.example\nhead hq2 host=hq2.example\nhead hq3 host=hq3.example\n"
                              "site paris host=paris.example\nsite lyon host=lyon.example\n");
  const auto dirs = corvexnats::WritePlan(plan, scratch.Path());
  ASSERT_EQ(dirs.size(), 5u);
  const fs::path out = scratch.Path();
  const std::string authority = Read(out / "hq1" / "ca.pem");

  // One authority; its key stays with the first head server alone.
  for (const char* name : {"hq1", "hq2", "hq3", "paris", "lyon"}) {
    EXPECT_EQ(Read(out / name / "ca.pem"), authority) << name;
    EXPECT_EQ(fs::exists(out / name / "ca-key.pem"), std::string(name) == "hq1") << name;
    const auto facts = Inspect(Read(out / name / "server-cert.pem"), authority);
    EXPECT_TRUE(facts.signedByAuthority) << name;
    EXPECT_TRUE(facts.clientUse) << name << ": routes and links present the server's certificate as a client";
    EXPECT_TRUE(facts.names.count(std::string(name) + ".example")) << name;
    // Link passwords are in the server's configuration: nobody else reads it.
    struct stat st {};
    ASSERT_EQ(::stat((out / name / "nats-server.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << name;
  }

  // The head servers: the same clients and relay, clients may use any of them.
  const std::string url = "tls://hq1.example:4222,tls://hq2.example:4222,tls://hq3.example:4222\n";
  for (const char* name : {"hq1", "hq2", "hq3"}) {
    EXPECT_EQ(Read(out / name / "url"), url);
    EXPECT_EQ(Read(out / name / "replicas"), "3\n");
    EXPECT_EQ(Read(out / name / "sites"), "paris\nlyon\n");
    EXPECT_EQ(Read(out / name / "clients.list"), Read(out / "hq1" / "clients.list"));
    EXPECT_EQ(Read(out / name / "clients" / "corvex-relay.nk"), Read(out / "hq1" / "clients" / "corvex-relay.nk"));
  }
  const std::string hq2 = Read(out / "hq2" / "nats-server.conf");
  EXPECT_NE(hq2.find("server_name: \"hq2\""), std::string::npos);
  EXPECT_NE(hq2.find("domain: \"head\""), std::string::npos);
  EXPECT_NE(hq2.find("@hq1.example:6222"), std::string::npos);
  EXPECT_NE(hq2.find("@hq3.example:6222"), std::string::npos);
  EXPECT_EQ(hq2.find("@hq2.example:6222"), std::string::npos) << "a node routes to itself";
  EXPECT_EQ(PasswordOf(hq2, "route"), PasswordOf(Read(out / "hq1" / "nats-server.conf"), "route"));

  // Each site: its own domain, links to every head server with the passwords the head knows.
  for (const char* site : {"paris", "lyon"}) {
    const std::string config = Read(out / site / "nats-server.conf");
    EXPECT_EQ(Read(out / site / "url"), std::string("tls://") + site + ".example:4222\n");
    EXPECT_NE(config.find(std::string("domain: \"") + site + "\""), std::string::npos);
    EXPECT_FALSE(fs::exists(out / site / "clients" / "corvex-relay.nk")) << "a site keeps a relay's key";
    EXPECT_FALSE(fs::exists(out / site / "clients" / "corvex-relay.sys.nk")) << "a site keeps a relay's key";
    for (const char* head : {"hq1", "hq2", "hq3"})
      EXPECT_NE(config.find(std::string("@") + head + ".example:7422"), std::string::npos) << site << " " << head;
    for (const std::string& user : {std::string(site), std::string(site) + "-sys"}) {
      const std::string password = PasswordOf(config, user);
      EXPECT_EQ(password.size(), 48u) << user;
      EXPECT_EQ(PasswordOf(hq2, user), password) << user;
    }
  }
  EXPECT_NE(PasswordOf(hq2, "paris"), PasswordOf(hq2, "lyon"));

  // Written once: a second plan into the same place is refused before it writes anything.
  EXPECT_THROW(corvexnats::WritePlan(plan, scratch.Path()), std::runtime_error);
}

TEST(PlanOutput, EveryConfigurationIsValidForTheServerAndAnAuthorityIsReused)
{
  if (::access("/usr/sbin/nats-server", X_OK) != 0)
    GTEST_SKIP() << "nats-server is not installed";
  Scratch authority, scratch;
  const auto first = corvexnats::WritePlan(ParsePlan("head a host=127.0.0.1\n"), authority.Path());
  const auto dirs = corvexnats::WritePlan(
    ParsePlan("authority " + first[0] + "\nhead hq host=127.0.0.1 port=14999\nsite s host=127.0.0.1 port=15000\n"),
    scratch.Path());
  for (const auto& dir : dirs) {
    std::string output;
    EXPECT_TRUE(messaging::enrolment::Check(dir, "/usr/sbin/nats-server", output)) << dir << ": " << output;
    EXPECT_EQ(Read(fs::path(dir) / "ca.pem"), Read(fs::path(first[0]) / "ca.pem"));
    EXPECT_FALSE(fs::exists(fs::path(dir) / "ca-key.pem")) << "the authority's key was copied";
  }
  EXPECT_EQ(Read(fs::path(dirs[0]) / "replicas"), "1\n");
  EXPECT_EQ(Read(fs::path(dirs[0]) / "nats-server.conf").find("cluster {"), std::string::npos);
}

TEST(ShareClients, CopiesAnEnrolmentToAnotherNodeOfTheSameDeploymentOnly)
{
  Scratch scratch, other;
  const auto dirs = corvexnats::WritePlan(
    ParsePlan("head a host=h1\nhead b host=h2\nhead c host=h3\n"), scratch.Path());
  messaging::enrolment::Enrol(dirs[0], {"PC1.Agent"});
  corvexnats::ShareClients(dirs[0], dirs[1]);
  EXPECT_EQ(messaging::enrolment::List(dirs[1]).size(), messaging::enrolment::List(dirs[0]).size());
  EXPECT_EQ(Read(fs::path(dirs[1]) / "clients" / "PC1=2EAgent.nk"), Read(fs::path(dirs[0]) / "clients" / "PC1=2EAgent.nk"));
  EXPECT_EQ(Read(fs::path(dirs[1]) / "clients.conf"), Read(fs::path(dirs[0]) / "clients.conf"));
  // A removal travels too: the seed goes.
  messaging::enrolment::Remove(dirs[0], {"PC1.Agent"});
  corvexnats::ShareClients(dirs[0], dirs[1]);
  EXPECT_FALSE(fs::exists(fs::path(dirs[1]) / "clients" / "PC1=2EAgent.nk"));

  const auto stranger = corvexnats::WritePlan(ParsePlan("head z host=h9\n"), other.Path());
  EXPECT_THROW(corvexnats::ShareClients(dirs[0], stranger[0]), std::runtime_error);
  EXPECT_THROW(corvexnats::ShareClients(dirs[0], dirs[0]), std::runtime_error);
  EXPECT_THROW(corvexnats::ShareClients(dirs[0], other.Path() + "/nothing"), std::runtime_error);
}

}  // namespace
