#pragma once
// The process-wide class table: class objects registered by the server (suspended until resumed,
// then available to activation requests), revoked at shutdown; apartments; and the process
// security that protects the console endpoint.
#include <string>
#include <vector>

#include "platform/com/Unknown.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_ALL = 0x17;
constexpr DWORD CLSCTX_SERVER = 0x15;

constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
constexpr DWORD REGCLS_SUSPENDED = 4;

constexpr DWORD COINIT_MULTITHREADED = 0;

constexpr HRESULT CO_E_OBJNOTREG = MakeHr(0x800401FB);
constexpr HRESULT RPC_E_TOO_LATE = MakeHr(0x80010119);

HRESULT CoInitializeEx(void* reserved, DWORD model);
void CoUninitialize();

// Registers a class object; with REGCLS_SUSPENDED it is not activatable until CoResumeClassObjects.
HRESULT CoRegisterClassObject(const CLSID& clsid, IUnknown* factory, DWORD context, DWORD flags, DWORD* cookie);
HRESULT CoResumeClassObjects();
HRESULT CoRevokeClassObject(DWORD cookie);
// The live (resumed) class object of a class; REGDB_E_CLASSNOTREG when there is none.
HRESULT CoGetClassObject(const CLSID& clsid, DWORD context, const IID& iid, void** out);
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid, void** out);
// Resumed class identifiers, for the console endpoint's activation service.
std::vector<CLSID> RegisteredClasses();

// Security: SIDs are text. A Unix group is "S-1-22-2-<gid>", a Unix user "S-1-22-1-<uid>".
constexpr const char* SID_LOCAL_SYSTEM = "S-1-5-18";
constexpr const char* SID_BUILTIN_ADMINISTRATORS = "S-1-5-32-544";
constexpr DWORD COM_RIGHTS_EXECUTE = 1;

struct ACCESS_ALLOWED_ACE
{
  DWORD mask;
  std::string sid;
};
struct SECURITY_DESCRIPTOR
{
  std::string owner;
  std::string group;
  std::vector<ACCESS_ALLOWED_ACE> dacl;
};

// The SID of a local account or group; ERROR_NONE_MAPPED when there is no such name.
LONG LookupAccountName(const std::wstring& name, std::string& sid);

constexpr DWORD RPC_C_AUTHN_LEVEL_PKT_PRIVACY = 6;
constexpr DWORD RPC_C_IMP_LEVEL_IDENTIFY = 2;
// Sets the process security once; RPC_E_TOO_LATE on a second call. The console endpoint applies it.
HRESULT CoInitializeSecurity(const SECURITY_DESCRIPTOR* sd, LONG authServices, DWORD authnLevel, DWORD impLevel);
// The descriptor set, or null when none was.
const SECURITY_DESCRIPTOR* ProcessSecurity();
// Resets the class table and the security, for tests.
void CoResetForTests();
