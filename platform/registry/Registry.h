#pragma once
// The registry: hierarchical keys under HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT with typed
// values (REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY), the platform's API and error codes
// (2 not found, 5 access denied, 13 invalid data), persisted as one text file in the .reg export
// syntax (UTF-8) so that administrators can read and edit it.
//
// The file is $CORVEX_REGISTRY, else /etc/corvex/registry.reg. Every call sees the file's current
// contents (it is re-read when it changed); every change is written to a temporary file and
// renamed over the old one, under an exclusive lock, so a crash never leaves half a file and
// processes sharing the file do not lose each other's changes. Opening for write succeeds only
// when this process may write the file: a file without any write permission bit is read-only,
// even for root. A malformed file is never rewritten: every call fails with ERROR_INVALID_DATA
// and RegLastLoadError() names the line.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

struct RegHandle;
using HKEY = RegHandle*;
using REGSAM = DWORD;

extern const HKEY HKEY_CLASSES_ROOT;
extern const HKEY HKEY_LOCAL_MACHINE;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
constexpr LONG ERROR_KEY_DELETED = 1018;

// Raw API. String data is UTF-16LE bytes with a terminating zero unit, as on the platform.
LONG RegOpenKeyEx(HKEY parent, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegCreateKeyEx(HKEY parent, const wchar_t* subKey, REGSAM access, HKEY* result, DWORD* disposition);
LONG RegCloseKey(HKEY key);
LONG RegQueryValueEx(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* cbData);
LONG RegSetValueEx(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD cbData);
LONG RegDeleteValue(HKEY key, const wchar_t* name);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some).
LONG RegDeleteKey(HKEY parent, const wchar_t* subKey);
// Deletes a key and all its subkeys.
LONG RegDeleteTree(HKEY parent, const wchar_t* subKey);
LONG RegEnumKeyEx(HKEY key, DWORD index, std::wstring* name);
LONG RegEnumValue(HKEY key, DWORD index, std::wstring* name, DWORD* type);

// The file the registry lives in, and the reason it was last refused (empty when it was not).
std::string RegFilePath();
std::string RegLastLoadError();

// An open key, closed when destroyed (the ATL registry key's interface on std::wstring).
class CRegKey
{
public:
  CRegKey() = default;
  ~CRegKey() { Close(); }
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;
  CRegKey(CRegKey&& o) noexcept : m_hKey(o.m_hKey) { o.m_hKey = nullptr; }

  LONG Open(HKEY parent, const wchar_t* name, REGSAM access = KEY_READ | KEY_WRITE);
  LONG Create(HKEY parent, const wchar_t* name, REGSAM access = KEY_READ | KEY_WRITE, DWORD* disposition = nullptr);
  LONG Close();
  HKEY Handle() const { return m_hKey; }
  operator HKEY() const { return m_hKey; }

  // ERROR_INVALID_DATA when the value is not text or not terminated; ERROR_FILE_NOT_FOUND when absent.
  LONG QueryStringValue(const wchar_t* name, std::wstring& value) const;
  // ERROR_INVALID_DATA when the value is not a 4-byte REG_DWORD.
  LONG QueryDWORDValue(const wchar_t* name, DWORD& value) const;
  LONG QueryBinaryValue(const wchar_t* name, std::vector<BYTE>& value) const;
  LONG QueryValueType(const wchar_t* name, DWORD& type) const;
  LONG SetStringValue(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
  LONG SetDWORDValue(const wchar_t* name, DWORD value);
  LONG SetBinaryValue(const wchar_t* name, const std::vector<BYTE>& value);
  LONG DeleteValue(const wchar_t* name);
  LONG DeleteSubKey(const wchar_t* name);
  LONG RecurseDeleteKey(const wchar_t* name);
  LONG EnumKey(DWORD index, std::wstring& name) const;

private:
  HKEY m_hKey = nullptr;
};

// Parsing and writing of the file syntax, for tools and tests.
struct RegValueText
{
  std::wstring name;  // empty for the default value
  DWORD type;
  std::vector<BYTE> data;
};
struct RegKeyText
{
  std::wstring path;  // with the root name, "HKEY_LOCAL_MACHINE\Software\..."
  std::vector<RegValueText> values;
};
// Throws std::runtime_error naming the line on malformed text.
std::vector<RegKeyText> ParseRegText(const std::string& text);
std::string FormatRegText(const std::vector<RegKeyText>& keys);
