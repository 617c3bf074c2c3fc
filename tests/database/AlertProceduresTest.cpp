// Alerts and their details, the purge policy, report settings; anti-virus status and library
// servers; the setup wizard's lock.
#include "tests/database/DatabaseFixture.h"

#include <array>

namespace corvexdb::test {
namespace {

using AlertTest = DatabaseTest;

ProcedureArgs ErrorAlert(int computer, const std::string& time, const std::vector<std::string>& inserts = {}) {
    ProcedureArgs args{{"@ComputerID", Int(computer)}, {"@AlertTime", time}, {"@UserName", "DOM\\bob"},
                       {"@Source", "DEX"}, {"@EntityInfo", "entity"}, {"@number", Int(42)}, {"@MessageCode", "E_SCAN"}};
    for (std::size_t i = 0; i < 5; ++i) {
        args.push_back({"@Insert" + std::to_string(i + 1), i < inserts.size() ? inserts[i] : std::string()});
    }
    return args;
}

ProcedureArgs VirusAlert(int computer, const std::string& time, const std::string& virus = "EICAR") {
    return {{"@ComputerID", Int(computer)}, {"@AlertTime", time}, {"@UserName", "DOM\\eve"}, {"@VirusName", virus},
            {"@VirusType", Int(3)}, {"@InfectedItem", "C:\\eicar.com"}, {"@ScannerType", Int(1)}, {"@ActionTaken", Int(4)}};
}

TEST_F(AlertTest, AlertsKeepTheirDetailsAndStateByKind) {
    const int pc = Managed("PC1");
    ASSERT_EQ(0, Rv("AddErrorAlert", ErrorAlert(pc, "2024-05-01 10:00:00", {"one", "two"})));
    ASSERT_EQ(0, Rv("AddVirusAlert", VirusAlert(pc, "2024-05-02 11:00:00")));
    EXPECT_EQ(22, Rv("AddVirusAlert", VirusAlert(pc + 100, "2024-05-02 11:00:00")));
    ProcedureArgs timeless = VirusAlert(pc, "");
    timeless[1].second = kNull;
    EXPECT_EQ(1, Rv("AddVirusAlert", timeless));
    EXPECT_THROW(Call("AddVirusAlert", VirusAlert(pc, "2024-05-03", std::string(33, 'v'))), DbError);

    const auto alerts = Ids("GetAlertList", {{"@ComputerID", Int(pc)}});
    ASSERT_EQ(2u, alerts.size());
    EXPECT_EQ(39, Rv("GetAlertList", {{"@ComputerID", Int(pc + 100)}}));
    EXPECT_EQ("3", Call("GetComputerDetails", {{"@ComputerID", Int(pc)}}).Output("@AlertState"));

    const ProcedureResult error = Call("GetAlertDetails", {{"@AlertID", Int(alerts[0])}});
    EXPECT_EQ("1", error.Output("@AlertType"));
    EXPECT_EQ("1", error.Output("@Active"));
    EXPECT_EQ("DOM\\bob", error.Output("@UserName"));
    EXPECT_EQ("2024-05-01 10:00:00", error.Output("@AlertTime"));
    const ProcedureResult e = Call("GetAlertDetailsError", {{"@AlertID", Int(alerts[0])}});
    EXPECT_EQ("DEX", e.Output("@Source"));
    EXPECT_EQ("42", e.Output("@Number"));
    EXPECT_EQ("E_SCAN", e.Output("@MessageCode"));
    EXPECT_EQ("two", e.Output("@Insert2"));
    EXPECT_EQ("", e.Output("@Insert3"));
    EXPECT_EQ(22, Rv("GetAlertDetailsVirus", {{"@AlertID", Int(alerts[0])}}));

    const ProcedureResult v = Call("GetAlertDetailsVirus", {{"@AlertID", Int(alerts[1])}});
    EXPECT_EQ("EICAR", v.Output("@VirusName"));
    EXPECT_EQ("C:\\eicar.com", v.Output("@InfectedItem"));
    EXPECT_EQ("4", v.Output("@ActionTaken"));
    EXPECT_EQ(22, Rv("GetAlertDetailsError", {{"@AlertID", Int(alerts[1])}}));
    EXPECT_EQ(22, Rv("GetAlertDetails", {{"@AlertID", Int(alerts[1] + 100)}}));

    const ProcedureResult virusRows = Call("GetVirusAlertDetails", {{"@ComputerID", Int(pc)}});
    EXPECT_EQ((std::vector<std::string>{"InfectedItem", "VirusName", "UserName", "Outstanding", "ActionTaken",
                                        "ScannerType", "VirusType", "TimeDetected"}),
              virusRows.columns);
    ASSERT_EQ(1u, virusRows.rows.size());
    EXPECT_EQ("t", virusRows.rows[0][3]);
    const ProcedureResult errorRows = Call("GetErrorAlertDetails", {{"@ComputerID", Int(pc)}});
    EXPECT_EQ((std::vector<std::string>{"TimeDetected", "UserName", "Source", "EntityInfo", "Number", "MessageCode",
                                        "Outstanding", "Insert1", "Insert2", "Insert3", "Insert4", "Insert5"}),
              errorRows.columns);
    ASSERT_EQ(1u, errorRows.rows.size());
    for (const SqlValue& value : errorRows.rows[0]) EXPECT_TRUE(value.has_value());  // no NULL inserts
    EXPECT_EQ(39, Rv("GetErrorAlertDetails", {{"@ComputerID", Int(pc + 100)}}));

    // Dealing with alerts clears the computer's alert state kind by kind.
    EXPECT_EQ(22, Rv("MarkAlertsAsDealtWith", {{"@ComputerID", Int(pc)}, {"@AlertID", Int(alerts[1] + 100)}}));
    EXPECT_EQ(0, Rv("MarkAlertsAsDealtWith", {{"@ComputerID", Int(pc)}, {"@AlertID", Int(alerts[1])}}));
    EXPECT_EQ("1", Call("GetComputerDetails", {{"@ComputerID", Int(pc)}}).Output("@AlertState"));
    EXPECT_EQ("0", Call("GetAlertDetails", {{"@AlertID", Int(alerts[1])}}).Output("@Active"));
    EXPECT_EQ(0, Rv("MarkAlertsAsDealtWith", {{"@ComputerID", Int(pc)}, {"@AlertID", kNull}}));
    EXPECT_EQ("0", Call("GetComputerDetails", {{"@ComputerID", Int(pc)}}).Output("@AlertState"));
    EXPECT_EQ(39, Rv("MarkAlertsAsDealtWith", {{"@ComputerID", Int(pc + 100)}, {"@AlertID", kNull}}));
}

TEST_F(AlertTest, PurgeAppliesAgeAndCountPolicies) {
    const int pc = Managed("PC1");
    // Ten alerts, one per month back from now; the newest first.
    for (int m = 0; m < 10; ++m) {
        const std::string time = *Scalar("SELECT (localtimestamp - interval '" + std::to_string(m) +
                                         " months' - interval '1 day')::timestamp(0)::text");
        ASSERT_EQ(0, Rv("AddVirusAlert", VirusAlert(pc, time, "V" + std::to_string(m))));
    }
    ASSERT_EQ(0, Rv("AddErrorAlert", ErrorAlert(pc, "2000-01-01 00:00:00")));
    const int second = Managed("PC2");
    ASSERT_EQ(0, Rv("AddErrorAlert", ErrorAlert(second, "2001-01-01 00:00:00")));
    ASSERT_EQ(0, Rv("MarkAlertsAsDealtWith", {{"@ComputerID", Int(second)}, {"@AlertID", kNull}}));
    auto settings = [&] {
        const ProcedureResult s = Call("GetPurgeSettings");
        return *s.Output("@Method") + "/" + *s.Output("@Months") + "/" + *s.Output("@Maximum");
    };
    auto purge = [&](int method, int months, int maximum) {
        return Rv("SetPurgeSettings", {{"@Method", Int(method)}, {"@Months", Int(months)}, {"@Maximum", Int(maximum)}});
    };
    auto alerts = [&] {
        // The computers' outstanding-alert counts must follow every purge.
        EXPECT_EQ(0, Count("SELECT count(*) FROM dbo.\"Computers\" c WHERE (c.\"OutstandingErrorAlerts\","
                           " c.\"OutstandingVirusAlerts\") <> (SELECT count(*) FILTER (WHERE a.\"AlertType\" = 1),"
                           " count(*) FILTER (WHERE a.\"AlertType\" = 2) FROM dbo.\"Alerts\" a"
                           " WHERE a.\"ComputerID\" = c.\"ComputerID\" AND a.\"Outstanding\")"));
        return Count("SELECT count(*) FROM dbo.\"Alerts\"");
    };

    EXPECT_EQ("0/6/100000", settings());
    EXPECT_EQ(0, purge(0, 1, 0));  // no purge: maximum 0 means nothing here
    EXPECT_EQ(12, alerts());
    EXPECT_EQ(0, purge(1, 6, 0));  // older than six months: four and the two old error alerts go
    EXPECT_EQ("2", Call("GetComputerDetails", {{"@ComputerID", Int(pc)}}).Output("@AlertState"));
    EXPECT_EQ(6, alerts());
    EXPECT_EQ(0, purge(2, 6, 4));  // the four newest stay
    EXPECT_EQ(4, alerts());
    EXPECT_EQ("V0", *Scalar("SELECT \"VirusName\" FROM dbo.\"Alerts\" ORDER BY \"AlertTime\" DESC LIMIT 1"));
    EXPECT_EQ("V3", *Scalar("SELECT \"VirusName\" FROM dbo.\"Alerts\" ORDER BY \"AlertTime\" LIMIT 1"));
    EXPECT_EQ(0, purge(3, 2, 3));  // both: the one of two months and beyond goes, then the count holds
    EXPECT_EQ(2, alerts());
    EXPECT_EQ("3/2/3", settings());

    for (const auto& bad : std::vector<std::array<int, 3>>{{4, 6, 10}, {-1, 6, 10}, {1, 0, 10}, {2, 6, -1}}) {
        EXPECT_EQ(1, purge(bad[0], bad[1], bad[2]));
    }
    EXPECT_EQ("3/2/3", settings());

    // A purge that cannot get its lock fails with 4 and changes nothing, settings included.
    PgConnection other(ConnectionOptions{}, Conn().DatabaseName());
    other.Exec("SELECT pg_advisory_lock(1129271896, 3)");
    EXPECT_EQ(4, purge(2, 6, 0));
    EXPECT_EQ(2, alerts());
    EXPECT_EQ("3/2/3", settings());
    EXPECT_EQ(4, Rv("PurgeAlerts"));
    other.Exec("SELECT pg_advisory_unlock(1129271896, 3)");
    EXPECT_EQ(0, Rv("PurgeAlerts"));
}

TEST_F(AlertTest, CompanyNameHoldsUpTo256Characters) {
    EXPECT_EQ("", Call("GetReportFormatInformation").Output("@CompanyName"));
    EXPECT_EQ(0, Rv("SetReportFormatInformation", {{"@CompanyName", std::string(256, 'c')}}));
    EXPECT_THROW(Call("SetReportFormatInformation", {{"@CompanyName", std::string(257, 'x')}}), DbError);
    EXPECT_EQ(std::string(256, 'c'), Call("GetReportFormatInformation").Output("@CompanyName"));
}

TEST_F(AlertTest, AntiVirusStatusConfigurationAndOutOfDate) {
    const int fresh = Managed("FRESH");
    const int old = Managed("OLD");
    auto status = [&](int pc, int installed, const std::string& data, const std::string& ides) {
        return Rv("SetDexStatus", {{"@ComputerID", Int(pc)}, {"@DexInstalled", Int(installed)}, {"@OnAccessFlag", Int(1)},
                                   {"@Version", "7.2"}, {"@QuarantineCount", Int(5)}, {"@VirusDataVersion", data},
                                   {"@VirusEngineVersion", "3.1"}, {"@IDEChecksum", "abc"}, {"@ProductID", "KT"},
                                   {"@IDEList", ides}});
    };
    ASSERT_EQ(0, status(old, 1, "4.9.1", "a.ide;b.ide;"));
    ASSERT_EQ(0, status(fresh, 1, "4.10.0", "a.ide;"));
    EXPECT_EQ(39, status(fresh + 100, 1, "4.10.0", ""));

    ProcedureResult d = Call("GetComputerDetails", {{"@ComputerID", Int(old)}});
    EXPECT_EQ("t", d.Output("@DexInstalledFlag"));
    EXPECT_EQ("t", d.Output("@DexOnAccessFlag"));
    EXPECT_EQ("7.2", d.Output("@DexVersion"));
    EXPECT_EQ("4.9.1", d.Output("@VirusDataVersion"));
    EXPECT_EQ("2", d.Output("@IDENumber"));
    EXPECT_EQ("a.ide;b.ide;", d.rows.at(0)[0]);
    EXPECT_TRUE(d.Output("@Outofdate").has_value());  // 4.10.0 is newer (numerically) than 4.9.1
    EXPECT_FALSE(Call("GetComputerDetails", {{"@ComputerID", Int(fresh)}}).Output("@Outofdate").has_value());

    ASSERT_EQ(0, Rv("ComputerSetDexStatusNotRunning", {{"@ComputerID", Int(old)}}));
    d = Call("GetComputerDetails", {{"@ComputerID", Int(old)}});
    EXPECT_EQ("t", d.Output("@DexInstalledFlag"));
    EXPECT_EQ("f", d.Output("@DexOnAccessFlag"));

    ASSERT_EQ(0, status(old, 0, "", ""));
    d = Call("GetComputerDetails", {{"@ComputerID", Int(old)}});
    EXPECT_EQ("f", d.Output("@DexInstalledFlag"));
    EXPECT_FALSE(d.Output("@DexOnAccessFlag").has_value());
    EXPECT_EQ("", d.Output("@VirusDataVersion"));
    EXPECT_EQ("0", d.Output("@IDENumber"));
    EXPECT_FALSE(d.Output("@Outofdate").has_value());

    for (const char* kind : {"AU", "Dex"}) {
        const std::string get = std::string("ComputerGet") + kind + "Config";
        const std::string column = std::string(kind) + "ConfigXML";
        ProcedureArgs set{{"@ComputerID", Int(fresh)}, {"@" + column, "<" + column + "/>"}};
        if (std::string(kind) == "AU") {
            set.push_back({"@PrimaryCID", "\\\\lib1\\share"});
            set.push_back({"@SecondaryCID", ""});
        }
        EXPECT_EQ(0, Rv(std::string("UpdateComputer") + kind + "Config", set));
        const ProcedureResult r = Call(get, {{"@ComputerID", Int(fresh)}});
        EXPECT_EQ(std::vector<std::string>{column}, r.columns);
        EXPECT_EQ("<" + column + "/>", r.rows.at(0)[0]);
        EXPECT_FALSE(Call(get, {{"@ComputerID", Int(old)}}).rows.at(0)[0].has_value());
        EXPECT_EQ(39, Rv(get, {{"@ComputerID", Int(fresh + 100)}}));
    }
    EXPECT_EQ("\\\\lib1\\share", Call("GetComputerDetails", {{"@ComputerID", Int(fresh)}}).Output("@PrimaryCID"));
}

TEST_F(AlertTest, LibraryServerStatusAndPackages) {
    const int pc = Managed("LIB1");
    EXPECT_EQ(49, Rv("GetTzLibraryStatus", {{"@ComputerID", Int(pc)}}));
    EXPECT_EQ(39, Rv("GetTzLibraryStatus", {{"@ComputerID", Int(pc + 100)}}));
    EXPECT_EQ(49, Rv("PackageTableSet", {{"@ComputerID", Int(pc)}, {"@XML", "<tzlib/>"}}));
    const std::string doc =
        "<?xml version=\"1.0\" encoding=\"utf-16\"?>"
        "<tz1:tzlib xmlns:tz1=\"http://example.invalid/TzLibraryStatus\" entity=\"v1\">"
        "<tz1:updateLocationList/><tz1:packageList>"
        "<tz1:package productID=\"DEXKTNT\" productVersion=\"7.2\" engineVersion=\"3\" virusdataVersion=\"4.10\""
        " ideChecksum=\"c1\" rolloutNumber=\"12\"/>"
        "<tz1:package productID=\"DEXKTXP\" productVersion=\"7.3\" engineVersion=\"3\" virusdataVersion=\"4.11\""
        " ideChecksum=\"c2\" rolloutNumber=\"13\"/>"
        "</tz1:packageList></tz1:tzlib>";
    EXPECT_EQ(3, Rv("SetTzLibraryStatus", {{"@ComputerID", Int(pc)}, {"@TzLibraryStatusXML", "<tzlib>"}}));
    ASSERT_EQ(0, Rv("SetTzLibraryStatus", {{"@ComputerID", Int(pc)}, {"@TzLibraryStatusXML", doc}}));
    ASSERT_EQ(0, Rv("PackageTableSet", {{"@ComputerID", Int(pc)}, {"@XML", doc}}));
    const ProcedureResult status = Call("GetTzLibraryStatus", {{"@ComputerID", Int(pc)}});
    EXPECT_EQ(std::vector<std::string>{"StatusXML"}, status.columns);
    EXPECT_EQ(doc, status.rows.at(0)[0]);
    EXPECT_EQ("DEXKTNT 12|DEXKTXP 13|",
              *Scalar("SELECT string_agg(\"ProductID\" || ' ' || \"RolloutNumber\" || '|', '' ORDER BY \"Position\")"
                      " FROM dbo.\"LibraryPackages\""));

    // A malformed package list leaves the stored packages as they were.
    EXPECT_EQ(3, Rv("PackageTableSet", {{"@ComputerID", Int(pc)},
                                        {"@XML", "<a><packageList><package rolloutNumber=\"many\"/></packageList></a>"}}));
    EXPECT_EQ(3, Rv("PackageTableSet", {{"@ComputerID", Int(pc)}, {"@XML", "not xml"}}));
    EXPECT_EQ(2, Count("SELECT count(*) FROM dbo.\"LibraryPackages\""));
}

TEST_F(AlertTest, SetupWizardIsHeldByOneConsoleAtATime) {
    const ProcedureResult first = Call("AcquireSetupWizardLock", {{"@Owner", "console-a"}});
    EXPECT_EQ(0, first.returnValue);
    EXPECT_EQ("0", first.Output("@Progress"));
    const ProcedureResult second = Call("AcquireSetupWizardLock", {{"@Owner", "console-b"}});
    EXPECT_EQ(20, second.returnValue);
    EXPECT_EQ("console-a", second.Output("@LockOwner"));
    EXPECT_EQ(21, Rv("UpdateSetupWizardProgress", {{"@Owner", "console-b"}, {"@Progress", Int(3)}, {"@ReleaseLock", Int(0)}}));
    EXPECT_EQ(0, Rv("UpdateSetupWizardProgress", {{"@Owner", "console-a"}, {"@Progress", Int(3)}, {"@ReleaseLock", Int(1)}}));
    const ProcedureResult third = Call("AcquireSetupWizardLock", {{"@Owner", "console-b"}});
    EXPECT_EQ(0, third.returnValue);
    EXPECT_EQ("3", third.Output("@Progress"));
    EXPECT_EQ(1, Rv("AcquireSetupWizardLock", {{"@Owner", ""}}));
    // An abandoned hold expires.
    Conn().Exec("UPDATE dbo.\"Settings\" SET \"WizardLockTime\" = localtimestamp - interval '31 minutes'");
    EXPECT_EQ(0, Rv("AcquireSetupWizardLock", {{"@Owner", "console-a"}}));
}

}  // namespace
}  // namespace corvexdb::test
