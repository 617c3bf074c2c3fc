#include "platform/remotetask/RemoteTask.h"

#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace remotetask {

namespace {
const wchar_t* const kServiceKey = L"SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service";

HRESULT FromScriptExit(int exitStatus)
{
  switch (exitStatus) {
    case kScriptOk: return S_OK;
    case kScriptNotFound: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case kScriptAccessDenied: return E_ACCESSDENIED;
    case kScriptExists: return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
    // Anything else means the target's shell could not carry the script out.
    default: return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  }
}
}  // namespace

Settings Settings::FromRegistry()
{
  Settings s;
  const std::string reg = RegFilePath();
  const auto slash = reg.rfind('/');
  s.knownHostsFile = (slash == std::string::npos ? std::string(".") : reg.substr(0, slash)) + "/known_hosts";
  CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey, KEY_READ) != ERROR_SUCCESS)
    return s;
  DWORD v = 0;
  if (key.QueryDWORDValue(L"InstallSshPort", v) == ERROR_SUCCESS && v > 0 && v < 65536)
    s.port = v;
  if (key.QueryDWORDValue(L"InstallSshTimeoutSecs", v) == ERROR_SUCCESS && v > 0)
    s.timeoutSeconds = v;
  if (key.QueryDWORDValue(L"InstallAcceptNewHostKeys", v) == ERROR_SUCCESS)
    s.acceptNewHostKeys = v != 0;
  std::wstring text;
  if (key.QueryStringValue(L"InstallKnownHostsFile", text) == ERROR_SUCCESS && !text.empty())
    s.knownHostsFile = ToUtf8(text);
  if (key.QueryStringValue(L"InstallShareRoot", text) == ERROR_SUCCESS && !text.empty())
    s.shareRoot = ToUtf8(text);
  return s;
}

bool MapBootstrapPath(const std::wstring& location, const std::string& shareRoot, std::string& path)
{
  path.clear();
  for (wchar_t c : location)
    if (c < 0x20 || c == 0x7F)
      return false;
  if (location.size() < 3 || location[0] != L'\\' || location[1] != L'\\') {
    path = ToUtf8(location);
    return true;
  }
  // Both separators count: the target reads "/" as one, so "\\srv\share/../x" must not pass.
  std::wstring rest = location.substr(2);
  for (auto& c : rest)
    if (c == L'\\')
      c = L'/';
  std::size_t component = 0;
  for (std::size_t at = 0; at <= rest.size(); ++component) {
    std::size_t end = rest.find(L'/', at);
    if (end == std::wstring::npos)
      end = rest.size();
    const std::wstring_view part(rest.data() + at, end - at);
    if (part == L"." || part == L"..")
      return false;
    if (part.empty() && component < 2)
      return false;  // no server, or no share
    at = end + 1;
  }
  if (component < 2)
    return false;
  std::string root = shareRoot;
  while (root.size() > 1 && root.back() == '/')
    root.pop_back();
  path = root + "/" + ToUtf8(rest);
  return true;
}

const std::wstring ActivatedTask::ApplicationName() const { return FromUtf8(m_snapshot.applicationName); }

HRESULT ActivatedTask::GetStatus() const
{
  return m_snapshot.state == TaskRunState::Running ? SCHED_S_TASK_RUNNING : SCHED_S_TASK_NO_VALID_TRIGGERS;
}

HRESULT ActivatedTask::GetExitCode(DWORD& code) const
{
  code = 0;
  switch (m_snapshot.state) {
    case TaskRunState::Finished: code = m_snapshot.exitCode; return S_OK;
    case TaskRunState::Lost: return HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED);
    default: return SCHED_S_TASK_HAS_NOT_RUN;
  }
}

HRESULT ActivatedTask::GetMostRecentRunTime(std::time_t& when) const
{
  when = m_snapshot.lastRun;
  return when ? S_OK : SCHED_S_TASK_HAS_NOT_RUN;
}

TaskScheduler::TaskScheduler(IExecutor& executor, Settings settings) : m_executor(executor), m_settings(std::move(settings)) {}

HRESULT TaskScheduler::ExecChecked(const std::string& script, ExecResult& result)
{
  const HRESULT hr = m_executor.Exec(script, result);
  return FAILED(hr) ? hr : FromScriptExit(result.exitStatus);
}

HRESULT TaskScheduler::NewWorkItem(const std::wstring& name, WorkItem& item)
{
  if (!IsValidTaskName(name))
    return E_INVALIDARG;
  ExecResult r;
  const HRESULT hr = ExecChecked(ExistsScript(name), r);
  if (SUCCEEDED(hr))
    item = WorkItem{};
  return hr;
}

HRESULT TaskScheduler::Save(const std::wstring& name, const WorkItem& item)
{
  if (!IsValidTaskName(name))
    return E_INVALIDARG;
  std::string program;
  if (!MapBootstrapPath(UnquoteApplication(item.applicationName), m_settings.shareRoot, program))
    return E_INVALIDARG;
  std::vector<std::string> args;
  for (const auto& a : SplitParameters(item.parameters))
    args.push_back(ToUtf8(a));
  ExecResult r;
  return ExecChecked(SaveScript(name, ToUtf8(item.applicationName), ToUtf8(item.parameters), ToUtf8(item.accountName),
                                program, args),
                     r);
}

HRESULT TaskScheduler::Activate(const std::wstring& name, std::unique_ptr<ActivatedTask>& task)
{
  task.reset();
  if (!IsValidTaskName(name))
    return E_INVALIDARG;
  ExecResult r;
  HRESULT hr = ExecChecked(QueryScript(name), r);
  if (FAILED(hr))
    return hr;
  TaskSnapshot snapshot;
  if (!ParseQueryAnswer(r.out, snapshot))
    return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  task = std::make_unique<ActivatedTask>(snapshot);
  return S_OK;
}

HRESULT TaskScheduler::Run(const std::wstring& name)
{
  if (!IsValidTaskName(name))
    return E_INVALIDARG;
  ExecResult r;
  return ExecChecked(RunScript(name), r);
}

HRESULT TaskScheduler::Delete(const std::wstring& name)
{
  if (!IsValidTaskName(name))
    return E_INVALIDARG;
  ExecResult r;
  return ExecChecked(DeleteScript(name), r);
}

}  // namespace remotetask
