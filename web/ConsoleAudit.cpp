#include "web/ConsoleAudit.h"

#include <algorithm>
#include <cmath>
#include <regex>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "platform/com/Variant.h"
#include "platform/text/Unicode.h"
#include "web/ApiError.h"

namespace corvexweb {

using nlohmann::json;

namespace {

// Computers named one by one in an entry before the rest are only counted.
constexpr std::size_t kListedComputers = 20;

std::wstring Wide(const std::string& text)
{
  return FromUtf8(text);
}

std::string Text(const json& body, const char* name)
{
  const auto it = body.find(name);
  if (it == body.end() || it->is_null())
    return {};
  return it->is_string() ? it->get<std::string>() : it->dump();
}

std::string Quoted(const std::string& text)
{
  return "\"" + text + "\"";
}

// "computers 1, 2, 3" or "group 7 (with subgroups)", as ConsoleActions reads its body.
std::string Targets(const json& body)
{
  if (body.contains("computers") && body["computers"].is_array()) {
    const json& list = body["computers"];
    std::string text = list.size() == 1 ? "computer " : "computers ";
    for (std::size_t i = 0; i < list.size() && i < kListedComputers; ++i)
      text += (i ? ", " : "") + list[i].dump();
    if (list.size() > kListedComputers)
      text += ", ... (" + std::to_string(list.size()) + " in all)";
    return text;
  }
  if (body.contains("group"))
    return "group " + Text(body, "group") + (body.value("subgroups", false) ? " (with subgroups)" : "");
  return {};
}

std::string Append(std::string a, const std::string& b)
{
  if (b.empty())
    return a;
  return a.empty() ? b : a + ", " + b;
}

// A trail column's value: its columns are texts and numbers, a number always whole.
json TrailValue(const VARIANT& value)
{
  if (value.vt == VT_NULL || value.vt == VT_EMPTY)
    return nullptr;
  if (value.vt == VT_BSTR)
    return ToUtf8(std::wstring_view(value.bstrVal, SysStringLen(value.bstrVal)));
  _variant_t number;
  return SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8)) ? json(static_cast<long long>(std::llround(number.dblVal)))
                                                                 : json(nullptr);
}

json Rows(const ado::RecordsetPtr& records) { return RowSetJson(records, TrailValue); }

COurCommand Procedure(const char* name)
{
  return COurCommand(GetDatabaseConnection().GetADOPtr(), name);
}

}  // namespace

std::string AuditTime(const std::string& text, const char* name)
{
  if (text.empty())
    return {};
  static const std::regex form(R"((\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?Z?)");
  std::smatch m;
  if (!std::regex_match(text, m, form) || std::stoi(m[2]) < 1 || std::stoi(m[2]) > 12 || std::stoi(m[3]) < 1 ||
      std::stoi(m[3]) > 31 || (m[4].matched && std::stoi(m[4]) > 23) || (m[5].matched && std::stoi(m[5]) > 59) ||
      (m[6].matched && std::stoi(m[6]) > 59))
    throw ApiError(400, "bad_request",
                   std::string("\"") + name + "\" must be a UTC time as YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]");
  return m[1].str() + "-" + m[2].str() + "-" + m[3].str() + " " + (m[4].matched ? m[4].str() : "00") + ":" +
         (m[5].matched ? m[5].str() : "00") + ":" + (m[6].matched ? m[6].str() : "00");
}

AuditEntry DescribeChange(const std::string& path, const std::string& bodyText, int status, const std::string& answerText)
{
  AuditEntry e;
  json body = json::parse(bodyText, nullptr, false);
  if (!body.is_object())
    body = json::object();
  json answer = json::parse(answerText, nullptr, false);
  if (!answer.is_object())
    answer = json::object();

  static const std::regex groupChange(R"(/api/groups/(\d+)/([a-z-]+))");
  static const std::regex action(R"(/api/actions/([a-z-]+))");
  std::smatch m;
  if (path == "/api/groups") {
    e.action = "group-create";
    if (answer.contains("GroupID"))
      e.target = "group " + Text(answer, "GroupID");
    e.detail = "name " + Quoted(Text(body, "name")) + ", under group " + Text(body, "parent");
  } else if (std::regex_match(path, m, groupChange)) {
    const std::string change = m[2];
    e.action = "group-" + change;
    e.target = "group " + m[1].str();
    if (change == "rename")
      e.detail = "name " + Quoted(Text(body, "name"));
    else if (change == "move")
      e.detail = "under group " + Text(body, "parent");
    else if (change == "add-computers")
      e.detail = Targets(body);
    else if (change == "configuration")
      // The document itself is the group's to read; its size says which one was sent.
      e.detail = Text(body, "configuration") + " configuration, " + std::to_string(Text(body, "xml").size()) + " bytes";
  } else if (path == "/api/alerts/dealt-with") {
    e.action = "alerts-dealt-with";
    e.target = "computer " + Text(body, "computer");
    e.detail = body.contains("alert") ? "alert " + Text(body, "alert") : "all its alerts";
  } else if (path == "/api/purge-settings") {
    e.action = "purge-settings";
    e.detail = "method " + Text(body, "Method") + ", months " + Text(body, "Months") + ", maximum " + Text(body, "Maximum");
    if (body.contains("CompanyName"))
      e.detail += ", company name " + Quoted(Text(body, "CompanyName"));
  } else if (path == "/api/search") {
    e.action = "search-start";
    if (body.contains("domains") && body["domains"].is_array())
      for (const json& d : body["domains"])
        e.target = Append(e.target, d.is_string() ? d.get<std::string>() : d.dump());
    e.detail = body.contains("user") ? "account " + Quoted(Text(body, "user")) : "";
  } else if (path == "/api/search/stop") {
    e.action = "search-stop";
  } else if (std::regex_match(path, m, action)) {
    e.action = m[1];
    e.target = Targets(body);
    if (e.action == "central-config" && body.contains("on"))
      e.detail = body.value("on", false) ? "on" : "off";
    else if (e.action == "send-config")
      e.detail = Text(body, "configuration") + " configuration";
    else if (e.action == "install")
      e.detail = "account " + Quoted(Text(body, "user"));
  } else {
    // A change this list does not know yet is still named by its address.
    e.action = path.rfind("/api/", 0) == 0 ? path.substr(5) : path;
    std::replace(e.action.begin(), e.action.end(), '/', '-');
    e.action = e.action.substr(0, 64);
  }

  if (status >= 200 && status < 300) {
    e.outcome = "done";
    if (answer.contains("queued"))
      e.outcomeText = "queued " + Text(answer, "queued");
  } else {
    e.outcome = status >= 500 ? "failed" : "refused";
    std::string message;
    if (answer.contains("error") && answer["error"].is_object())
      message = answer["error"].value("message", "");
    e.outcomeText = "HTTP " + std::to_string(status) + (message.empty() ? "" : ": " + message);
  }
  return e;
}

void ConsoleAudit::Write(const AuditEntry& entry)
{
  m_data.WithDatabase([&] {
    COurCommand cmd = Procedure("AuditAdd");
    cmd.SetAttribute(L"@Account", Wide(entry.account));
    cmd.SetAttribute(L"@Source", Wide(entry.source));
    cmd.SetAttribute(L"@Console", std::wstring(L"web"));
    cmd.SetAttribute(L"@Action", Wide(entry.action));
    cmd.SetAttribute(L"@Target", Wide(entry.target));
    cmd.SetAttribute(L"@Detail", Wide(entry.detail));
    cmd.SetAttribute(L"@Outcome", Wide(entry.outcome));
    cmd.SetAttribute(L"@OutcomeText", Wide(entry.outcomeText));
    CSPException::Check(cmd.ExecuteCommand());
    return 0;
  });
}

json ConsoleAudit::Piece(const AuditQuery& q, long long before, int offset, int count, int* total)
{
  if (q.account.size() > 256 || q.action.size() > 64)
    throw ApiError(400, "bad_request", "an account has at most 256 characters and an action at most 64");
  return m_data.WithDatabase([&] {
    COurCommand cmd = Procedure("AuditPageGet");
    const auto optionalText = [&](const wchar_t* name, const std::string& value) {
      if (value.empty())
        cmd.SetAttributeNull(name);
      else
        cmd.SetAttribute(name, Wide(value));
    };
    optionalText(L"@Account", q.account);
    optionalText(L"@Action", q.action);
    optionalText(L"@Since", q.since);
    optionalText(L"@Until", q.until);
    if (before > 0)
      cmd.SetAttribute(L"@BeforeID", static_cast<LONG>(before));
    else
      cmd.SetAttributeNull(L"@BeforeID");
    cmd.SetAttribute(L"@Offset", static_cast<LONG>(offset));
    cmd.SetAttribute(L"@Count", static_cast<LONG>(count));
    json rows = Rows(cmd.ExecuteCommandWithRecordset());
    if (cmd.GetReturnValue() == 1)
      throw ApiError(400, "bad_request", "the time filters do not read as dates");
    CSPException::Check(cmd.GetReturnValue());
    if (total) {
      LONG counted = 0;
      cmd.GetAttribute(L"@Total", counted);
      *total = static_cast<int>(counted);
    }
    return rows;
  }, true);
}

json ConsoleAudit::Page(const AuditQuery& q)
{
  if (q.offset < 0 || q.count < 1 || q.count > 1000)
    throw ApiError(400, "bad_request", "offset must be 0 or more and count from 1 to 1000");
  int total = 0;
  json rows = Piece(q, 0, q.offset, q.count, &total);
  return json{{"total", total}, {"offset", q.offset}, {"rows", std::move(rows)}};
}

const std::vector<std::string>& ConsoleAudit::Columns()
{
  static const std::vector<std::string> columns{"AuditID", "EntryTime", "Account",  "Source",      "Console",
                                                "Action",  "Target",    "Detail",   "Outcome",     "OutcomeText",
                                                "DatabaseUser"};
  return columns;
}

CsvPager ConsoleAudit::Csv(const AuditQuery& q)
{
  // Newest first, each piece after the oldest entry of the one before: entries written while
  // the export runs do not shift it.
  return [this, q, before = 0LL, done = false](std::string& out) mutable {
    if (done)
      return false;
    const json rows = Piece(q, before, 0, 1000, nullptr);
    for (const json& row : rows) {
      out += CsvLine(row, Columns());
      before = row.value("AuditID", 0LL);
    }
    done = rows.size() < 1000;
    return !rows.empty();
  };
}

}  // namespace corvexweb
