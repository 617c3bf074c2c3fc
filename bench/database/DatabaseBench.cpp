// Seeds a scratch database (by default 100,000 computers in 1,000 groups with 1,000,000 alerts),
// times the list procedures and UpdateComputerStatus through the same calls the service makes,
// and prints the execution plans of the slowest ones (auto_explain, nested statements).
#include "tools/corvex-db/DatabaseTool.h"
#include "tools/corvex-db/ProcedureCall.h"
#include "tools/corvex-db/Seed.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace corvexdb;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Timing {
    std::string label;
    std::vector<double> ms;
    std::size_t rows = 0;
    std::function<ProcedureResult(PgConnection&, int)> call;  // to re-run it under EXPLAIN

    double Mean() const {
        double s = 0;
        for (double v : ms) s += v;
        return ms.empty() ? 0 : s / ms.size();
    }
    double Percentile(double p) const {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * sorted.size()))];
    }
};

class Bench {
public:
    explicit Bench(PgConnection& conn) : m_conn(conn) {
        const PgResult ids = conn.Exec("SELECT min(\"GroupID\"), max(\"GroupID\") FROM dbo.\"Groups\"");
        m_firstGroup = std::stoi(ids.Text(0, 0));
        m_lastGroup = std::stoi(ids.Text(0, 1));
        const PgResult computers = conn.Exec("SELECT min(\"ComputerID\"), max(\"ComputerID\") FROM dbo.\"Computers\"");
        m_firstComputer = std::stoi(computers.Text(0, 0));
        m_lastComputer = std::stoi(computers.Text(0, 1));
        const PgResult tops = conn.Exec("SELECT \"GroupID\" FROM dbo.\"Groups\" WHERE \"ParentID\" IS NULL");
        for (int r = 0; r < tops.Rows(); ++r) m_topGroups.push_back(std::stoi(tops.Text(r, 0)));
        const PgResult leaves = conn.Exec("SELECT \"GroupID\" FROM dbo.\"Groups\" g WHERE NOT EXISTS"
                                          " (SELECT 1 FROM dbo.\"Groups\" c WHERE c.\"ParentID\" = g.\"GroupID\")");
        for (int r = 0; r < leaves.Rows(); ++r) m_leafGroups.push_back(std::stoi(leaves.Text(r, 0)));
        const PgResult managed = conn.Exec("SELECT \"ComputerName\" FROM dbo.\"Computers\""
                                           " WHERE \"MessageSystemAddress\" = \"ComputerName\" ORDER BY random() LIMIT 5000");
        for (int r = 0; r < managed.Rows(); ++r) m_managedNames.push_back(managed.Text(r, 0));
    }

    // A status reply from a known, managed computer: its name is its address.
    ProcedureResult KnownStatus(PgConnection& c) {
        const std::string& name = m_managedNames[Uniform(0, static_cast<int>(m_managedNames.size()) - 1)];
        return CallProcedure(c, "UpdateComputerStatus",
                             {{"@ComputerName", name}, {"@DomainName", "DOMAIN1"}, {"@MessageSystemAddress", name},
                              {"@OperatingSystem", std::to_string(8)}, {"@Description", "updated"},
                              {"@IPAddress", std::to_string(167772161)}, {"@ServicePack", "SP3"},
                              {"@LastLoggedOnUser", "DOMAIN\\someone"}});
    }

    int RandomGroup() { return Uniform(m_firstGroup, m_lastGroup); }
    int RandomComputer() { return Uniform(m_firstComputer, m_lastComputer); }
    int RandomTop() { return m_topGroups[Uniform(0, static_cast<int>(m_topGroups.size()) - 1)]; }
    int RandomLeaf() { return m_leafGroups[Uniform(0, static_cast<int>(m_leafGroups.size()) - 1)]; }
    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_random); }

    void Run(const std::string& label, int iterations, std::function<ProcedureResult(PgConnection&, int)> call) {
        Timing t{label, {}, 0, call};
        for (int i = 0; i < iterations; ++i) {
            const auto start = Clock::now();
            const ProcedureResult r = call(m_conn, i);
            t.ms.push_back(Seconds(start) * 1000);
            if (r.returnValue != 0 && r.returnValue != 50) {
                throw DbError(label + " returned " + std::to_string(r.returnValue));
            }
            t.rows += r.rows.size();
        }
        std::printf("  %-52s %6zu %9.0f %8.2f %8.2f %8.2f %8.2f\n", label.c_str(), t.ms.size(),
                    static_cast<double>(t.rows) / t.ms.size(), t.Mean(), t.Percentile(0.5), t.Percentile(0.95),
                    t.Percentile(1.0));
        std::fflush(stdout);
        m_timings.push_back(std::move(t));
    }

    // Re-runs the slowest cases once with auto_explain on, printing the plan of every statement
    // inside the procedure (the cursor's query included).
    void ExplainSlowest(int count) {
        std::vector<const Timing*> order;
        for (const Timing& t : m_timings) order.push_back(&t);
        std::sort(order.begin(), order.end(), [](const Timing* a, const Timing* b) { return a->Mean() > b->Mean(); });
        m_conn.Exec("LOAD 'auto_explain'");
        m_conn.Exec("SET auto_explain.log_min_duration = 0; SET auto_explain.log_analyze = on;"
                    "SET auto_explain.log_buffers = on; SET auto_explain.log_timing = on;"
                    "SET auto_explain.log_nested_statements = on; SET client_min_messages = log");
        for (int i = 0; i < count && i < static_cast<int>(order.size()); ++i) {
            std::printf("\n=== Plan %d: %s (mean %.2f ms)\n", i + 1, order[i]->label.c_str(), order[i]->Mean());
            m_conn.TakeNotices();
            order[i]->call(m_conn, 0);
            for (const std::string& notice : m_conn.TakeNotices()) {
                // The outer SELECT of the function call adds nothing; the statements inside it do.
                if (notice.find("Function Scan on") != std::string::npos) continue;
                std::printf("%s\n", notice.c_str());
            }
        }
        m_conn.Exec("SET client_min_messages = notice; SET auto_explain.log_min_duration = -1");
    }

private:
    PgConnection& m_conn;
    std::mt19937 m_random{20240601};
    int m_firstGroup = 0, m_lastGroup = 0, m_firstComputer = 0, m_lastComputer = 0;
    std::vector<int> m_topGroups, m_leafGroups;
    std::vector<std::string> m_managedNames;
    std::vector<Timing> m_timings;
};

SqlValue Int(long long v) { return std::to_string(v); }

void RunCases(PgConnection& conn, int explain) {
    Bench b(conn);
    std::printf("\n  %-52s %6s %9s %8s %8s %8s %8s\n", "case", "calls", "rows/call", "mean ms", "p50", "p95", "max");
    b.Run("GetGroupMembers (random group)", 300, [&](PgConnection& c, int) {
        return CallProcedure(c, "GetGroupMembers", {{"@GroupID", Int(b.RandomGroup())}});
    });
    b.Run("GetGroupMembers (unassigned group)", 20, [&](PgConnection& c, int) {
        return CallProcedure(c, "GetGroupMembers", {{"@GroupID", Int(4294967294LL)}});
    });
    b.Run("GroupAllChildComputerListGet (root: every computer)", 10, [&](PgConnection& c, int) {
        return CallProcedure(c, "GroupAllChildComputerListGet", {{"@GroupID", std::nullopt}});
    });
    b.Run("GroupAllChildComputerListGet (top-level group)", 30, [&](PgConnection& c, int) {
        return CallProcedure(c, "GroupAllChildComputerListGet", {{"@GroupID", Int(b.RandomTop())}});
    });
    b.Run("GroupAllChildComputerListGet (leaf group)", 200, [&](PgConnection& c, int) {
        return CallProcedure(c, "GroupAllChildComputerListGet", {{"@GroupID", Int(b.RandomLeaf())}});
    });
    b.Run("GroupAllChildGroupListGet (root)", 50, [&](PgConnection& c, int) {
        return CallProcedure(c, "GroupAllChildGroupListGet", {{"@GroupID", std::nullopt}});
    });
    b.Run("GroupOrderedGroupListGet (3: most computers first)", 20, [&](PgConnection& c, int) {
        return CallProcedure(c, "GroupOrderedGroupListGet", {{"@OrderBy", Int(3)}});
    });
    b.Run("GetAlertList (random computer)", 500, [&](PgConnection& c, int) {
        return CallProcedure(c, "GetAlertList", {{"@ComputerID", Int(b.RandomComputer())}});
    });
    b.Run("GetComputerDetails (random computer)", 500, [&](PgConnection& c, int) {
        return CallProcedure(c, "GetComputerDetails", {{"@ComputerID", Int(b.RandomComputer())}});
    });
    const char* filters[] = {"all", "outstanding alerts", "outstanding virus alerts", "outstanding error alerts",
                             "not connected", "config differs", "out of date", "install failed",
                             "install active", "not managed", "managed", "no anti-virus",
                             "anti-virus stopped", "library servers"};
    for (int f = 0; f <= 13; ++f) {
        b.Run("GetComputerList filter " + std::to_string(f) + " (" + filters[f] + "), by name", f == 0 || f == 10 ? 5 : 10,
              [f](PgConnection& c, int) {
                  return CallProcedure(c, "GetComputerList",
                                       {{"@Filter", Int(f)}, {"@OrderBy", Int(1)}, {"@Ascending", Int(1)}});
              });
    }
    b.Run("GetComputerList filter 4 (not connected), by last message", 10, [](PgConnection& c, int) {
        return CallProcedure(c, "GetComputerList", {{"@Filter", Int(4)}, {"@OrderBy", Int(4)}, {"@Ascending", Int(0)}});
    });
    b.Run("UpdateComputerStatus (known computer)", 2000, [&](PgConnection& c, int) { return b.KnownStatus(c); });
    // The same with the commit not waiting for the log flush: the procedure's own cost.
    conn.Exec("SET synchronous_commit = off");
    b.Run("UpdateComputerStatus (known, no commit flush wait)", 2000,
          [&](PgConnection& c, int) { return b.KnownStatus(c); });
    conn.Exec("SET synchronous_commit = on");
    b.Run("UpdateComputerStatus (new computer)", 300, [&](PgConnection& c, int i) {
        const std::string name = "NEW" + std::to_string(i) + "-" + std::to_string(b.Uniform(0, 1 << 30));
        return CallProcedure(c, "UpdateComputerStatus",
                             {{"@ComputerName", name}, {"@DomainName", "DOMAIN1"}, {"@MessageSystemAddress", name},
                              {"@OperatingSystem", Int(8)}, {"@Description", ""}, {"@IPAddress", Int(167772161)},
                              {"@ServicePack", ""}, {"@LastLoggedOnUser", ""}});
    });
    b.Run("AddErrorAlert (random computer)", 1000, [&](PgConnection& c, int) {
        return CallProcedure(c, "AddErrorAlert",
                             {{"@ComputerID", Int(b.RandomComputer())}, {"@AlertTime", "2024-06-01 12:00:00"},
                              {"@UserName", "u"}, {"@Source", "DEX"}, {"@EntityInfo", "e"}, {"@number", Int(1)},
                              {"@MessageCode", "m"}, {"@Insert1", ""}, {"@Insert2", ""}, {"@Insert3", ""},
                              {"@Insert4", ""}, {"@Insert5", ""}});
    });
    if (explain > 0) b.ExplainSlowest(explain);
}

const char kUsage[] =
    "Usage: corvex-db-bench [--server HOST[:PORT]] [--database NAME] [--keep]\n"
    "                       [--computers N] [--alerts N] [--explain N]\n"
    "Seeds a scratch database (default 100000 computers, 1000 groups, 1000000 alerts), times the\n"
    "list procedures and UpdateComputerStatus, and prints the plans of the N slowest (default 4).\n"
    "--database NAME times an existing, already seeded database instead; --keep leaves the\n"
    "scratch database behind.\n";

}  // namespace

int main(int argc, char** argv) {
    ConnectionOptions options;
    SeedScale scale;
    std::string existing;
    bool keep = false;
    int explain = 4;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--server" && hasValue) {
            options.server = argv[++i];
        } else if (arg == "--database" && hasValue) {
            existing = argv[++i];
        } else if (arg == "--computers" && hasValue) {
            scale.computers = std::stoi(argv[++i]);
        } else if (arg == "--alerts" && hasValue) {
            scale.alerts = std::stoi(argv[++i]);
        } else if (arg == "--explain" && hasValue) {
            explain = std::stoi(argv[++i]);
        } else if (arg == "--keep") {
            keep = true;
        } else {
            std::cerr << kUsage;
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }
    try {
        const auto start = Clock::now();
        std::unique_ptr<ScratchDatabase> scratch;
        std::string name = existing;
        if (name.empty()) {
            scratch = std::make_unique<ScratchDatabase>("corvex_bench", options);
            name = scratch->Name();
        }
        PgConnection conn(options, name);
        std::printf("Database %s\n", name.c_str());
        if (scratch) SeedFleet(conn, scale);
        RunCases(conn, explain);
        std::printf("\nTotal %.0f s\n", Seconds(start));
        if (keep && scratch) {
            std::printf("Kept database %s (drop it with corvex-db drop %s)\n", name.c_str(), name.c_str());
            scratch.release();  // deliberately not dropped
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "corvex-db-bench: " << e.what() << "\n";
        return 1;
    }
}
