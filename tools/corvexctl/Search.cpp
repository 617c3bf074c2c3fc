#include "tools/corvexctl/Search.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "businesslogic/SystemEnviroment.h"
#include "idl/ComputerSearchInterfaces.h"
#include "platform/com/ComError.h"
#include "platform/com/Memory.h"
#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"
#include "tools/corvexctl/Password.h"

namespace corvexctl {
namespace {

constexpr int kBarWidth = 30;

std::atomic<bool> g_interrupted{false};

void Check(HRESULT hr, const char* what)
{
  if (FAILED(hr))
    throw std::runtime_error(std::string(what) + " failed: " + ErrorText(hr));
}

// Hears the search and shows it: a bar redrawn in place on a terminal, a line per step otherwise.
class ProgressListener : public CComRefCounted<IKTComputerSearchListener>
{
public:
  explicit ProgressListener(bool terminal) : m_terminal(terminal) {}

  HRESULT QueryInterface(const IID& iid, void** out) override
  {
    return QueryInterfaceOf(static_cast<IKTComputerSearchListener*>(this), iid, out);
  }
  HRESULT OnStarted() override
  {
    std::lock_guard lock(m_mutex);
    if (!m_started) {
      m_started = true;
      std::printf("search started\n");
      std::fflush(stdout);
    }
    return S_OK;
  }
  HRESULT OnStatusChange(ULONG known, ULONG found) override
  {
    std::lock_guard lock(m_mutex);
    if (m_finished)
      return S_OK;
    m_found = found;
    m_known = known;
    const ULONG remaining = found > known ? found - known : 0;
    if (m_terminal) {
      const int filled = found ? static_cast<int>(static_cast<unsigned long long>(kBarWidth) * std::min(known, found) / found) : 0;
      std::printf("\r[%s%s] found %lu  queried %lu  remaining %lu ", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(kBarWidth - filled), '.').c_str(), static_cast<unsigned long>(found),
                  static_cast<unsigned long>(known), static_cast<unsigned long>(remaining));
    } else {
      std::printf("found %lu, queried %lu, remaining %lu\n", static_cast<unsigned long>(found), static_cast<unsigned long>(known),
                  static_cast<unsigned long>(remaining));
    }
    std::fflush(stdout);
    return S_OK;
  }
  HRESULT OnFinished() override
  {
    {
      std::lock_guard lock(m_mutex);
      m_finished = true;
    }
    m_changed.notify_all();
    return S_OK;
  }

  // Waits for the end; on an interruption calls stop once and goes on waiting.
  void WaitForEnd(const std::function<void()>& stop)
  {
    bool stopped = false;
    std::unique_lock lock(m_mutex);
    while (!m_finished) {
      m_changed.wait_for(lock, std::chrono::milliseconds(200));
      if (g_interrupted && !stopped) {
        stopped = true;
        lock.unlock();
        stop();
        lock.lock();
      }
    }
    if (m_terminal && m_found)
      std::printf("\n");
    std::printf("search finished: %lu computers found, %lu queried\n", static_cast<unsigned long>(m_found),
                static_cast<unsigned long>(m_known));
    std::fflush(stdout);
  }

private:
  bool m_terminal;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_started = false;
  bool m_finished = false;
  ULONG m_found = 0;
  ULONG m_known = 0;
};

// The account's password: the file's first line, or asked for without echo.
std::wstring ReadPassword(const std::string& file, const std::string& user)
{
  std::string line;
  if (!corvexctl::ReadPassword(file, "Password for " + user + ": ", line))
    throw std::runtime_error("cannot read the password file \"" + file + "\"");
  std::wstring password = FromUtf8(line);
  explicit_bzero(line.data(), line.size());
  return password;
}

}  // namespace

int Domains(const std::vector<std::string>& args)
{
  if (!args.empty()) {
    std::fprintf(stderr, "corvexctl: domains takes no arguments\n");
    return 2;
  }
  CComPtr<IKTComputerSearch> search = CreateObjectOnServer<IKTComputerSearch>(CLSID_KTComputerSearch);
  ULONG count = 0;
  BSTR* names = nullptr;
  Check(search->GetDomainNames(&count, &names), "GetDomainNames");
  if (count == 0)
    std::printf("no domains\n");
  for (ULONG i = 0; i < count; ++i) {
    std::printf("%s\n", ToUtf8(names[i] ? names[i] : L"").c_str());
    SysFreeString(names[i]);
  }
  CoTaskMemFree(names);
  return 0;
}

int Search(const std::vector<std::string>& args)
{
  std::string user, passwordFile;
  bool haveUser = false;
  std::vector<std::wstring> domains;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--user" && i + 1 < args.size()) {
      user = args[++i];
      haveUser = true;
    } else if (args[i] == "--password-file" && i + 1 < args.size()) {
      passwordFile = args[++i];
    } else if (args[i].rfind("--", 0) == 0 || args[i].empty()) {
      std::fprintf(stderr, "corvexctl: search: unknown option \"%s\"\n", args[i].c_str());
      return 2;
    } else {
      domains.push_back(FromUtf8(args[i]));
    }
  }
  if (!haveUser || domains.empty()) {
    std::fprintf(stderr, "corvexctl: usage: search --user U [--password-file F] DOMAIN...\n");
    return 2;
  }
  // An empty user searches with anonymous queries only: no password is asked for.
  std::wstring password = user.empty() && passwordFile.empty() ? std::wstring() : ReadPassword(passwordFile, user);

  CComPtr<IKTComputerSearch> search = CreateObjectOnServer<IKTComputerSearch>(CLSID_KTComputerSearch);
  CComPtr<ProgressListener> listener(new ProgressListener(::isatty(STDOUT_FILENO)));
  Check(search->AddStatusListener(listener), "AddStatusListener");
  struct sigaction action{};
  action.sa_handler = [](int) { g_interrupted = true; };
  ::sigaction(SIGINT, &action, nullptr);

  std::vector<_bstr_t> owned(domains.begin(), domains.end());
  std::vector<BSTR> array;
  for (const auto& d : owned)
    array.push_back(d.GetBSTR());
  _bstr_t bUser(FromUtf8(user).c_str()), bPassword(password.c_str());
  explicit_bzero(password.data(), password.size() * sizeof(wchar_t));
  const HRESULT hr = search->Search(static_cast<ULONG>(array.size()), array.data(), bUser.GetBSTR(), bPassword.GetBSTR());
  if (BSTR p = bPassword.GetBSTR())
    explicit_bzero(p, SysStringLen(p) * sizeof(wchar_t));
  if (FAILED(hr)) {
    search->RemoveStatusListener(listener);
    Check(hr, "Search");
  }
  listener->WaitForEnd([&] { search->Stop(); });
  search->RemoveStatusListener(listener);
  return g_interrupted ? 130 : 0;
}

int SearchStop(const std::vector<std::string>& args)
{
  if (!args.empty()) {
    std::fprintf(stderr, "corvexctl: search-stop takes no arguments\n");
    return 2;
  }
  Check(CreateObjectOnServer<IKTComputerSearch>(CLSID_KTComputerSearch)->Stop(), "Stop");
  std::printf("search stopped: computers already found are still queried\n");
  return 0;
}

}  // namespace corvexctl
