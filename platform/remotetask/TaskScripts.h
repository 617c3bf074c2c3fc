#pragma once
// The shell side of remote tasks: the scripts each operation runs on the target computer and
// the reading of their answers. Every value of ours reaches a script as a POSIX single-quoted
// word, and scripts travel on standard input of one fixed command, so nothing we send is ever
// parsed by the target's login shell.
#include <ctime>
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

namespace remotetask {

// The one command every exec runs; the script follows on its standard input.
inline constexpr const char* kExecCommand = "/bin/sh -c 'eval \"$(cat)\"'";

// Exit codes of the scripts that name an outcome.
enum ScriptExit : int
{
  kScriptOk = 0,
  kScriptNotFound = 3,
  kScriptAccessDenied = 5,
  kScriptExists = 80,
};

// One POSIX single-quoted word: ' becomes '\''.
std::string ShellQuote(const std::string& value);

// A task name is made of letters, digits, '_', '-' and '.', and is not "." or "..".
bool IsValidTaskName(const std::wstring& name);

// The arguments of a Windows command line's parameter part, split as programs there split them:
// blanks (space, tab) separate words outside double quotes; 2n backslashes before a quote give
// n backslashes and open or close quoting, 2n+1 give n and a literal quote; "" inside quotes is
// a literal quote; any other character (line breaks included) is kept as it is.
std::vector<std::wstring> SplitParameters(const std::wstring& parameters);

// The application name without the double quotes around it, if it has them.
std::wstring UnquoteApplication(const std::wstring& applicationName);

// The scripts. `name` must be a valid task name; texts are UTF-8.
std::string ExistsScript(const std::wstring& name);
std::string SaveScript(const std::wstring& name, const std::string& applicationName, const std::string& parameters,
                       const std::string& account, const std::string& program, const std::vector<std::string>& args);
std::string RunScript(const std::wstring& name);
std::string QueryScript(const std::wstring& name);
std::string DeleteScript(const std::wstring& name);

// What a task is doing, from the query script's answer.
enum class TaskRunState { NotRun, Running, Finished, Lost };
struct TaskSnapshot
{
  TaskRunState state = TaskRunState::NotRun;
  DWORD exitCode = 0;
  std::time_t lastRun = 0;  // 0: never started
  std::string applicationName;
};
// False when the answer is not in the query script's form.
bool ParseQueryAnswer(const std::string& answer, TaskSnapshot& snapshot);

}  // namespace remotetask
