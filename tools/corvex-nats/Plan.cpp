#include "tools/corvex-nats/Plan.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include <openssl/rand.h>

#include "messaging/Certificates.h"
#include "messaging/Enrolment.h"
#include "messaging/NatsLink.h"

namespace corvexnats {

namespace fs = std::filesystem;

namespace {

// Server names become directory names, JetStream domains and leaf-node user names.
bool IsName(const std::string& name)
{
  if (name.empty() || name.size() > 64)
    return false;
  for (const char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'))
      return false;
  return true;
}

int Port(const std::string& where, const std::string& key, const std::string& value)
{
  std::size_t used = 0;
  long port = 0;
  try {
    port = std::stol(value, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != value.size() || port < 1 || port > 65535)
    throw std::invalid_argument(where + key + " is a port from 1 to 65535, not \"" + value + "\"");
  return static_cast<int>(port);
}

std::string Quote(const std::string& text)
{
  for (const char c : text)
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      throw std::invalid_argument("\"" + text + "\" has a character the server's configuration cannot hold");
  return "\"" + text + "\"";
}

std::string UrlHost(const std::string& host)
{
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string Secret()
{
  unsigned char bytes[24];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    throw std::runtime_error("no random bytes for a link password");
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

std::string ReadText(const fs::path& path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const fs::path& path, const std::string& text, fs::perms mode)
{
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream outFile(temporary, std::ios::binary | std::ios::trunc);
    if (!outFile)
      throw std::runtime_error("cannot write " + temporary.string());
    fs::permissions(temporary, mode);
    outFile << text;
    if (!outFile.flush())
      throw std::runtime_error("cannot write " + temporary.string());
  }
  fs::rename(temporary, path);
}

constexpr fs::perms kPublic = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read;
constexpr fs::perms kPrivate = fs::perms::owner_read | fs::perms::owner_write;

// What the servers share: the authority, and the passwords of the links between them.
struct Links
{
  std::string caCertificate;
  std::string caKey;
  std::string routePassword;
  std::map<std::string, std::pair<std::string, std::string>> sitePasswords;  // site: CVX, SYS
};

std::string CommonPart(const fs::path& dir, const PlannedServer& server, const std::string& domain)
{
  const std::string store = server.store.empty() ? dir.string() : server.store;
  return "server_name: " + Quote(server.name) + "\n"
         "host: " + Quote(server.listen) + "\n"
         "port: " + std::to_string(server.port) + "\n"
         "pid_file: " + Quote((dir / "nats-server.pid").string()) + "\n"
         "max_payload: 8388608\n"
         "ping_interval: \"20s\"\n"
         "ping_max: 3\n"
         "\n"
         "# Clients must speak TLS; they trust ca.pem alone.\n"
         "tls {\n"
         "  cert_file: " + Quote((dir / "server-cert.pem").string()) + "\n"
         "  key_file: " + Quote((dir / "server-key.pem").string()) + "\n"
         "  timeout: 5\n"
         "}\n"
         "\n"
         "jetstream {\n"
         "  store_dir: " + Quote(store) + "\n"
         "  max_memory_store: 268435456\n"
         "  domain: " + Quote(domain) + "\n"
         "}\n"
         "\n"
         "system_account: SYS\n"
         "include \"clients.conf\"\n";
}

std::string TlsBlock(const fs::path& dir, bool withCertificate, const char* indent)
{
  const std::string in = indent;
  std::string text = in + "tls {\n";
  if (withCertificate)
    text += in + "  cert_file: " + Quote((dir / "server-cert.pem").string()) + "\n" + in +
            "  key_file: " + Quote((dir / "server-key.pem").string()) + "\n";
  text += in + "  ca_file: " + Quote((dir / "ca.pem").string()) + "\n" + in + "  timeout: 5\n" + in + "}\n";
  return text;
}

std::string HeadConfig(const fs::path& dir, const Plan& plan, const PlannedServer& self, const Links& links)
{
  std::string text =
    "# Messaging server " + self.name + " of the head office, written by corvex-nats plan. It holds the\n"
    "# passwords of the links between the servers: keep it private. Clients: clients.conf.\n" +
    CommonPart(dir, self, kHeadDomain);
  if (plan.heads.size() > 1) {
    text += "\n# The head office's cluster: JetStream keeps the streams on three of its nodes.\n"
            "cluster {\n"
            "  name: " + Quote(std::string(kHeadDomain)) + "\n"
            "  host: " + Quote(self.listen) + "\n"
            "  port: " + std::to_string(self.clusterPort) + "\n"
            "  authorization { user: \"route\", password: " + Quote(links.routePassword) + ", timeout: 5 }\n" +
            TlsBlock(dir, true, "  ") + "  routes: [\n";
    for (const PlannedServer& other : plan.heads)
      if (other.name != self.name)
        text += "    " + Quote("nats-route://route:" + links.routePassword + "@" + UrlHost(other.host) + ":" +
                               std::to_string(other.clusterPort)) + "\n";
    text += "  ]\n}\n";
  }
  if (!plan.sites.empty()) {
    text += "\n# The sites' servers join as leaf nodes: one link for the clients' account, one for the\n"
            "# system account (the relay sees the sites' clients come and go).\n"
            "leafnodes {\n"
            "  host: " + Quote(self.listen) + "\n"
            "  port: " + std::to_string(self.leafPort) + "\n" +
            TlsBlock(dir, true, "  ") + "  authorization {\n    users: [\n";
    for (const PlannedServer& site : plan.sites) {
      const auto& passwords = links.sitePasswords.at(site.name);
      text += "      {user: " + Quote(site.name) + ", password: " + Quote(passwords.first) + ", account: CVX}\n";
      text += "      {user: " + Quote(site.name + "-sys") + ", password: " + Quote(passwords.second) +
              ", account: SYS}\n";
    }
    text += "    ]\n  }\n}\n";
  }
  return text;
}

std::string SiteConfig(const fs::path& dir, const Plan& plan, const PlannedServer& self, const Links& links)
{
  const auto& passwords = links.sitePasswords.at(self.name);
  auto urls = [&](const std::string& user, const std::string& password) {
    std::string list = "[";
    for (std::size_t i = 0; i < plan.heads.size(); ++i)
      list += (i ? ", " : "") + Quote("tls://" + user + ":" + password + "@" + UrlHost(plan.heads[i].host) + ":" +
                                      std::to_string(plan.heads[i].leafPort));
    return list + "]";
  };
  // Letters stay out of the link: the site keeps its clients' letters in its own stream, which
  // the head office's streams draw from, so nothing is lost while the link is down and no
  // letter is stored on both sides.
  const std::string letters = "[\"cvx.to.>\", \"cvx.svc.>\"]";
  return "# Messaging server of the site " + self.name + ", a leaf node of the head office's, written by\n"
         "# corvex-nats plan. It holds the link's passwords: keep it private. Clients: clients.conf.\n" +
         CommonPart(dir, self, self.name) +
         "\n"
         "leafnodes {\n"
         "  remotes: [\n"
         "    {\n"
         "      urls: " + urls(self.name, passwords.first) + "\n"
         "      account: CVX\n"
         "      deny_imports: " + letters + "\n"
         "      deny_exports: " + letters + "\n" +
         TlsBlock(dir, false, "      ") +
         "    }\n"
         "    {\n"
         "      urls: " + urls(self.name + "-sys", passwords.second) + "\n"
         "      account: SYS\n" +
         TlsBlock(dir, false, "      ") +
         "    }\n"
         "  ]\n"
         "}\n";
}

}  // namespace

void ShareClients(const std::string& fromArgument, const std::string& toArgument)
{
  const fs::path from = fromArgument;
  const fs::path to = toArgument;
  for (const fs::path& dir : {from, to})
    if (!fs::exists(dir / "clients.list") || !fs::is_directory(dir / "clients"))
      throw std::runtime_error(dir.string() + " is not a messaging directory");
  if (fs::equivalent(from, to))
    throw std::runtime_error("the directories are the same");
  if (ReadText(from / "ca.pem") != ReadText(to / "ca.pem"))
    throw std::runtime_error(from.string() + " and " + to.string() + " are not of one deployment (their ca.pem differ)");
  for (const char* name : {"clients.list", "clients.conf"})
    WriteText(to / name, ReadText(from / name), kPublic);
  for (const auto& entry : fs::directory_iterator(to / "clients"))
    fs::remove(entry.path());
  for (const auto& entry : fs::directory_iterator(from / "clients"))
    WriteText(to / "clients" / entry.path().filename(), ReadText(entry.path()), kPrivate);
}

Plan ParsePlan(const std::string& text)
{
  Plan plan;
  std::istringstream in(text);
  std::string line;
  std::set<std::string> names;
  for (int number = 1; std::getline(in, line); ++number) {
    if (const auto hash = line.find('#'); hash != std::string::npos)
      line.erase(hash);
    std::istringstream words(line);
    std::string kind;
    if (!(words >> kind))
      continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (kind == "authority") {
      std::string extra;
      if (!(words >> plan.authority) || (words >> extra))
        throw std::invalid_argument(where + "authority takes one directory");
      continue;
    }
    if (kind != "head" && kind != "site")
      throw std::invalid_argument(where + "\"" + kind + "\" is not authority, head or site");
    PlannedServer server;
    server.line = number;
    if (!(words >> server.name) || !IsName(server.name))
      throw std::invalid_argument(where + "a " + kind + " needs a name of letters, digits, '-' and '_' (at most 64)");
    // A site's system link logs on as "<site>-sys".
    if (kind == "site" && server.name.size() > 4 && server.name.compare(server.name.size() - 4, 4, "-sys") == 0)
      throw std::invalid_argument(where + "a site's name does not end in \"-sys\" (its system link's user is named so)");
    if (server.name == kHeadDomain)
      throw std::invalid_argument(where + "\"" + server.name + "\" is the head office's domain: pick another name");
    if (!names.insert(server.name).second)
      throw std::invalid_argument(where + "the name \"" + server.name + "\" is given twice");
    std::string word;
    while (words >> word) {
      const auto equals = word.find('=');
      if (equals == std::string::npos || equals == 0 || equals + 1 == word.size())
        throw std::invalid_argument(where + "\"" + word + "\" is not key=value");
      const std::string key = word.substr(0, equals);
      const std::string value = word.substr(equals + 1);
      if (key == "host")
        server.host = value;
      else if (key == "listen")
        server.listen = value;
      else if (key == "port")
        server.port = Port(where, key, value);
      else if (key == "cluster-port" && kind == "head")
        server.clusterPort = Port(where, key, value);
      else if (key == "leaf-port" && kind == "head")
        server.leafPort = Port(where, key, value);
      else if (key == "store") {
        if (value.front() != '/')
          throw std::invalid_argument(where + "store is an absolute path");
        server.store = value;
      } else
        throw std::invalid_argument(where + "a " + kind + " takes no \"" + key + "\"");
    }
    if (server.host.empty())
      throw std::invalid_argument(where + "the " + kind + " " + server.name + " needs host=");
    (kind == "head" ? plan.heads : plan.sites).push_back(server);
  }
  if (plan.heads.empty())
    throw std::invalid_argument("the description names no head server");
  if (plan.heads.size() == 2)
    throw std::invalid_argument("two head servers cannot keep a quorum when one fails: give one, or three or more");
  // Every port is bound on its host once.
  std::map<std::pair<std::string, int>, std::string> bound;
  auto bind = [&](const PlannedServer& s, int port, const char* what) {
    const auto [it, fresh] = bound.emplace(std::make_pair(s.host, port), s.name + "'s " + what);
    if (!fresh)
      throw std::invalid_argument("line " + std::to_string(s.line) + ": port " + std::to_string(port) + " of " +
                                  s.host + " is both " + it->second + " and " + s.name + "'s " + what);
  };
  for (const PlannedServer& h : plan.heads) {
    bind(h, h.port, "client port");
    if (plan.heads.size() > 1)
      bind(h, h.clusterPort, "cluster port");
    if (!plan.sites.empty())
      bind(h, h.leafPort, "leaf port");
  }
  for (const PlannedServer& s : plan.sites)
    bind(s, s.port, "client port");
  return plan;
}

std::vector<std::string> WritePlan(const Plan& plan, const std::string& outArgument)
{
  fs::create_directories(outArgument);
  const fs::path out = fs::canonical(outArgument);
  std::vector<std::pair<const PlannedServer*, bool>> servers;  // and whether it is a head server
  for (const auto& h : plan.heads)
    servers.emplace_back(&h, true);
  for (const auto& s : plan.sites)
    servers.emplace_back(&s, false);
  for (const auto& [s, head] : servers)
    if (fs::exists(out / s->name))
      throw std::runtime_error((out / s->name).string() + " exists already: remove it or write elsewhere");

  Links links;
  if (!plan.authority.empty()) {
    links.caCertificate = ReadText(fs::path(plan.authority) / "ca.pem");
    links.caKey = ReadText(fs::path(plan.authority) / "ca-key.pem");
  }
  links.routePassword = Secret();
  for (const auto& s : plan.sites)
    links.sitePasswords[s.name] = {Secret(), Secret()};

  std::string headUrls;
  for (const auto& h : plan.heads)
    headUrls += (headUrls.empty() ? "" : ",") + ("tls://" + UrlHost(h.host) + ":" + std::to_string(h.port));

  std::vector<std::string> written;
  for (const auto& [s, head] : servers) {
    const fs::path dir = out / s->name;
    messaging::enrolment::ServerSettings settings;
    settings.host = s->host;
    settings.listen = s->listen;
    settings.port = s->port;
    settings.jetStreamDir = s->store;
    messaging::enrolment::Init(dir.string(), settings);
    if (links.caCertificate.empty()) {
      // The first server's new authority becomes the deployment's; its key stays there alone.
      links.caCertificate = ReadText(dir / "ca.pem");
      links.caKey = ReadText(dir / "ca-key.pem");
    } else {
      WriteText(dir / "ca.pem", links.caCertificate, kPublic);
      fs::remove(dir / "ca-key.pem");
    }
    messaging::PemCertificate certificate =
      messaging::NewServerCertificate(links.caCertificate, links.caKey, {s->host, "localhost", "127.0.0.1"}, 3653, true);
    WriteText(dir / "server-key.pem", certificate.privateKey, kPrivate);
    WriteText(dir / "server-cert.pem", certificate.certificate, kPublic);
    if (head) {
      // Every head server knows the same clients and the same relay; clients try them all.
      if (s != &plan.heads.front())
        ShareClients((out / plan.heads.front().name).string(), dir.string());
      WriteText(dir / "url", headUrls + "\n", kPublic);
      std::string sites;
      for (const auto& site : plan.sites)
        sites += site.name + "\n";
      WriteText(dir / "sites", sites, kPublic);
      WriteText(dir / "replicas", plan.heads.size() >= 3 ? "3\n" : "1\n", kPublic);
      WriteText(dir / "nats-server.conf", HeadConfig(dir, plan, *s, links), kPrivate);
    } else {
      WriteText(dir / "nats-server.conf", SiteConfig(dir, plan, *s, links), kPrivate);
      // No relay runs at a site: nobody should hold the keys its register keeps for one.
      for (const bool system : {false, true})
        fs::remove(messaging::SeedFileOf(dir.string(), messaging::wire::kDefaultRelayName, system));
    }
    written.push_back(dir.string());
  }
  return written;
}

}  // namespace corvexnats
