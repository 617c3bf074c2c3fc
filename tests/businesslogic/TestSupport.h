#pragma once
// Test support: a scratch database made from database/ (dropped at the end) with room for
// extra test procedures, and a registry file of our own holding the database location.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry/Registry.h"
#include "tools/corvex-db/DatabaseTool.h"

namespace testsupport {

class TempRegistry
{
public:
  TempRegistry()
  {
    char tmpl[] = "/tmp/corvex-bl-XXXXXX";
    m_dir = ::mkdtemp(tmpl);
    ::setenv("CORVEX_REGISTRY", (m_dir + "/registry.reg").c_str(), 1);
  }
  ~TempRegistry()
  {
    ::unsetenv("CORVEX_REGISTRY");
    std::filesystem::remove_all(m_dir);
  }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  void SetLocation(const std::wstring& server, const std::wstring& instance, const std::wstring& database)
  {
    Set(L"ServerLocation", server);
    Set(L"DatabaseInstance", instance);
    Set(L"DatabaseName", database);
  }
  void Set(const wchar_t* name, const std::wstring& value)
  {
    CRegKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"Software\\Corvex\\KT\\Management Tools");
    key.SetStringValue(name, value);
  }
  void SetDword(const wchar_t* name, DWORD value)
  {
    CRegKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"Software\\Corvex\\KT\\Management Tools");
    key.SetDWORDValue(name, value);
  }
  void Remove(const wchar_t* name)
  {
    CRegKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"Software\\Corvex\\KT\\Management Tools");
    key.DeleteValue(name);
  }
  const std::string& Dir() const { return m_dir; }

private:
  std::string m_dir;
};

// A database with everything of database/ installed, plus whatever a test adds.
class TestDatabase
{
public:
  TestDatabase() : m_db("corvex_bl"), m_admin(m_db.Connect()) {}
  const std::string& Name() const { return m_db.Name(); }
  std::wstring WideName() const { return std::wstring(Name().begin(), Name().end()); }
  corvexdb::PgResult Exec(const std::string& sql) { return m_admin.Exec(sql); }
  // Ends every other session on the database, as a server restart would.
  void DropOtherSessions()
  {
    m_admin.Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() AND pid <> pg_backend_pid()");
  }
  void SetInterfaceVersion(int major, int minor)
  {
    m_admin.Exec("UPDATE dbo.\"InterfaceVersion\" SET \"MajorVersion\" = " + std::to_string(major) + ", \"MinorVersion\" = " +
                 std::to_string(minor));
  }

private:
  corvexdb::ScratchDatabase m_db;
  corvexdb::PgConnection m_admin;
};

}  // namespace testsupport
