// corvex-db upgrade from every earlier form of the schema: a database made by an earlier build
// (its schema steps as they were then, recorded as the tool records them), filled with groups,
// computers and alerts, is brought to the current schema with its data intact and its derived
// columns right, and the procedures work on it.
#include "database/EmbeddedSql.h"
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvex-db/ProcedureCall.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace corvexdb::test {
namespace {

struct EarlierSchema {
    std::string label;
    std::vector<SqlSource::File> steps;  // name as recorded, text as it was
};

std::string ReadData(const std::string& name) {
    std::ifstream in(std::string(CORVEX_UPGRADE_DATA) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in || text.str().empty()) throw std::runtime_error("missing test data " + name);
    return text.str();
}

// The first schema step changed three times before it settled; every later form is a prefix of
// today's steps.
std::vector<EarlierSchema> EarlierSchemas() {
    std::vector<EarlierSchema> out;
    for (const char* commit : {"29d38b6", "696ae4c", "3483a8c"})
        out.push_back({std::string("first step as of ") + commit,
                       {{"schema/0001_initial.sql", ReadData(std::string("0001_initial.") + commit + ".sql")}}});
    const SqlSource sql = SqlSource::Embedded();
    const std::vector<SqlSource::File>& current = sql.Migrations();
    for (std::size_t n = 1; n < current.size(); ++n)
        out.push_back({"steps up to " + current[n - 1].first,
                       std::vector<SqlSource::File>(current.begin(), current.begin() + static_cast<long>(n))});
    return out;
}

class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_name = "corvex_test_upgrade_" + std::to_string(::getpid());
        PgConnection admin(ConnectionOptions{}, ConnectionOptions{}.maintenanceDatabase);
        admin.Exec("DROP DATABASE IF EXISTS " + admin.QuoteIdentifier(m_name));
    }
    void TearDown() override {
        try {
            DropDatabase(ConnectionOptions{}, m_name, true);
        } catch (const DbError&) {
            // Never made: the test failed before.
        }
    }
    // A database as the tool made it with these steps.
    PgConnection Make(const EarlierSchema& schema) {
        PgConnection admin(ConnectionOptions{}, ConnectionOptions{}.maintenanceDatabase);
        admin.Exec("DROP DATABASE IF EXISTS " + admin.QuoteIdentifier(m_name));
        admin.Exec("CREATE DATABASE " + admin.QuoteIdentifier(m_name) + " TEMPLATE template0 ENCODING 'UTF8'");
        PgConnection conn(ConnectionOptions{}, m_name);
        conn.Exec("CREATE SCHEMA IF NOT EXISTS dbo;"
                  "CREATE TABLE dbo.\"SchemaMigrations\" (\"Name\" text PRIMARY KEY,"
                  " \"Applied\" timestamptz NOT NULL DEFAULT now())");
        for (const SqlSource::File& step : schema.steps) {
            conn.Exec(step.second);
            conn.Exec("INSERT INTO dbo.\"SchemaMigrations\" (\"Name\") VALUES ($1)", {step.first});
        }
        return conn;
    }
    // Rows every form of the schema can hold: a group tree, three computers (one deleted), and
    // alerts of both kinds, some dealt with.
    static void Fill(PgConnection& conn) {
        conn.Exec("INSERT INTO dbo.\"Groups\" (\"Name\") VALUES ('Head office');"
                  "INSERT INTO dbo.\"Groups\" (\"ParentID\", \"Name\")"
                  "  SELECT \"GroupID\", 'Sales' FROM dbo.\"Groups\" WHERE \"Name\" = 'Head office';"
                  "INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"DomainName\", \"MessageSystemAddress\", \"GroupID\","
                  "                              \"VirusDataVersion\", \"OperatingSystem\")"
                  "  SELECT 'PC1', 'CORP', 'pc1.corp', \"GroupID\", '5.12.3', 8 FROM dbo.\"Groups\" WHERE \"Name\" = 'Sales';"
                  "INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"DomainName\", \"MessageSystemAddress\")"
                  "  VALUES ('PC2', 'CORP', 'pc2.corp');"
                  "INSERT INTO dbo.\"Computers\" (\"ComputerName\", \"Deleted\") VALUES ('OLD', true);");
        const char* alerts =
            "INSERT INTO dbo.\"Alerts\" (\"ComputerID\", \"AlertType\", \"AlertTime\", \"Outstanding\","
            "  \"Source\", \"EntityInfo\", \"Number\", \"MessageCode\", \"Insert1\", \"Insert2\", \"Insert3\","
            "  \"Insert4\", \"Insert5\", \"VirusName\", \"VirusType\", \"InfectedItem\", \"ScannerType\", \"ActionTaken\")"
            "  SELECT \"ComputerID\", t, localtimestamp, o, 'Dex', 'scanner', 7, 'E7', '', '', '', '', '',"
            "         'EICAR', 1, '/tmp/eicar.com', 1, 2 FROM dbo.\"Computers\","
            "         (VALUES (%s)) AS v(t, o) WHERE \"ComputerName\" = '%s'";
        char sql[1024];
        std::snprintf(sql, sizeof sql, alerts, "1, true), (1, true), (2, true), (2, false", "PC1");
        conn.Exec(sql);
        std::snprintf(sql, sizeof sql, alerts, "1, false", "PC2");
        conn.Exec(sql);
        std::snprintf(sql, sizeof sql, alerts, "2, true", "OLD");
        conn.Exec(sql);
        // Forms that count outstanding alerts on the computer had procedures keeping the counts.
        conn.Exec("DO $$ BEGIN"
                  " IF EXISTS (SELECT 1 FROM information_schema.columns WHERE table_schema = 'dbo'"
                  "            AND table_name = 'Computers' AND column_name = 'OutstandingErrorAlerts') THEN"
                  "  UPDATE dbo.\"Computers\" c SET"
                  "    \"OutstandingErrorAlerts\" = (SELECT count(*) FROM dbo.\"Alerts\" a WHERE a.\"ComputerID\" = c.\"ComputerID\""
                  "                                  AND a.\"Outstanding\" AND a.\"AlertType\" = 1),"
                  "    \"OutstandingVirusAlerts\" = (SELECT count(*) FROM dbo.\"Alerts\" a WHERE a.\"ComputerID\" = c.\"ComputerID\""
                  "                                  AND a.\"Outstanding\" AND a.\"AlertType\" = 2)"
                  "   WHERE NOT c.\"Deleted\";"
                  " END IF; END $$");
    }
    static std::string One(PgConnection& conn, const std::string& sql) {
        const PgResult r = conn.Exec(sql);
        return r.Rows() == 1 && !r.IsNull(0, 0) ? r.Text(0, 0) : "(none)";
    }

    std::string m_name;
};

}  // namespace

TEST_F(UpgradeTest, EveryEarlierSchemaIsBroughtToTheCurrentOneWithItsData) {
    const std::vector<EarlierSchema> schemas = EarlierSchemas();
    ASSERT_GE(schemas.size(), 6u);
    for (const EarlierSchema& schema : schemas) {
        SCOPED_TRACE(schema.label);
        PgConnection conn = Make(schema);
        Fill(conn);

        const UpgradeReport report = UpgradeDatabase(conn);
        EXPECT_EQ(report.appliedMigrations.size(), SqlSource::Embedded().Migrations().size() - schema.steps.size());
        const CheckReport check = CheckDatabase(conn);
        EXPECT_TRUE(check.Ok()) << (check.problems.empty() ? "" : check.problems[0]);

        EXPECT_EQ(One(conn, "SELECT count(*) FROM dbo.\"Groups\""), "2");
        EXPECT_EQ(One(conn, "SELECT g.\"Name\" FROM dbo.\"Computers\" c JOIN dbo.\"Groups\" g USING (\"GroupID\")"
                            " WHERE c.\"ComputerName\" = 'PC1'"),
                  "Sales");
        EXPECT_EQ(One(conn, "SELECT count(*) FROM dbo.\"Computers\""), "3");
        EXPECT_EQ(One(conn, "SELECT count(*) FROM dbo.\"Alerts\""), "6");
        // What later forms derive from the rows is right for the rows that were there.
        EXPECT_EQ(One(conn, "SELECT format('%s/%s/%s', \"OutstandingErrorAlerts\", \"OutstandingVirusAlerts\", \"AlertState\")"
                            " FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC1'"),
                  "2/1/3");
        EXPECT_EQ(One(conn, "SELECT format('%s/%s/%s', \"OutstandingErrorAlerts\", \"OutstandingVirusAlerts\", \"AlertState\")"
                            " FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC2'"),
                  "0/0/0");
        EXPECT_EQ(One(conn, "SELECT \"VirusDataKey\"::text FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC1'"), "{5,12,3}");
        EXPECT_EQ(One(conn, "SELECT indexdef LIKE '%\"VirusDataKey\"%' FROM pg_indexes WHERE indexname = 'Computers_VirusData'"), "t");
        EXPECT_EQ(One(conn, "SELECT count(*) FROM pg_indexes WHERE indexname IN ('Computers_ByName', 'Computers_Alerting')"), "2");

        // The procedures work on the upgraded rows and keep the counts.
        const std::string pc1 = One(conn, "SELECT \"ComputerID\" FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC1'");
        const ProcedureResult dealt = CallProcedure(conn, "MarkAlertsAsDealtWith", {{"@ComputerID", pc1}, {"@AlertID", std::nullopt}});
        EXPECT_EQ(dealt.returnValue, 0);
        EXPECT_EQ(One(conn, "SELECT \"AlertState\" FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC1'"), "0");

        // Upgrading again finds nothing to do and changes nothing.
        EXPECT_TRUE(UpgradeDatabase(conn).appliedMigrations.empty());
        EXPECT_EQ(One(conn, "SELECT count(*) FROM dbo.\"Alerts\""), "6");
    }
}

}  // namespace corvexdb::test
