#pragma once
// Each test gets a database of its own, created from the embedded SQL and dropped afterwards.
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvex-db/ProcedureCall.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace corvexdb::test {

constexpr long long kRootGroup = 4294967295LL;
constexpr long long kUnassignedGroup = 4294967294LL;

inline SqlValue Int(long long v) { return std::to_string(v); }
inline const SqlValue kNull = std::nullopt;

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_db = std::make_unique<ScratchDatabase>("corvex_test");
        m_conn = std::make_unique<PgConnection>(m_db->Connect());
    }
    void TearDown() override {
        m_conn.reset();
        m_db.reset();
    }

    PgConnection& Conn() { return *m_conn; }
    ProcedureResult Call(const std::string& name, const ProcedureArgs& args = {}) {
        return CallProcedure(*m_conn, name, args);
    }
    int Rv(const std::string& name, const ProcedureArgs& args = {}) { return Call(name, args).returnValue; }
    // The first column of the first row of a plain query; empty optional for NULL.
    SqlValue Scalar(const std::string& sql) {
        const PgResult r = m_conn->Exec(sql);
        return r.Rows() ? r.Value(0, 0) : std::nullopt;
    }
    long long Count(const std::string& sql) { return std::stoll(Scalar(sql).value_or("0")); }

    // A managed computer as a status reply makes it: name = address.
    int Managed(const std::string& name, const std::string& address = {}) {
        const std::string addr = address.empty() ? name : address;
        const int rv = Rv("UpdateComputerStatus", {{"@ComputerName", name}, {"@DomainName", "DOM"},
                                                   {"@MessageSystemAddress", addr}, {"@OperatingSystem", Int(8)},
                                                   {"@Description", "desc"}, {"@IPAddress", Int(16909060)},
                                                   {"@ServicePack", "SP2"}, {"@LastLoggedOnUser", "DOM\\bob"}});
        EXPECT_TRUE(rv == 0 || rv == 50) << rv;
        return IdOf(addr);
    }
    // A computer as browsing the network makes it: no address.
    int Browsed(const std::string& name) {
        const ProcedureResult r = Call("AddComputer", {{"@ComputerName", name}, {"@DomainName", "DOM"},
                                                       {"@OperatingSystem", Int(14)}, {"@Description", kNull}});
        EXPECT_EQ(0, r.returnValue);
        return std::stoi(r.Output("@ComputerID").value());
    }
    int IdOf(const std::string& address) {
        const ProcedureResult r = Call("GetCompFromMessageSystemAddressStr", {{"@MessageSystemAddress", address}});
        EXPECT_EQ(0, r.returnValue) << address;
        return r.returnValue == 0 ? std::stoi(r.Output("@ComputerID").value()) : -1;
    }
    int Group(const std::string& name, long long parent = kRootGroup) {
        const ProcedureResult r = Call("AddGroup", {{"@NewParentID", Int(parent)}, {"@Name", name}});
        EXPECT_EQ(0, r.returnValue) << name;
        return r.returnValue == 0 ? std::stoi(r.Output("@GroupID").value()) : -1;
    }
    void Join(int computer, long long group) {
        ASSERT_EQ(0, Rv("AddComputerToGroup", {{"@ComputerID", Int(computer)}, {"@NewGroupID", Int(group)}}));
    }
    std::vector<long long> Ids(const std::string& name, const ProcedureArgs& args = {}) {
        const ProcedureResult r = Call(name, args);
        EXPECT_EQ(0, r.returnValue) << name;
        EXPECT_TRUE(r.hasRowSet) << name;
        return r.Ids();
    }

private:
    std::unique_ptr<ScratchDatabase> m_db;
    std::unique_ptr<PgConnection> m_conn;
};

}  // namespace corvexdb::test
