// corvex-db: creates, upgrades, checks and drops the database of the management service.
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvex-db/Seed.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: corvex-db [options] COMMAND NAME\n"
    "\n"
    "Creates, upgrades, checks and drops the database of the Corvex management service.\n"
    "\n"
    "Commands:\n"
    "  create NAME    create database NAME and install the schema, every stored procedure and\n"
    "                 the interface version (8.0); a failed install drops NAME again\n"
    "  upgrade NAME   bring the existing database NAME to this version in one transaction:\n"
    "                 apply the schema steps it lacks, re-create every procedure, set the\n"
    "                 interface version (installs everything into an empty database)\n"
    "  check NAME     verify that every catalogue procedure exists once with the catalogue's\n"
    "                 parameters, that every schema step is applied and that\n"
    "                 GetInterfaceVersion answers major version 8; exit status 1 otherwise\n"
    "  drop NAME      drop database NAME; refuses a database without a Corvex schema and one\n"
    "                 that is in use, unless --force\n"
    "  seed NAME      fill the new database NAME with a test fleet: --computers N (default\n"
    "                 100000, at least 1000) named PC000000.. with the same addresses, in\n"
    "                 1000 groups, and --alerts N alerts (default 1000000)\n"
    "  catalogue      print the procedure catalogue this tool checks against\n"
    "\n"
    "Options:\n"
    "  --server HOST[:PORT]   database server; \".\" or none: the local Unix socket (libpq\n"
    "                         defaults, PGHOST and PGPORT apply); a path is a socket directory\n"
    "  --user NAME            database role; default: the calling OS user (peer\n"
    "                         authentication on the local socket; on TCP the server's\n"
    "                         pg_hba.conf decides)\n"
    "  --maintenance-db NAME  database used to create and drop others (default postgres)\n"
    "  --sql-dir DIR          use the SQL files of DIR (a database/ folder) instead of the copy\n"
    "                         built into this program\n"
    "  --force                drop: also a database without Corvex schema, ending its sessions\n"
    "  -q, --quiet            print errors only\n"
    "  -h, --help             show this text\n"
    "\n"
    "Database names: 1 to 63 letters, digits, \"_\" or \"-\".\n"
    "Exit status: 0 success, 1 failure or check problems, 2 bad usage.\n";

int Usage(const std::string& error) {
    std::cerr << "corvex-db: " << error << "\n\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace corvexdb;
    ConnectionOptions options;
    std::string sqlDir;
    bool force = false;
    SeedScale scale;
    bool quiet = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc) return false;
            target = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--server") {
            if (!value(options.server)) return Usage("--server needs a value");
        } else if (arg == "--user") {
            if (!value(options.user)) return Usage("--user needs a value");
        } else if (arg == "--maintenance-db") {
            if (!value(options.maintenanceDatabase)) return Usage("--maintenance-db needs a value");
        } else if (arg == "--sql-dir") {
            if (!value(sqlDir)) return Usage("--sql-dir needs a value");
        } else if (arg == "--computers" || arg == "--alerts") {
            std::string number;
            if (!value(number) || number.empty() || number.find_first_not_of("0123456789") != std::string::npos ||
                number.size() > 9)
                return Usage(arg + " needs a whole number");
            (arg == "--computers" ? scale.computers : scale.alerts) = std::stoi(number);
        } else if (arg == "--force") {
            force = true;
        } else if (arg == "-q" || arg == "--quiet") {
            quiet = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) return Usage("no command given");
    const std::string& command = words[0];
    if (command == "catalogue") {
        if (words.size() != 1) return Usage("catalogue takes no NAME");
    } else if (command == "create" || command == "upgrade" || command == "check" || command == "drop" ||
               command == "seed") {
        if (words.size() != 2) return Usage(command + " needs exactly one NAME");
    } else {
        return Usage("unknown command " + command);
    }

    try {
        const SqlSource sql = sqlDir.empty() ? SqlSource::Embedded() : SqlSource::FromDirectory(sqlDir);
        if (command == "catalogue") {
            std::cout << sql.Catalogue();
            return 0;
        }
        const std::string& name = words[1];
        ValidateDatabaseName(name);
        if (command == "create") {
            const UpgradeReport report = CreateDatabase(options, name, sql);
            if (!quiet) {
                std::cout << "Created database " << name << " (" << report.appliedMigrations.size()
                          << " schema steps, " << report.procedureFiles << " procedure files, interface version "
                          << kInterfaceMajorVersion << "." << kInterfaceMinorVersion << ")\n";
            }
        } else if (command == "upgrade") {
            PgConnection conn(options, name);
            const UpgradeReport report = UpgradeDatabase(conn, sql);
            if (!quiet) {
                std::cout << "Upgraded database " << name << ":";
                for (const std::string& step : report.appliedMigrations) std::cout << " " << step;
                if (report.appliedMigrations.empty()) std::cout << " schema up to date;";
                std::cout << " procedures re-created, interface version " << kInterfaceMajorVersion << "."
                          << kInterfaceMinorVersion << "\n";
            }
        } else if (command == "seed") {
            PgConnection conn(options, name);
            SeedFleet(conn, scale);
        } else if (command == "check") {
            PgConnection conn(options, name);
            const CheckReport report = CheckDatabase(conn, sql);
            for (const std::string& problem : report.problems) std::cerr << "corvex-db: " << name << ": " << problem << "\n";
            if (!report.Ok()) return 1;
            if (!quiet) {
                std::cout << "Database " << name << " is OK: " << report.proceduresChecked
                          << " procedures, interface version " << report.majorVersion.value_or(0) << "."
                          << report.minorVersion.value_or(0) << "\n";
            }
        } else {
            DropDatabase(options, name, force);
            if (!quiet) std::cout << "Dropped database " << name << "\n";
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "corvex-db: " << e.what() << "\n";
        return 1;
    }
}
