#pragma once
// Test support for the web console: throwaway Linux accounts and group (root only), a server on
// loopback run on its own thread, the events it writes, and a browser-like HTTPS client that
// keeps the session cookie and sends the CSRF token.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "platform/eventlog/EventLog.h"
#include "tests/platform/CapturedEvents.h"
#include "web/Certificate.h"
#include "web/WebServer.h"

namespace webtest {

// A group and two accounts with one password: `admin` in the group, `outsider` not. Removed
// again when the object goes.
class ThrowawayAccounts
{
public:
  static bool CanMake() { return ::geteuid() == 0; }

  ThrowawayAccounts()
  {
    const std::string tag = std::to_string(::getpid());
    group = "cvxwg" + tag;
    admin = "cvxwa" + tag;
    outsider = "cvxwo" + tag;
    Run("groupadd " + group);
    Run("useradd -M -N -s /usr/sbin/nologin -G " + group + " " + admin);
    Run("useradd -M -N -s /usr/sbin/nologin " + outsider);
    Run("printf '%s\\n' '" + admin + ":" + password + "' '" + outsider + ":" + password + "' | chpasswd");
  }
  ~ThrowawayAccounts()
  {
    Run("userdel " + admin);
    Run("userdel " + outsider);
    Run("groupdel " + group);
  }
  ThrowawayAccounts(const ThrowawayAccounts&) = delete;
  ThrowawayAccounts& operator=(const ThrowawayAccounts&) = delete;

  std::string group, admin, outsider;
  std::string password = "Tr0ub4dor-&3-web";

private:
  static void Run(const std::string& command) { (void)std::system((command + " >/dev/null 2>&1").c_str()); }
};

// Settings for a server on an ephemeral loopback port, its self-signed certificate and key made in
// `dir`.
inline corvexweb::WebSettings LoopbackSettings(const std::string& dir)
{
  corvexweb::WebSettings settings;
  settings.listenAddress = "127.0.0.1";
  settings.port = 0;
  settings.certificateFile = dir + "/cert.pem";
  settings.keyFile = dir + "/key.pem";
  corvexweb::EnsureSelfSignedCertificate(settings.certificateFile, settings.keyFile);
  return settings;
}

// A console server serving on a thread of its own; stopped and joined with the object, so a
// fixture declares it after the data it serves.
class RunningServer
{
public:
  RunningServer() = default;
  ~RunningServer() { Stop(); }
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  // Binds and starts serving; the port it listens on.
  int Start(const corvexweb::WebSettings& settings, corvexweb::ConsoleData& data,
            corvexweb::WebServer::Authenticator authenticate = nullptr)
  {
    m_server = std::make_unique<corvexweb::WebServer>(settings, data, std::move(authenticate));
    m_port = m_server->Bind();
    m_thread = std::thread([this] { m_server->Serve(); });
    return m_port;
  }
  void Stop()
  {
    if (m_server)
      m_server->Stop();
    if (m_thread.joinable())
      m_thread.join();
  }
  int Port() const { return m_port; }
  corvexweb::WebServer* operator->() { return m_server.get(); }

private:
  std::unique_ptr<corvexweb::WebServer> m_server;
  std::thread m_thread;
  int m_port = 0;
};

using testsupport::CapturedEvents;

struct Reply
{
  int status = 0;
  nlohmann::json body;
  httplib::Headers headers;
  std::string Header(const std::string& name) const
  {
    const auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
  std::string ErrorCode() const { return body.contains("error") ? body["error"].value("code", "") : ""; }
  std::string ErrorText() const { return body.contains("error") ? body["error"].value("message", "") : ""; }
};

// Talks to the server as the console's pages do.
class Browser
{
public:
  explicit Browser(int port) : m_client(std::make_unique<httplib::SSLClient>("127.0.0.1", port))
  {
    m_client->enable_server_certificate_verification(false);
    m_client->set_read_timeout(30);
  }

  Reply Get(const std::string& path) { return Make(m_client->Get(path.c_str(), Headers())); }
  Reply Post(const std::string& path, const nlohmann::json& body = nlohmann::json::object(), httplib::Headers extra = {})
  {
    httplib::Headers h = Headers();
    if (!m_csrf.empty())
      h.emplace("X-CSRF-Token", m_csrf);
    h.insert(extra.begin(), extra.end());
    return Make(m_client->Post(path.c_str(), h, body.dump(), "application/json"));
  }
  Reply LogIn(const std::string& user, const std::string& password)
  {
    Reply r = Post("/api/login", {{"user", user}, {"password", password}});
    if (r.status == 200)
      m_csrf = r.body.value("csrf", "");
    return r;
  }
  // Reads a stream until it holds `until` (or it ends, or 15 seconds pass); what it read.
  std::string Stream(const std::string& path, const std::string& until)
  {
    std::string text;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    m_client->Get(path.c_str(), Headers(), [&](const char* data, std::size_t size) {
      text.append(data, size);
      return text.find(until) == std::string::npos && std::chrono::steady_clock::now() < end;
    });
    return text;
  }
  void ForgetCsrf() { m_csrf.clear(); }
  void SetCsrf(const std::string& csrf) { m_csrf = csrf; }
  const std::string& Csrf() const { return m_csrf; }
  const std::string& Cookie() const { return m_cookie; }

private:
  httplib::Headers Headers() const
  {
    httplib::Headers h;
    if (!m_cookie.empty())
      h.emplace("Cookie", m_cookie);
    return h;
  }
  Reply Make(const httplib::Result& res)
  {
    Reply r;
    if (!res)
      return r;
    r.status = res->status;
    r.headers = res->headers;
    r.body = nlohmann::json::parse(res->body, nullptr, false);
    const std::string set = r.Header("Set-Cookie");
    if (!set.empty())
      m_cookie = set.substr(0, set.find(';'));
    return r;
  }

  std::unique_ptr<httplib::SSLClient> m_client;
  std::string m_cookie;
  std::string m_csrf;
};

}  // namespace webtest
