// Who may speak for a computer: only its own address. A status reply or an event from another
// address that names a managed computer is refused and changes nothing; a computer that has no
// address yet (browsed, installed) is bound to the first address that names it.
#include "tests/database/DatabaseFixture.h"

#include <thread>

namespace corvexdb::test {
namespace {

class IdentityTest : public DatabaseTest {
protected:
    static ProcedureArgs Status(const std::string& name, const std::string& address, const std::string& description) {
        return {{"@ComputerName", name}, {"@DomainName", "EVIL"}, {"@MessageSystemAddress", address},
                {"@OperatingSystem", Int(9)}, {"@Description", description}, {"@IPAddress", Int(167772161)},
                {"@ServicePack", "SP9"}, {"@LastLoggedOnUser", "EVIL\\mallory"}};
    }
    ProcedureResult Event(const std::string& address, const std::string& name) {
        return Call("ComputerFromAddressNameDomain",
                    {{"@MessageSystemAddress", address}, {"@ComputerName", name}, {"@DomainName", "EVIL"}});
    }
    std::string AddressOf(int id) {
        return Scalar("SELECT \"MessageSystemAddress\" FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + std::to_string(id))
            .value_or("<null>");
    }
    // Everything a refused message could have touched, as one text to compare before and after.
    std::string Snapshot() {
        return Scalar("SELECT string_agg(concat_ws('|', \"ComputerID\", \"ComputerName\", \"DomainName\", "
                      "\"MessageSystemAddress\", \"Description\", \"OperatingSystem\", \"IPAddress\", \"Deleted\", "
                      "\"GroupID\"), ';' ORDER BY \"ComputerID\") FROM dbo.\"Computers\"")
            .value_or("");
    }
};

TEST_F(IdentityTest, AStatusReplyFromANewAddressNeverMovesAManagedComputer) {
    const int group = Group("Servers");
    const int victim = Managed("VICTIM", "site.VICTIM");
    Join(victim, group);
    const std::string before = Snapshot();

    // Same name, any case, from an address that is not the computer's.
    EXPECT_EQ(20, Rv("UpdateComputerStatus", Status("VICTIM", "site.ATTACKER", "mine now")));
    EXPECT_EQ(20, Rv("UpdateComputerStatus", Status("victim", "VICTIM.x", "mine now")));
    EXPECT_EQ(before, Snapshot());
    EXPECT_EQ("site.VICTIM", AddressOf(victim));
    EXPECT_EQ(48, Call("GetCompFromMessageSystemAddressStr", {{"@MessageSystemAddress", "site.ATTACKER"}}).returnValue);
    EXPECT_EQ(48, Rv("UpdateComputerConnectedState", {{"@MessageSystemAddress", "site.ATTACKER"}, {"@ConnectedFlag", Int(1)}}));

    // The real computer goes on reporting as before.
    EXPECT_EQ(0, Rv("UpdateComputerStatus", Status("VICTIM", "site.VICTIM", "real")));
    EXPECT_EQ(victim, IdOf("site.VICTIM"));
    EXPECT_EQ("real", Call("GetComputerDetails", {{"@ComputerID", Int(victim)}}).Output("@Description"));
}

TEST_F(IdentityTest, AnEventFromANewAddressNeverMovesAManagedComputer) {
    const int victim = Managed("VICTIM", "VICTIM");
    const std::string before = Snapshot();
    const ProcedureResult refused = Event("ATTACKER", "Victim");
    EXPECT_EQ(20, refused.returnValue);
    EXPECT_FALSE(refused.Output("@ComputerID").has_value());
    EXPECT_EQ(before, Snapshot());
    EXPECT_EQ("VICTIM", AddressOf(victim));

    const ProcedureResult own = Event("VICTIM", "VICTIM");
    EXPECT_EQ(8, own.returnValue);
    EXPECT_EQ(std::to_string(victim), own.Output("@ComputerID"));
}

TEST_F(IdentityTest, AManagedComputerCannotRenameItselfIntoAnother) {
    const int victim = Managed("VICTIM", "VICTIM");
    const int insider = Managed("INSIDER", "INSIDER");
    const std::string before = Snapshot();
    EXPECT_EQ(20, Rv("UpdateComputerStatus", Status("VICTIM", "INSIDER", "x")));
    // Its events naming the other computer are refused too, not applied to either.
    EXPECT_EQ(20, Event("INSIDER", "VICTIM").returnValue);
    EXPECT_EQ(before, Snapshot());
    EXPECT_EQ(victim, IdOf("VICTIM"));
    EXPECT_EQ(insider, IdOf("INSIDER"));

    // A rename to a free name is still a rename, and its events follow it.
    EXPECT_EQ(0, Rv("UpdateComputerStatus", Status("RENAMED", "INSIDER", "x")));
    EXPECT_EQ("RENAMED", Call("GetComputerDetails", {{"@ComputerID", Int(insider)}}).Output("@ComputerName"));
    EXPECT_EQ(8, Event("INSIDER", "RENAMED").returnValue);
    // An event naming a free name from a known address is its computer's, as before.
    EXPECT_EQ(8, Event("INSIDER", "NOBODY").returnValue);
}

TEST_F(IdentityTest, AComputerWithoutAddressIsBoundToTheFirstAddressThatNamesIt) {
    // Made by browsing or by installation: no address yet.
    const int browsed = Browsed("BROWSED");
    const int group = Group("Lab");
    Join(browsed, group);
    EXPECT_EQ(0, Rv("UpdateComputerStatus", Status("browsed", "lab.BROWSED", "first")));
    EXPECT_EQ(browsed, IdOf("lab.BROWSED"));
    EXPECT_EQ(std::vector<long long>{browsed}, Ids("GetGroupMembers", {{"@GroupID", Int(group)}}));
    // Once bound, the binding holds against any other address.
    EXPECT_EQ(20, Rv("UpdateComputerStatus", Status("BROWSED", "lab.OTHER", "x")));
    EXPECT_EQ(20, Event("lab.OTHER", "BROWSED").returnValue);
    EXPECT_EQ("lab.BROWSED", AddressOf(browsed));

    const int installed = Browsed("INSTALLED");
    const ProcedureResult bound = Event("INSTALLED", "INSTALLED");
    EXPECT_EQ(0, bound.returnValue);
    EXPECT_EQ(std::to_string(installed), bound.Output("@ComputerID"));
    EXPECT_EQ("INSTALLED", AddressOf(installed));
    EXPECT_EQ(20, Event("ELSEWHERE", "INSTALLED").returnValue);
}

TEST_F(IdentityTest, ADeletedComputerIsLetGoButALiveOneKeepsItsAddress) {
    const int gone = Managed("GONE", "old.GONE");
    ASSERT_EQ(0, Rv("DeleteComputers", {{"@ComputerIDList", Int(gone)}}));
    // The administrator let it go: a new address may report under its name and revives it.
    EXPECT_EQ(50, Rv("UpdateComputerStatus", Status("GONE", "new.GONE", "back")));
    EXPECT_EQ(gone, IdOf("new.GONE"));
    // From then on the old address is the stranger.
    EXPECT_EQ(20, Rv("UpdateComputerStatus", Status("GONE", "old.GONE", "x")));
    EXPECT_EQ(20, Event("old.GONE", "GONE").returnValue);
    EXPECT_EQ("new.GONE", AddressOf(gone));

    // A deleted computer reporting again from its own address comes back as before, even if
    // the name it reports is free.
    const int own = Managed("OWN", "OWN");
    ASSERT_EQ(0, Rv("DeleteComputers", {{"@ComputerIDList", Int(own)}}));
    const ProcedureResult revived = Event("OWN", "OWN");
    EXPECT_EQ(8, revived.returnValue);
    EXPECT_EQ("1", revived.Output("@ComputerDeleted"));
    EXPECT_EQ(own, IdOf("OWN"));
}

TEST_F(IdentityTest, RacingClaimsOfOneNameLeaveItWithOneAddress) {
    // Several senders name one computer at once; exactly one address ends up with it and every
    // other sender is refused, never given the computer after another took it.
    const int browsed = Browsed("CONTESTED");
    constexpr int kSenders = 6;
    std::vector<int> results(kSenders, -1);
    std::vector<std::string> errors(kSenders);
    std::vector<std::thread> threads;
    for (int t = 0; t < kSenders; ++t) {
        threads.emplace_back([&, t] {
            try {
                PgConnection conn(ConnectionOptions{}, Conn().DatabaseName());
                const std::string address = "claimer" + std::to_string(t);
                results[t] = (t % 2) ? CallProcedure(conn, "UpdateComputerStatus", Status("CONTESTED", address, "c")).returnValue
                                     : CallProcedure(conn, "ComputerFromAddressNameDomain",
                                                     {{"@MessageSystemAddress", address}, {"@ComputerName", "CONTESTED"},
                                                      {"@DomainName", "D"}})
                                           .returnValue;
            } catch (const std::exception& e) {
                errors[t] = e.what();
            }
        });
    }
    for (auto& th : threads) th.join();
    int winners = 0;
    for (int t = 0; t < kSenders; ++t) {
        EXPECT_EQ("", errors[t]);
        EXPECT_TRUE(results[t] == 0 || results[t] == 20) << t << ": " << results[t];
        winners += results[t] == 0;
    }
    EXPECT_EQ(1, winners);
    EXPECT_EQ(1, Count("SELECT count(*) FROM dbo.\"Computers\""));
    EXPECT_EQ(0u, AddressOf(browsed).rfind("claimer", 0));
}

}  // namespace
}  // namespace corvexdb::test
