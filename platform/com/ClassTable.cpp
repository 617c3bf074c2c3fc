#include "platform/com/ClassTable.h"

#include <grp.h>
#include <pwd.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/text/Unicode.h"

namespace {

struct Entry
{
  CLSID clsid;
  CComPtr<IUnknown> factory;
  DWORD context;
  bool suspended;
};

struct Table
{
  std::mutex lock;
  std::map<DWORD, Entry> entries;
  DWORD nextCookie = 1;
  int apartments = 0;
  std::optional<SECURITY_DESCRIPTOR> security;
};

Table& TheTable()
{
  static Table* t = new Table;
  return *t;
}

}  // namespace

HRESULT CoInitializeEx(void*, DWORD)
{
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  return t.apartments++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  if (t.apartments > 0)
    --t.apartments;
}

HRESULT CoRegisterClassObject(const CLSID& clsid, IUnknown* factory, DWORD context, DWORD flags, DWORD* cookie)
{
  if (!factory || !cookie)
    return E_INVALIDARG;
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  *cookie = t.nextCookie++;
  t.entries.emplace(*cookie, Entry{clsid, CComPtr<IUnknown>(factory), context, (flags & REGCLS_SUSPENDED) != 0});
  return S_OK;
}

HRESULT CoResumeClassObjects()
{
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  for (auto& [cookie, e] : t.entries)
    e.suspended = false;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie)
{
  CComPtr<IUnknown> released;  // released outside the lock: the factory may call back in
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.lock);
    auto it = t.entries.find(cookie);
    if (it == t.entries.end())
      return CO_E_OBJNOTREG;
    released = it->second.factory;
    t.entries.erase(it);
  }
  return S_OK;
}

HRESULT CoGetClassObject(const CLSID& clsid, DWORD context, const IID& iid, void** out)
{
  if (!out)
    return E_POINTER;
  *out = nullptr;
  CComPtr<IUnknown> factory;
  {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.lock);
    for (auto& [cookie, e] : t.entries)
      if (e.clsid == clsid && !e.suspended && (e.context & context)) {
        factory = e.factory;
        break;
      }
  }
  if (!factory)
    return REGDB_E_CLASSNOTREG;
  return factory->QueryInterface(iid, out);
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid, void** out)
{
  if (!out)
    return E_POINTER;
  *out = nullptr;
  if (outer)
    return CLASS_E_NOAGGREGATION;
  CComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr))
    return hr;
  return factory->CreateInstance(nullptr, iid, out);
}

std::vector<CLSID> RegisteredClasses()
{
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  std::vector<CLSID> out;
  for (auto& [cookie, e] : t.entries)
    if (!e.suspended)
      out.push_back(e.clsid);
  return out;
}

LONG LookupAccountName(const std::wstring& name, std::string& sid)
{
  const std::string n = ToUtf8(name);
  std::vector<char> buf(16384);
  group g{};
  group* gr = nullptr;
  if (getgrnam_r(n.c_str(), &g, buf.data(), buf.size(), &gr) == 0 && gr) {
    sid = "S-1-22-2-" + std::to_string(gr->gr_gid);
    return ERROR_SUCCESS;
  }
  passwd p{};
  passwd* pw = nullptr;
  if (getpwnam_r(n.c_str(), &p, buf.data(), buf.size(), &pw) == 0 && pw) {
    sid = "S-1-22-1-" + std::to_string(pw->pw_uid);
    return ERROR_SUCCESS;
  }
  return ERROR_NONE_MAPPED;
}

HRESULT CoInitializeSecurity(const SECURITY_DESCRIPTOR* sd, LONG, DWORD, DWORD)
{
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  if (t.security)
    return RPC_E_TOO_LATE;
  t.security = sd ? *sd : SECURITY_DESCRIPTOR{};
  return S_OK;
}

const SECURITY_DESCRIPTOR* ProcessSecurity()
{
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.lock);
  return t.security ? &*t.security : nullptr;
}

void CoResetForTests()
{
  Table& t = TheTable();
  std::map<DWORD, Entry> old;
  {
    std::lock_guard<std::mutex> lock(t.lock);
    old.swap(t.entries);
    t.security.reset();
    t.apartments = 0;
  }
}
