#include "platform/network/SambaCalls.h"

// netapi.h uses the fixed-width types without including their header.
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <libsmbclient.h>
// Samba's network API declares names that ours share: it lives in its own namespace here.
namespace samba {
#include <netapi.h>
}

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace network::samba_calls {

namespace {

const wchar_t* const kServiceKey = L"SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service";

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

// One libsmbclient context for one operation.
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

// In-process browsing is rare (the browse thread, a console listing the domains), and
// libsmbclient's caches are shared by every context of the process.
std::mutex& BrowseLock()
{
  static std::mutex* lock = new std::mutex;  // outlives static objects that may still browse
  return *lock;
}

}  // namespace

Credentials::~Credentials() { explicit_bzero(password.data(), password.size()); }

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

bool Browse(const Settings& settings, const std::string& parent, std::vector<BrowseEntry>& entries, int& error)
{
  std::lock_guard lock(BrowseLock());
  error = ENOMEM;
  SmbContext ctx(settings, Credentials(), true);
  if (!ctx.get())
    return false;
  const std::string url = "smb://" + parent;
  errno = 0;
  SMBCFILE* dir = smbc_getFunctionOpendir(ctx.get())(ctx.get(), url.c_str());
  error = errno;
  if (!dir)
    return false;
  const unsigned wanted = parent.empty() ? SMBC_WORKGROUP : SMBC_SERVER;
  while (const smbc_dirent* e = smbc_getFunctionReaddir(ctx.get())(ctx.get(), dir)) {
    if (e->smbc_type == wanted)
      entries.push_back({e->name, e->comment ? e->comment : ""});
  }
  smbc_getFunctionClosedir(ctx.get())(ctx.get(), dir);
  error = 0;
  return true;
}

bool Connect(const Settings& settings, const std::string& server, const Credentials& creds, int& error)
{
  error = ENOMEM;
  SmbContext ctx(settings, creds, false);
  if (!ctx.get())
    return false;
  const std::string url = "smb://" + server;
  errno = 0;
  SMBCFILE* dir = smbc_getFunctionOpendir(ctx.get())(ctx.get(), url.c_str());
  error = errno;
  if (!dir)
    return false;
  smbc_getFunctionClosedir(ctx.get())(ctx.get(), dir);
  error = 0;
  return true;
}

DWORD ServerInfo101(const std::string& server, const Credentials& creds, ServerInfo& info)
{
  samba::libnetapi_ctx* ctx = nullptr;
  if (samba::libnetapi_init(&ctx) != 0 || !ctx)
    return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
  samba::libnetapi_set_debuglevel(ctx, "0");
  // Empty user name and password: an anonymous session.
  samba::libnetapi_set_username(ctx, creds.user.c_str());
  samba::libnetapi_set_password(ctx, creds.password.c_str());
  uint8_t* raw = nullptr;
  const samba::NET_API_STATUS status = samba::NetServerGetInfo(server.c_str(), 101, &raw);
  if (status == 0 && raw) {
    const auto* r = reinterpret_cast<const samba::SERVER_INFO_101*>(raw);
    info.platformId = r->sv101_platform_id;
    info.name = r->sv101_name ? r->sv101_name : "";
    info.versionMajor = r->sv101_version_major;
    info.versionMinor = r->sv101_version_minor;
    info.type = r->sv101_type;
    info.hasComment = r->sv101_comment != nullptr;
    info.comment = r->sv101_comment ? r->sv101_comment : "";
  }
  if (raw)
    samba::NetApiBufferFree(raw);
  samba::libnetapi_free(ctx);
  return status == 0 && !raw ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : static_cast<DWORD>(status);
}

}  // namespace network::samba_calls
