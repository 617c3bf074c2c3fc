// The group tree (names, moves, deletion), membership and the list procedures over it.
#include "tests/database/DatabaseFixture.h"

#include <chrono>
#include <thread>

namespace corvexdb::test {
namespace {

using GroupTest = DatabaseTest;

TEST_F(GroupTest, NamesAreUniqueAmongSiblingsAndValidated) {
    const int top = Group("Servers");
    const int child = Group("Web", top);
    EXPECT_EQ(34, Rv("AddGroup", {{"@NewParentID", kNull}, {"@Name", "SERVERS"}}));
    EXPECT_EQ(34, Rv("AddGroup", {{"@NewParentID", Int(top)}, {"@Name", "web"}}));
    EXPECT_GT(Group("Web"), 0);  // the same name under another parent
    EXPECT_EQ(22, Rv("AddGroup", {{"@NewParentID", Int(child + 100)}, {"@Name", "X"}}));
    EXPECT_EQ(38, Rv("AddGroup", {{"@NewParentID", Int(kUnassignedGroup)}, {"@Name", "X"}}));
    EXPECT_EQ(45, Rv("AddGroup", {{"@NewParentID", kNull}, {"@Name", ""}}));
    for (const char c : std::string("\\/*%?:\"<>|")) {
        EXPECT_EQ(46, Rv("AddGroup", {{"@NewParentID", kNull}, {"@Name", std::string("a") + c}})) << c;
    }
    EXPECT_GT(Group(std::string(32, 'g')), 0);
    EXPECT_THROW(Call("AddGroup", {{"@NewParentID", kNull}, {"@Name", std::string(33, 'g')}}), DbError);
    EXPECT_EQ(4, Count("SELECT count(*) FROM dbo.\"Groups\""));

    const ProcedureResult details = Call("GetGroupDetails", {{"@GroupID", Int(child)}});
    EXPECT_EQ(0, details.returnValue);
    EXPECT_EQ("Web", details.Output("@Name"));
    EXPECT_EQ(22, Rv("GetGroupDetails", {{"@GroupID", Int(child + 100)}}));

    EXPECT_EQ(0, Rv("RenameGroup", {{"@GroupID", Int(child)}, {"@Name", "WEB"}}));  // its own name, other case
    EXPECT_EQ(34, Rv("RenameGroup", {{"@GroupID", Int(top)}, {"@Name", "web"}}));  // the top-level "Web"
    EXPECT_EQ(22, Rv("RenameGroup", {{"@GroupID", Int(child + 100)}, {"@Name", "Z"}}));
    EXPECT_EQ(38, Rv("RenameGroup", {{"@GroupID", Int(kRootGroup)}, {"@Name", "Z"}}));
    EXPECT_EQ(46, Rv("RenameGroup", {{"@GroupID", Int(child)}, {"@Name", "a/b"}}));
    EXPECT_EQ("WEB", Call("GetGroupDetails", {{"@GroupID", Int(child)}}).Output("@Name"));
}

TEST_F(GroupTest, MovesKeepTheTreeATree) {
    const int a = Group("A");
    const int b = Group("B", a);
    const int c = Group("C", b);
    const int d = Group("D");
    Group("C", d);
    EXPECT_EQ(37, Rv("MoveGroup", {{"@GroupID", Int(a)}, {"@NewParentID", Int(c)}}));
    EXPECT_EQ(37, Rv("MoveGroup", {{"@GroupID", Int(a)}, {"@NewParentID", Int(a)}}));
    EXPECT_EQ(41, Rv("MoveGroup", {{"@GroupID", Int(d + 100)}, {"@NewParentID", Int(a)}}));
    EXPECT_EQ(42, Rv("MoveGroup", {{"@GroupID", Int(b)}, {"@NewParentID", Int(d + 100)}}));
    EXPECT_EQ(34, Rv("MoveGroup", {{"@GroupID", Int(c)}, {"@NewParentID", Int(d)}}));
    EXPECT_EQ(38, Rv("MoveGroup", {{"@GroupID", Int(b)}, {"@NewParentID", Int(kUnassignedGroup)}}));
    EXPECT_EQ(0, Rv("MoveGroup", {{"@GroupID", Int(b)}, {"@NewParentID", Int(d)}}));
    EXPECT_EQ(0, Rv("MoveGroup", {{"@GroupID", Int(a)}, {"@NewParentID", Int(c)}}));  // no longer an ancestor
    EXPECT_EQ(0, Rv("MoveGroup", {{"@GroupID", Int(a)}, {"@NewParentID", kNull}}));

    const ProcedureResult pairs = Call("GroupHierarchyGet");
    EXPECT_EQ((std::vector<std::string>{"ParentID", "ID"}), pairs.columns);
    std::map<long long, SqlValue> parentOf;
    for (const auto& row : pairs.rows) parentOf[std::stoll(*row[1])] = row[0];
    EXPECT_FALSE(parentOf[a].has_value());
    EXPECT_FALSE(parentOf[d].has_value());
    EXPECT_EQ(std::to_string(d), parentOf[b]);
    EXPECT_EQ(std::to_string(b), parentOf[c]);
}

TEST_F(GroupTest, DeleteTakesOnlyLeavesAndUnassignsTheirComputers) {
    const int parent = Group("P");
    const int leaf = Group("L", parent);
    const int pc = Managed("PC1");
    Join(pc, leaf);
    ASSERT_EQ(0, Rv("ComputerHasGroupAUConfig", {{"@ComputerID", Int(pc)}, {"@HasGroupConfig", Int(1)}}));
    EXPECT_EQ(43, Rv("DeleteGroup", {{"@GroupID", Int(parent)}}));
    EXPECT_EQ(40, Rv("DeleteGroup", {{"@GroupID", Int(leaf + 100)}}));
    EXPECT_EQ(38, Rv("DeleteGroup", {{"@GroupID", Int(kUnassignedGroup)}}));
    EXPECT_EQ(0, Rv("DeleteGroup", {{"@GroupID", Int(leaf)}}));
    EXPECT_EQ(std::vector<long long>{pc}, Ids("GetUnassignedComputers"));
    const ProcedureResult d = Call("GetComputerDetails", {{"@ComputerID", Int(pc)}});
    EXPECT_FALSE(d.Output("@GroupID").has_value());
    EXPECT_FALSE(d.Output("@HasGroupAUConfig").has_value());
    EXPECT_EQ(0, Rv("DeleteGroup", {{"@GroupID", Int(parent)}}));
}

TEST_F(GroupTest, MembershipIsOneGroupPerComputer) {
    const int g1 = Group("G1");
    const int g2 = Group("G2");
    const int pc = Managed("PC1");
    auto add = [&](long long computer, long long group) {
        return Rv("AddComputerToGroup", {{"@ComputerID", Int(computer)}, {"@NewGroupID", Int(group)}});
    };
    EXPECT_EQ(31, add(pc, kUnassignedGroup));  // a new computer is unassigned
    EXPECT_EQ(0, add(pc, g1));
    EXPECT_EQ(31, add(pc, g1));
    EXPECT_EQ(39, add(pc + 100, g1));
    EXPECT_EQ(40, add(pc, g2 + 100));
    EXPECT_EQ(38, add(pc, kRootGroup));
    EXPECT_EQ(0, add(pc, g2));  // moves it
    EXPECT_TRUE(Ids("GetGroupMembers", {{"@GroupID", Int(g1)}}).empty());
    EXPECT_EQ(std::to_string(g2), Call("GetComputerDetails", {{"@ComputerID", Int(pc)}}).Output("@GroupID"));

    auto move = [&](long long from, long long to) {
        return Rv("MoveComputerGroup", {{"@ComputerID", Int(pc)}, {"@SrcGroupID", Int(from)}, {"@DestGroupID", Int(to)}});
    };
    EXPECT_EQ(30, move(g1, g2));
    EXPECT_EQ(41, move(g2 + 100, g1));
    EXPECT_EQ(42, move(g2, g2 + 100));
    EXPECT_EQ(31, move(g2, g2));
    EXPECT_EQ(0, move(g2, g1));
    EXPECT_EQ(0, move(g1, kUnassignedGroup));
    EXPECT_EQ(0, move(kUnassignedGroup, g2));

    auto remove = [&](long long group) {
        return Rv("RemoveComputerFromGroup", {{"@ComputerID", Int(pc)}, {"@GroupID", Int(group)}});
    };
    EXPECT_EQ(30, remove(g1));
    EXPECT_EQ(40, remove(g2 + 100));
    EXPECT_EQ(38, remove(kUnassignedGroup));
    EXPECT_EQ(0, remove(g2));
    EXPECT_EQ(std::vector<long long>{pc}, Ids("GetGroupMembers", {{"@GroupID", Int(kUnassignedGroup)}}));
}

TEST_F(GroupTest, ListsWalkTheTreeInOrder) {
    // Tree: Beta(B1, b2(Deep)), alpha; names sort without case.
    const int beta = Group("Beta");
    const int alpha = Group("alpha");
    const int b2 = Group("b2", beta);
    const int b1 = Group("B1", beta);
    const int deep = Group("Deep", b2);
    const int inBeta = Managed("ZED");
    const int inDeep = Managed("AMY");
    const int inAlpha = Managed("BOB");
    const int loose = Managed("CAT");
    Join(inBeta, beta);
    Join(inDeep, deep);
    Join(inAlpha, alpha);

    using V = std::vector<long long>;
    EXPECT_EQ((V{alpha, beta}), Ids("GetRootGroups"));
    EXPECT_EQ((V{b1, b2}), Ids("GetSubGroups", {{"@GroupID", Int(beta)}, {"@AllDescendants", Int(0)}, {"@Ascending", Int(1)}}));
    EXPECT_EQ((V{b2, b1}), Ids("GetSubGroups", {{"@GroupID", Int(beta)}, {"@AllDescendants", Int(0)}, {"@Ascending", Int(0)}}));
    EXPECT_EQ((V{b1, b2, deep}), Ids("GetSubGroups", {{"@GroupID", Int(beta)}, {"@AllDescendants", Int(1)}, {"@Ascending", Int(1)}}));
    EXPECT_EQ((V{alpha, beta}), Ids("GetSubGroups", {{"@GroupID", Int(kRootGroup)}, {"@AllDescendants", Int(0)}, {"@Ascending", Int(1)}}));
    EXPECT_EQ(22, Rv("GetSubGroups", {{"@GroupID", Int(deep + 100)}, {"@AllDescendants", Int(0)}, {"@Ascending", Int(1)}}));

    EXPECT_EQ((V{alpha, beta, b1, b2, deep}), Ids("GroupAllChildGroupListGet", {{"@GroupID", kNull}}));
    EXPECT_EQ((V{b1, b2, deep}), Ids("GroupAllChildGroupListGet", {{"@GroupID", Int(beta)}}));
    EXPECT_TRUE(Ids("GroupAllChildGroupListGet", {{"@GroupID", Int(kUnassignedGroup)}}).empty());
    EXPECT_EQ(22, Rv("GroupAllChildGroupListGet", {{"@GroupID", Int(deep + 100)}}));

    EXPECT_EQ((V{inDeep, inBeta}), Ids("GroupAllChildComputerListGet", {{"@GroupID", Int(beta)}}));
    EXPECT_EQ((V{inDeep, inAlpha, loose, inBeta}), Ids("GroupAllChildComputerListGet", {{"@GroupID", kNull}}));
    EXPECT_EQ((V{loose}), Ids("GroupAllChildComputerListGet", {{"@GroupID", Int(kUnassignedGroup)}}));
    EXPECT_EQ((V{inBeta}), Ids("GetGroupMembers", {{"@GroupID", Int(beta)}}));
    EXPECT_TRUE(Ids("GetGroupMembers", {{"@GroupID", Int(kRootGroup)}}).empty());
    EXPECT_EQ(22, Rv("GetGroupMembers", {{"@GroupID", Int(deep + 100)}}));

    EXPECT_EQ((V{beta, alpha, b2, b1, deep}), Ids("GroupOrderedGroupListGet", {{"@OrderBy", Int(0)}}));
    EXPECT_EQ((V{alpha, b1, b2, beta, deep}), Ids("GroupOrderedGroupListGet", {{"@OrderBy", Int(1)}}));
    EXPECT_EQ((V{alpha, beta, b1, b2, deep}), Ids("GroupOrderedGroupListGet", {{"@OrderBy", Int(2)}}));
    EXPECT_EQ((V{alpha, beta, deep, b1, b2}), Ids("GroupOrderedGroupListGet", {{"@OrderBy", Int(3)}}));
    EXPECT_EQ(1, Rv("GroupOrderedGroupListGet", {{"@OrderBy", Int(4)}}));

    const ProcedureResult special = Call("GetSpecialGroup", {{"@GroupType", Int(2)}});
    EXPECT_EQ(std::to_string(kUnassignedGroup), special.Output("@GroupID"));
    EXPECT_EQ(std::to_string(kRootGroup), Call("GetSpecialGroup", {{"@GroupType", Int(1)}}).Output("@GroupID"));
    EXPECT_EQ(1, Rv("GetSpecialGroup", {{"@GroupType", Int(3)}}));
}

TEST_F(GroupTest, GroupConfigurationsAndTheirMatchFlags) {
    const int g = Group("G");
    const int pc = Managed("PC1");
    Join(pc, g);
    for (const char* kind : {"AU", "Dex"}) {
        const std::string get = std::string("GetGroup") + kind + "ConfigXML";
        const std::string set = std::string("SetGroup") + kind + "ConfigXML";
        const std::string param = std::string("@") + kind + "ConfigXML";
        const std::string column = std::string(kind) + "ConfigXML";
        const std::string flag = std::string("ComputerHasGroup") + kind + "Config";

        const ProcedureResult empty = Call(get, {{"@GroupID", Int(g)}});
        EXPECT_EQ(std::vector<std::string>{column}, empty.columns);
        ASSERT_EQ(1u, empty.rows.size());
        EXPECT_FALSE(empty.rows[0][0].has_value());

        ASSERT_EQ(0, Rv(flag, {{"@ComputerID", Int(pc)}, {"@HasGroupConfig", Int(0)}}));
        EXPECT_EQ(0, Rv(set, {{"@GroupID", Int(g)}, {param, "<cfg kind='" + std::string(kind) + "'/>"}}));
        const ProcedureResult stored = Call(get, {{"@GroupID", Int(g)}});
        EXPECT_EQ("<cfg kind='" + std::string(kind) + "'/>", stored.rows.at(0)[0]);
        // A new group configuration makes the member's match flag unknown again.
        EXPECT_FALSE(Call("GetComputerDetails", {{"@ComputerID", Int(pc)}}).Output("@HasGroup" + std::string(kind) + "Config").has_value());

        for (long long special : {kUnassignedGroup, kRootGroup}) {
            const ProcedureResult none = Call(get, {{"@GroupID", Int(special)}});
            EXPECT_EQ(0, none.returnValue);
            ASSERT_EQ(1u, none.rows.size());
            EXPECT_FALSE(none.rows[0][0].has_value());
            EXPECT_EQ(38, Rv(set, {{"@GroupID", Int(special)}, {param, "<x/>"}}));
        }
        EXPECT_EQ(22, Rv(get, {{"@GroupID", Int(g + 100)}}));
        EXPECT_EQ(22, Rv(set, {{"@GroupID", Int(g + 100)}, {param, "<x/>"}}));
    }
}

// Storing a group's configuration and deleting the group both lock the group and its
// computers; in the same order, two consoles doing one each wait for each other instead of
// deadlocking (40P01).
class GroupLockOrderTest : public DatabaseTest {
protected:
    struct Outcome {
        int returnValue = -1;
        std::string sqlState;
        std::string error;
    };
    Outcome Run(const std::string& procedure, const ProcedureArgs& args) {
        Outcome out;
        try {
            PgConnection conn(ConnectionOptions{}, Conn().DatabaseName());
            out.returnValue = CallProcedure(conn, procedure, args).returnValue;
        } catch (const DbError& e) {
            out.sqlState = e.SqlState();
            out.error = e.what();
        } catch (const std::exception& e) {
            out.error = e.what();
        }
        return out;
    }
    int GroupWithComputers(const std::string& name, int computers, std::vector<int>& ids) {
        const int g = Group(name);
        for (int i = 0; i < computers; ++i) {
            ids.push_back(Managed(name + "-" + std::to_string(i)));
            Join(ids.back(), g);
        }
        return g;
    }
    // Backends of this database waiting for a lock.
    long long Waiting() {
        return Count("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                     "AND wait_event_type = 'Lock'");
    }
    bool WaitForWaiting(long long n) {
        for (int i = 0; i < 500; ++i) {
            if (Waiting() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    static void ExpectCleanFinish(const Outcome& setter, const Outcome& deleter) {
        EXPECT_NE("40P01", setter.sqlState) << setter.error;
        EXPECT_NE("40P01", deleter.sqlState) << deleter.error;
        EXPECT_EQ("", setter.error);
        EXPECT_EQ("", deleter.error);
        EXPECT_EQ(0, deleter.returnValue);
        // Stored before the deletion, or refused because the group had gone.
        EXPECT_TRUE(setter.returnValue == 0 || setter.returnValue == 22) << setter.returnValue;
    }
};

TEST_F(GroupLockOrderTest, ConfigurationAndDeletionHeldUpOnTheSameComputersDoNotDeadlock) {
    // A third transaction holds the group's last computer: the deletion stops there having
    // locked the others, the configuration having changed the group's row. Let go, the two
    // must finish one after the other.
    std::vector<int> ids;
    const int g = GroupWithComputers("Pinned", 8, ids);
    PgConnection holder(ConnectionOptions{}, Conn().DatabaseName());
    holder.Exec("BEGIN");
    holder.Exec("SELECT 1 FROM dbo.\"Computers\" WHERE \"ComputerID\" = " + std::to_string(ids.back()) + " FOR UPDATE");

    Outcome setter, deleter;
    std::thread del([&] { deleter = Run("DeleteGroup", {{"@GroupID", Int(g)}}); });
    ASSERT_TRUE(WaitForWaiting(1));
    std::thread set([&] { setter = Run("SetGroupAUConfigXML", {{"@GroupID", Int(g)}, {"@AUConfigXML", "<au/>"}}); });
    const bool bothWaiting = WaitForWaiting(2);
    holder.Exec("COMMIT");
    del.join();
    set.join();
    ASSERT_TRUE(bothWaiting);
    ExpectCleanFinish(setter, deleter);
    EXPECT_EQ(22, Rv("GetGroupAUConfigXML", {{"@GroupID", Int(g)}}));
    for (const int id : ids)
        EXPECT_FALSE(Call("GetComputerDetails", {{"@ComputerID", Int(id)}}).Output("@GroupID").has_value());
}

TEST_F(GroupLockOrderTest, ConfigurationAndDeletionRacingManyTimesNeverDeadlock) {
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<int> ids;
        const int g = GroupWithComputers("R" + std::to_string(round), 6, ids);
        Outcome setter, deleter;
        std::thread set([&] {
            setter = Run(round % 2 ? "SetGroupAUConfigXML" : "SetGroupDexConfigXML",
                         {{"@GroupID", Int(g)}, {round % 2 ? "@AUConfigXML" : "@DexConfigXML", "<c/>"}});
        });
        std::thread del([&] { deleter = Run("DeleteGroup", {{"@GroupID", Int(g)}}); });
        set.join();
        del.join();
        SCOPED_TRACE("round " + std::to_string(round));
        ExpectCleanFinish(setter, deleter);
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace corvexdb::test
