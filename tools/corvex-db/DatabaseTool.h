#pragma once
// Creating, upgrading, checking and dropping a Corvex database from the SQL of database/.
// Shared by the corvex-db command, the tests and anything else that needs a database.
#include "tools/corvex-db/Catalogue.h"
#include "tools/corvex-db/PgConnection.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvexdb {

// The interface version this database code offers; the service requires major version 8.
constexpr int kInterfaceMajorVersion = 8;
constexpr int kInterfaceMinorVersion = 0;

// The SQL to apply: the copy built into the program, or the files of a database/ directory.
class SqlSource {
public:
    using File = std::pair<std::string, std::string>;  // path relative to database/, text

    static SqlSource Embedded();
    static SqlSource FromDirectory(const std::string& directory);  // throws DbError

    const std::vector<File>& Migrations() const { return m_migrations; }  // schema/, name order
    const std::vector<File>& Procedures() const { return m_procedures; }  // procedures/, name order
    const std::string& Version() const { return m_version; }
    const std::string& Catalogue() const { return m_catalogue; }

private:
    void Add(const std::string& path, std::string text);

    std::vector<File> m_migrations;
    std::vector<File> m_procedures;
    std::string m_version;
    std::string m_catalogue;
};

struct UpgradeReport {
    std::vector<std::string> appliedMigrations;
    int procedureFiles = 0;
};

struct CheckReport {
    std::vector<std::string> problems;
    int proceduresChecked = 0;
    std::optional<int> majorVersion;
    std::optional<int> minorVersion;
    bool Ok() const { return problems.empty(); }
};

// A database name: 1 to 63 letters, digits, "_" or "-". Throws DbError otherwise.
void ValidateDatabaseName(const std::string& name);

bool DatabaseExists(const ConnectionOptions& options, const std::string& name);

// Creates the database and installs everything; on failure the new database is dropped again.
UpgradeReport CreateDatabase(const ConnectionOptions& options, const std::string& name,
                             const SqlSource& sql = SqlSource::Embedded());

// In one transaction: applies the schema steps the database lacks, re-creates every procedure
// and sets the interface version. Works on an empty database too.
UpgradeReport UpgradeDatabase(PgConnection& conn, const SqlSource& sql = SqlSource::Embedded());

// Every catalogue procedure exists once with the catalogue's parameters, every schema step is
// applied, and GetInterfaceVersion answers 0 with major version 8.
CheckReport CheckDatabase(PgConnection& conn, const SqlSource& sql = SqlSource::Embedded());

// Drops a Corvex database. Without force, a database that holds no Corvex schema is refused and
// one with open sessions fails; with force both are dropped.
void DropDatabase(const ConnectionOptions& options, const std::string& name, bool force = false);

// A database of a unique name, created with everything installed and dropped (ending any
// session still on it) when the object goes away. For tests and benchmarks.
class ScratchDatabase {
public:
    explicit ScratchDatabase(const std::string& prefix = "corvex_test", ConnectionOptions options = {});
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    const std::string& Name() const { return m_name; }
    const ConnectionOptions& Options() const { return m_options; }
    PgConnection Connect() const { return PgConnection(m_options, m_name); }

private:
    ConnectionOptions m_options;
    std::string m_name;
};

}  // namespace corvexdb
