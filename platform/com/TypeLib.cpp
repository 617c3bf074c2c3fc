#include "platform/com/TypeLib.h"

#include <cstdio>
#include <fstream>

#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

HRESULT LoadTypeLib(const std::string& path, TypeLibInfo& out)
{
  std::ifstream f(path);
  if (!f)
    return TYPE_E_CANTLOADLIBRARY;
  std::string line;
  if (!std::getline(f, line) || line != "corvex-typelib 1")
    return TYPE_E_CANTLOADLIBRARY;
  bool haveId = false, haveVersion = false;
  TypeLibInfo info;
  while (std::getline(f, line)) {
    const auto sp = line.find(' ');
    const std::string key = line.substr(0, sp), value = sp == std::string::npos ? "" : line.substr(sp + 1);
    if (key == "libid") {
      auto g = GuidFromString(std::string_view(value));
      if (!g)
        return TYPE_E_CANTLOADLIBRARY;
      info.libid = *g;
      haveId = true;
    } else if (key == "version") {
      unsigned ma = 0, mi = 0;
      if (std::sscanf(value.c_str(), "%u.%u", &ma, &mi) != 2 || ma > 0xFFFF || mi > 0xFFFF)
        return TYPE_E_CANTLOADLIBRARY;
      info.major = static_cast<unsigned short>(ma);
      info.minor = static_cast<unsigned short>(mi);
      haveVersion = true;
    } else if (key == "name") {
      info.name = FromUtf8(value);
    }
  }
  if (!haveId || !haveVersion)
    return TYPE_E_CANTLOADLIBRARY;
  info.path = path;
  out = info;
  return S_OK;
}

namespace {
std::wstring VersionKey(const GUID& libid, unsigned short major, unsigned short minor)
{
  wchar_t v[32];
  std::swprintf(v, 32, L"%x.%x", major, minor);
  return L"TypeLib\\" + GuidToWString(libid) + L"\\" + v;
}
}  // namespace

HRESULT RegisterTypeLib(const TypeLibInfo& lib)
{
  const std::wstring key = VersionKey(lib.libid, lib.major, lib.minor);
  const auto slash = lib.path.rfind('/');
  const std::wstring dir = FromUtf8(slash == std::string::npos ? "." : lib.path.substr(0, slash));
  CRegKey k, platform, flags, help;
  LONG r = k.Create(HKEY_CLASSES_ROOT, key.c_str());
  if (r == ERROR_SUCCESS) r = k.SetStringValue(nullptr, lib.name);
  if (r == ERROR_SUCCESS) r = platform.Create(k, L"0\\linux");
  if (r == ERROR_SUCCESS) r = platform.SetStringValue(nullptr, FromUtf8(lib.path));
  if (r == ERROR_SUCCESS) r = flags.Create(k, L"FLAGS");
  if (r == ERROR_SUCCESS) r = flags.SetStringValue(nullptr, L"0");
  if (r == ERROR_SUCCESS) r = help.Create(k, L"HELPDIR");
  if (r == ERROR_SUCCESS) r = help.SetStringValue(nullptr, dir);
  return r == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(r);
}

HRESULT UnRegisterTypeLib(const GUID& libid, unsigned short major, unsigned short minor)
{
  LONG r = RegDeleteTree(HKEY_CLASSES_ROOT, VersionKey(libid, major, minor).c_str());
  if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
    return HRESULT_FROM_WIN32(r);
  // The library's own key goes with its last version.
  const std::wstring libKey = L"TypeLib\\" + GuidToWString(libid);
  CRegKey k;
  std::wstring sub;
  if (k.Open(HKEY_CLASSES_ROOT, libKey.c_str(), KEY_READ) == ERROR_SUCCESS && k.EnumKey(0, sub) == ERROR_NO_MORE_ITEMS) {
    k.Close();
    r = RegDeleteTree(HKEY_CLASSES_ROOT, libKey.c_str());
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
      return HRESULT_FROM_WIN32(r);
  }
  return S_OK;
}
