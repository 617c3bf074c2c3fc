#include "platform/network/Network.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <new>
#include <map>
#include <memory>
#include <vector>

#include "platform/network/SambaCalls.h"
#include "platform/text/Unicode.h"

extern char** environ;

namespace {

using network::samba_calls::Credentials;
using network::samba_calls::Settings;

const wchar_t* const kProviderName = L"SMB Network";
// Samba gives up on a host that does not answer after about 10 s whatever its time-out says;
// a query program still running this long after the larger of the two is stuck, and is ended.
constexpr int kSambaOwnTimeoutMs = 10000;
constexpr int kQueryGraceMs = 10000;

struct Entry
{
  std::wstring remoteName;
  std::wstring comment;
  DWORD displayType;
};

struct Enumeration
{
  std::vector<Entry> entries;
  std::size_t next = 0;
};

// Names of the form "\\NAME" lose their backslashes; the key of a connection is the upper case.
std::wstring ServerName(const wchar_t* name)
{
  std::wstring s = name ? name : L"";
  if (s.rfind(L"\\\\", 0) == 0)
    s.erase(0, 2);
  return s;
}

std::wstring Key(std::wstring s)
{
  for (auto& c : s)
    c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return s;
}

// The calling thread's identity, its connections, and what its last connection attempt found.
struct Connection
{
  Credentials creds;
  DWORD result;
};
thread_local std::unique_ptr<Credentials> t_identity;
thread_local std::map<std::wstring, Connection> t_connections;
// Only the last attempt is kept: the server query that follows a connection attempt reads it.
struct Attempt
{
  std::wstring key;
  DWORD result = 0;
};
thread_local Attempt t_lastAttempt;

Credentials ThreadCredentials() { return t_identity ? *t_identity : Credentials(); }

// Beside the running program once installed; the build's own otherwise.
std::string QueryProgram()
{
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) {
    std::string path(buf, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + "corvex-netquery";
    if (::access(path.c_str(), X_OK) == 0)
      return path;
  }
  return CORVEX_NETQUERY_PATH;
}

enum class QueryOutcome { Answered, NotStarted, TimedOut, Failed };

// Runs one corvex-netquery and splits its answer into fields. The process is ended by its PID
// when it outlives the deadline, and always reaped.
QueryOutcome RunQuery(const std::string& operation, const std::string& server, const Settings& settings,
                      const Credentials& creds, std::vector<std::string>& fields)
{
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    return QueryOutcome::NotStarted;
  const std::string program = QueryProgram();
  const std::string timeout = std::to_string(settings.timeoutMs);
  std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(operation.c_str()),
                             const_cast<char*>(server.c_str()), const_cast<char*>(timeout.c_str())};
  if (!settings.clientConfiguration.empty())
    argv.push_back(const_cast<char*>(settings.clientConfiguration.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 4);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pair[1]);
  if (spawned != 0) {
    ::close(pair[0]);
    return QueryOutcome::NotStarted;
  }

  std::string request = creds.user;
  request += '\0';
  request += creds.password;
  request += '\0';
  ::send(pair[0], request.data(), request.size(), MSG_NOSIGNAL);  // small: it fits the socket's buffer
  explicit_bzero(request.data(), request.size());
  ::shutdown(pair[0], SHUT_WR);

  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(std::max(settings.timeoutMs, kSambaOwnTimeoutMs) + kQueryGraceMs);
  std::string answer;
  QueryOutcome outcome = QueryOutcome::Answered;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      outcome = QueryOutcome::TimedOut;
      break;
    }
    pollfd p{pair[0], POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0) {
      outcome = r == 0 ? QueryOutcome::TimedOut : QueryOutcome::Failed;
      break;
    }
    char buf[1024];
    const ssize_t n = ::read(pair[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    answer.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pair[0]);
  if (outcome != QueryOutcome::Answered)
    ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (outcome != QueryOutcome::Answered)
    return outcome;
  for (std::size_t at = 0; at < answer.size();) {
    const std::size_t end = answer.find('\0', at);
    if (end == std::string::npos)
      return QueryOutcome::Failed;  // cut short
    fields.push_back(answer.substr(at, end - at));
    at = end + 1;
  }
  return fields.empty() ? QueryOutcome::Failed : QueryOutcome::Answered;
}

bool ToNumber(const std::string& text, unsigned long& value)
{
  if (text.empty() || text.size() > 10)
    return false;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 10);
  return end && *end == '\0';
}

// A session on the server's IPC$ share, made by a query program of its own.
DWORD Connect(const std::wstring& server, const Credentials& creds)
{
  std::vector<std::string> fields;
  switch (RunQuery("connect", ToUtf8(server), network::samba_calls::ReadSettings(), creds, fields)) {
    case QueryOutcome::Answered: break;
    case QueryOutcome::TimedOut: return static_cast<DWORD>(ERROR_BAD_NETPATH);  // nothing answered in time
    default: return static_cast<DWORD>(ERROR_GEN_FAILURE);
  }
  unsigned long error = 0;
  if (fields.size() != 2 || !ToNumber(fields[1], error))
    return static_cast<DWORD>(ERROR_GEN_FAILURE);
  return fields[0] == "1" ? static_cast<DWORD>(ERROR_SUCCESS) : network::Win32FromConnectErrno(static_cast<int>(error));
}

}  // namespace

namespace network {

DWORD Win32FromConnectErrno(int error)
{
  switch (error) {
    case 0: return static_cast<DWORD>(ERROR_NO_NETWORK);  // Samba gave no reason: nothing answered the browse
    case EACCES:
    case EPERM: return static_cast<DWORD>(ERROR_ACCESS_DENIED);
    case ENOENT:
    case ENODEV:
    case ECONNREFUSED:
    case ECONNRESET:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ETIMEDOUT: return static_cast<DWORD>(ERROR_BAD_NETPATH);
    case ENOMEM: return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    case EINVAL: return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    default: return static_cast<DWORD>(ERROR_GEN_FAILURE);
  }
}

DWORD Win32FromNetApiStatus(DWORD status, DWORD connectResult)
{
  if (status != static_cast<DWORD>(ERROR_CAN_NOT_COMPLETE))
    return status;  // libnetapi's other statuses are Win32 codes already
  switch (connectResult) {
    case ERROR_SUCCESS:
    case ERROR_ACCESS_DENIED:
    case ERROR_LOGON_FAILURE: return static_cast<DWORD>(ERROR_ACCESS_DENIED);  // the server answered and refused
    default: return static_cast<DWORD>(ERROR_BAD_NETPATH);
  }
}

}  // namespace network

DWORD WNetGetProviderNameW(DWORD netType, wchar_t* name, DWORD* length)
{
  if (!length)
    return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  if (netType != WNNC_NET_LANMAN)
    return static_cast<DWORD>(ERROR_NO_NETWORK);
  const DWORD needed = static_cast<DWORD>(std::wcslen(kProviderName) + 1);
  if (!name || *length < needed) {
    *length = needed;
    return static_cast<DWORD>(ERROR_MORE_DATA);
  }
  std::wcscpy(name, kProviderName);
  return ERROR_SUCCESS;
}

DWORD WNetOpenEnumW(DWORD scope, DWORD, DWORD usage, const NETRESOURCEW* resource, HANDLE* handle)
{
  if (!handle || scope != RESOURCE_GLOBALNET)
    return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  *handle = nullptr;
  if (resource && resource->lpProvider && std::wcscmp(resource->lpProvider, kProviderName) != 0)
    return static_cast<DWORD>(ERROR_BAD_NETPATH);
  const std::wstring parent = resource && resource->lpRemoteName ? resource->lpRemoteName : L"";
  auto enumeration = std::make_unique<Enumeration>();
  // Only containers are listed: the domains at the top, a domain's servers below it; a
  // server's shares are not containers.
  if ((usage & RESOURCEUSAGE_CONTAINER) && parent.rfind(L"\\\\", 0) != 0) {
    std::vector<network::samba_calls::BrowseEntry> found;
    int error = 0;
    if (!network::samba_calls::Browse(network::samba_calls::ReadSettings(), ToUtf8(parent), found, error))
      return network::Win32FromConnectErrno(error);
    for (const auto& e : found) {
      const std::wstring name = FromUtf8(e.name);
      enumeration->entries.push_back({parent.empty() ? name : L"\\\\" + name, FromUtf8(e.comment),
                                      parent.empty() ? RESOURCEDISPLAYTYPE_DOMAIN : RESOURCEDISPLAYTYPE_SERVER});
    }
  }
  *handle = enumeration.release();
  return ERROR_SUCCESS;
}

DWORD WNetEnumResourceW(HANDLE handle, DWORD* count, void* buffer, DWORD* bufferSize)
{
  auto* e = static_cast<Enumeration*>(handle);
  if (!e || !count || !buffer || !bufferSize)
    return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  if (e->next >= e->entries.size())
    return static_cast<DWORD>(ERROR_NO_MORE_ITEMS);
  // Records grow from the front of the buffer, their texts from the back.
  auto* base = static_cast<unsigned char*>(buffer);
  std::size_t front = 0;
  std::size_t back = *bufferSize;
  DWORD written = 0;
  while (e->next < e->entries.size() && written < *count) {
    const Entry& entry = e->entries[e->next];
    const std::size_t texts = (entry.remoteName.size() + 1 + entry.comment.size() + 1 + std::wcslen(kProviderName) + 1) *
                              sizeof(wchar_t);
    const std::size_t textStart = (back - texts) & ~(alignof(wchar_t) - 1);
    if (back < texts || front + sizeof(NETRESOURCEW) > textStart) {
      if (written == 0) {
        *bufferSize = static_cast<DWORD>(sizeof(NETRESOURCEW) + texts + alignof(wchar_t));
        return static_cast<DWORD>(ERROR_MORE_DATA);
      }
      break;
    }
    back = textStart;
    auto* text = reinterpret_cast<wchar_t*>(base + back);
    auto place = [&text](const std::wstring& s) {
      wchar_t* start = text;
      std::wmemcpy(text, s.c_str(), s.size() + 1);
      text += s.size() + 1;
      return start;
    };
    NETRESOURCEW record;
    record.dwScope = RESOURCE_GLOBALNET;
    record.dwType = RESOURCETYPE_ANY;
    record.dwDisplayType = entry.displayType;
    record.dwUsage = RESOURCEUSAGE_CONTAINER;
    record.lpRemoteName = place(entry.remoteName);
    record.lpComment = place(entry.comment);
    record.lpProvider = place(kProviderName);
    std::memcpy(base + front, &record, sizeof record);
    front += sizeof(NETRESOURCEW);
    ++written;
    ++e->next;
  }
  *count = written;
  return ERROR_SUCCESS;
}

DWORD WNetCloseEnum(HANDLE handle)
{
  if (!handle)
    return static_cast<DWORD>(ERROR_INVALID_HANDLE);
  delete static_cast<Enumeration*>(handle);
  return ERROR_SUCCESS;
}

DWORD WNetAddConnection2W(const NETRESOURCEW* resource, const wchar_t* password, const wchar_t* user, DWORD)
{
  if (!resource || !resource->lpRemoteName || std::wcsncmp(resource->lpRemoteName, L"\\\\", 2) != 0)
    return static_cast<DWORD>(ERROR_BAD_NETPATH);
  const std::wstring server = ServerName(resource->lpRemoteName);
  if (server.empty() || server.find(L'\\') != std::wstring::npos)
    return static_cast<DWORD>(ERROR_BAD_NETPATH);
  Credentials creds = ThreadCredentials();
  if (user)
    creds.user = ToUtf8(user);
  if (password)
    creds.password = ToUtf8(password);
  const DWORD result = Connect(server, creds);
  t_lastAttempt = Attempt{Key(server), result};
  if (result == ERROR_SUCCESS)
    t_connections[Key(server)] = Connection{creds, result};
  return result;
}

DWORD WNetCancelConnection2W(const wchar_t* name, DWORD, bool)
{
  const std::wstring key = Key(ServerName(name));
  if (t_lastAttempt.key == key)
    t_lastAttempt = Attempt{};
  return t_connections.erase(key) ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_NOT_CONNECTED);
}

DWORD NetServerGetInfo(const wchar_t* server, DWORD level, BYTE** buffer)
{
  if (!buffer)
    return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  *buffer = nullptr;
  if (level != 101)
    return static_cast<DWORD>(ERROR_INVALID_LEVEL);
  const std::wstring name = ServerName(server);
  if (name.empty())
    return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  const std::wstring key = Key(name);
  DWORD attempt = static_cast<DWORD>(ERROR_NOT_CONNECTED);
  if (t_lastAttempt.key == key)
    attempt = t_lastAttempt.result;
  // A server this thread just found unreachable is not asked again: Samba would wait out its
  // own time-out a second time.
  if (attempt == static_cast<DWORD>(ERROR_BAD_NETPATH))
    return attempt;
  const auto connection = t_connections.find(key);
  const Credentials creds = connection != t_connections.end() ? connection->second.creds : ThreadCredentials();

  // A process of its own: libnetapi's one context per process would otherwise serialise every
  // query and hand one identity's sessions to the next.
  std::vector<std::string> fields;
  switch (RunQuery("info", ToUtf8(name), network::samba_calls::ReadSettings(), creds, fields)) {
    case QueryOutcome::Answered: break;
    case QueryOutcome::TimedOut: return static_cast<DWORD>(ERROR_BAD_NETPATH);
    default: return static_cast<DWORD>(ERROR_GEN_FAILURE);
  }
  unsigned long status = 0;
  if (!ToNumber(fields[0], status))
    return static_cast<DWORD>(ERROR_GEN_FAILURE);
  if (status != 0)
    return network::Win32FromNetApiStatus(static_cast<DWORD>(status), attempt);
  unsigned long platform = 0, major = 0, minor = 0, type = 0;
  if (fields.size() != 8 || !ToNumber(fields[1], platform) || !ToNumber(fields[3], major) || !ToNumber(fields[4], minor) ||
      !ToNumber(fields[5], type))
    return static_cast<DWORD>(ERROR_GEN_FAILURE);
  const std::wstring infoName = FromUtf8(fields[2]);
  const bool hasComment = fields[6] == "1";
  const std::wstring comment = FromUtf8(fields[7]);
  // One block: the record, then its name and comment.
  const std::size_t size = sizeof(SERVER_INFO_101) + (infoName.size() + 1 + comment.size() + 1) * sizeof(wchar_t);
  auto* block = static_cast<BYTE*>(std::malloc(size));
  if (!block)
    return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
  auto* out = new (block) SERVER_INFO_101;
  auto* text = reinterpret_cast<wchar_t*>(block + sizeof(SERVER_INFO_101));
  out->sv101_platform_id = static_cast<DWORD>(platform);
  out->sv101_version_major = static_cast<DWORD>(major);
  out->sv101_version_minor = static_cast<DWORD>(minor);
  out->sv101_type = static_cast<DWORD>(type);
  out->sv101_name = text;
  std::wmemcpy(text, infoName.c_str(), infoName.size() + 1);
  text += infoName.size() + 1;
  std::wmemcpy(text, comment.c_str(), comment.size() + 1);
  out->sv101_comment = hasComment ? text : nullptr;
  *buffer = block;
  return ERROR_SUCCESS;
}

DWORD NetApiBufferFree(void* buffer)
{
  std::free(buffer);
  return ERROR_SUCCESS;
}

void SetThreadNetworkIdentity(const std::wstring& user, const std::wstring& password)
{
  t_identity = std::make_unique<Credentials>(ToUtf8(user), ToUtf8(password));
}

void ClearThreadNetworkIdentity() { t_identity.reset(); }

bool HasThreadNetworkIdentity() { return t_identity != nullptr; }
