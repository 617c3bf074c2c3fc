#include "tools/corvex-db/DatabaseTool.h"

#include "database/EmbeddedSql.h"
#include "tools/corvex-db/ProcedureCall.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace corvexdb {

namespace {

// Serialises concurrent upgrades of one database (advisory lock class of the procedures).
const char kUpgradeLock[] = "SELECT pg_advisory_xact_lock(1129271896, 0)";

const char kMigrationsTable[] =
    "CREATE SCHEMA IF NOT EXISTS dbo;"
    "CREATE TABLE IF NOT EXISTS dbo.\"SchemaMigrations\" ("
    " \"Name\" text PRIMARY KEY,"
    " \"Applied\" timestamptz NOT NULL DEFAULT now())";

// Views and functions of dbo that no schema object depends on: the procedure files re-create
// them, so an upgrade drops them first and leaves no stale overload behind.
const char kDroppableObjects[] =
    "SELECT 'VIEW ' || c.oid::regclass::text FROM pg_class c"
    "  JOIN pg_namespace n ON n.oid = c.relnamespace"
    " WHERE n.nspname = 'dbo' AND c.relkind = 'v'"
    " UNION ALL "
    "SELECT 'FUNCTION ' || p.oid::regprocedure::text FROM pg_proc p"
    "  JOIN pg_namespace n ON n.oid = p.pronamespace"
    " WHERE n.nspname = 'dbo' AND NOT EXISTS ("
    "   SELECT 1 FROM pg_depend d WHERE d.refclassid = 'pg_proc'::regclass"
    "      AND d.refobjid = p.oid AND d.deptype = 'n')";

const char kProcedureCounts[] =
    "SELECT p.proname::text, count(*) FROM pg_proc p"
    "  JOIN pg_namespace n ON n.oid = p.pronamespace AND n.nspname = 'dbo'"
    " GROUP BY p.proname";

const char kProcedureParameters[] =
    "SELECT p.proname::text, a.ordinal, COALESCE(a.name, ''), COALESCE(a.mode, 'i'),"
    "       format_type(a.type, NULL)"
    "  FROM pg_proc p"
    "  JOIN pg_namespace n ON n.oid = p.pronamespace AND n.nspname = 'dbo'"
    " CROSS JOIN LATERAL unnest(COALESCE(p.proallargtypes, p.proargtypes::oid[]),"
    "                           p.proargmodes::text[], p.proargnames)"
    "       WITH ORDINALITY AS a(type, mode, name, ordinal)"
    " ORDER BY 1, 2";

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DbError("Cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// "dbo.nvarchar_31" -> "nvarchar_31"; "timestamp without time zone" -> "timestamp".
std::string NormaliseType(std::string type) {
    if (type.rfind("dbo.", 0) == 0) type.erase(0, 4);
    if (type == "timestamp without time zone") type = "timestamp";
    return type;
}

struct ActualParameter {
    std::string name;
    bool output;
    std::string type;
};

std::string Describe(const ActualParameter& p) {
    return (p.output ? "out " : "") + p.name + " " + p.type;
}

void RunFile(PgConnection& conn, const SqlSource::File& file) {
    try {
        conn.Exec(file.second);
    } catch (const DbError& e) {
        throw DbError(file.first + ": " + e.what(), e.SqlState());
    }
}

}  // namespace

void SqlSource::Add(const std::string& path, std::string text) {
    if (path.rfind("schema/", 0) == 0) {
        m_migrations.emplace_back(path, std::move(text));
    } else if (path.rfind("procedures/", 0) == 0) {
        m_procedures.emplace_back(path, std::move(text));
    } else if (path == "version.sql") {
        m_version = std::move(text);
    } else if (path == "catalogue.txt") {
        m_catalogue = std::move(text);
    }
}

SqlSource SqlSource::Embedded() {
    SqlSource source;
    for (const SqlFile& file : EmbeddedSqlFiles()) source.Add(std::string(file.path), std::string(file.text));
    return source;
}

SqlSource SqlSource::FromDirectory(const std::string& directory) {
    namespace fs = std::filesystem;
    SqlSource source;
    std::vector<std::string> paths;
    for (const char* sub : {"schema", "procedures"}) {
        const fs::path dir = fs::path(directory) / sub;
        if (!fs::is_directory(dir)) throw DbError("No directory " + dir.string());
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().extension() == ".sql") paths.push_back(std::string(sub) + "/" + entry.path().filename().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    paths.push_back("version.sql");
    paths.push_back("catalogue.txt");
    for (const std::string& path : paths) source.Add(path, ReadFile(fs::path(directory) / path));
    return source;
}

void ValidateDatabaseName(const std::string& name) {
    const bool ok = !name.empty() && name.size() <= 63 &&
                    std::all_of(name.begin(), name.end(), [](unsigned char c) {
                        return std::isalnum(c) || c == '_' || c == '-';
                    });
    if (!ok) {
        throw DbError("Invalid database name \"" + name +
                      "\": use 1 to 63 letters, digits, \"_\" or \"-\"");
    }
}

bool DatabaseExists(const ConnectionOptions& options, const std::string& name) {
    PgConnection admin(options, options.maintenanceDatabase);
    return admin.Exec("SELECT 1 FROM pg_database WHERE datname = $1", {name}).Rows() == 1;
}

UpgradeReport CreateDatabase(const ConnectionOptions& options, const std::string& name, const SqlSource& sql) {
    ValidateDatabaseName(name);
    {
        PgConnection admin(options, options.maintenanceDatabase);
        admin.Exec("CREATE DATABASE " + admin.QuoteIdentifier(name) + " TEMPLATE template0 ENCODING 'UTF8'");
    }
    try {
        PgConnection conn(options, name);
        return UpgradeDatabase(conn, sql);
    } catch (...) {
        try {
            DropDatabase(options, name, true);
        } catch (const DbError&) {
            // Reported through the original error; the empty database may stay behind.
        }
        throw;
    }
}

UpgradeReport UpgradeDatabase(PgConnection& conn, const SqlSource& sql) {
    UpgradeReport report;
    conn.Exec("BEGIN");
    try {
        conn.Exec(kUpgradeLock);
        conn.Exec(kMigrationsTable);
        std::set<std::string> applied;
        const PgResult done = conn.Exec("SELECT \"Name\" FROM dbo.\"SchemaMigrations\"");
        for (int r = 0; r < done.Rows(); ++r) applied.insert(done.Text(r, 0));
        for (const SqlSource::File& file : sql.Migrations()) {
            if (applied.count(file.first)) continue;
            RunFile(conn, file);
            conn.Exec("INSERT INTO dbo.\"SchemaMigrations\" (\"Name\") VALUES ($1)", {file.first});
            report.appliedMigrations.push_back(file.first);
        }
        const PgResult stale = conn.Exec(kDroppableObjects);
        for (int r = 0; r < stale.Rows(); ++r) conn.Exec("DROP " + stale.Text(r, 0));
        for (const SqlSource::File& file : sql.Procedures()) {
            RunFile(conn, file);
            ++report.procedureFiles;
        }
        RunFile(conn, {"version.sql", sql.Version()});
        conn.Exec("COMMIT");
    } catch (...) {
        try {
            conn.Exec("ROLLBACK");
        } catch (const DbError&) {
            // The connection is gone; the original error says why.
        }
        throw;
    }
    return report;
}

CheckReport CheckDatabase(PgConnection& conn, const SqlSource& sql) {
    CheckReport report;
    std::vector<ProcedureEntry> catalogue;
    try {
        catalogue = ParseCatalogue(sql.Catalogue());
    } catch (const std::runtime_error& e) {
        report.problems.push_back(e.what());
        return report;
    }

    if (conn.Exec("SELECT to_regclass('dbo.\"SchemaMigrations\"')").IsNull(0, 0)) {
        report.problems.push_back("No Corvex schema in this database (run corvex-db upgrade)");
        return report;
    }
    std::set<std::string> applied;
    const PgResult done = conn.Exec("SELECT \"Name\" FROM dbo.\"SchemaMigrations\"");
    for (int r = 0; r < done.Rows(); ++r) applied.insert(done.Text(r, 0));
    for (const SqlSource::File& file : sql.Migrations()) {
        if (!applied.count(file.first)) {
            report.problems.push_back("Schema step " + file.first + " is not applied (run corvex-db upgrade)");
        }
    }

    std::map<std::string, long long> counts;
    const PgResult countRows = conn.Exec(kProcedureCounts);
    for (int r = 0; r < countRows.Rows(); ++r) counts[countRows.Text(r, 0)] = std::stoll(countRows.Text(r, 1));
    std::map<std::string, std::vector<ActualParameter>> actual;
    const PgResult params = conn.Exec(kProcedureParameters);
    for (int r = 0; r < params.Rows(); ++r) {
        const std::string mode = params.Text(r, 3);
        actual[params.Text(r, 0)].push_back(
            {params.Text(r, 2), mode == "o" || mode == "b", NormaliseType(params.Text(r, 4))});
    }

    for (const ProcedureEntry& entry : catalogue) {
        ++report.proceduresChecked;
        const auto count = counts.find(entry.name);
        if (count == counts.end()) {
            report.problems.push_back("Procedure " + entry.name + " is missing");
            continue;
        }
        if (count->second != 1) {
            report.problems.push_back("Procedure " + entry.name + " is overloaded (" +
                                      std::to_string(count->second) + " functions)");
            continue;
        }
        std::vector<ActualParameter> expected{{"@RETURN_VALUE", true, "integer"}};
        for (const ParameterEntry& p : entry.parameters) expected.push_back({p.name, p.output, p.type});
        const std::vector<ActualParameter>& found = actual[entry.name];
        const std::size_t n = std::max(expected.size(), found.size());
        for (std::size_t i = 0; i < n; ++i) {
            const std::string want = i < expected.size() ? Describe(expected[i]) : "nothing";
            const std::string got = i < found.size() ? Describe(found[i]) : "nothing";
            if (want != got) {
                report.problems.push_back("Procedure " + entry.name + " parameter " + std::to_string(i + 1) +
                                          ": expected " + want + ", found " + got);
                break;
            }
        }
    }

    try {
        const ProcedureResult version = CallProcedure(conn, "GetInterfaceVersion", {});
        const SqlValue& major = version.Output("@MajorVersion");
        const SqlValue& minor = version.Output("@MinorVersion");
        if (major) report.majorVersion = std::stoi(*major);
        if (minor) report.minorVersion = std::stoi(*minor);
        if (version.returnValue != 0) {
            report.problems.push_back("GetInterfaceVersion returned " + std::to_string(version.returnValue));
        } else if (report.majorVersion != kInterfaceMajorVersion) {
            report.problems.push_back("Interface version " + major.value_or("NULL") + "." + minor.value_or("NULL") +
                                      ", expected major version " + std::to_string(kInterfaceMajorVersion));
        }
    } catch (const DbError& e) {
        report.problems.push_back(std::string("GetInterfaceVersion failed: ") + e.what());
    }
    return report;
}

void DropDatabase(const ConnectionOptions& options, const std::string& name, bool force) {
    ValidateDatabaseName(name);
    if (!force) {
        PgConnection target(options, name);
        if (target.Exec("SELECT to_regclass('dbo.\"SchemaMigrations\"')").IsNull(0, 0)) {
            throw DbError("Database \"" + name + "\" holds no Corvex schema; not dropped (use --force)");
        }
    }
    PgConnection admin(options, options.maintenanceDatabase);
    admin.Exec("DROP DATABASE " + admin.QuoteIdentifier(name) + (force ? " WITH (FORCE)" : ""));
}

ScratchDatabase::ScratchDatabase(const std::string& prefix, ConnectionOptions options)
    : m_options(std::move(options)) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    std::ostringstream name;
    name << prefix << '_' << ::getpid() << '_' << counter++ << '_' << std::hex << (random() & 0xFFFFFF);
    m_name = name.str();
    CreateDatabase(m_options, m_name);
}

ScratchDatabase::~ScratchDatabase() {
    try {
        DropDatabase(m_options, m_name, true);
    } catch (const DbError&) {
        // A destructor cannot report; the name says which test left it behind.
    }
}

}  // namespace corvexdb
