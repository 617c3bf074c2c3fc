#pragma once
// Test support: a scratch database made from database/ (dropped at the end) with room for
// extra test procedures, and a registry file of our own holding the database location.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"
#include "tools/corvex-db/DatabaseTool.h"

namespace testsupport {

// Procedures the tests call besides those of database/.
inline const char* const kTestProcedures = R"SQL(
CREATE FUNCTION dbo."TestEcho"(
    OUT "@RETURN_VALUE" integer, "@I" integer, "@T" dbo.nvarchar_255, "@D" timestamp, "@N" numeric,
    "@B" boolean, "@U" bigint, OUT "@OI" integer, OUT "@OT" dbo.nvarchar_255, OUT "@OD" timestamp,
    OUT "@ON" numeric, OUT "@OB" boolean, OUT "@OU" bigint)
LANGUAGE plpgsql AS $$
BEGIN
  "@OI" := "@I"; "@OT" := "@T"; "@OD" := "@D"; "@ON" := "@N"; "@OB" := "@B"; "@OU" := "@U";
  "@RETURN_VALUE" := coalesce("@I", -1);
END $$;

CREATE FUNCTION dbo."TestRows"(OUT "@RETURN_VALUE" integer, "@Count" integer, OUT "@RowSet" refcursor)
LANGUAGE plpgsql AS $$
BEGIN
  IF "@Count" >= 0 THEN
    OPEN "@RowSet" FOR SELECT g AS "ID", 'name ' || g AS "Name", CASE WHEN g % 2 = 0 THEN NULL ELSE g * 10 END AS "Tens"
      FROM generate_series(1, "@Count") g;
  END IF;
  "@RETURN_VALUE" := 3;
END $$;

CREATE TABLE dbo."TestParent" (id integer PRIMARY KEY);
CREATE TABLE dbo."TestChild" (parent integer REFERENCES dbo."TestParent" DEFERRABLE INITIALLY DEFERRED);
CREATE FUNCTION dbo."TestDeferredViolation"(OUT "@RETURN_VALUE" integer, "@Value" integer)
LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO dbo."TestChild" VALUES (12345);
  "@RETURN_VALUE" := "@Value";
END $$;

CREATE FUNCTION dbo."TestSleep"(OUT "@RETURN_VALUE" integer, "@Seconds" integer)
LANGUAGE plpgsql AS $$ BEGIN PERFORM pg_sleep("@Seconds"); "@RETURN_VALUE" := 0; END $$;

CREATE FUNCTION dbo."TestNoReturn"("@A" integer, OUT "@B" integer)
LANGUAGE plpgsql AS $$ BEGIN "@B" := "@A" + 1; END $$;

CREATE FUNCTION dbo."TestReturn"(OUT "@RETURN_VALUE" integer, "@Value" integer)
LANGUAGE plpgsql AS $$ BEGIN "@RETURN_VALUE" := "@Value"; END $$;

CREATE FUNCTION dbo."TestNarrow"(OUT "@RETURN_VALUE" integer, "@In" text, OUT "@Out" text)
LANGUAGE plpgsql AS $$ BEGIN "@Out" := "@In" || "@In"; "@RETURN_VALUE" := length("@In"); END $$;
)SQL";

// Captures every trace line (all levels) while it lives.
class TraceCapture
{
public:
  TraceCapture() : m_level(trace::Level())
  {
    trace::SetLevel(3);
    trace::SetCapture([this](int level, const GUID&, const std::string& text) {
      std::lock_guard lock(m_mutex);
      m_lines.emplace_back(level, text);
    });
  }
  ~TraceCapture()
  {
    trace::SetCapture(nullptr);
    trace::SetLevel(m_level);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  bool Has(int level, const std::string& text)
  {
    std::lock_guard lock(m_mutex);
    for (const auto& [l, t] : m_lines)
      if (l == level && t.find(text) != std::string::npos)
        return true;
    return false;
  }

private:
  int m_level;
  std::mutex m_mutex;
  std::vector<std::pair<int, std::string>> m_lines;
};

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
