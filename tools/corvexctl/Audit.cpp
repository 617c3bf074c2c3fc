#include "tools/corvexctl/Audit.h"

#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "platform/com/ComError.h"
#include "platform/com/Variant.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "tools/corvexctl/Arguments.h"

namespace corvexctl {
namespace {

// {3c5d0a61-9f4e-4f7b-8a2e-6b1d2f0c7a19}
constexpr GUID kTraceAudit = {0x3c5d0a61, 0x9f4e, 0x4f7b, {0x8a, 0x2e, 0x6b, 0x1d, 0x2f, 0x0c, 0x7a, 0x19}};

constexpr int kPiece = 1000;

std::string& LastFailure()
{
  static std::string text;
  return text;
}

std::string Joined(const std::vector<std::string>& args, std::size_t from)
{
  std::string text;
  for (std::size_t i = from; i < args.size(); ++i)
    text += (text.empty() ? "" : " ") + args[i];
  return text;
}

// The account running corvexctl: what the operating system says, never what the environment
// claims.
std::string Account()
{
  const uid_t uid = ::getuid();
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

void Write(const Change& change, const std::string& outcome, const std::string& text)
{
  COurCommand cmd(GetDatabaseConnection().GetADOPtr(), "AuditAdd");
  cmd.SetAttribute(L"@Account", FromUtf8(Account()));
  cmd.SetAttribute(L"@Source", FromUtf8("local (uid " + std::to_string(::getuid()) + ")"));
  cmd.SetAttribute(L"@Console", std::wstring(L"corvexctl"));
  cmd.SetAttribute(L"@Action", FromUtf8(change.action));
  cmd.SetAttribute(L"@Target", FromUtf8(change.target));
  cmd.SetAttribute(L"@Detail", std::wstring());
  cmd.SetAttribute(L"@Outcome", FromUtf8(outcome));
  cmd.SetAttribute(L"@OutcomeText", FromUtf8(text));
  CSPException::Check(cmd.ExecuteCommand());
}

using Row = std::map<std::string, std::string>;

std::vector<Row> Rows(const ado::RecordsetPtr& records)
{
  std::vector<Row> rows;
  if (!records || records->State() != ado::adStateOpen)
    return rows;
  while (!records->IsEOF()) {
    const ado::Fields fields = records->GetFields();
    Row row;
    for (long i = 0; i < fields.Count(); ++i) {
      ado::Field field;
      _variant_t value;
      if (FAILED(fields.Item(i, field)) || FAILED(field.get_Value(&value)))
        continue;
      std::string text;
      if (value.vt == VT_BSTR) {
        text = ToUtf8(std::wstring_view(value.bstrVal, SysStringLen(value.bstrVal)));
      } else if (value.vt != VT_NULL && value.vt != VT_EMPTY) {
        _variant_t number;
        if (SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8)))
          text = std::to_string(std::llround(number.dblVal));
      }
      row[ToUtf8(field.Name())] = text;
    }
    rows.push_back(std::move(row));
    priv::MoveNext(*records);
  }
  records->Close();
  return rows;
}

const char* const kColumns[] = {"AuditID", "EntryTime", "Account", "Source", "Console", "Action",
                                "Target",  "Detail",    "Outcome", "OutcomeText", "DatabaseUser"};

}  // namespace

void NoteFailure(const std::string& message)
{
  LastFailure() = message;
}

std::optional<Change> ChangeOf(const std::vector<std::string>& args)
{
  if (args.empty())
    return std::nullopt;
  const std::string& command = args[0];
  const std::string sub = args.size() > 1 ? args[1] : "";
  if (command == "refresh" || command == "update-now" || command == "central-config" || command == "send-config" ||
      command == "search-stop" || command == "install-stop")
    return Change{command, Joined(args, 1)};
  if (command == "search")
    return Change{"search-start", Joined(args, 1)};
  if (command == "install" && sub == "progress")
    return std::nullopt;
  if (command == "install")
    return sub == "trust" ? Change{"install-trust", Joined(args, 2)} : Change{"install", Joined(args, 1)};
  if (command == "group")
    return Change{sub == "add-computer" ? "group-add-computers" : "group-" + (sub.empty() ? "?" : sub), Joined(args, 2)};
  if (command == "purge-settings" && sub == "set")
    return Change{"purge-settings", Joined(args, 2)};
  if (command == "clocks" && sub == "tick")
    return Change{"clock-tick", Joined(args, 2)};
  return std::nullopt;
}

int Audited(const Change& change, const std::function<int()>& run)
{
  LastFailure().clear();
  const int rc = run();
  const std::string outcome = rc == 0 ? "done" : rc == 2 ? "refused" : "failed";
  std::string text = rc == 0 ? "" : "exit status " + std::to_string(rc);
  if (rc != 0 && !LastFailure().empty())
    text += ": " + LastFailure();
  std::string problem;
  try {
    Write(change, outcome, text);
    return rc;
  } catch (const std::exception& e) {
    problem = e.what();
  } catch (const _com_error& e) {
    problem = e.ErrorMessage();
  }
  trace::Trace(kTraceAudit, 1, "audit entry for %hs (%hs) not written: %hs", change.action.c_str(), outcome.c_str(),
               problem.c_str());
  // A command that failed has said why in its own one line (often the same unreachable
  // database) and changed nothing; a change that was made but is not in the trail is what
  // whoever runs corvexctl must be told.
  if (rc != 0)
    return rc;
  std::fprintf(stderr, "corvexctl: %s ended (%s) but could not be recorded in the audit trail: %s\n", change.action.c_str(),
               outcome.c_str(), problem.c_str());
  return 1;
}

std::string CsvCell(const std::string& text)
{
  std::string cell = text;
  if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' || cell[0] == '@' || cell[0] == '\t' || cell[0] == '\r'))
    cell.insert(cell.begin(), '\'');
  if (cell.find_first_of(",\"\r\n") == std::string::npos)
    return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"')
      quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

int Audit(const std::vector<std::string>& args)
{
  std::string since, until, account, action;
  long limit = 100;
  bool csv = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--csv") {
      csv = true;
    } else if (hasValue && (a == "--since" || a == "--until" || a == "--account" || a == "--action" || a == "--limit")) {
      const std::string& v = args[++i];
      if (a == "--since")
        since = v;
      else if (a == "--until")
        until = v;
      else if (a == "--account")
        account = v;
      else if (a == "--action")
        action = v;
      else if ((limit = Number(v.c_str())) < 0) {
        std::fprintf(stderr, "corvexctl: audit: --limit takes a whole number (0 for every entry), not \"%s\"\n", v.c_str());
        return 2;
      }
    } else {
      std::fprintf(stderr, "corvexctl: audit: unknown or incomplete argument \"%s\"\n"
                           "usage: corvexctl audit [--since T] [--until T] [--account A] [--action X] [--limit N] [--csv]\n",
                   a.c_str());
      return 2;
    }
  }
  if (account.size() > 256 || action.size() > 64) {
    std::fprintf(stderr, "corvexctl: audit: an account has at most 256 characters and an action at most 64\n");
    return 2;
  }

  if (csv) {
    std::string header;
    for (const char* c : kColumns)
      header += (header.empty() ? "" : ",") + CsvCell(c);
    std::printf("%s\r\n", header.c_str());
  }
  long long before = 0;
  long shown = 0;
  for (;;) {
    const int count = limit == 0 ? kPiece : static_cast<int>(std::min<long>(kPiece, limit - shown));
    if (count <= 0)
      break;
    COurCommand cmd(GetDatabaseConnection().GetADOPtr(), "AuditPageGet");
    const auto optionalText = [&](const wchar_t* name, const std::string& value) {
      if (value.empty())
        cmd.SetAttributeNull(name);
      else
        cmd.SetAttribute(name, FromUtf8(value));
    };
    optionalText(L"@Account", account);
    optionalText(L"@Action", action);
    optionalText(L"@Since", since);
    optionalText(L"@Until", until);
    if (before > 0)
      cmd.SetAttribute(L"@BeforeID", static_cast<LONG>(before));
    else
      cmd.SetAttributeNull(L"@BeforeID");
    cmd.SetAttribute(L"@Offset", LONG(0));
    cmd.SetAttribute(L"@Count", static_cast<LONG>(count));
    const std::vector<Row> rows = Rows(cmd.ExecuteCommandWithRecordset());
    if (cmd.GetReturnValue() == 1) {
      std::fprintf(stderr, "corvexctl: audit: --since and --until take a UTC time, YYYY-MM-DD or \"YYYY-MM-DD HH:MM[:SS]\"\n");
      return 2;
    }
    CSPException::Check(cmd.GetReturnValue());
    for (const Row& row : rows) {
      const auto at = [&](const char* c) {
        const auto it = row.find(c);
        return it == row.end() ? std::string() : it->second;
      };
      if (csv) {
        std::string line;
        for (const char* c : kColumns)
          line += (line.empty() ? "" : ",") + CsvCell(at(c));
        std::printf("%s\r\n", line.c_str());
      } else {
        std::string line = at("EntryTime") + "  " + at("Account") + " from " + at("Source") + " (" + at("Console") + ")  " +
                           at("Action");
        if (!at("Target").empty())
          line += " " + at("Target");
        line += ": " + at("Outcome");
        if (!at("OutcomeText").empty())
          line += " (" + at("OutcomeText") + ")";
        if (!at("Detail").empty())
          line += "; " + at("Detail");
        // One entry per line, whatever its texts hold.
        for (char& c : line)
          if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
        std::printf("%s\n", line.c_str());
      }
      before = std::stoll(at("AuditID"));
      ++shown;
    }
    if (static_cast<int>(rows.size()) < count)
      break;
  }
  if (!csv && shown == 0)
    std::printf("no audit entries\n");
  return 0;
}

}  // namespace corvexctl
