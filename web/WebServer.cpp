#include "web/WebServer.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "businesslogic/SPException.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "businesslogic/exceptions/GroupExceptions.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "metrics/WebMetrics.h"
#include "platform/com/ComError.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/eventlog/EventLog.h"
#include "platform/text/Unicode.h"
#include "web/ApiError.h"
#include "web/ConsoleProgress.h"
#include "web/Pages.h"
#include "web/QueryNumber.h"
#include "web/PamLogin.h"

namespace corvexweb {

using nlohmann::json;

namespace {

const char* const kCookie = "corvex_session";
const char* const kEventSource = "corvex-web";

// Pages may load only their own scripts and styles and talk only to their own server.
const char* const kContentSecurityPolicy =
  "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
  "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

void Report(WORD type, DWORD id, const std::vector<std::wstring>& strings)
{
  static const HEVENTSOURCE source = [] {
    RegisterEventMessages(FromUtf8(kEventSource),
                          {{kEventStarted, L"Web console listening on %1"},
                           {kEventLoginRefused, L"Web console log-in refused for account \"%1\" from %2: %3"},
                           {kEventLoginThrottled, L"Web console log-in for account \"%1\" from %2 refused: too many failed log-ins"},
                           {kEventLoggedIn, L"Web console log-in of account \"%1\" from %2"},
                           {kEventClientRefused, L"Web console refused the client at %1: %2"},
                           {kEventOutbreak, L"Virus outbreak: \"%1\" reported by %2 computers within %3 minutes (first at %4)"},
                           {kEventLoginBusy, L"Web console log-in for account \"%1\" from %2 refused: as many log-ins as allowed are being checked"},
                           {kEventAuditFailed, L"Web console could not record in the audit trail the change \"%1\" of account \"%2\" from %3 (%4): %5"}});
    return RegisterEventSource(nullptr, FromUtf8(kEventSource).c_str());
  }();
  ReportEvent(source, type, 0, id, nullptr, strings);
}

std::string CookieToken(const httplib::Request& req)
{
  const std::string cookies = req.get_header_value("Cookie");
  const std::string key = std::string(kCookie) + "=";
  std::size_t pos = 0;
  while (pos < cookies.size()) {
    std::size_t end = cookies.find(';', pos);
    if (end == std::string::npos)
      end = cookies.size();
    std::size_t start = cookies.find_first_not_of(' ', pos);
    if (start != std::string::npos && start < end && cookies.compare(start, key.size(), key) == 0)
      return cookies.substr(start + key.size(), end - start - key.size());
    pos = end + 1;
  }
  return {};
}

// A request from another site cannot pass as ours: when a browser names the page's origin, it
// must be this server.
void CheckOrigin(const httplib::Request& req)
{
  const std::string origin = req.get_header_value("Origin");
  if (!origin.empty() && origin != "https://" + req.get_header_value("Host"))
    throw ApiError(403, "forbidden", "the request comes from another site");
}

json Body(const httplib::Request& req)
{
  if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
    throw ApiError(415, "bad_request", "the request body must be JSON (Content-Type: application/json)");
  json body = json::parse(req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object())
    throw ApiError(400, "bad_request", "the request body is not a JSON object");
  return body;
}

// Errors of the layers below, as the API answers them: the system's own text with a status
// that says whose fault it is.
void Translate(std::exception_ptr error, int& status, std::string& code, std::string& message)
{
  try {
    std::rethrow_exception(error);
  } catch (const ApiError& e) {
    status = e.Status(), code = e.Code(), message = e.what();
  } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
    status = 404, code = "not_found", message = e.what();
  } catch (const vrn::Exceptions::GroupNotFound& e) {
    status = 404, code = "not_found", message = e.what();
  } catch (const vrn::Exceptions::GroupNameAlreayExists& e) {
    status = 409, code = "conflict", message = e.what();
  } catch (const vrn::Exceptions::PurgeFailed& e) {
    status = 409, code = "conflict", message = e.what();
  } catch (const vrn::Exceptions::InvalidGroupName& e) {
    status = 400, code = "bad_request", message = e.what();
  } catch (const vrn::Exceptions::OperationNotSupported& e) {
    status = 400, code = "bad_request", message = e.what();
  } catch (const vrn::Exceptions::InvalidCompanyNameLength& e) {
    status = 400, code = "bad_request", message = e.what();
  } catch (const CorvexManagedEntity::MEException& e) {
    status = 400, code = "bad_request", message = e.what();
  } catch (const HandlerUtils::XMLException& e) {
    status = 400, code = "bad_request", message = std::string("The document does not read: ") + e.what();
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    status = 503, code = "database_unavailable", message = std::string("The database cannot be reached: ") + e.what();
  } catch (const vrn::Exceptions::IncompatableDatabaseVersion& e) {
    status = 503, code = "database_unavailable", message = e.what();
  } catch (const vrn::Exceptions::ConnectToServerFailed& e) {
    status = 503, code = "service_unavailable", message = std::string("The management service cannot be reached: ") + e.what();
  } catch (const WinRuntimeError& e) {
    status = 503, code = "service_unavailable", message = std::string("The management service cannot be reached: ") + e.what();
  } catch (const CSPException& e) {
    // Refusals of a change the tree does not allow (a cycle, a group with subgroups) are the
    // caller's; anything else is ours.
    const bool refused = e.ReturnValue() == 37 || e.ReturnValue() == 43 || e.ReturnValue() == 38;
    status = refused ? 409 : 500, code = refused ? "conflict" : "database_error", message = e.what();
  } catch (const json::exception& e) {
    status = 400, code = "bad_request", message = std::string("bad request: ") + e.what();
  } catch (const std::exception& e) {
    status = 500, code = "internal_error", message = e.what();
  } catch (const _com_error& e) {
    status = 503, code = "service_unavailable", message = std::string("The management service cannot be reached: ") + e.ErrorMessage();
  } catch (...) {
    status = 500, code = "internal_error", message = "unexpected error";
  }
}

AuditQuery AuditQueryOf(const httplib::Request& req)
{
  AuditQuery q;
  q.account = req.get_param_value("account");
  q.action = req.get_param_value("action");
  q.since = AuditTime(req.get_param_value("since"), "since");
  q.until = AuditTime(req.get_param_value("until"), "until");
  return q;
}

}  // namespace

// The routes, answering one whole request at a time from the door's workers.
class RouteTable : public httplib::Server
{
public:
  // Answers the request in `stream`; false when the connection must end.
  bool Answer(httplib::Stream& stream, bool closeConnection)
  {
    bool closed = false;
    const bool written = process_request(stream, closeConnection, closed, nullptr);
    return written && !closed && !closeConnection;
  }
  // Streaming answers go on while the table is open. The mark is never a socket of its own:
  // the table does not listen.
  void Open(bool open) { svr_sock_ = open ? 0 : INVALID_SOCKET; }
};

json ErrorBody(const std::string& code, const std::string& message)
{
  return json{{"error", {{"code", code}, {"message", message}}}};
}

WebServer::WebServer(const WebSettings& settings, ConsoleData& data, Authenticator authenticate, RoleOf roleOf)
  : m_settings(settings),
    m_data(data),
    m_actions(data),
    m_edits(data),
    m_audit(data),
    m_authenticate(std::move(authenticate)),
    m_roleOf(std::move(roleOf)),
    m_sessions(std::chrono::minutes(settings.sessionIdleMinutes)),
    m_throttle(LoginLimits{settings.loginAttempts, settings.loginAccountAttempts, std::chrono::seconds(settings.loginLockoutSeconds)})
{
  if (!m_roleOf && m_authenticate)
    m_roleOf = [](const std::string&) { return Role::Administrator; };
  if (!m_roleOf)
    m_roleOf = [group = settings.administratorsGroup](const std::string& user) {
      return IsGroupMember(user, group) ? Role::Administrator : Role::Viewer;
    };
  if (!m_authenticate)
    m_authenticate = [service = settings.pamService, admins = settings.administratorsGroup, viewers = settings.viewersGroup](
                       const std::string& user, const std::string& password, std::string& reason) {
      if (!PamAuthenticate(service, user, password, reason))
        return false;
      if (!IsGroupMember(user, admins) && !IsGroupMember(user, viewers)) {
        reason = "not a member of " + admins + " or " + viewers;
        return false;
      }
      return true;
    };
  FrontLimits limits;
  limits.workers = settings.workers;
  limits.connectionsPerAddress = settings.connectionsPerAddress;
  limits.connections = settings.connections;
  limits.requestDeadline = std::chrono::seconds(settings.requestDeadlineSeconds);
  limits.keepAlive = std::chrono::seconds(settings.keepAliveSeconds);
  m_server = std::make_unique<RouteTable>();
  m_front = std::make_unique<HttpsFront>(
    settings.certificateFile, settings.keyFile, limits,
    [this](httplib::Stream& stream, bool closeConnection) {
      // Every request answered passes here once: the place to count requests and time them.
      const metrics::WebRequestTimer timer;
      return m_server->Answer(stream, closeConnection);
    },
    [](const std::string& address, const std::string& what) {
      Report(EVENTLOG_WARNING_TYPE, kEventClientRefused, {FromUtf8(address), FromUtf8(what)});
    });
  m_server->set_payload_max_length(limits.bodyBytes);
  m_charts = std::make_unique<ConsoleCharts>(
    data, settings.outbreak, [](WORD type, DWORD id, const std::vector<std::wstring>& strings) { Report(type, id, strings); });
  m_server->set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                                 {"X-Content-Type-Options", "nosniff"},
                                 {"Referrer-Policy", "no-referrer"},
                                 {"X-Frame-Options", "DENY"},
                                 {"Strict-Transport-Security", "max-age=31536000"}});
  Routes();
}

WebServer::~WebServer() { Stop(); }

int WebServer::Bind()
{
  const int port = m_front->Bind(m_settings.listenAddress, m_settings.port);
  Report(EVENTLOG_INFORMATION_TYPE, kEventStarted, {FromUtf8(m_settings.listenAddress + ":" + std::to_string(port))});
  return port;
}

void WebServer::Serve()
{
  m_server->Open(true);
  m_front->Serve();
}

void WebServer::Stop()
{
  m_server->Open(false);
  m_search.Shutdown();
  m_front->Stop();
}

void WebServer::Answer(httplib::Response& res, const std::function<json()>& work)
{
  res.set_header("Cache-Control", "no-store");
  try {
    res.set_content(work().dump(), "application/json");
    res.status = 200;
  } catch (...) {
    int status = 500;
    std::string code, message;
    Translate(std::current_exception(), status, code, message);
    res.status = status;
    res.set_content(ErrorBody(code, message).dump(), "application/json");
  }
}

SessionStore::Session WebServer::SessionOf(const httplib::Request& req)
{
  const std::string token = CookieToken(req);
  auto session = token.empty() ? std::nullopt : m_sessions.Use(token);
  if (!session)
    throw ApiError(401, "not_logged_in", "Log in first (the session ended or never began)");
  return *session;
}

void WebServer::Get(const std::string& pattern, Handler handler)
{
  m_server->Get(pattern, [this, handler](const httplib::Request& req, httplib::Response& res) {
    Answer(res, [&] { return handler(req, SessionOf(req)); });
  });
}

void WebServer::GetRaw(const std::string& pattern, RawHandler handler)
{
  m_server->Get(pattern, [this, handler](const httplib::Request& req, httplib::Response& res) {
    try {
      SessionOf(req);
      handler(req, res);
    } catch (...) {
      Answer(res, []() -> json { throw; });
    }
  });
}

void WebServer::Post(const std::string& pattern, Handler handler)
{
  m_server->Post(pattern, [this, handler](const httplib::Request& req, httplib::Response& res) {
    std::optional<SessionStore::Session> session;
    Answer(res, [&] {
      CheckOrigin(req);
      session = SessionOf(req);
      if (!ConstantTimeEquals(req.get_header_value("X-CSRF-Token"), session->csrf))
        throw ApiError(403, "csrf", "The request lacks this session's CSRF token");
      if (session->role != Role::Administrator)
        throw ApiError(403, "read_only", "This account may look but not change: it is a console viewer");
      return handler(req, *session);
    });
    // Whoever is known is accountable for what they asked, refusals included.
    if (session)
      Audit(req, *session, res);
  });
}

void WebServer::Audit(const httplib::Request& req, const SessionStore::Session& session, httplib::Response& res)
{
  AuditEntry entry = DescribeChange(req.path, req.body, res.status, res.body);
  entry.account = session.user;
  entry.source = req.remote_addr;
  try {
    m_audit.Write(entry);
  } catch (...) {
    // The change has happened (or was refused) but the trail does not say so: the
    // administrator is told, and the event log keeps what the trail lacks.
    int status = 500;
    std::string code, message;
    Translate(std::current_exception(), status, code, message);
    Report(EVENTLOG_ERROR_TYPE, kEventAuditFailed,
           {FromUtf8(entry.action), FromUtf8(entry.account), FromUtf8(entry.source), FromUtf8(entry.outcome), FromUtf8(message)});
    res.status = 500;
    res.set_content(ErrorBody("audit_failed", "The change ended (" + entry.outcome + ") but could not be recorded in the audit trail: " + message)
                      .dump(),
                    "application/json");
  }
}

void WebServer::Login(const httplib::Request& req, httplib::Response& res)
{
  Answer(res, [&] {
    CheckOrigin(req);
    const json body = Body(req);
    const std::string user = body.value("user", "");
    std::string password = body.value("password", "");
    if (user.empty() || user.size() > 256 || password.size() > 1024)
      throw ApiError(400, "bad_request", "give an account name and its password");
    const std::wstring who = FromUtf8(user), from = FromUtf8(req.remote_addr);
    // The attempt is counted before PAM sees it, so that parallel guesses cannot pass the limit.
    if (const long wait = m_throttle.Begin(req.remote_addr, user)) {
      ++m_logins.throttled;
      metrics::WebLoginFailure("throttled");
      Report(EVENTLOG_WARNING_TYPE, kEventLoginThrottled, {who, from});
      res.set_header("Retry-After", std::to_string(wait));
      throw ApiError(429, "too_many_attempts", "Too many failed log-ins; try again in " + std::to_string(wait) + " seconds");
    }
    // Password checks take time: half the workers at most, so that sessions' requests always
    // find one free.
    if (++m_loginChecks > std::max(1, m_settings.workers / 2)) {
      --m_loginChecks;
      m_throttle.Withdraw(req.remote_addr, user);
      ++m_logins.busy;
      metrics::WebLoginFailure("busy");
      Report(EVENTLOG_WARNING_TYPE, kEventLoginBusy, {who, from});
      throw ApiError(503, "busy", "Too many log-ins are being checked at once; try again in a moment");
    }
    struct Release
    {
      std::atomic<int>& checks;
      ~Release() { --checks; }
    } release{m_loginChecks};
    std::string reason;
    const bool admitted = m_authenticate(user, password, reason);
    OPENSSL_cleanse(password.data(), password.size());
    if (!admitted) {
      ++m_logins.refused;
      metrics::WebLoginFailure("refused");
      Report(EVENTLOG_WARNING_TYPE, kEventLoginRefused, {who, from, FromUtf8(reason)});
      throw ApiError(401, "login_refused", "Log-in refused: wrong account or password, or the account is not a console administrator or viewer");
    }
    const Role role = m_roleOf(user);
    m_throttle.Succeeded(req.remote_addr, user);
    Report(EVENTLOG_INFORMATION_TYPE, kEventLoggedIn, {who, from});
    const std::string token = m_sessions.Create(user, role);
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + token + "; Path=/; Secure; HttpOnly; SameSite=Strict");
    return json{{"user", user}, {"csrf", m_sessions.Use(token)->csrf}, {"role", RoleName(role)}};
  });
}

void WebServer::Logout(const httplib::Request& req, httplib::Response& res)
{
  Answer(res, [&] {
    CheckOrigin(req);
    const SessionStore::Session session = SessionOf(req);
    if (!ConstantTimeEquals(req.get_header_value("X-CSRF-Token"), session.csrf))
      throw ApiError(403, "csrf", "The request lacks this session's CSRF token");
    m_sessions.Remove(CookieToken(req));
    res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; Secure; HttpOnly; SameSite=Strict; Max-Age=0");
    return json{{"loggedOut", true}};
  });
}

void WebServer::ServePage(const httplib::Request& req, httplib::Response& res)
{
  const corvexweb::Page* page = FindPage(req.path);
  if (!page) {
    res.status = 404;
    res.set_content(ErrorBody("not_found", "no such page").dump(), "application/json");
    return;
  }
  res.set_header("Cache-Control", "no-cache");
  res.set_content(page->body.data(), page->body.size(), ContentTypeOf(req.path));
}

void WebServer::Routes()
{
  m_server->Post("/api/login", [this](const httplib::Request& req, httplib::Response& res) { Login(req, res); });
  m_server->Post("/api/logout", [this](const httplib::Request& req, httplib::Response& res) { Logout(req, res); });
  Get("/api/session", [](const httplib::Request&, const SessionStore::Session& s) {
    return json{{"user", s.user}, {"csrf", s.csrf}, {"role", RoleName(s.role)}};
  });
  Get("/api/clocks", [this](const httplib::Request&, const SessionStore::Session&) { return m_data.Clocks(); });
  Get("/api/overview", [this](const httplib::Request& req, const SessionStore::Session&) {
    json overview = m_data.Overview(static_cast<int>(QueryNumber(req, "days", 1, 366).value_or(30)));
    overview["Service"] = m_load.Now();
    return overview;
  });
  Get("/api/computers", [this](const httplib::Request& req, const SessionStore::Session&) {
    ComputerQuery q;
    if (auto g = QueryNumber(req, "group", 0, 0xFFFFFFFFLL))
      q.group = static_cast<ULONG>(*g);
    q.subgroups = QueryNumber(req, "subgroups", 0, 1).value_or(0) != 0;
    if (auto c = QueryNumber(req, "connected", 0, 1))
      q.connected = static_cast<int>(*c);
    q.alerts = static_cast<int>(QueryNumber(req, "alerts", 0, 3).value_or(0));
    q.name = req.get_param_value("name");
    q.orderBy = static_cast<int>(QueryNumber(req, "order", 0, 6).value_or(1));
    q.ascending = QueryNumber(req, "asc", 0, 1).value_or(1) != 0;
    q.offset = static_cast<int>(QueryNumber(req, "offset", 0, 0x7FFFFFFF).value_or(0));
    q.count = static_cast<int>(QueryNumber(req, "count", 1, 1000).value_or(100));
    return m_data.Computers(q);
  });
  Get(R"(/api/computers/(\d+))", [this](const httplib::Request& req, const SessionStore::Session&) {
    const long long id = std::strtoll(req.matches[1].str().c_str(), nullptr, 10);
    if (id > 0x7FFFFFFF)
      throw ApiError(404, "not_found", "Computer does not exist");
    return m_data.Computer(static_cast<LONG>(id));
  });
  Get("/api/alerts", [this](const httplib::Request& req, const SessionStore::Session&) {
    AlertQuery q;
    if (auto t = QueryNumber(req, "type", 1, 2))
      q.type = static_cast<int>(*t);
    if (auto c = QueryNumber(req, "computer", 0, 0x7FFFFFFF))
      q.computer = static_cast<LONG>(*c);
    if (auto o = QueryNumber(req, "outstanding", 0, 1))
      q.outstanding = static_cast<int>(*o);
    q.offset = static_cast<int>(QueryNumber(req, "offset", 0, 0x7FFFFFFF).value_or(0));
    q.count = static_cast<int>(QueryNumber(req, "count", 1, 1000).value_or(100));
    return m_data.Alerts(q);
  });
  Get("/api/groups", [this](const httplib::Request&, const SessionStore::Session&) { return m_data.Groups(); });
  Post("/api/groups", [this](const httplib::Request& req, const SessionStore::Session&) {
    return m_edits.CreateGroup(Body(req));
  });
  Get(R"(/api/groups/(\d+)/configuration)", [this](const httplib::Request& req, const SessionStore::Session&) {
    return m_edits.GroupConfiguration(static_cast<ULONG>(std::stoull(req.matches[1].str()) & 0xFFFFFFFFull));
  });
  Post(R"(/api/groups/(\d+)/([a-z-]+))", [this](const httplib::Request& req, const SessionStore::Session&) {
    const unsigned long long id = std::stoull(req.matches[1].str().substr(0, 12));
    if (id > 0xFFFFFFFFull)
      throw ApiError(404, "not_found", "Group not found");
    return m_edits.ChangeGroup(static_cast<ULONG>(id), req.matches[2].str(), Body(req));
  });
  Get(R"(/api/alerts/(\d{1,10}))", [this](const httplib::Request& req, const SessionStore::Session&) {
    return m_edits.Alert(static_cast<ULONG>(std::stoull(req.matches[1].str()) & 0xFFFFFFFFull));
  });
  Post("/api/alerts/dealt-with", [this](const httplib::Request& req, const SessionStore::Session&) {
    return m_edits.DealtWith(Body(req));
  });
  Get("/api/purge-settings", [this](const httplib::Request&, const SessionStore::Session&) { return m_edits.PurgeSettings(); });
  Post("/api/purge-settings", [this](const httplib::Request& req, const SessionStore::Session&) {
    return m_edits.SetPurgeSettings(Body(req));
  });
  Get("/api/search/domains", [this](const httplib::Request&, const SessionStore::Session&) { return m_search.Domains(); });
  Post("/api/search", [this](const httplib::Request& req, const SessionStore::Session&) {
    json body = Body(req);
    return m_search.Start(body);
  });
  Post("/api/search/stop", [this](const httplib::Request&, const SessionStore::Session&) { return m_search.Stop(); });
  // The search's progress as server-sent events: one event per change the listener hears,
  // for as long as the browser listens.
  m_server->Get("/api/search/events", [this](const httplib::Request& req, httplib::Response& res) {
    try {
      SessionOf(req);
    } catch (...) {
      Answer(res, [&]() -> json { throw; });
      return;
    }
    res.set_header("Cache-Control", "no-store");
    // A stream holds a worker for as long as it lasts: half of them at most, so that the
    // others stay free for requests.
    if (++m_eventStreams > std::max(1, m_settings.workers / 2)) {
      --m_eventStreams;
      Answer(res, []() -> json { throw ApiError(503, "busy", "Too many progress streams are open; try again later"); });
      return;
    }
    res.set_chunked_content_provider(
      "text/event-stream",
      [this, seen = ~0ull](std::size_t, httplib::DataSink& sink) mutable {
        const json p = m_search.Progress(seen, std::chrono::seconds(15));
        if (p.is_null())
          return false;
        const unsigned long long seq = p["seq"];
        const std::string event = seq == seen ? ": still here\n\n" : "data: " + p.dump() + "\n\n";
        seen = seq;
        HttpsFront::RenewWriteDeadline();
        return sink.write(event.data(), event.size());
      },
      [this](bool) { --m_eventStreams; });
  });
  // Each computer's latest install attempt, stage by stage ("computers": IDs, else the attempts
  // that moved within "hours").
  Get("/api/progress/installs", [this](const httplib::Request& req, const SessionStore::Session&) {
    InstallProgressQuery q;
    if (req.has_param("computers"))
      q.computers = ConsoleProgress::ParseComputers(req.get_param_value("computers"));
    q.hours = static_cast<int>(QueryNumber(req, "hours", 1, 24 * 366).value_or(24));
    q.count = static_cast<int>(QueryNumber(req, "count", 1, 1000).value_or(200));
    return ConsoleProgress(m_data).Installs(q);
  });
  Get("/api/audit", [this](const httplib::Request& req, const SessionStore::Session&) {
    AuditQuery q = AuditQueryOf(req);
    q.offset = static_cast<int>(QueryNumber(req, "offset", 0, 0x7FFFFFFF).value_or(0));
    q.count = static_cast<int>(QueryNumber(req, "count", 1, 1000).value_or(100));
    return m_audit.Page(q);
  });
  GetRaw("/api/audit.csv", [this](const httplib::Request& req, httplib::Response& res) {
    StreamCsv(res, "audit.csv", ConsoleAudit::Columns(), m_audit.Csv(AuditQueryOf(req)));
  });
  Post(R"(/api/actions/([a-z-]+))", [this](const httplib::Request& req, const SessionStore::Session&) {
    json body = Body(req);
    return m_actions.Run(req.matches[1].str(), body);
  });
  // The overview's charts, the outbreak view and the CSV exports.
  m_charts->Register(ConsoleCharts::Routes{
    [this](const std::string& pattern, ConsoleCharts::JsonHandler handler) {
      Get(pattern, [handler](const httplib::Request& req, const SessionStore::Session&) { return handler(req); });
    },
    [this](const std::string& pattern, ConsoleCharts::RawHandler handler) { GetRaw(pattern, std::move(handler)); }});
  m_server->Get("/api/.*", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, []() -> json { throw ApiError(404, "not_found", "no such API"); });
  });
  m_server->Get(".*", [this](const httplib::Request& req, httplib::Response& res) { ServePage(req, res); });
}

}  // namespace corvexweb
