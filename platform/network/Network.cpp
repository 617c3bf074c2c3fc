#include "platform/network/Network.h"

// netapi.h uses the fixed-width types without including their header.
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <libsmbclient.h>
// Samba's network API declares the same names as ours: it lives in its own namespace here.
namespace samba {
#include <netapi.h>
}

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <new>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace {

const wchar_t* const kServiceKey = L"SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service";
const wchar_t* const kProviderName = L"SMB Network";
constexpr DWORD kDefaultTimeoutMs = 10000;

// Every call into Samba's client libraries is made under this lock.
std::mutex& SambaLock()
{
  static std::mutex* lock = new std::mutex;  // outlives static objects that may still browse
  return *lock;
}

// Credentials that are wiped when they go.
struct Credentials
{
  std::string user;
  std::string password;
  Credentials() = default;
  Credentials(std::string u, std::string p) : user(std::move(u)), password(std::move(p)) {}
  Credentials(const Credentials&) = default;
  Credentials& operator=(const Credentials&) = default;
  ~Credentials() { explicit_bzero(password.data(), password.size()); }
};

struct Settings
{
  std::string browseProtocol = "NT1";
  int timeoutMs = static_cast<int>(kDefaultTimeoutMs);
  std::string clientConfiguration;
};

// Read for each operation, so a changed registry applies without a restart.
Settings ReadSettings()
{
  Settings s;
  CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey, KEY_READ) != ERROR_SUCCESS)
    return s;
  std::wstring text;
  if (key.QueryStringValue(L"NetworkBrowseProtocol", text) == ERROR_SUCCESS && !text.empty())
    s.browseProtocol = ToUtf8(text);
  DWORD ms = 0;
  if (key.QueryDWORDValue(L"NetworkTimeout", ms) == ERROR_SUCCESS && ms > 0 && ms <= 600000)
    s.timeoutMs = static_cast<int>(ms);
  if (key.QueryStringValue(L"NetworkClientConfiguration", text) == ERROR_SUCCESS)
    s.clientConfiguration = ToUtf8(text);
  return s;
}

void AuthFromContext(SMBCCTX* ctx, const char*, const char*, char* workgroup, int workgroupLen, char* user, int userLen,
                     char* password, int passwordLen)
{
  const auto* creds = static_cast<const Credentials*>(smbc_getOptionUserData(ctx));
  std::string u = creds ? creds->user : std::string();
  // "DOMAIN\user" logs on to that domain.
  const auto slash = u.find('\\');
  if (slash != std::string::npos) {
    snprintf(workgroup, static_cast<std::size_t>(workgroupLen), "%s", u.substr(0, slash).c_str());
    u.erase(0, slash + 1);
  }
  snprintf(user, static_cast<std::size_t>(userLen), "%s", u.c_str());
  snprintf(password, static_cast<std::size_t>(passwordLen), "%s", creds ? creds->password.c_str() : "");
}

// One libsmbclient context for one operation; created and used under the Samba lock.
class SmbContext
{
public:
  SmbContext(const Settings& settings, const Credentials& creds, bool browse) : m_creds(creds)
  {
    m_ctx = smbc_new_context();
    if (!m_ctx)
      return;
    smbc_setDebug(m_ctx, 0);
    if (!settings.clientConfiguration.empty())
      smbc_setConfiguration(m_ctx, settings.clientConfiguration.c_str());
    // Browse lists travel over the first protocol only.
    if (browse)
      smbc_setOptionProtocols(m_ctx, settings.browseProtocol.c_str(), settings.browseProtocol.c_str());
    // A refused logon must not silently become an anonymous one.
    smbc_setOptionNoAutoAnonymousLogin(m_ctx, 1);
    smbc_setOptionUseKerberos(m_ctx, 0);
    smbc_setTimeout(m_ctx, settings.timeoutMs);
    smbc_setOptionUserData(m_ctx, &m_creds);
    smbc_setFunctionAuthDataWithContext(m_ctx, &AuthFromContext);
    if (!smbc_init_context(m_ctx)) {
      smbc_free_context(m_ctx, 1);
      m_ctx = nullptr;
    }
  }
  ~SmbContext()
  {
    if (m_ctx)
      smbc_free_context(m_ctx, 1);
  }
  SmbContext(const SmbContext&) = delete;
  SmbContext& operator=(const SmbContext&) = delete;
  SMBCCTX* get() const { return m_ctx; }

private:
  SMBCCTX* m_ctx = nullptr;
  Credentials m_creds;
};

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

// A server's share list is the cheapest operation that needs a session on its IPC$ share.
DWORD Connect(const std::wstring& server, const Credentials& creds)
{
  const Settings settings = ReadSettings();
  std::lock_guard lock(SambaLock());
  SmbContext ctx(settings, creds, false);
  if (!ctx.get())
    return ERROR_NOT_ENOUGH_MEMORY;
  const std::string url = "smb://" + ToUtf8(server);
  errno = 0;
  SMBCFILE* dir = smbc_getFunctionOpendir(ctx.get())(ctx.get(), url.c_str());
  if (!dir)
    return network::Win32FromConnectErrno(errno);
  smbc_getFunctionClosedir(ctx.get())(ctx.get(), dir);
  return ERROR_SUCCESS;
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
    const Settings settings = ReadSettings();
    std::lock_guard lock(SambaLock());
    SmbContext ctx(settings, Credentials(), true);
    if (!ctx.get())
      return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    const std::string url = "smb://" + ToUtf8(parent);
    errno = 0;
    SMBCFILE* dir = smbc_getFunctionOpendir(ctx.get())(ctx.get(), url.c_str());
    if (!dir)
      return network::Win32FromConnectErrno(errno);
    const unsigned wanted = parent.empty() ? SMBC_WORKGROUP : SMBC_SERVER;
    while (const smbc_dirent* e = smbc_getFunctionReaddir(ctx.get())(ctx.get(), dir)) {
      if (e->smbc_type != wanted)
        continue;
      const std::wstring name = FromUtf8(e->name);
      enumeration->entries.push_back({parent.empty() ? name : L"\\\\" + name, FromUtf8(e->comment ? e->comment : ""),
                                      parent.empty() ? RESOURCEDISPLAYTYPE_DOMAIN : RESOURCEDISPLAYTYPE_SERVER});
    }
    smbc_getFunctionClosedir(ctx.get())(ctx.get(), dir);
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
  // own time-out while holding the lock every other thread needs.
  if (attempt == static_cast<DWORD>(ERROR_BAD_NETPATH))
    return attempt;
  const auto connection = t_connections.find(key);
  const Credentials creds = connection != t_connections.end() ? connection->second.creds : ThreadCredentials();

  std::lock_guard lock(SambaLock());
  samba::libnetapi_ctx* ctx = nullptr;
  if (samba::libnetapi_getctx(&ctx) != 0 || !ctx) {
    if (samba::libnetapi_init(&ctx) != 0 || !ctx)
      return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    samba::libnetapi_set_debuglevel(ctx, "0");
  }
  samba::libnetapi_set_username(ctx, creds.user.c_str());
  samba::libnetapi_set_password(ctx, creds.password.c_str());
  uint8_t* raw = nullptr;
  const samba::NET_API_STATUS status = samba::NetServerGetInfo(ToUtf8(name).c_str(), 101, &raw);
  // The library keeps no password between queries.
  samba::libnetapi_set_username(ctx, "");
  samba::libnetapi_set_password(ctx, "");
  if (status != 0) {
    if (raw)
      samba::NetApiBufferFree(raw);
    return network::Win32FromNetApiStatus(status, attempt);
  }
  const auto* info = reinterpret_cast<const samba::SERVER_INFO_101*>(raw);
  const std::wstring infoName = FromUtf8(info->sv101_name ? info->sv101_name : "");
  const bool hasComment = info->sv101_comment != nullptr;
  const std::wstring comment = FromUtf8(hasComment ? info->sv101_comment : "");
  // One block: the record, then its name and comment.
  const std::size_t size = sizeof(SERVER_INFO_101) + (infoName.size() + 1 + comment.size() + 1) * sizeof(wchar_t);
  auto* block = static_cast<BYTE*>(std::malloc(size));
  if (!block) {
    samba::NetApiBufferFree(raw);
    return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
  }
  auto* out = new (block) SERVER_INFO_101;
  auto* text = reinterpret_cast<wchar_t*>(block + sizeof(SERVER_INFO_101));
  out->sv101_platform_id = info->sv101_platform_id;
  out->sv101_version_major = info->sv101_version_major;
  out->sv101_version_minor = info->sv101_version_minor;
  out->sv101_type = info->sv101_type;
  out->sv101_name = text;
  std::wmemcpy(text, infoName.c_str(), infoName.size() + 1);
  text += infoName.size() + 1;
  std::wmemcpy(text, comment.c_str(), comment.size() + 1);
  out->sv101_comment = hasComment ? text : nullptr;
  samba::NetApiBufferFree(raw);
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
