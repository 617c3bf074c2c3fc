#pragma once
// The web console's HTTPS server: log-in through PAM for the console administrators group,
// sessions in a cookie, a CSRF token on every POST, the pages and the JSON API.
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "web/ConsoleActions.h"
#include "web/ConsoleAudit.h"
#include "web/ConsoleCharts.h"
#include "web/ConsoleData.h"
#include "web/ConsoleEdits.h"
#include "web/ConsoleSearch.h"
#include "web/HttpsFront.h"
#include "web/ServiceLoad.h"
#include "web/Sessions.h"
#include "web/WebSettings.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace corvexweb {

// Event identifiers of the web console's event source, "corvex-web".
constexpr unsigned kEventStarted = 0x40002AF8;
constexpr unsigned kEventLoginRefused = 0x80002AF9;
constexpr unsigned kEventLoginThrottled = 0x80002AFA;
constexpr unsigned kEventLoggedIn = 0x40002AFB;
constexpr unsigned kEventClientRefused = 0x80002AFC;
constexpr unsigned kEventLoginBusy = 0x80002AFD;
constexpr unsigned kEventAuditFailed = 0xC0002AFE;

// Refusals of log-ins, for tests and for whoever reports on the console.
struct LoginCounters
{
  std::atomic<unsigned long long> refused{0};
  std::atomic<unsigned long long> throttled{0};
  // Refused because as many password checks as allowed were under way.
  std::atomic<unsigned long long> busy{0};
};

class RouteTable;

class WebServer
{
public:
  // Checks an account and its password; true admits it. The default is PAM for the settings'
  // service and group.
  using Authenticator = std::function<bool(const std::string& user, const std::string& password, std::string& reason)>;
  // The role of an admitted account. The default goes by the settings' groups (administrators
  // first); with an authenticator of the caller's own and no role function, every admitted
  // account is an administrator.
  using RoleOf = std::function<Role(const std::string& user)>;

  // Loads the certificate and key named in the settings (they must exist). Requests reach the
  // routes only whole, through the door (HttpsFront) that holds slow clients.
  WebServer(const WebSettings& settings, ConsoleData& data, Authenticator authenticate = nullptr, RoleOf roleOf = nullptr);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds the settings' address and port (0: any free port) and returns the port; throws
  // std::runtime_error when it cannot.
  int Bind();
  // Serves until Stop; call from the thread that should serve.
  void Serve();
  void Stop();

  SessionStore& Sessions() { return m_sessions; }
  const FrontCounters& Connections() const { return m_front->Counters(); }
  const LoginCounters& Logins() const { return m_logins; }
  // The charts, the outbreak rule and the exports (main starts the outbreak watch).
  ConsoleCharts& Charts() { return *m_charts; }

private:
  using Handler = std::function<nlohmann::json(const httplib::Request&, const SessionStore::Session&)>;
  void Routes();
  void Get(const std::string& pattern, Handler handler);
  // A GET that writes its own answer (a stream, a file) once the session is checked; a refusal
  // or failure is answered as JSON like the others.
  using RawHandler = std::function<void(const httplib::Request&, httplib::Response&)>;
  void GetRaw(const std::string& pattern, RawHandler handler);
  // A change: administrators only, and audited once its answer is known.
  void Post(const std::string& pattern, Handler handler);
  void Audit(const httplib::Request& req, const SessionStore::Session& session, httplib::Response& res);
  void Login(const httplib::Request& req, httplib::Response& res);
  void Logout(const httplib::Request& req, httplib::Response& res);
  void ServePage(const httplib::Request& req, httplib::Response& res);
  // The session of the request's cookie, or an ApiError 401.
  SessionStore::Session SessionOf(const httplib::Request& req);
  void Answer(httplib::Response& res, const std::function<nlohmann::json()>& work);

  WebSettings m_settings;
  ConsoleData& m_data;
  ConsoleActions m_actions;
  ConsoleEdits m_edits;
  ConsoleSearch m_search;
  ConsoleAudit m_audit;
  ServiceLoad m_load;  // the service's processing queue and applied rate, for the overview
  std::unique_ptr<ConsoleCharts> m_charts;
  Authenticator m_authenticate;
  RoleOf m_roleOf;
  SessionStore m_sessions;
  LoginThrottle m_throttle;
  LoginCounters m_logins;
  std::atomic<int> m_eventStreams{0};
  std::atomic<int> m_loginChecks{0};
  std::unique_ptr<RouteTable> m_server;
  std::unique_ptr<HttpsFront> m_front;
};

// The JSON body of an error answer.
nlohmann::json ErrorBody(const std::string& code, const std::string& message);

}  // namespace corvexweb
