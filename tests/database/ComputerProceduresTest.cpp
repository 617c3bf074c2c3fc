// Computers: identity by address and name, details, deletion and revival, the filtered lists,
// text limits and concurrent status replies.
#include "tests/database/DatabaseFixture.h"

#include <algorithm>
#include <set>
#include <thread>

namespace corvexdb::test {
namespace {

using ComputerTest = DatabaseTest;

ProcedureArgs Status(const std::string& name, const std::string& address, const std::string& description = "d") {
    return {{"@ComputerName", name}, {"@DomainName", "DOM"}, {"@MessageSystemAddress", address},
            {"@OperatingSystem", Int(6)}, {"@Description", description}, {"@IPAddress", Int(3232235777)},
            {"@ServicePack", "SP4"}, {"@LastLoggedOnUser", "DOM\\eve"}};
}

TEST_F(ComputerTest, StatusCreatesTheComputerOnceAndStoresItsDetails) {
    EXPECT_EQ(50, Rv("UpdateComputerStatus", Status("PC7", "PC7", "first")));
    EXPECT_EQ(0, Rv("UpdateComputerStatus", Status("PC7", "PC7", "second")));
    const int id = IdOf("PC7");
    EXPECT_EQ(1, Count("SELECT count(*) FROM dbo.\"Computers\""));

    const ProcedureResult d = Call("GetComputerDetails", {{"@ComputerID", Int(id)}});
    ASSERT_EQ(0, d.returnValue);
    EXPECT_EQ("PC7", d.Output("@ComputerName"));
    EXPECT_EQ("DOM", d.Output("@DomainName"));
    EXPECT_EQ("second", d.Output("@Description"));
    EXPECT_EQ("6", d.Output("@OperatingSystem"));
    EXPECT_EQ("3232235777", d.Output("@IPAddress"));
    EXPECT_EQ("SP4", d.Output("@ServicePack"));
    EXPECT_EQ("DOM\\eve", d.Output("@LastLoggedOnUser"));
    EXPECT_EQ("t", d.Output("@ManagedFlag"));
    EXPECT_EQ("f", d.Output("@InstallPendingFlag"));
    EXPECT_EQ("0", d.Output("@AlertState"));
    EXPECT_EQ("0", d.Output("@InstallFailureReason"));
    for (const char* unknown : {"@GroupID", "@ConnectedFlag", "@DexInstalledFlag", "@HasGroupAUConfig",
                                "@InstallTime", "@LastScanDateTime", "@Outofdate", "@LastMessageTime"}) {
        EXPECT_FALSE(d.Output(unknown).has_value()) << unknown;
    }
    ASSERT_TRUE(d.hasRowSet);
    EXPECT_EQ(std::vector<std::string>{"IdeList"}, d.columns);
    ASSERT_EQ(1u, d.rows.size());
    EXPECT_FALSE(d.rows[0][0].has_value());

    EXPECT_EQ(22, Call("GetComputerDetails", {{"@ComputerID", Int(id + 1)}}).returnValue);
}

TEST_F(ComputerTest, StatusAdoptsTheBrowsedRecordOfTheSameComputer) {
    const int browsed = Browsed("PC8");
    const int group = Group("Sales");
    Join(browsed, group);
    EXPECT_EQ(0, Rv("UpdateComputerStatus", Status("pc8", "PC8")));
    EXPECT_EQ(browsed, IdOf("PC8"));
    EXPECT_EQ(std::vector<long long>{browsed}, Ids("GetGroupMembers", {{"@GroupID", Int(group)}}));

    // A managed computer renamed to the name of its own browsed record absorbs that record.
    const int managed = Managed("OLDNAME", "ADDR1");
    const int stale = Browsed("NEWNAME");
    const int other = Group("Other");
    Join(stale, other);
    EXPECT_EQ(50, Rv("UpdateComputerStatus", Status("NEWNAME", "ADDR1")));
    EXPECT_EQ(managed, IdOf("ADDR1"));
    EXPECT_EQ(std::vector<long long>{managed}, Ids("GetGroupMembers", {{"@GroupID", Int(other)}}));
    const ProcedureResult byName = Call("GetComputerID", {{"@ComputerName", "newname"}});
    EXPECT_EQ(0, byName.returnValue);
    EXPECT_EQ(std::to_string(managed), byName.Output("@ComputerID"));
    EXPECT_EQ(22, Call("GetComputerDetails", {{"@ComputerID", Int(stale)}}).returnValue);

    // A name held by another managed computer stays with it, and the reply claiming it is refused.
    const int holder = Managed("TAKEN", "ADDR2");
    EXPECT_EQ(20, Rv("UpdateComputerStatus", Status("TAKEN", "ADDR1", "changed")));
    const ProcedureResult kept = Call("GetComputerDetails", {{"@ComputerID", Int(managed)}});
    EXPECT_EQ("NEWNAME", kept.Output("@ComputerName"));
    EXPECT_EQ("d", kept.Output("@Description"));
    EXPECT_EQ(holder, IdOf("ADDR2"));
}

TEST_F(ComputerTest, AddressLookupsTellUnknownDeletedAndUnmanagedApart) {
    const int managed = Managed("PC1");
    const int browsed = Browsed("PC2");
    const ProcedureResult unknown = Call("GetCompFromMessageSystemAddressStr", {{"@MessageSystemAddress", "NOPE"}});
    EXPECT_EQ(48, unknown.returnValue);
    for (const char* proc : {"GetMessageSystemAddressStr", "GetMessageSystemAddress"}) {
        const ProcedureResult ok = Call(proc, {{"@ComputerID", Int(managed)}});
        EXPECT_EQ(0, ok.returnValue);
        EXPECT_EQ("PC1", ok.Output("@MessageSystemAddress"));
        EXPECT_EQ(47, Rv(proc, {{"@ComputerID", Int(browsed)}}));
        EXPECT_EQ(39, Rv(proc, {{"@ComputerID", Int(browsed + 100)}}));
    }
    ASSERT_EQ(0, Rv("DeleteComputers", {{"@ComputerIDList", Int(managed)}}));
    EXPECT_EQ(39, Rv("GetCompFromMessageSystemAddressStr", {{"@MessageSystemAddress", "PC1"}}));
    EXPECT_EQ(39, Rv("GetMessageSystemAddressStr", {{"@ComputerID", Int(managed)}}));
    EXPECT_EQ(39, Rv("UpdateComputerConnectedState", {{"@MessageSystemAddress", "PC1"}, {"@ConnectedFlag", Int(1)}}));
    EXPECT_EQ(48, Rv("UpdateComputerConnectedState", {{"@MessageSystemAddress", "NOPE"}, {"@ConnectedFlag", Int(0)}}));
}

TEST_F(ComputerTest, DeletedComputerComesBackUnderItsOldIdentity) {
    const int group = Group("G");
    const int id = Managed("PC1");
    Join(id, group);
    ASSERT_EQ(0, Rv("AddVirusAlert", {{"@ComputerID", Int(id)}, {"@AlertTime", "2024-01-01 10:00"},
                                      {"@UserName", "u"}, {"@VirusName", "V"}, {"@VirusType", Int(1)},
                                      {"@InfectedItem", "c:\\x"}, {"@ScannerType", Int(1)}, {"@ActionTaken", Int(2)}}));
    ASSERT_EQ(0, Rv("DeleteComputers", {{"@ComputerIDList", Int(id)}}));
    EXPECT_EQ(22, Rv("GetComputerDetails", {{"@ComputerID", Int(id)}}));
    EXPECT_TRUE(Ids("GetGroupMembers", {{"@GroupID", Int(group)}}).empty());
    EXPECT_EQ(0, Count("SELECT count(*) FROM dbo.\"Alerts\""));

    auto fromAddress = [&](const std::string& address, const std::string& name) {
        return Call("ComputerFromAddressNameDomain",
                    {{"@MessageSystemAddress", address}, {"@ComputerName", name}, {"@DomainName", "DOM"}});
    };
    const ProcedureResult revived = fromAddress("PC1", "PC1");
    EXPECT_EQ(8, revived.returnValue);
    EXPECT_EQ("1", revived.Output("@ComputerDeleted"));
    EXPECT_EQ(std::to_string(id), revived.Output("@ComputerID"));
    EXPECT_EQ(std::vector<long long>{id}, Ids("GetUnassignedComputers"));
    const ProcedureResult again = fromAddress("PC1", "PC1");
    EXPECT_EQ(8, again.returnValue);
    EXPECT_EQ("0", again.Output("@ComputerDeleted"));

    const ProcedureResult fresh = fromAddress("PC9", "PC9");
    EXPECT_EQ(0, fresh.returnValue);
    EXPECT_EQ("0", fresh.Output("@ComputerDeleted"));
    const int browsed = Browsed("PC10");
    const ProcedureResult attached = fromAddress("PC10", "PC10");
    EXPECT_EQ(0, attached.returnValue);
    EXPECT_EQ(std::to_string(browsed), attached.Output("@ComputerID"));

    // A status reply revives too, and says that membership changed.
    ASSERT_EQ(0, Rv("DeleteComputers", {{"@ComputerIDList", Int(id)}}));
    EXPECT_EQ(50, Rv("UpdateComputerStatus", Status("PC1", "PC1")));
    EXPECT_EQ(id, IdOf("PC1"));
    EXPECT_EQ(0, Rv("UpdateComputerStatus", Status("PC1", "PC1")));
}

TEST_F(ComputerTest, DeleteComputersIsAllOrNothing) {
    const int a = Managed("A");
    const int b = Managed("B");
    for (const std::string bad : {"", "1,x", "1;;2", "99999999999"}) {
        EXPECT_EQ(1, Rv("DeleteComputers", {{"@ComputerIDList", bad}})) << bad;
    }
    EXPECT_EQ(1, Rv("DeleteComputers", {{"@ComputerIDList", kNull}}));
    EXPECT_EQ(39, Rv("DeleteComputers", {{"@ComputerIDList", std::to_string(a) + "," + std::to_string(b + 5)}}));
    EXPECT_EQ(0, Rv("GetComputerDetails", {{"@ComputerID", Int(a)}}));
    EXPECT_EQ(0, Rv("DeleteComputers", {{"@ComputerIDList", " " + std::to_string(a) + " ; " + std::to_string(b) + ","
                                                                  + std::to_string(a)}}));
    EXPECT_TRUE(Ids("GetComputerList", {{"@Filter", Int(0)}, {"@OrderBy", Int(0)}, {"@Ascending", Int(1)}}).empty());
    EXPECT_EQ(39, Rv("DeleteComputers", {{"@ComputerIDList", Int(a)}}));  // already deleted
}

TEST_F(ComputerTest, AddComputerFindsExistingNamesWithoutCase) {
    const ProcedureResult first = Call("AddComputer", {{"@ComputerName", "Host1"}, {"@DomainName", "D"},
                                                       {"@OperatingSystem", kNull}, {"@Description", kNull}});
    ASSERT_EQ(0, first.returnValue);
    const ProcedureResult second = Call("AddComputer", {{"@ComputerName", "HOST1"}, {"@DomainName", "E"},
                                                        {"@OperatingSystem", Int(7)}, {"@Description", "x"}});
    EXPECT_EQ(8, second.returnValue);
    EXPECT_EQ(first.Output("@ComputerID"), second.Output("@ComputerID"));
    const ProcedureResult d = Call("GetComputerDetails", {{"@ComputerID", first.Output("@ComputerID")}});
    EXPECT_EQ("D", d.Output("@DomainName"));
    EXPECT_EQ("0", d.Output("@OperatingSystem"));
    EXPECT_EQ("f", d.Output("@ManagedFlag"));
    EXPECT_EQ(first.Output("@ComputerID"), Call("GetComputerID", {{"@ComputerName", "host1"}}).Output("@ComputerID"));
    EXPECT_EQ(22, Rv("GetComputerID", {{"@ComputerName", "nobody"}}));
    EXPECT_EQ(1, Rv("AddComputer", {{"@ComputerName", ""}, {"@DomainName", "D"}, {"@OperatingSystem", kNull},
                                    {"@Description", kNull}}));
}

TEST_F(ComputerTest, TextsOverTheirDeclaredSizeAreRejectedNeverCut) {
    auto rejects = [&](const ProcedureArgs& args) {
        try {
            Call("UpdateComputerStatus", args);
            return false;
        } catch (const DbError& e) {
            return e.SqlState() == "23514";  // check_violation of the sized-text domain
        }
    };
    EXPECT_TRUE(rejects(Status("PC1", std::string(256, 'a'))));
    EXPECT_TRUE(rejects(Status("PC1", std::string(255, 'a') + " ")));
    EXPECT_TRUE(rejects(Status(std::string(32, 'n'), "A1")));
    EXPECT_TRUE(rejects(Status("PC1", "A1", std::string(513, 'd'))));
    EXPECT_EQ(0, Count("SELECT count(*) FROM dbo.\"Computers\""));

    EXPECT_EQ(50, Rv("UpdateComputerStatus", Status(std::string(31, 'n'), std::string(255, 'a'), std::string(512, 'd'))));
    const int id = IdOf(std::string(255, 'a'));
    const ProcedureResult d = Call("GetComputerDetails", {{"@ComputerID", Int(id)}});
    EXPECT_EQ(std::string(31, 'n'), d.Output("@ComputerName"));
    EXPECT_EQ(std::string(512, 'd'), d.Output("@Description"));
    EXPECT_THROW(Call("UpdateComputerDescriptionAndOS", {{"@ComputerID", Int(id)}, {"@OperatingSystem", Int(9)},
                                                        {"@description", std::string(513, 'x')}}),
                 DbError);
    EXPECT_EQ(std::string(512, 'd'), Call("GetComputerDetails", {{"@ComputerID", Int(id)}}).Output("@Description"));
    EXPECT_EQ(1, Rv("UpdateComputerStatus", Status("", "A2")));
    EXPECT_EQ(1, Rv("UpdateComputerStatus", Status("PC2", "")));
}

TEST_F(ComputerTest, ReportedStateIsStoredPerComputer) {
    const int id = Managed("PC1");
    EXPECT_EQ(0, Rv("UpdateComputerConnectedState", {{"@MessageSystemAddress", "PC1"}, {"@ConnectedFlag", Int(-1)}}));
    EXPECT_EQ("t", Call("GetComputerDetails", {{"@ComputerID", Int(id)}}).Output("@ConnectedFlag"));
    EXPECT_EQ(0, Rv("UpdateComputerConnectedState", {{"@MessageSystemAddress", "PC1"}, {"@ConnectedFlag", Int(0)}}));
    EXPECT_EQ(0, Rv("UpdateComputerDescriptionAndOS", {{"@ComputerID", Int(id)}, {"@OperatingSystem", Int(13)},
                                                       {"@description", "Samba"}}));
    EXPECT_EQ(0, Rv("ComputerSetLastScan", {{"@LastScanDateTime", "2024-03-01 12:30:00"}, {"@ComputerID", Int(id)},
                                            {"@LastScanName", "Full scan"}}));
    EXPECT_EQ(0, Rv("ComputerLastMessageTimeSet", {{"@ComputerID", Int(id)}, {"@LastMessageTime", "2024-03-02 08:00:00"}}));
    EXPECT_EQ(0, Rv("ComputerSetInstallResult", {{"@ComputerID", Int(id)}, {"@InstallResult", Int(1603)},
                                                 {"@InstallTime", "2024-03-03 09:00:00"}}));
    const ProcedureResult d = Call("GetComputerDetails", {{"@ComputerID", Int(id)}});
    EXPECT_EQ("f", d.Output("@ConnectedFlag"));
    EXPECT_EQ("13", d.Output("@OperatingSystem"));
    EXPECT_EQ("Samba", d.Output("@Description"));
    EXPECT_EQ("2024-03-01 12:30:00", d.Output("@LastScanDateTime"));
    EXPECT_EQ("Full scan", d.Output("@LastScanName"));
    EXPECT_EQ("2024-03-02 08:00:00", d.Output("@LastMessageTime"));
    EXPECT_EQ("1603", d.Output("@InstallFailureReason"));
    EXPECT_EQ("2024-03-03 09:00:00", d.Output("@InstallTime"));

    const SqlValue missing = Int(id + 50);
    EXPECT_EQ(22, Rv("ComputerSetLastScan", {{"@LastScanDateTime", "2024-01-01"}, {"@ComputerID", missing},
                                             {"@LastScanName", ""}}));
    EXPECT_EQ(39, Rv("ComputerLastMessageTimeSet", {{"@ComputerID", missing}, {"@LastMessageTime", kNull}}));
    EXPECT_EQ(39, Rv("UpdateComputerDescriptionAndOS", {{"@ComputerID", missing}, {"@OperatingSystem", Int(1)},
                                                        {"@description", ""}}));
    EXPECT_EQ(39, Rv("ComputerSetInstallResult", {{"@ComputerID", missing}, {"@InstallResult", Int(0)},
                                                  {"@InstallTime", kNull}}));
    EXPECT_EQ(1, Rv("ComputerSetInstallResult", {{"@ComputerID", Int(id)}, {"@InstallResult", kNull},
                                                 {"@InstallTime", kNull}}));
}

TEST_F(ComputerTest, InstallFlagsAreSetAndClearedTogether) {
    const int a = Managed("A");
    const int b = Browsed("B");
    EXPECT_EQ(0, Rv("SetComputerInstallPendingFlag", {{"@ComputerID", Int(b)}, {"@InstallPendingFlag", Int(-1)}}));
    EXPECT_EQ(0, Rv("SetComputerInstallInProgressFlag", {{"@ComputerID", Int(a)}, {"@InstallInProgressFlag", Int(1)}}));
    const auto active = Ids("GetComputerList", {{"@Filter", Int(8)}, {"@OrderBy", Int(0)}, {"@Ascending", Int(1)}});
    EXPECT_EQ((std::vector<long long>{a, b}), active);
    EXPECT_EQ("t", Call("GetComputerDetails", {{"@ComputerID", Int(b)}}).Output("@InstallPendingFlag"));
    EXPECT_EQ(0, Rv("ClearComputerInstallFlags"));
    EXPECT_TRUE(Ids("GetComputerList", {{"@Filter", Int(8)}, {"@OrderBy", Int(0)}, {"@Ascending", Int(1)}}).empty());
    EXPECT_EQ("f", Call("GetComputerDetails", {{"@ComputerID", Int(a)}}).Output("@InstallInProgressFlag"));
}

TEST_F(ComputerTest, ComputerListFiltersSelectTheirComputers) {
    const int plain = Managed("PLAIN");
    const int alerting = Managed("ALERTING");
    const int browsed = Browsed("BROWSED");
    const int failed = Managed("FAILED");
    const int differs = Managed("DIFFERS");
    const int library = Managed("LIBRARY");
    const int stale = Managed("STALE");
    for (int id : {plain, alerting, failed, differs, library, stale}) {
        const std::string addr = Call("GetMessageSystemAddressStr", {{"@ComputerID", Int(id)}}).Output("@MessageSystemAddress").value();
        ASSERT_EQ(0, Rv("UpdateComputerConnectedState", {{"@MessageSystemAddress", addr}, {"@ConnectedFlag", Int(id != plain)}}));
        ASSERT_EQ(0, Rv("SetDexStatus", {{"@ComputerID", Int(id)}, {"@DexInstalled", Int(1)}, {"@OnAccessFlag", Int(1)},
                                         {"@Version", "7"}, {"@QuarantineCount", Int(0)},
                                         {"@VirusDataVersion", id == stale ? "4.9" : "4.10"},
                                         {"@VirusEngineVersion", "1"}, {"@IDEChecksum", "c"}, {"@ProductID", "p"},
                                         {"@IDEList", ""}}));
    }
    ASSERT_EQ(0, Rv("AddErrorAlert", {{"@ComputerID", Int(alerting)}, {"@AlertTime", "2024-01-01"}, {"@UserName", "u"},
                                      {"@Source", "s"}, {"@EntityInfo", "e"}, {"@number", Int(1)},
                                      {"@MessageCode", "m"}, {"@Insert1", ""}, {"@Insert2", ""}, {"@Insert3", ""},
                                      {"@Insert4", ""}, {"@Insert5", ""}}));
    ASSERT_EQ(0, Rv("ComputerSetInstallResult", {{"@ComputerID", Int(failed)}, {"@InstallResult", Int(52)},
                                                 {"@InstallTime", kNull}}));
    ASSERT_EQ(0, Rv("ComputerHasGroupDexConfig", {{"@ComputerID", Int(differs)}, {"@HasGroupConfig", Int(0)}}));
    ASSERT_EQ(0, Rv("ComputerHasGroupAUConfig", {{"@ComputerID", Int(plain)}, {"@HasGroupConfig", Int(1)}}));
    ASSERT_EQ(0, Rv("SetTzLibraryStatus", {{"@ComputerID", Int(library)}, {"@TzLibraryStatusXML", "<tzlib/>"}}));
    ASSERT_EQ(0, Rv("ComputerSetDexStatusNotRunning", {{"@ComputerID", Int(stale)}}));

    auto filter = [&](int f) {
        auto ids = Ids("GetComputerList", {{"@Filter", Int(f)}, {"@OrderBy", Int(0)}, {"@Ascending", Int(1)}});
        return std::set<long long>(ids.begin(), ids.end());
    };
    using S = std::set<long long>;
    EXPECT_EQ((S{plain, alerting, browsed, failed, differs, library, stale}), filter(0));
    EXPECT_EQ(S{alerting}, filter(1));
    EXPECT_EQ(S{}, filter(2));
    EXPECT_EQ(S{alerting}, filter(3));
    EXPECT_EQ(S{plain}, filter(4));
    EXPECT_EQ(S{differs}, filter(5));
    EXPECT_EQ(S{stale}, filter(6));
    EXPECT_EQ(S{failed}, filter(7));
    EXPECT_EQ(S{browsed}, filter(9));
    EXPECT_EQ((S{plain, alerting, failed, differs, library, stale}), filter(10));
    EXPECT_EQ(S{}, filter(11));
    EXPECT_EQ(S{stale}, filter(12));
    EXPECT_EQ(S{library}, filter(13));

    const auto byNameDesc = Ids("GetComputerList", {{"@Filter", Int(0)}, {"@OrderBy", Int(1)}, {"@Ascending", Int(0)}});
    EXPECT_EQ((std::vector<long long>{stale, plain, library, failed, differs, browsed, alerting}), byNameDesc);
    for (const auto& bad : std::vector<std::pair<int, int>>{{14, 0}, {-1, 0}, {0, 7}}) {
        const ProcedureResult r = Call("GetComputerList", {{"@Filter", Int(bad.first)}, {"@OrderBy", Int(bad.second)},
                                                           {"@Ascending", Int(1)}});
        EXPECT_EQ(1, r.returnValue);
        EXPECT_FALSE(r.hasRowSet);
    }
}

TEST_F(ComputerTest, ConcurrentStatusRepliesAndCreationsMakeEachComputerOnce) {
    constexpr int kThreads = 6;
    constexpr int kComputers = 25;
    std::vector<std::thread> threads;
    std::vector<std::string> errors(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            try {
                PgConnection conn(ConnectionOptions{}, Conn().DatabaseName());
                for (int i = 0; i < kComputers; ++i) {
                    const int n = (t % 2) ? i : kComputers - 1 - i;  // half the threads go backwards
                    const std::string name = "PC" + std::to_string(n);
                    const int rv = CallProcedure(conn, "UpdateComputerStatus", Status(name, name)).returnValue;
                    if (rv != 0 && rv != 50) throw DbError("UpdateComputerStatus returned " + std::to_string(rv));
                    CallProcedure(conn, "AddComputer", {{"@ComputerName", "B" + std::to_string(n)}, {"@DomainName", "D"},
                                                        {"@OperatingSystem", kNull}, {"@Description", kNull}});
                    CallProcedure(conn, "ComputerFromAddressNameDomain",
                                  {{"@MessageSystemAddress", "E" + std::to_string(n)},
                                   {"@ComputerName", "E" + std::to_string(n)}, {"@DomainName", "D"}});
                }
            } catch (const std::exception& e) {
                errors[t] = e.what();
            }
        });
    }
    for (auto& th : threads) th.join();
    for (const auto& e : errors) EXPECT_EQ("", e);
    EXPECT_EQ(3 * kComputers, Count("SELECT count(*) FROM dbo.\"Computers\""));
    EXPECT_EQ(kComputers, Count("SELECT count(DISTINCT \"MessageSystemAddress\") FROM dbo.\"Computers\" "
                                "WHERE \"MessageSystemAddress\" LIKE 'PC%'"));
}

}  // namespace
}  // namespace corvexdb::test
