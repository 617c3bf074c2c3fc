#pragma once
// A libpq connection and its results, owned by RAII wrappers; every failure is a DbError.
#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvexdb {

// Where to reach the server. An empty or "." server is the local Unix socket (libpq's
// defaults, including PGHOST and PGPORT when set); otherwise "host", "host:port",
// "[v6-address]:port" or a socket directory ("/run/postgresql"). An empty user is the
// calling OS user.
struct ConnectionOptions {
    std::string server;
    std::string user;
    std::string maintenanceDatabase = "postgres";
};

class DbError : public std::runtime_error {
public:
    DbError(const std::string& message, std::string sqlState = {})
        : std::runtime_error(message), m_sqlState(std::move(sqlState)) {}
    const std::string& SqlState() const { return m_sqlState; }

private:
    std::string m_sqlState;
};

using SqlValue = std::optional<std::string>;  // text form; nullopt is SQL NULL

class PgResult {
public:
    explicit PgResult(PGresult* result) : m_result(result, &PQclear) {}
    int Rows() const { return PQntuples(m_result.get()); }
    int Columns() const { return PQnfields(m_result.get()); }
    std::string ColumnName(int column) const { return PQfname(m_result.get(), column); }
    int ColumnIndex(const std::string& name) const;  // -1 when absent
    bool IsNull(int row, int column) const { return PQgetisnull(m_result.get(), row, column) != 0; }
    std::string Text(int row, int column) const { return PQgetvalue(m_result.get(), row, column); }
    SqlValue Value(int row, int column) const;
    PGresult* Get() const { return m_result.get(); }

private:
    std::unique_ptr<PGresult, void (*)(PGresult*)> m_result;
};

class PgConnection {
public:
    // Connects to a database; a failure throws DbError with libpq's message.
    PgConnection(const ConnectionOptions& options, const std::string& database);
    PgConnection(PgConnection&&) noexcept = default;
    PgConnection& operator=(PgConnection&&) noexcept = default;

    // Runs one or more statements (simple protocol); the last statement's result.
    PgResult Exec(const std::string& sql);
    // Runs one statement with text parameters of server-inferred types.
    PgResult Exec(const std::string& sql, const std::vector<SqlValue>& params);

    std::string QuoteIdentifier(const std::string& name) const;
    std::string QuoteLiteral(const std::string& text) const;
    std::string DatabaseName() const { return PQdb(m_conn.get()); }
    // Notices and log lines the server sent since the last call (e.g. auto_explain plans).
    std::vector<std::string> TakeNotices();
    PGconn* Get() const { return m_conn.get(); }

private:
    PgResult Check(PGresult* result, const std::string& sql);

    std::unique_ptr<PGconn, void (*)(PGconn*)> m_conn;
    std::unique_ptr<std::vector<std::string>> m_notices;
};

// Splits "host", "host:port", "[v6]:port" into host and port (empty when not given).
void SplitServer(const std::string& server, std::string& host, std::string& port);

}  // namespace corvexdb
