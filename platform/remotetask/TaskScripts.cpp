#include "platform/remotetask/TaskScripts.h"

#include <cstdlib>
#include <sstream>

#include "platform/text/Unicode.h"

namespace remotetask {

namespace {

// The task's folder in the account's home, as a shell word with $HOME left to the target.
std::string Folder(const std::wstring& name) { return "d=\"$HOME\"/.corvex-tasks/" + ShellQuote(ToUtf8(name)) + "\n"; }

// Sourced by the status and delete scripts: p is the wrapper's PID when it still runs.
const char* kAlive =
  "p=\n"
  "if [ -f \"$d/pid\" ]; then\n"
  "  q=$(cat \"$d/pid\")\n"
  "  case \"$q\" in ''|*[!0-9]*) ;; *)\n"
  "    if [ -r \"/proc/$q/cmdline\" ] && tr '\\000' '\\n' < \"/proc/$q/cmdline\" | grep -qxF \"$d/wrapper\"; then p=$q; fi ;;\n"
  "  esac\n"
  "fi\n";

// Runs in the task folder, detached: records start, PID, end and exit code, each written
// whole through a temporary file so a reader never sees half a value.
const char* kWrapper =
  "cd \"$(dirname \"$0\")\" || exit 1\n"
  "echo $$ > pid.tmp && mv pid.tmp pid\n"
  "date +%s > start.tmp && mv start.tmp start\n"
  "/bin/sh ./command </dev/null >/dev/null 2>&1\n"
  "c=$?\n"
  "date +%s > end.tmp && mv end.tmp end\n"
  "echo $c > exit.tmp && mv exit.tmp exit\n";

}  // namespace

std::string ShellQuote(const std::string& value)
{
  std::string out = "'";
  for (char c : value) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

bool IsValidTaskName(const std::wstring& name)
{
  if (name.empty() || name == L"." || name == L"..")
    return false;
  for (wchar_t c : name) {
    const bool ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_' ||
                    c == L'-' || c == L'.';
    if (!ok)
      return false;
  }
  return true;
}

std::vector<std::wstring> SplitParameters(const std::wstring& parameters)
{
  std::vector<std::wstring> args;
  std::wstring current;
  bool inWord = false;
  bool quoted = false;
  std::size_t i = 0;
  const std::size_t n = parameters.size();
  while (i < n) {
    const wchar_t c = parameters[i];
    if (!quoted && (c == L' ' || c == L'\t')) {
      if (inWord) {
        args.push_back(current);
        current.clear();
        inWord = false;
      }
      ++i;
      continue;
    }
    inWord = true;
    if (c == L'\\') {
      std::size_t slashes = 0;
      while (i < n && parameters[i] == L'\\') {
        ++slashes;
        ++i;
      }
      if (i < n && parameters[i] == L'"') {
        current.append(slashes / 2, L'\\');
        if (slashes % 2) {
          current += L'"';
          ++i;
        }
      } else {
        current.append(slashes, L'\\');
      }
      continue;
    }
    if (c == L'"') {
      if (quoted && i + 1 < n && parameters[i + 1] == L'"') {
        current += L'"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current += c;
    ++i;
  }
  if (inWord)
    args.push_back(current);
  return args;
}

std::wstring UnquoteApplication(const std::wstring& applicationName)
{
  if (applicationName.size() >= 2 && applicationName.front() == L'"' && applicationName.back() == L'"')
    return applicationName.substr(1, applicationName.size() - 2);
  return applicationName;
}

std::string ExistsScript(const std::wstring& name)
{
  return Folder(name) + "[ -e \"$d\" ] && exit 80\nexit 0\n";
}

std::string SaveScript(const std::wstring& name, const std::string& applicationName, const std::string& parameters,
                       const std::string& account, const std::string& program, const std::vector<std::string>& args)
{
  std::string command = "exec " + ShellQuote(program);
  for (const auto& a : args)
    command += " " + ShellQuote(a);
  std::string s = "umask 077\n" + Folder(name);
  s += "mkdir -p \"$HOME\"/.corvex-tasks && chmod 700 \"$HOME\"/.corvex-tasks || exit 5\n";
  s += "rm -rf \"$d.new\" && mkdir \"$d.new\" || exit 5\n";
  s += "printf '%s' " + ShellQuote(applicationName) + " > \"$d.new/application\" || exit 5\n";
  s += "printf '%s' " + ShellQuote(parameters) + " > \"$d.new/parameters\" || exit 5\n";
  s += "printf '%s' " + ShellQuote(account) + " > \"$d.new/account\" || exit 5\n";
  s += "printf '%s\\n' " + ShellQuote(command) + " > \"$d.new/command\" || exit 5\n";
  s += "printf '%s' " + ShellQuote(kWrapper) + " > \"$d.new/wrapper\" || exit 5\n";
  s += "rm -rf \"$d\" && mv \"$d.new\" \"$d\" || exit 5\n";
  return s;
}

std::string RunScript(const std::wstring& name)
{
  std::string s = Folder(name);
  s += "[ -f \"$d/command\" ] || exit 3\n";
  s += "cd \"$d\" || exit 5\n";
  s += "rm -f pid start end exit pid.tmp start.tmp end.tmp exit.tmp\n";
  // A new session and process group, so the task outlives this channel and can be stopped whole.
  s += "setsid /bin/sh \"$d/wrapper\" </dev/null >/dev/null 2>&1 &\n";
  s += "exit 0\n";
  return s;
}

std::string QueryScript(const std::wstring& name)
{
  std::string s = Folder(name);
  s += "[ -d \"$d\" ] || exit 3\n";
  s += kAlive;
  s += "st=notrun c=- t=-\n";
  s += "if [ -f \"$d/exit\" ]; then st=finished; c=$(cat \"$d/exit\")\n";
  s += "elif [ -n \"$p\" ]; then st=running\n";
  s += "elif [ -f \"$d/exit\" ]; then st=finished; c=$(cat \"$d/exit\")\n";  // it ended meanwhile
  s += "elif [ -f \"$d/start\" ] || [ -f \"$d/pid\" ]; then st=lost; fi\n";
  s += "[ -f \"$d/start\" ] && t=$(cat \"$d/start\")\n";
  s += "printf '%s %s %s\\n' \"$st\" \"${c:--}\" \"${t:--}\"\n";
  s += "cat \"$d/application\" 2>/dev/null\n";
  s += "exit 0\n";
  return s;
}

std::string DeleteScript(const std::wstring& name)
{
  std::string s = Folder(name);
  s += "[ -d \"$d\" ] || exit 3\n";
  s += kAlive;
  s += "if [ -n \"$p\" ]; then\n";
  s += "  kill -TERM -\"$p\" 2>/dev/null\n";
  s += "  i=0; while [ $i -lt 20 ] && kill -0 -\"$p\" 2>/dev/null; do sleep 0.1; i=$((i+1)); done\n";
  s += "  kill -KILL -\"$p\" 2>/dev/null\n";
  s += "fi\n";
  s += "rm -rf \"$d\" || exit 5\n";
  s += "exit 0\n";
  return s;
}

bool ParseQueryAnswer(const std::string& answer, TaskSnapshot& snapshot)
{
  const auto eol = answer.find('\n');
  if (eol == std::string::npos)
    return false;
  std::istringstream first(answer.substr(0, eol));
  std::string state, code, start;
  if (!(first >> state >> code >> start))
    return false;
  snapshot = TaskSnapshot{};
  if (state == "notrun")
    snapshot.state = TaskRunState::NotRun;
  else if (state == "running")
    snapshot.state = TaskRunState::Running;
  else if (state == "finished")
    snapshot.state = TaskRunState::Finished;
  else if (state == "lost")
    snapshot.state = TaskRunState::Lost;
  else
    return false;
  char* end = nullptr;
  if (snapshot.state == TaskRunState::Finished) {
    const unsigned long v = std::strtoul(code.c_str(), &end, 10);
    if (code.empty() || *end)
      return false;
    snapshot.exitCode = static_cast<DWORD>(v);
  }
  if (start != "-") {
    const long long t = std::strtoll(start.c_str(), &end, 10);
    if (*end)
      return false;
    snapshot.lastRun = static_cast<std::time_t>(t);
  }
  snapshot.applicationName = answer.substr(eol + 1);
  return true;
}

}  // namespace remotetask
