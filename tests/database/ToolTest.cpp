// The database tool: create, upgrade, check and drop, and the contract check's findings.
#include "database/EmbeddedSql.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "platform/text/Unicode.h"
#include "tools/corvex-db/Seed.h"
#include "tests/database/DatabaseFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace corvexdb::test {
namespace {

using ToolTest = DatabaseTest;

// A database made without the tool (no Corvex schema), replacing one of that name.
std::string PlainDatabase(const std::string& kind) {
    const std::string name = "corvex_test_" + kind + "_" + std::to_string(::getpid());
    PgConnection admin(ConnectionOptions{}, ConnectionOptions{}.maintenanceDatabase);
    admin.Exec("DROP DATABASE IF EXISTS " + admin.QuoteIdentifier(name));
    admin.Exec("CREATE DATABASE " + admin.QuoteIdentifier(name));
    return name;
}

bool HasProblem(const CheckReport& report, const std::string& text) {
    for (const std::string& p : report.problems) {
        if (p.find(text) != std::string::npos) return true;
    }
    return false;
}

TEST_F(ToolTest, CreatedDatabaseHoldsEveryCatalogueProcedureAndVersion8) {
    const CheckReport report = CheckDatabase(Conn());
    EXPECT_TRUE(report.Ok()) << (report.problems.empty() ? "" : report.problems[0]);
    EXPECT_EQ(static_cast<int>(ParseCatalogue(SqlSource::Embedded().Catalogue()).size()), report.proceduresChecked);
    EXPECT_GE(report.proceduresChecked, 67);
    const ProcedureResult version = Call("GetInterfaceVersion");
    EXPECT_EQ(0, version.returnValue);
    EXPECT_EQ("8", version.Output("@MajorVersion"));
    EXPECT_EQ("0", version.Output("@MinorVersion"));
    EXPECT_FALSE(version.hasRowSet);
}

TEST_F(ToolTest, CheckFindsContractBreachesAndUpgradeRepairsThem) {
    Conn().Exec("DROP FUNCTION dbo.\"GetAlertList\"");
    Conn().Exec("CREATE FUNCTION dbo.\"GetRootGroups\"(OUT \"@RETURN_VALUE\" integer, \"@X\" integer)"
                " LANGUAGE sql AS 'SELECT 0'");
    Conn().Exec("DROP FUNCTION dbo.\"RenameGroup\";"
                "CREATE FUNCTION dbo.\"RenameGroup\"(OUT \"@RETURN_VALUE\" integer, \"@GroupID\" bigint,"
                " \"@NewName\" text) LANGUAGE sql AS 'SELECT 0'");
    Conn().Exec("UPDATE dbo.\"InterfaceVersion\" SET \"MajorVersion\" = 9");

    const CheckReport broken = CheckDatabase(Conn());
    EXPECT_FALSE(broken.Ok());
    EXPECT_TRUE(HasProblem(broken, "Procedure GetAlertList is missing"));
    EXPECT_TRUE(HasProblem(broken, "Procedure GetRootGroups is overloaded (2 functions)"));
    EXPECT_TRUE(HasProblem(broken, "Procedure RenameGroup parameter 3: expected @Name nvarchar_32, found @NewName text"));
    EXPECT_TRUE(HasProblem(broken, "Interface version 9.0, expected major version 8"));
    EXPECT_EQ(4u, broken.problems.size());

    UpgradeDatabase(Conn());
    const CheckReport repaired = CheckDatabase(Conn());
    EXPECT_TRUE(repaired.Ok()) << (repaired.problems.empty() ? "" : repaired.problems[0]);
}

TEST_F(ToolTest, UpgradeKeepsDataAndAppliesSchemaStepsOnce) {
    const int id = Managed("PC1");
    const UpgradeReport first = UpgradeDatabase(Conn());
    const UpgradeReport second = UpgradeDatabase(Conn());
    EXPECT_TRUE(first.appliedMigrations.empty());
    EXPECT_TRUE(second.appliedMigrations.empty());
    EXPECT_GT(second.procedureFiles, 0);
    EXPECT_EQ(id, IdOf("PC1"));
    EXPECT_EQ(static_cast<long long>(SqlSource::Embedded().Migrations().size()),
              Count("SELECT count(*) FROM dbo.\"SchemaMigrations\""));
}

TEST_F(ToolTest, FailedUpgradeChangesNothingAndNamesTheFile) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("corvex_sql_" + std::to_string(::getpid()));
    for (const SqlFile& file : EmbeddedSqlFiles()) {
        fs::create_directories((dir / file.path).parent_path());
        std::ofstream(dir / file.path) << file.text;
    }
    std::ofstream(dir / "procedures" / "zz_broken.sql")
        << "DROP TABLE dbo.\"Alerts\";\nCREATE FUNCTION broken( AS $$ $$;\n";
    const SqlSource source = SqlSource::FromDirectory(dir.string());
    fs::remove_all(dir);

    try {
        UpgradeDatabase(Conn(), source);
        FAIL() << "a broken procedure file must fail the upgrade";
    } catch (const DbError& e) {
        EXPECT_NE(std::string(e.what()).find("procedures/zz_broken.sql"), std::string::npos) << e.what();
    }
    EXPECT_EQ(0, Count("SELECT count(*) FROM dbo.\"Alerts\""));  // the table is still there
    EXPECT_TRUE(CheckDatabase(Conn()).Ok());
}

// The envelope procedures of the release before applied envelopes were named by delivery key.
const char kOriginatorKeyedEnvelopes[] = R"SQL(
CREATE FUNCTION dbo."EnvelopeBegin"(
    OUT "@RETURN_VALUE" integer, "@Originator" dbo.nvarchar_255, "@MessageID" integer)
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM set_config('corvex.envelope_originator', COALESCE("@Originator", ''), false);
    PERFORM set_config('corvex.envelope_id', COALESCE("@MessageID", 0)::text, false);
    "@RETURN_VALUE" := 0;
END $$;
CREATE OR REPLACE FUNCTION dbo.corvex_first_application()
RETURNS boolean LANGUAGE plpgsql AS $$
DECLARE
    v_originator text := COALESCE(current_setting('corvex.envelope_originator', true), '');
    v_id integer := COALESCE(NULLIF(current_setting('corvex.envelope_id', true), ''), '0')::integer;
    v_new integer;
BEGIN
    IF v_originator = '' THEN
        RETURN true;
    END IF;
    INSERT INTO dbo."AppliedEnvelopes" ("Originator", "MessageID") VALUES (v_originator, v_id)
        ON CONFLICT DO NOTHING;
    GET DIAGNOSTICS v_new = ROW_COUNT;
    RETURN v_new = 1;
END $$;
CREATE OR REPLACE FUNCTION dbo.corvex_forget_application()
RETURNS void LANGUAGE plpgsql AS $$
BEGIN
    DELETE FROM dbo."AppliedEnvelopes"
     WHERE "Originator" = COALESCE(current_setting('corvex.envelope_originator', true), '')
       AND "MessageID" = COALESCE(NULLIF(current_setting('corvex.envelope_id', true), ''), '0')::integer;
END $$;
)SQL";

const char kDeliveryKeyStep[] = "schema/0003_envelope_delivery_keys.sql";

// The SQL of that release: the schema steps before the delivery keys and its envelope procedures.
SqlSource PreviousRelease() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("corvex_previous_sql_" + std::to_string(::getpid()));
    for (const SqlFile& file : EmbeddedSqlFiles()) {
        if (file.path == kDeliveryKeyStep) continue;
        fs::create_directories((dir / file.path).parent_path());
        std::ofstream(dir / file.path) << (file.path == "procedures/envelopes.sql" ? kOriginatorKeyedEnvelopes : file.text);
    }
    SqlSource source = SqlSource::FromDirectory(dir.string());
    fs::remove_all(dir);
    return source;
}

TEST_F(ToolTest, UpgradeFromOriginatorKeyedEnvelopesKeepsAlertsAndChecksByDeliveryKey) {
    ConnectionOptions options;
    const std::string name = PlainDatabase("previous");
    {
        PgConnection db(options, name);
        ASSERT_EQ(SqlSource::Embedded().Migrations().size() - 1, UpgradeDatabase(db, PreviousRelease()).appliedMigrations.size());
        auto rv = [&](const std::string& procedure, const ProcedureArgs& args) {
            return CallProcedure(db, procedure, args).returnValue;
        };
        auto one = [&](const std::string& sql) { return db.Exec(sql).Text(0, 0); };
        const ProcedureResult added = CallProcedure(db, "AddComputer", {{"@ComputerName", "PC1"}, {"@DomainName", "DOM"},
                                                                        {"@OperatingSystem", "8"}, {"@Description", std::nullopt}});
        ASSERT_EQ(0, added.returnValue);
        const ProcedureArgs virus = {{"@ComputerID", added.Output("@ComputerID")}, {"@AlertTime", "2024-05-02 11:00:00"},
                                     {"@UserName", "DOM\\eve"}, {"@VirusName", "EICAR"}, {"@VirusType", "3"},
                                     {"@InfectedItem", "C:\\eicar.com"}, {"@ScannerType", "1"}, {"@ActionTaken", "4"}};
        // The alerts, and the computer's count of outstanding virus alerts.
        const std::string alerts = "SELECT (SELECT count(*) FROM dbo.\"Alerts\") || ' ' || \"OutstandingVirusAlerts\""
                                   " FROM dbo.\"Computers\" WHERE \"ComputerName\" = 'PC1'";
        ASSERT_EQ(0, rv("EnvelopeBegin", {{"@Originator", "PC1.Agent"}, {"@MessageID", "7"}}));
        ASSERT_EQ(0, rv("AddVirusAlert", virus));
        ASSERT_EQ(0, rv("AddVirusAlert", virus));
        ASSERT_EQ("1 1", one(alerts));
        ASSERT_EQ("1", one("SELECT count(*) FROM dbo.\"AppliedEnvelopes\""));

        const UpgradeReport upgrade = UpgradeDatabase(db);
        EXPECT_EQ(std::vector<std::string>{kDeliveryKeyStep}, upgrade.appliedMigrations);
        const CheckReport check = CheckDatabase(db);  // among others: one EnvelopeBegin, by key
        EXPECT_TRUE(check.Ok()) << (check.problems.empty() ? "" : check.problems[0]);
        EXPECT_EQ("1 1", one(alerts));
        EXPECT_EQ("0", one("SELECT count(*) FROM dbo.\"AppliedEnvelopes\""));

        // The name this session gave before the upgrade holds nothing back now.
        EXPECT_EQ(0, rv("AddVirusAlert", virus));
        EXPECT_EQ("2 2", one(alerts));
        // Keys are checked from now on; no key, no check.
        ASSERT_EQ(0, rv("EnvelopeBegin", {{"@DeliveryKey", "CVX_INBOX/1/7"}}));
        EXPECT_EQ(0, rv("AddVirusAlert", virus));
        EXPECT_EQ(0, rv("AddVirusAlert", virus));
        EXPECT_EQ("3 3", one(alerts));
        ASSERT_EQ(0, rv("EnvelopeBegin", {{"@DeliveryKey", std::nullopt}}));
        EXPECT_EQ(0, rv("AddVirusAlert", virus));
        EXPECT_EQ("4 4", one(alerts));
        EXPECT_EQ("CVX_INBOX/1/7", one("SELECT string_agg(\"DeliveryKey\", ',') FROM dbo.\"AppliedEnvelopes\""));
        EXPECT_TRUE(UpgradeDatabase(db).appliedMigrations.empty());
    }
    DropDatabase(options, name);
}

TEST_F(ToolTest, UpgradeInstallsIntoAnEmptyDatabase) {
    ConnectionOptions options;
    const std::string name = PlainDatabase("empty");
    {
        PgConnection empty(options, name);
        EXPECT_FALSE(CheckDatabase(empty).Ok());
        const UpgradeReport report = UpgradeDatabase(empty);
        EXPECT_EQ(SqlSource::Embedded().Migrations().size(), report.appliedMigrations.size());
        EXPECT_TRUE(CheckDatabase(empty).Ok());
    }
    DropDatabase(options, name);
    EXPECT_FALSE(DatabaseExists(options, name));
}

TEST_F(ToolTest, DropAndCreateRefuseWhatTheyMustNotTouch) {
    ConnectionOptions options;
    const std::string foreign = PlainDatabase("foreign");
    EXPECT_THROW(DropDatabase(options, foreign), DbError);
    EXPECT_TRUE(DatabaseExists(options, foreign));
    DropDatabase(options, foreign, true);
    EXPECT_FALSE(DatabaseExists(options, foreign));

    // Creating over an existing database fails and leaves it as it was.
    const int id = Managed("PC1");
    EXPECT_THROW(CreateDatabase(options, Conn().DatabaseName()), DbError);
    EXPECT_EQ(id, IdOf("PC1"));

    for (const std::string& bad : std::vector<std::string>{"", "a b", "x\";DROP", std::string(64, 'n')}) {
        EXPECT_THROW(ValidateDatabaseName(bad), DbError) << bad;
        EXPECT_THROW(DropDatabase(options, bad, true), DbError) << bad;
    }
    EXPECT_NO_THROW(ValidateDatabaseName(std::string(63, 'n')));
}

TEST_F(ToolTest, SeedMakesAConsistentFleetTheSimulatorCanImpersonate) {
    EXPECT_THROW(SeedFleet(Conn(), {999, 0}), std::invalid_argument);
    EXPECT_THROW(SeedFleet(Conn(), {7919, 0}), std::invalid_argument);  // names would repeat
    SeedFleet(Conn(), {1000, 3000});
    auto one = [&](const std::string& sql) { return Conn().Exec(sql).Text(0, 0); };
    EXPECT_EQ("1000", one("SELECT count(DISTINCT \"ComputerName\") FROM dbo.\"Computers\" WHERE \"ComputerName\" ~ '^PC[0-9]{6}$'"));
    // Every managed computer answers to its own name, so agents can log on as it.
    EXPECT_EQ("990", one("SELECT count(*) FROM dbo.\"Computers\" WHERE \"MessageSystemAddress\" = \"ComputerName\""));
    EXPECT_EQ("1000", one("SELECT count(*) FROM dbo.\"Groups\""));
    EXPECT_EQ("3000", one("SELECT count(*) FROM dbo.\"Alerts\""));
    // The kept counts of outstanding alerts agree with the alerts.
    EXPECT_EQ("0", one("SELECT count(*) FROM dbo.\"Computers\" c WHERE c.\"OutstandingErrorAlerts\" + c.\"OutstandingVirusAlerts\""
                       " <> (SELECT count(*) FROM dbo.\"Alerts\" a WHERE a.\"ComputerID\" = c.\"ComputerID\" AND a.\"Outstanding\")"));
    // The whole-list procedure: by name, limited, one group's own members, no such group.
    const ProcedureResult first = Call("ComputerListGet", {{"@GroupID", std::nullopt}, {"@ConnectedOnly", "0"}, {"@Limit", "3"}});
    ASSERT_EQ(3u, first.rows.size());
    EXPECT_EQ("PC000000", first.rows[0][1].value_or(""));
    EXPECT_EQ("PC000002", first.rows[2][1].value_or(""));
    const std::string group = one("SELECT max(\"GroupID\") FROM dbo.\"Groups\"");
    EXPECT_EQ(one("SELECT count(*) FROM dbo.\"Computers\" WHERE \"GroupID\" = " + group),
              std::to_string(Call("ComputerListGet", {{"@GroupID", group}, {"@ConnectedOnly", "0"}, {"@Limit", "0"}}).rows.size()));
    EXPECT_EQ(22, Rv("ComputerListGet", {{"@GroupID", "99999"}, {"@ConnectedOnly", "0"}, {"@Limit", "0"}}));

    // Every group has both configurations, as the group-configuration procedures give them back.
    EXPECT_EQ("0", one("SELECT count(*) FROM dbo.\"Groups\" WHERE \"AUConfigXML\" IS NULL OR \"DexConfigXML\" IS NULL"));
    const ProcedureResult au = Call("GetGroupAUConfigXML", {{"@GroupID", group}});
    const ProcedureResult dex = Call("GetGroupDexConfigXML", {{"@GroupID", group}});
    ASSERT_EQ(0, au.returnValue);
    ASSERT_EQ(0, dex.returnValue);
    ASSERT_EQ(1u, au.rows.size());
    ASSERT_EQ(1u, dex.rows.size());
    const std::string auText = au.rows[0][0].value_or("");
    const std::string dexText = dex.rows[0][0].value_or("");
    EXPECT_EQ(SeedGroupConfigurations().update, auText);
    EXPECT_EQ(SeedGroupConfigurations().antiVirus, dexText);
}

// The seeded configurations read as the service reads a group's configuration: all four update
// platforms with the sample's locations and schedules but no account or password, and the
// sample's anti-virus settings (not the defaults). Written back they do not change, so they are
// in the service's stored form.
TEST(SeedConfigurationTest, GroupConfigurationsAreTheSamplesInTheStoredForm) {
    const GroupConfigurations seeded = SeedGroupConfigurations();
    AUCoreHandler::AutoUpdateConfiguration update;
    ASSERT_NO_THROW(update.Set(FromUtf8(seeded.update)));
    ASSERT_TRUE(update.IsInitialised());
    for (const wchar_t* platform : AUCoreHandler::Platforms) {
        AUCoreHandler::IAUConfig& config = update.GetConfig(platform);
        for (AUCoreHandler::ILocation* location : {&config.GetPrimaryLocation(), &config.GetSecondaryLocation()}) {
            std::wstring name, password, proxyName, proxyPassword;
            location->GetServer().GetUsername(name);
            location->GetServer().GetUserPassword(password);
            location->GetProxy().GetUsername(proxyName);
            location->GetProxy().GetUserPassword(proxyPassword);
            EXPECT_EQ(L"", name + password + proxyName + proxyPassword);
        }
    }
    std::wstring address;
    ASSERT_TRUE(update.GetConfig(L"Tandem").GetPrimaryLocation().GetServer().GetAddress(address));
    EXPECT_EQ(L"http://updates.hq.example:8080/corvex/kt", address);
    ULONG frequency = 0;
    ASSERT_TRUE(update.GetConfig(L"DEX95").GetSchedule().GetFrequency(frequency));
    EXPECT_EQ(120u, frequency);
    EXPECT_EQ(seeded.update, ToUtf8(update.ToXML()));

    KTDexHandler::KTDexConfiguration antiVirus;
    ASSERT_NO_THROW(antiVirus.Set(FromUtf8(seeded.antiVirus)));
    const KTDexHandler::config_t config = antiVirus.GetConfig();
    const KTDexHandler::config_t defaults = KTDexHandler::KTDexConfiguration().GetConfig();
    EXPECT_FALSE(config == defaults);
    EXPECT_EQ(seeded.antiVirus, ToUtf8(antiVirus.ToXML()));
    EXPECT_NE(std::string::npos, seeded.antiVirus.find("Weekly full scan"));
    EXPECT_EQ(std::string::npos, seeded.update.find("Pr0xy"));
    EXPECT_EQ(std::string::npos, seeded.update.find("Upd@te"));
}

TEST(ServerOptionTest, SplitsHostPortAndSocketForms) {
    std::string host, port;
    auto split = [&](const std::string& s) {
        SplitServer(s, host, port);
        return host + "|" + port;
    };
    EXPECT_EQ("|", split(""));
    EXPECT_EQ("|", split("."));
    EXPECT_EQ("db1|", split("db1"));
    EXPECT_EQ("db1|5433", split("db1:5433"));
    EXPECT_EQ("::1|5433", split("[::1]:5433"));
    EXPECT_EQ("/run/postgresql|", split("/run/postgresql"));
    EXPECT_THROW(split("db1:"), DbError);
    EXPECT_THROW(split("db1:x"), DbError);
    EXPECT_THROW(split("[::1"), DbError);
}

TEST(CatalogueTest, ParsesProceduresAndRejectsMalformedLines) {
    const auto specs = ParseCatalogue("# comment\n\nA(@X integer, out @Y nvarchar_31)\n"
                                      "B(out @RowSet refcursor) -> ID, Name\nC()\n");
    ASSERT_EQ(3u, specs.size());
    EXPECT_EQ("A", specs[0].name);
    ASSERT_EQ(2u, specs[0].parameters.size());
    EXPECT_FALSE(specs[0].parameters[0].output);
    EXPECT_TRUE(specs[0].parameters[1].output);
    EXPECT_EQ("nvarchar_31", specs[0].parameters[1].type);
    EXPECT_EQ((std::vector<std::string>{"ID", "Name"}), specs[1].columns);
    EXPECT_TRUE(specs[2].parameters.empty());
    for (const char* bad : {"A(@X)", "A(X integer)", "A @X integer", "A(@X integer) -> ID",
                            "A(@X integer) extra", "A(in @X integer)"}) {
        EXPECT_THROW(ParseCatalogue(bad), std::runtime_error) << bad;
    }
}

int RunTool(const std::string& args) {
    const int status = std::system((std::string(CORVEX_DB_BINARY) + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CommandLineTest, CreateCheckDropAndUsageErrors) {
    const std::string name = "corvex_test_cli_" + std::to_string(::getpid());
    EXPECT_EQ(0, RunTool("--help"));
    EXPECT_EQ(2, RunTool(""));
    EXPECT_EQ(2, RunTool("frob " + name));
    EXPECT_EQ(2, RunTool("create"));
    EXPECT_EQ(2, RunTool("--bogus check " + name));
    EXPECT_EQ(1, RunTool("create 'bad name'"));
    EXPECT_EQ(0, RunTool("create " + name));
    EXPECT_EQ(1, RunTool("create " + name));
    EXPECT_EQ(0, RunTool("--server . check " + name));
    EXPECT_EQ(0, RunTool("upgrade " + name));
    EXPECT_EQ(2, RunTool("seed --computers many " + name));
    EXPECT_EQ(1, RunTool("seed --computers 10 " + name));
    EXPECT_EQ(0, RunTool("drop " + name));
    EXPECT_EQ(1, RunTool("check " + name));
    EXPECT_EQ(0, RunTool("catalogue"));
}

}  // namespace
}  // namespace corvexdb::test
