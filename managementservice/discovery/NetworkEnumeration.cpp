#include "managementservice/discovery/NetworkEnumeration.h"

#include <memory>

#include "managementservice/discovery/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace {

constexpr DWORD kEnumBufferSize = 16384;
constexpr DWORD kServerFlags = SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL | SV_TYPE_SERVER_NT;

}  // namespace

HRESULT NetworkGetChildEntities(const std::wstring& parent, std::vector<std::wstring>& children)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "NetworkGetChildEntities()");
  DWORD length = 0;
  DWORD result = WNetGetProviderNameW(WNNC_NET_LANMAN, nullptr, &length);
  if (result != static_cast<DWORD>(ERROR_MORE_DATA)) {
    trace::Trace(TRACE_DISCOVERY, 0, "WNetGetProviderName(1) failed, error: %ld", static_cast<long>(result));
    return HRESULT_FROM_WIN32(static_cast<long>(result));
  }
  std::wstring provider(length, L'\0');
  result = WNetGetProviderNameW(WNNC_NET_LANMAN, provider.data(), &length);
  if (result != ERROR_SUCCESS) {
    trace::Trace(TRACE_DISCOVERY, 0, "WNetGetProviderName(2) failed, error: %ld", static_cast<long>(result));
    return HRESULT_FROM_WIN32(static_cast<long>(result));
  }

  std::wstring remote = parent;
  NETRESOURCEW start;
  start.dwScope = RESOURCE_GLOBALNET;
  start.dwType = RESOURCETYPE_ANY;
  start.dwDisplayType = 0;
  start.dwUsage = RESOURCEUSAGE_CONTAINER;
  start.lpProvider = provider.data();
  start.lpRemoteName = parent.empty() ? nullptr : remote.data();

  HANDLE handle = nullptr;
  result = WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_CONTAINER, &start, &handle);
  if (result != ERROR_SUCCESS) {
    trace::Trace(TRACE_DISCOVERY, 0, "WNetOpenEnum failed, error: %ld", static_cast<long>(result));
    return HRESULT_FROM_WIN32(static_cast<long>(result));
  }
  std::unique_ptr<void, DWORD (*)(HANDLE)> closer(handle, &WNetCloseEnum);

  // NETRESOURCEW records hold pointers: the buffer is aligned for them, and covers every byte.
  auto buffer = std::make_unique<NETRESOURCEW[]>((kEnumBufferSize + sizeof(NETRESOURCEW) - 1) / sizeof(NETRESOURCEW));
  DWORD count = 0xFFFFFFFF;
  for (;;) {
    DWORD size = kEnumBufferSize;
    result = WNetEnumResourceW(handle, &count, buffer.get(), &size);
    if (result != ERROR_SUCCESS)
      break;
    for (DWORD i = 0; i < count; ++i)
      children.emplace_back(buffer[i].lpRemoteName ? buffer[i].lpRemoteName : L"");
  }
  if (result == static_cast<DWORD>(ERROR_NO_MORE_ITEMS))
    return S_OK;
  trace::Trace(TRACE_DISCOVERY, 0, "WNetEnumResource failed, error: %ld", static_cast<long>(result));
  return HRESULT_FROM_WIN32(static_cast<long>(result));
}

bool GetComputerDescriptionAndOS(const std::wstring& computer, std::wstring& comment, PTLDB::OperatingSystem& os,
                                 const wchar_t* user, const wchar_t* password)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, L"GetComputerDescriptionAndOS(%ws)", computer);
  std::wstring target = computer.rfind(L"\\\\", 0) == 0 ? computer : L"\\\\" + computer;

  NETRESOURCEW resource;
  resource.dwType = RESOURCETYPE_ANY;
  resource.lpRemoteName = target.data();
  const DWORD connectResult = WNetAddConnection2W(&resource, password, user, 0);
  const bool connected = connectResult == ERROR_SUCCESS;
  if (!connected)
    trace::Trace(TRACE_DISCOVERY, 2, L"Failed to establish connection as user %ws to computer %ws, error: %ld",
                 user ? user : L"NULL", target, static_cast<long>(connectResult));

  bool result = false;
  BYTE* raw = nullptr;
  const DWORD status = NetServerGetInfo(target.c_str(), 101, &raw);
  if (status == ERROR_SUCCESS) {
    const auto* info = reinterpret_cast<const SERVER_INFO_101*>(raw);
    os = DeduceComputerOS(*info);
    comment = info->sv101_comment ? info->sv101_comment : L"";
    result = true;
  } else if (status == static_cast<DWORD>(ERROR_ACCESS_DENIED)) {
    trace::Trace(TRACE_DISCOVERY, 2, L"Access denied to %ws", target);
  } else {
    DiagnoseNetApiError(status);
  }

  if (connected) {
    const DWORD cancel = WNetCancelConnection2W(target.c_str(), 0, true);
    if (cancel != ERROR_SUCCESS)
      trace::Trace(TRACE_DISCOVERY, 2, L"Failed to close connection to computer %ws, error: %ld", target,
                   static_cast<long>(cancel));
  }
  if (raw)
    NetApiBufferFree(raw);
  return result;
}

PTLDB::OperatingSystem DeduceComputerOS(const SERVER_INFO_101& info)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DetailsHandler::DeduceComputerOS()");
  PTLDB::OperatingSystem code = PTLDB::OS_UNKNOWN;
  const DWORD type = info.sv101_type;
  if (type & SV_TYPE_SERVER_UNIX)
    return PTLDB::OS_UNIX;
  const bool server = (type & kServerFlags) != 0;
  const DWORD major = info.sv101_version_major & MAJOR_VERSION_MASK;
  const DWORD minor = info.sv101_version_minor;
  if (type & SV_TYPE_NT) {
    if (major == 3) {
      code = PTLDB::OS_OLD_WINDOWS;
    } else if (major == 4) {
      code = server ? 5 : 4;
    } else if (major == 5) {
      if (minor == 0)
        code = server ? 7 : 6;
      else if (minor == 1)
        code = 8;
      else if (minor == 2)
        code = 9;
      else
        trace::Trace(TRACE_DISCOVERY, 2,
                     "Setting OS type to unknown. Computer type is SV_TYPE_NT, MAJOR_VERSION is 5, minor version is not 0, 1 or 2");
    } else {
      trace::Trace(TRACE_DISCOVERY, 2, "Setting OS type to unknown. Computer type is SV_TYPE_NT, MAJOR_VERSION is not 3, 4 or 5");
    }
  }
  // After the NT test on purpose: with both flags this one decides.
  if (type & SV_TYPE_WINDOWS) {
    if (major == 3)
      code = PTLDB::OS_OLD_WINDOWS;
    else if (major == 4)
      code = PTLDB::OS_WIN9X_UNKNOWN;
    else
      trace::Trace(TRACE_DISCOVERY, 2, "Setting OS type to unknown. Computer type is SV_TYPE_WINDOWS, MAJOR_VERSION is not 3 or 4");
  }
  return code;
}

void DiagnoseNetApiError(DWORD error)
{
  trace::CFunctionTrace scope(TRACE_DISCOVERY, "DetailsHandler - DiagnoseNetApiError(0x%08X)", error);
  const char* text = "Unknown error occurred calling NetServerGetInfo";
  switch (error) {
    case ERROR_NOT_ENOUGH_MEMORY: text = "Not enough memory for NetServerGetInfo"; break;
    case ERROR_BAD_NETPATH: text = "Network path not found"; break;
    case ERROR_INVALID_PARAMETER: text = "Invalid Parameter to NetServerGetInfo"; break;
    case ERROR_INVALID_LEVEL: text = "Invalid server info level requested"; break;
    default: break;
  }
  trace::Trace(TRACE_DISCOVERY, 0, "%s", text);
}
