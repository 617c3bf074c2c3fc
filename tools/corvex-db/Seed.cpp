#include "tools/corvex-db/Seed.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "platform/text/Unicode.h"
#include "tools/corvex-db/SeedDocuments.h"

namespace corvexdb {

namespace {

using Clock = std::chrono::steady_clock;

void Step(PgConnection& conn, const char* what, const std::string& sql, const std::vector<SqlValue>& params = {}) {
    const auto start = Clock::now();
    if (params.empty())
        conn.Exec(sql);
    else
        conn.Exec(sql, params);
    std::printf("  %-44s %7.1f s\n", what, std::chrono::duration<double>(Clock::now() - start).count());
    std::fflush(stdout);
}

std::string Document(std::string_view name) {
    for (const SeedDocument& d : SeedDocuments()) {
        if (d.name == name) return std::string(d.text);
    }
    throw std::logic_error("no embedded document " + std::string(name));
}

}  // namespace

GroupConfigurations SeedGroupConfigurations() {
    // Read and written back by the same classes the service stores a group's configuration
    // with, so the stored text is exactly the service's own form.
    AUCoreHandler::AutoUpdateConfiguration update;
    update.Set(Document("handlers/AUCoreHandler/samples/AUConfigurations.xml"));
    // The sample's proxy and file-share accounts stay out of the database.
    for (const wchar_t* platform : AUCoreHandler::Platforms) {
        AUCoreHandler::IAUConfig& config = update.GetConfig(platform);
        for (AUCoreHandler::ILocation* location : {&config.GetPrimaryLocation(), &config.GetSecondaryLocation()}) {
            location->GetServer().SetUserName(L"");
            location->GetServer().SetUserPassword(L"");
            location->GetProxy().SetUserName(L"");
            location->GetProxy().SetUserPassword(L"");
        }
    }
    KTDexHandler::KTDexConfiguration antiVirus;
    antiVirus.Set(Document("dexhandler/samples/configuration.xml"));
    return {ToUtf8(update.ToXML()), ToUtf8(antiVirus.ToXML())};
}

// Groups: 10 regions x 9 sites x 10 departments (+ the 100 regions and sites) = 1000.
// Computers spread over all groups, 1% in no group and 1% only browsed (no address).
void SeedFleet(PgConnection& conn, const SeedScale& scale) {
    if (scale.computers < 1000 || scale.computers % 7919 == 0 || scale.alerts < 0)
        throw std::invalid_argument("a fleet has at least 1000 computers, not a multiple of 7919, and no negative alerts");
    std::printf("Seeding %d computers, 1000 groups, %d alerts\n", scale.computers, scale.alerts);
    const std::string n = std::to_string(scale.computers);
    Step(conn, "groups",
         "INSERT INTO dbo.\"Groups\" (\"ParentID\", \"Name\") SELECT NULL, 'Region ' || i FROM generate_series(1, 10) i;"
         "INSERT INTO dbo.\"Groups\" (\"ParentID\", \"Name\") SELECT g.\"GroupID\", 'Site ' || j"
         "  FROM dbo.\"Groups\" g, generate_series(1, 9) j WHERE g.\"ParentID\" IS NULL;"
         "INSERT INTO dbo.\"Groups\" (\"ParentID\", \"Name\") SELECT g.\"GroupID\", 'Dept ' || k"
         "  FROM dbo.\"Groups\" g JOIN dbo.\"Groups\" p ON p.\"GroupID\" = g.\"ParentID\" AND p.\"ParentID\" IS NULL,"
         "       generate_series(1, 10) k");
    const GroupConfigurations configurations = SeedGroupConfigurations();
    Step(conn, "group configurations (update, anti-virus)",
         "UPDATE dbo.\"Groups\" SET \"AUConfigXML\" = $1, \"DexConfigXML\" = $2",
         {configurations.update, configurations.antiVirus});
    Step(conn, "computers",
         "INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"DomainName\", \"MessageSystemAddress\", \"GroupID\","
         " \"OperatingSystem\", \"Description\", \"IPAddress\", \"ServicePack\", \"LastLoggedOnUser\", \"Connected\","
         " \"InstallResult\", \"InstallPending\", \"DexInstalled\", \"DexRunning\", \"DexOnAccess\", \"DexVersion\","
         " \"VirusDataVersion\", \"HasGroupAUConfig\", \"HasGroupDexConfig\", \"LastMessageTime\", \"LastScanDateTime\")"
         " SELECT 'PC' || lpad(((i::bigint * 7919) % " + n + ")::text, 6, '0'), 'DOMAIN' || (i % 20),"
         "        CASE WHEN i % 100 <> 1 THEN 'PC' || lpad(((i::bigint * 7919) % " + n + ")::text, 6, '0') END,"
         "        CASE WHEN i % 100 NOT IN (1, 2) THEN (SELECT min(\"GroupID\") FROM dbo.\"Groups\") + (i % 1000) END,"
         "        1 + i % 9, 'Computer ' || i, 167772160 + i, 'SP' || (i % 4), 'DOMAIN\\user' || (i % 5000),"
         "        i % 10 <> 0, CASE WHEN i % 100 = 7 THEN 1603 ELSE 0 END, i % 1000 = 3,"
         "        i % 50 <> 0, i % 200 <> 5, i % 50 <> 0, '7.2',"
         "        CASE WHEN i % 50 = 0 THEN '' WHEN i % 20 = 4 THEN '4.9.0' ELSE '4.10.0' END,"
         "        i % 33 <> 0, i % 29 <> 0,"
         "        localtimestamp - make_interval(mins => i % 10000), localtimestamp - make_interval(hours => i % 500)"
         "   FROM generate_series(1, " + n + ") i");
    Step(conn, "virus-data versions",
         "INSERT INTO dbo.\"VirusDataVersions\" (\"VersionKey\", \"Version\", \"FirstSeen\")"
         " VALUES (dbo.version_key('4.9.0'), '4.9.0', localtimestamp - interval '30 days'),"
         "        (dbo.version_key('4.10.0'), '4.10.0', localtimestamp - interval '2 days')");
    Step(conn, "alerts (10% outstanding, 20% virus)",
         "INSERT INTO dbo.\"Alerts\" (\"ComputerID\", \"AlertType\", \"AlertTime\", \"UserName\", \"Outstanding\","
         " \"Source\", \"EntityInfo\", \"Number\", \"MessageCode\", \"Insert1\", \"Insert2\", \"Insert3\", \"Insert4\", \"Insert5\","
         " \"VirusName\", \"VirusType\", \"InfectedItem\", \"ScannerType\", \"ActionTaken\")"
         " SELECT c, t, localtimestamp - make_interval(mins => (i * 37) % 1000000), 'DOMAIN\\user' || (i % 5000),"
         "        i % 20 IN (0, 3),"
         "        CASE WHEN t = 1 THEN 'DEX' END, CASE WHEN t = 1 THEN 'entity' END, CASE WHEN t = 1 THEN i % 100 END,"
         "        CASE WHEN t = 1 THEN 'E' || (i % 40) END, CASE WHEN t = 1 THEN 'a' END, CASE WHEN t = 1 THEN 'b' END,"
         "        CASE WHEN t = 1 THEN '' END, CASE WHEN t = 1 THEN '' END, CASE WHEN t = 1 THEN '' END,"
         "        CASE WHEN t = 2 THEN 'W32.Virus.' || (i % 300) END, CASE WHEN t = 2 THEN i % 5 END,"
         "        CASE WHEN t = 2 THEN 'C:\\temp\\file' || i END, CASE WHEN t = 2 THEN 1 END, CASE WHEN t = 2 THEN i % 4 END"
         "   FROM (SELECT i, (SELECT min(\"ComputerID\") FROM dbo.\"Computers\") + ((i::bigint * 7919) % " + n + ")::integer AS c,"
         "                CASE WHEN i % 5 = 0 THEN 2 ELSE 1 END AS t"
         "           FROM generate_series(1, " + std::to_string(scale.alerts) + ") i) s");
    Step(conn, "outstanding-alert counts",
         "UPDATE dbo.\"Computers\" c SET \"OutstandingErrorAlerts\" = o.errors, \"OutstandingVirusAlerts\" = o.viruses"
         "  FROM (SELECT \"ComputerID\", count(*) FILTER (WHERE \"AlertType\" = 1) AS errors,"
         "               count(*) FILTER (WHERE \"AlertType\" = 2) AS viruses"
         "          FROM dbo.\"Alerts\" WHERE \"Outstanding\" GROUP BY \"ComputerID\") o"
         " WHERE c.\"ComputerID\" = o.\"ComputerID\"");
    Step(conn, "library servers",
         "INSERT INTO dbo.\"LibraryServers\" (\"ComputerID\", \"StatusXML\")"
         " SELECT \"ComputerID\", '<tzlib/>' FROM dbo.\"Computers\" ORDER BY \"ComputerID\" LIMIT 10");
    Step(conn, "vacuum analyze", "VACUUM ANALYZE");
}

}  // namespace corvexdb
