#pragma once
// The setting of the data-access benchmarks: a scratch database made from database/ and seeded
// (with SQL of the benchmark's own, or with a fleet of computers as `corvex-db seed` makes it),
// registered as the service's database (in a registry file of the benchmark's own), the business
// layer's connection to it, and a raw libpq connection to the same database beside it.
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "businesslogic/DatabaseConnection.h"
#include "platform/registry/Registry.h"
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvex-db/Seed.h"

struct BenchDatabase
{
  std::string registryDir;
  std::unique_ptr<corvexdb::ScratchDatabase> db;
  std::unique_ptr<CDatabaseConnection> conn;
  PGconn* raw = nullptr;

  BenchDatabase(const char* name, const std::string& seedSql) { Open(name, seedSql); }
  // `computers` computers in 1,000 groups, with every column a real network fills, and `alerts`
  // alerts spread over them.
  BenchDatabase(const char* name, int computers, int alerts = 0)
  {
    Open(name, "");
    corvexdb::PgConnection seeding = db->Connect();
    corvexdb::SeedFleet(seeding, {computers, alerts});
  }
  ~BenchDatabase()
  {
    PQfinish(raw);
    conn.reset();
    db.reset();
    std::filesystem::remove_all(registryDir);
  }
  BenchDatabase(const BenchDatabase&) = delete;
  BenchDatabase& operator=(const BenchDatabase&) = delete;

  // Prepares a statement on the raw connection.
  void Prepare(const char* statement, const std::string& sql, int parameters)
  {
    PQclear(PQprepare(raw, statement, sql.c_str(), parameters, nullptr));
  }

private:
  void Open(const char* name, const std::string& seedSql)
  {
    char tmpl[] = "/tmp/corvex-bench-XXXXXX";
    registryDir = ::mkdtemp(tmpl);
    ::setenv("CORVEX_REGISTRY", (registryDir + "/registry.reg").c_str(), 1);
    db = std::make_unique<corvexdb::ScratchDatabase>(name);
    db->Connect().Exec(seedSql);
    CRegKey key;
    key.Create(HKEY_LOCAL_MACHINE, L"Software\\Corvex\\KT\\Management Tools");
    key.SetStringValue(L"ServerLocation", L".");
    key.SetStringValue(L"DatabaseInstance", L"");
    key.SetStringValue(L"DatabaseName", std::wstring(db->Name().begin(), db->Name().end()));
    conn = std::make_unique<CDatabaseConnection>();
    raw = PQconnectdb(("host=/var/run/postgresql dbname=" + db->Name()).c_str());
    if (PQstatus(raw) != CONNECTION_OK)
      throw std::runtime_error(PQerrorMessage(raw));
  }
};
