#pragma once
// The Windows network as the discovery code sees it: the multiple-provider router's enumeration
// and connections (WNet...) and the network API's server information (NetServerGetInfo level
// 101), over Samba's client libraries. libsmbclient browses (workgroups and domains, then the
// servers of one) and makes the connections; libnetapi reads the server information. Samba's
// failures come back as the Win32 codes callers expect, by the table in README.md.
//
// Connections and server queries run in a corvex-netquery process each (SambaCalls.h says why),
// so threads query side by side; browsing runs in the calling process, one at a time.
#include <cstddef>
#include <string>

#include "platform/com/WinTypes.h"

// Network types, scopes and usages of the enumeration.
constexpr DWORD WNNC_NET_LANMAN = 0x00020000;
constexpr DWORD RESOURCE_GLOBALNET = 2;
constexpr DWORD RESOURCETYPE_ANY = 0;
constexpr DWORD RESOURCEUSAGE_CONTAINER = 2;
constexpr DWORD RESOURCEDISPLAYTYPE_GENERIC = 0;
constexpr DWORD RESOURCEDISPLAYTYPE_DOMAIN = 1;
constexpr DWORD RESOURCEDISPLAYTYPE_SERVER = 2;

// Win32 codes of the network calls.
constexpr LONG ERROR_BAD_NETPATH = 53;
constexpr LONG ERROR_INVALID_LEVEL = 124;
constexpr LONG ERROR_NOT_CONNECTED = 2250;
constexpr LONG ERROR_NO_NETWORK = 1222;
constexpr LONG ERROR_LOGON_FAILURE = 1326;
constexpr LONG ERROR_SEM_TIMEOUT = 121;
constexpr LONG ERROR_BAD_NET_NAME = 67;
constexpr LONG ERROR_GEN_FAILURE = 31;
constexpr LONG ERROR_CAN_NOT_COMPLETE = 1003;

// Server types of the server information.
constexpr DWORD SV_TYPE_WORKSTATION = 0x00000001;
constexpr DWORD SV_TYPE_SERVER = 0x00000002;
constexpr DWORD SV_TYPE_DOMAIN_CTRL = 0x00000008;
constexpr DWORD SV_TYPE_DOMAIN_BAKCTRL = 0x00000010;
constexpr DWORD SV_TYPE_SERVER_UNIX = 0x00000800;
constexpr DWORD SV_TYPE_NT = 0x00001000;
constexpr DWORD SV_TYPE_SERVER_NT = 0x00008000;
constexpr DWORD SV_TYPE_WINDOWS = 0x00400000;
constexpr DWORD MAJOR_VERSION_MASK = 0x0F;

struct NETRESOURCEW
{
  DWORD dwScope = 0;
  DWORD dwType = 0;
  DWORD dwDisplayType = 0;
  DWORD dwUsage = 0;
  wchar_t* lpLocalName = nullptr;
  wchar_t* lpRemoteName = nullptr;
  wchar_t* lpComment = nullptr;
  wchar_t* lpProvider = nullptr;
};

struct SERVER_INFO_101
{
  DWORD sv101_platform_id = 0;
  wchar_t* sv101_name = nullptr;
  DWORD sv101_version_major = 0;
  DWORD sv101_version_minor = 0;
  DWORD sv101_type = 0;
  wchar_t* sv101_comment = nullptr;
};

using HANDLE = void*;

// The provider's name: with a buffer too small (or none), ERROR_MORE_DATA and the characters
// needed (with the terminator) in *length. Only WNNC_NET_LANMAN is known.
DWORD WNetGetProviderNameW(DWORD netType, wchar_t* name, DWORD* length);

// Opens an enumeration of the containers below resource: no resource or no remote name, the
// workgroups and domains of the network; a domain or workgroup name, its servers (remote
// names "\\NAME"). The browse runs here; the names are handed out by WNetEnumResourceW.
DWORD WNetOpenEnumW(DWORD scope, DWORD type, DWORD usage, const NETRESOURCEW* resource, HANDLE* handle);
// Fills buffer with up to *count entries (0xFFFFFFFF: as many as fit), NETRESOURCEW records
// first and their texts at the end, as the platform does. *count gets the number written.
// ERROR_NO_MORE_ITEMS at the end; ERROR_MORE_DATA, with the size needed in *bufferSize, when
// not even the next entry fits.
DWORD WNetEnumResourceW(HANDLE handle, DWORD* count, void* buffer, DWORD* bufferSize);
DWORD WNetCloseEnum(HANDLE handle);

// Connects to a server (remote name "\\NAME") with the credentials: empty strings ask for an
// anonymous session, null pointers for the calling thread's identity. The connection belongs
// to the calling thread until cancelled; server queries of the thread to that server use it.
DWORD WNetAddConnection2W(const NETRESOURCEW* resource, const wchar_t* password, const wchar_t* user, DWORD flags);
DWORD WNetCancelConnection2W(const wchar_t* name, DWORD flags, bool force);

// Server information of a server ("\\NAME" or "NAME"); only level 101. The buffer is one block
// freed with NetApiBufferFree.
DWORD NetServerGetInfo(const wchar_t* server, DWORD level, BYTE** buffer);
DWORD NetApiBufferFree(void* buffer);

// The calling thread's network identity, which connections made with null credentials use:
// none (anonymous) until set. Impersonation sets it; reverting clears it.
void SetThreadNetworkIdentity(const std::wstring& user, const std::wstring& password);
void ClearThreadNetworkIdentity();
bool HasThreadNetworkIdentity();

namespace network {

// What a failed connection attempt found, as the platform reports it (0 when it connected).
DWORD Win32FromConnectErrno(int error);
// A libnetapi status as the platform's NetServerGetInfo reports it. Samba folds every failure
// to reach or log on to the server into one status; what the thread's connection attempt to
// that server found (0 connected, else its error; ERROR_NOT_CONNECTED when none was made)
// tells the two apart.
DWORD Win32FromNetApiStatus(DWORD status, DWORD connectResult);

}  // namespace network

// Impersonation for the network: the thread's identity is the account's while the object lives.
class ScopedNetworkIdentity
{
public:
  ScopedNetworkIdentity(const std::wstring& user, const std::wstring& password) { SetThreadNetworkIdentity(user, password); }
  ~ScopedNetworkIdentity() { ClearThreadNetworkIdentity(); }
  ScopedNetworkIdentity(const ScopedNetworkIdentity&) = delete;
  ScopedNetworkIdentity& operator=(const ScopedNetworkIdentity&) = delete;
};
