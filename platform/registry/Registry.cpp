#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "platform/text/Unicode.h"

struct RegHandle
{
  int root;
  std::vector<std::wstring> path;  // lower-case components
  REGSAM access;
  bool predefined;
};

namespace {

RegHandle g_hkcr{0, {}, KEY_ALL_ACCESS, true};
RegHandle g_hklm{1, {}, KEY_ALL_ACCESS, true};
const wchar_t* const kRootNames[] = {L"HKEY_CLASSES_ROOT", L"HKEY_LOCAL_MACHINE"};
const char* const kHeader = "Windows Registry Editor Version 5.00";

std::wstring Lower(std::wstring s)
{
  for (auto& c : s)
    c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return s;
}

struct Value
{
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key
{
  std::wstring name;
  std::map<std::wstring, std::unique_ptr<Key>> subkeys;  // by lower-case name
  std::map<std::wstring, Value> values;                  // by lower-case name
};

std::vector<BYTE> Utf16Bytes(const std::wstring& s, bool terminate)
{
  std::u16string u = ToUtf16(s);
  if (terminate)
    u.push_back(u'\0');
  std::vector<BYTE> out;
  out.reserve(u.size() * 2);
  for (char16_t c : u) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
  return out;
}

// The text of a terminated UTF-16LE string value; false when the data is not one.
bool TextOf(const std::vector<BYTE>& data, std::wstring& out)
{
  if (data.size() < 2 || data.size() % 2 != 0)
    return false;
  std::u16string u;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2)
    u.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  if (u.back() != u'\0')
    return false;
  u.pop_back();
  out = FromUtf16(u);
  return true;
}

std::vector<std::wstring> SplitPath(const wchar_t* subKey, bool& bad)
{
  std::vector<std::wstring> parts;
  bad = false;
  if (!subKey)
    return parts;
  std::wstring cur;
  for (const wchar_t* p = subKey;; ++p) {
    if (*p == L'\\' || *p == L'\0') {
      if (!cur.empty())
        parts.push_back(cur);
      cur.clear();
      if (*p == L'\0')
        break;
    } else {
      cur += *p;
    }
  }
  for (const auto& part : parts)
    if (part.size() > 255)
      bad = true;
  return parts;
}

struct Stamp
{
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime{};
  bool operator==(const Stamp& o) const
  {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

class Store
{
public:
  std::mutex mutex;
  std::string loadError;

  // Brings the tree up to date with the file. False when the file is malformed or unreadable.
  bool Refresh()
  {
    const std::string path = RegFilePath();
    struct stat st{};
    Stamp now;
    if (::stat(path.c_str(), &st) == 0) {
      now.dev = st.st_dev;
      now.ino = st.st_ino;
      now.size = st.st_size;
      now.mtime = st.st_mtim;
    }
    if (m_loaded && path == m_path && now == m_stamp)
      return loadError.empty();
    m_path = path;
    m_stamp = now;
    m_loaded = true;
    loadError.clear();
    for (auto& r : m_roots) {
      r.subkeys.clear();
      r.values.clear();
    }
    if (now.size < 0)
      return true;  // no file yet: an empty registry
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) {
      loadError = "registry file " + path + ": " + std::strerror(errno);
      return false;
    }
    std::string text;
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
      text.append(buf, n);
    std::fclose(f);
    try {
      for (const auto& k : ParseRegText(text)) {
        Key* key = Build(k.path);
        for (const auto& v : k.values)
          key->values[Lower(v.name)] = Value{v.name, v.type, v.data};
      }
    } catch (const std::exception& e) {
      loadError = "registry file " + path + ": " + e.what();
      for (auto& r : m_roots) {
        r.subkeys.clear();
        r.values.clear();
      }
      return false;
    }
    return true;
  }

  bool Writable() const
  {
    struct stat st{};
    if (::stat(m_path.c_str(), &st) == 0)
      return (st.st_mode & 0222) != 0 && ::access(m_path.c_str(), W_OK) == 0;
    const auto slash = m_path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : m_path.substr(0, slash);
    return ::access(dir.c_str(), W_OK) == 0;
  }

  Key* Find(int root, const std::vector<std::wstring>& path)
  {
    Key* k = &m_roots[root];
    for (const auto& part : path) {
      auto it = k->subkeys.find(Lower(part));
      if (it == k->subkeys.end())
        return nullptr;
      k = it->second.get();
    }
    return k;
  }

  Key* Create(int root, const std::vector<std::wstring>& path, bool& created)
  {
    Key* k = &m_roots[root];
    created = false;
    for (const auto& part : path) {
      auto& slot = k->subkeys[Lower(part)];
      if (!slot) {
        slot = std::make_unique<Key>();
        slot->name = part;
        created = true;
      }
      k = slot.get();
    }
    return k;
  }

  // Writes the whole tree to a temporary file and renames it over the registry file.
  LONG Save()
  {
    std::vector<RegKeyText> keys;
    for (int r = 0; r < 2; ++r)
      Flatten(m_roots[r], kRootNames[r], keys);
    const std::string text = FormatRegText(keys);
    const std::string tmp = m_path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
      return ERROR_ACCESS_DENIED;
    struct stat old{};
    if (::stat(m_path.c_str(), &old) == 0)
      ::fchmod(fd, old.st_mode & 07777);
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
      if (w < 0) {
        if (errno == EINTR)
          continue;
        ::close(fd);
        ::unlink(tmp.c_str());
        return ERROR_ACCESS_DENIED;
      }
      done += static_cast<std::size_t>(w);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), m_path.c_str()) != 0) {
      ::unlink(tmp.c_str());
      return ERROR_ACCESS_DENIED;
    }
    const auto slash = m_path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : m_path.substr(0, slash);
    if (const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    struct stat st{};
    if (::stat(m_path.c_str(), &st) == 0)
      m_stamp = Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return ERROR_SUCCESS;
  }

  const std::string& Path() const { return m_path; }

private:
  Key* Build(const std::wstring& fullPath)
  {
    bool bad = false;
    auto parts = SplitPath(fullPath.c_str(), bad);
    const std::wstring root = parts.empty() ? L"" : Lower(parts.front());
    int r = root == L"hkey_classes_root" ? 0 : root == L"hkey_local_machine" ? 1 : -1;
    if (r < 0 || bad)
      throw std::runtime_error("unknown root or bad key path");
    parts.erase(parts.begin());
    bool created;
    return Create(r, parts, created);
  }

  static void Flatten(const Key& k, const std::wstring& path, std::vector<RegKeyText>& out)
  {
    // Every key below a root gets a section, so that empty keys survive; a root only when it has values.
    if (path.find(L'\\') != std::wstring::npos || !k.values.empty()) {
      RegKeyText t{path, {}};
      for (const auto& [lower, v] : k.values)
        t.values.push_back({v.name, v.type, v.data});
      out.push_back(std::move(t));
    }
    for (const auto& [lower, sub] : k.subkeys)
      Flatten(*sub, path + L"\\" + sub->name, out);
  }

  Key m_roots[2];
  std::string m_path;
  Stamp m_stamp;
  bool m_loaded = false;
};

Store& TheStore()
{
  static Store* s = new Store;  // lives to the end of the process; handles may outlive statics
  return *s;
}

// Holds the cross-process lock on the registry file for one change.
class FileLock
{
public:
  explicit FileLock(const std::string& path) : m_fd(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
  {
    if (m_fd >= 0)
      while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~FileLock()
  {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  bool Held() const { return m_fd >= 0; }

private:
  int m_fd;
};

constexpr REGSAM kWriteBits = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

bool ValidHandle(HKEY h) { return h != nullptr; }

template <class Fn>
LONG Read(HKEY key, Fn fn)
{
  if (!ValidHandle(key))
    return ERROR_INVALID_HANDLE;
  Store& s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.Refresh())
    return ERROR_INVALID_DATA;
  Key* k = s.Find(key->root, key->path);
  if (!k)
    return ERROR_KEY_DELETED;
  return fn(s, *k);
}

// Runs a change under the file lock; fn returns the result and sets changed when it changed something.
template <class Fn>
LONG Write(HKEY key, Fn fn)
{
  if (!ValidHandle(key))
    return ERROR_INVALID_HANDLE;
  Store& s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.Refresh();
  FileLock fileLock(s.Path());
  if (!fileLock.Held())
    return ERROR_ACCESS_DENIED;
  if (!s.Refresh())
    return ERROR_INVALID_DATA;
  if (!key->predefined && !(key->access & kWriteBits))
    return ERROR_ACCESS_DENIED;
  if (!s.Writable())
    return ERROR_ACCESS_DENIED;
  Key* k = s.Find(key->root, key->path);
  if (!k)
    return ERROR_KEY_DELETED;
  bool changed = false;
  const LONG r = fn(s, *k, changed);
  if (r == ERROR_SUCCESS && changed)
    return s.Save();
  return r;
}

std::wstring NameOf(const wchar_t* name) { return name ? std::wstring(name) : std::wstring(); }

}  // namespace

const HKEY HKEY_CLASSES_ROOT = &g_hkcr;
const HKEY HKEY_LOCAL_MACHINE = &g_hklm;

std::string RegFilePath()
{
  const char* env = std::getenv("CORVEX_REGISTRY");
  return env && *env ? env : "/etc/corvex/registry.reg";
}

std::string RegLastLoadError()
{
  Store& s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.Refresh();
  return s.loadError;
}

LONG RegOpenKeyEx(HKEY parent, const wchar_t* subKey, DWORD, REGSAM access, HKEY* result)
{
  if (!result)
    return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  bool bad;
  auto parts = SplitPath(subKey, bad);
  if (bad)
    return ERROR_INVALID_PARAMETER;
  return Read(parent, [&](Store& s, Key&) -> LONG {
    std::vector<std::wstring> path = parent->path;
    for (auto& p : parts)
      path.push_back(Lower(p));
    if (!s.Find(parent->root, path))
      return ERROR_FILE_NOT_FOUND;
    if ((access & kWriteBits) && !s.Writable())
      return ERROR_ACCESS_DENIED;
    *result = new RegHandle{parent->root, std::move(path), access, false};
    return ERROR_SUCCESS;
  });
}

LONG RegCreateKeyEx(HKEY parent, const wchar_t* subKey, REGSAM access, HKEY* result, DWORD* disposition)
{
  if (!result)
    return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  bool bad;
  auto parts = SplitPath(subKey, bad);
  if (bad)
    return ERROR_INVALID_PARAMETER;
  if (!ValidHandle(parent))
    return ERROR_INVALID_HANDLE;
  RegHandle asWriter = *parent;
  asWriter.access |= KEY_CREATE_SUB_KEY;
  return Write(&asWriter, [&](Store& s, Key&, bool& changed) -> LONG {
    std::vector<std::wstring> path = parent->path;
    for (auto& p : parts)
      path.push_back(Lower(p));
    bool created = false;
    Key* k = s.Find(parent->root, parent->path);
    for (auto& p : parts) {
      auto& slot = k->subkeys[Lower(p)];
      if (!slot) {
        slot = std::make_unique<Key>();
        slot->name = p;
        created = true;
      }
      k = slot.get();
    }
    changed = created;
    if (disposition)
      *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = new RegHandle{parent->root, std::move(path), access, false};
    return ERROR_SUCCESS;
  });
}

LONG RegCloseKey(HKEY key)
{
  if (!key)
    return ERROR_INVALID_HANDLE;
  if (!key->predefined)
    delete key;
  return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* cbData)
{
  if (data && !cbData)
    return ERROR_INVALID_PARAMETER;
  return Read(key, [&](Store&, Key& k) -> LONG {
    auto it = k.values.find(Lower(NameOf(name)));
    if (it == k.values.end())
      return ERROR_FILE_NOT_FOUND;
    const Value& v = it->second;
    if (type)
      *type = v.type;
    if (!cbData)
      return ERROR_SUCCESS;
    const auto need = static_cast<DWORD>(v.data.size());
    if (data && *cbData < need) {
      *cbData = need;
      return ERROR_MORE_DATA;
    }
    if (data && need)
      std::memcpy(data, v.data.data(), need);
    *cbData = need;
    return ERROR_SUCCESS;
  });
}

LONG RegSetValueEx(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD cbData)
{
  if (!data && cbData)
    return ERROR_INVALID_PARAMETER;
  if (key && !key->predefined && !(key->access & KEY_SET_VALUE))
    return ERROR_ACCESS_DENIED;
  return Write(key, [&](Store&, Key& k, bool& changed) -> LONG {
    Value v{NameOf(name), type, std::vector<BYTE>(data, data + cbData)};
    k.values[Lower(v.name)] = std::move(v);
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValue(HKEY key, const wchar_t* name)
{
  return Write(key, [&](Store&, Key& k, bool& changed) -> LONG {
    changed = k.values.erase(Lower(NameOf(name))) > 0;
    return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

namespace {
LONG DeleteSub(HKEY parent, const wchar_t* subKey, bool tree)
{
  bool bad;
  auto parts = SplitPath(subKey, bad);
  if (bad || (parts.empty() && !tree))
    return ERROR_INVALID_PARAMETER;
  if (!ValidHandle(parent))
    return ERROR_INVALID_HANDLE;
  RegHandle asWriter = *parent;
  asWriter.access |= KEY_SET_VALUE;
  return Write(&asWriter, [&](Store& s, Key& base, bool& changed) -> LONG {
    if (parts.empty()) {  // RegDeleteTree with no subkey empties the key itself
      changed = !base.subkeys.empty() || !base.values.empty();
      base.subkeys.clear();
      base.values.clear();
      return ERROR_SUCCESS;
    }
    std::vector<std::wstring> parentPath = parent->path;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i)
      parentPath.push_back(Lower(parts[i]));
    Key* p = s.Find(parent->root, parentPath);
    if (!p)
      return ERROR_FILE_NOT_FOUND;
    auto it = p->subkeys.find(Lower(parts.back()));
    if (it == p->subkeys.end())
      return ERROR_FILE_NOT_FOUND;
    if (!tree && !it->second->subkeys.empty())
      return ERROR_ACCESS_DENIED;
    p->subkeys.erase(it);
    changed = true;
    return ERROR_SUCCESS;
  });
}
}  // namespace

LONG RegDeleteKey(HKEY parent, const wchar_t* subKey) { return DeleteSub(parent, subKey, false); }
LONG RegDeleteTree(HKEY parent, const wchar_t* subKey) { return DeleteSub(parent, subKey, true); }

LONG RegEnumKeyEx(HKEY key, DWORD index, std::wstring* name)
{
  if (!name)
    return ERROR_INVALID_PARAMETER;
  return Read(key, [&](Store&, Key& k) -> LONG {
    if (index >= k.subkeys.size())
      return ERROR_NO_MORE_ITEMS;
    auto it = k.subkeys.begin();
    std::advance(it, index);
    *name = it->second->name;
    return ERROR_SUCCESS;
  });
}

LONG RegEnumValue(HKEY key, DWORD index, std::wstring* name, DWORD* type)
{
  if (!name)
    return ERROR_INVALID_PARAMETER;
  return Read(key, [&](Store&, Key& k) -> LONG {
    if (index >= k.values.size())
      return ERROR_NO_MORE_ITEMS;
    auto it = k.values.begin();
    std::advance(it, index);
    *name = it->second.name;
    if (type)
      *type = it->second.type;
    return ERROR_SUCCESS;
  });
}

// ---- CRegKey ----------------------------------------------------------------

LONG CRegKey::Open(HKEY parent, const wchar_t* name, REGSAM access)
{
  HKEY k = nullptr;
  const LONG r = RegOpenKeyEx(parent, name, 0, access, &k);
  if (r == ERROR_SUCCESS) {
    Close();
    m_hKey = k;
  }
  return r;
}

LONG CRegKey::Create(HKEY parent, const wchar_t* name, REGSAM access, DWORD* disposition)
{
  HKEY k = nullptr;
  const LONG r = RegCreateKeyEx(parent, name, access, &k, disposition);
  if (r == ERROR_SUCCESS) {
    Close();
    m_hKey = k;
  }
  return r;
}

LONG CRegKey::Close()
{
  LONG r = ERROR_SUCCESS;
  if (m_hKey)
    r = RegCloseKey(m_hKey);
  m_hKey = nullptr;
  return r;
}

LONG CRegKey::QueryValueType(const wchar_t* name, DWORD& type) const
{
  return RegQueryValueEx(m_hKey, name, &type, nullptr, nullptr);
}

LONG CRegKey::QueryStringValue(const wchar_t* name, std::wstring& value) const
{
  std::vector<BYTE> data;
  DWORD type = 0;
  const LONG r = QueryBinaryValue(name, data);
  if (r != ERROR_SUCCESS)
    return r;
  QueryValueType(name, type);
  if (type != REG_SZ && type != REG_EXPAND_SZ)
    return ERROR_INVALID_DATA;
  return TextOf(data, value) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKey::QueryDWORDValue(const wchar_t* name, DWORD& value) const
{
  DWORD type = 0, cb = sizeof(DWORD);
  BYTE buf[sizeof(DWORD)];
  const LONG r = RegQueryValueEx(m_hKey, name, &type, buf, &cb);
  if (r == ERROR_MORE_DATA)
    return ERROR_INVALID_DATA;
  if (r != ERROR_SUCCESS)
    return r;
  if (type != REG_DWORD || cb != sizeof(DWORD))
    return ERROR_INVALID_DATA;
  value = static_cast<DWORD>(buf[0] | (buf[1] << 8) | (buf[2] << 16) | (static_cast<DWORD>(buf[3]) << 24));
  return ERROR_SUCCESS;
}

LONG CRegKey::QueryBinaryValue(const wchar_t* name, std::vector<BYTE>& value) const
{
  for (;;) {
    DWORD cb = 0;
    LONG r = RegQueryValueEx(m_hKey, name, nullptr, nullptr, &cb);
    if (r != ERROR_SUCCESS)
      return r;
    value.resize(cb);
    r = RegQueryValueEx(m_hKey, name, nullptr, value.data(), &cb);
    if (r == ERROR_MORE_DATA)
      continue;  // changed in between
    if (r == ERROR_SUCCESS)
      value.resize(cb);
    return r;
  }
}

LONG CRegKey::SetStringValue(const wchar_t* name, const std::wstring& value, DWORD type)
{
  if (type != REG_SZ && type != REG_EXPAND_SZ)
    return ERROR_INVALID_PARAMETER;
  const auto bytes = Utf16Bytes(value, true);
  return RegSetValueEx(m_hKey, name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

LONG CRegKey::SetDWORDValue(const wchar_t* name, DWORD value)
{
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                         static_cast<BYTE>(value >> 24)};
  return RegSetValueEx(m_hKey, name, REG_DWORD, bytes, 4);
}

LONG CRegKey::SetBinaryValue(const wchar_t* name, const std::vector<BYTE>& value)
{
  return RegSetValueEx(m_hKey, name, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
}

LONG CRegKey::DeleteValue(const wchar_t* name) { return RegDeleteValue(m_hKey, name); }
LONG CRegKey::DeleteSubKey(const wchar_t* name) { return RegDeleteKey(m_hKey, name); }
LONG CRegKey::RecurseDeleteKey(const wchar_t* name) { return RegDeleteTree(m_hKey, name); }
LONG CRegKey::EnumKey(DWORD index, std::wstring& name) const { return RegEnumKeyEx(m_hKey, index, &name); }
