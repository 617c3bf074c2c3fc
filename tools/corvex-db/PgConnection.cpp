#include "tools/corvex-db/PgConnection.h"

namespace corvexdb {

namespace {

void CollectNotice(void* sink, const char* message) {
    auto* notices = static_cast<std::vector<std::string>*>(sink);
    std::string text(message);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    notices->push_back(std::move(text));
}

std::string FirstLine(const std::string& sql) {
    std::string line = sql.substr(0, sql.find('\n'));
    return line.size() > 120 ? line.substr(0, 120) + "..." : line;
}

}  // namespace

void SplitServer(const std::string& server, std::string& host, std::string& port) {
    host = server;
    port.clear();
    if (server.empty() || server == "." || server[0] == '/') {
        if (server == ".") host.clear();
        return;
    }
    if (server[0] == '[') {
        const auto close = server.find(']');
        if (close == std::string::npos) throw DbError("Invalid server \"" + server + "\": missing ]");
        host = server.substr(1, close - 1);
        if (close + 1 < server.size()) {
            if (server[close + 1] != ':') throw DbError("Invalid server \"" + server + "\"");
            port = server.substr(close + 2);
        }
    } else if (const auto colon = server.rfind(':'); colon != std::string::npos) {
        host = server.substr(0, colon);
        port = server.substr(colon + 1);
    }
    if (host.empty() || (port.empty() && server.back() == ':') ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        throw DbError("Invalid server \"" + server + "\": expected host or host:port");
    }
}

int PgResult::ColumnIndex(const std::string& name) const {
    for (int i = 0; i < Columns(); ++i) {
        if (ColumnName(i) == name) return i;
    }
    return -1;
}

SqlValue PgResult::Value(int row, int column) const {
    if (IsNull(row, column)) return std::nullopt;
    return Text(row, column);
}

PgConnection::PgConnection(const ConnectionOptions& options, const std::string& database)
    : m_conn(nullptr, &PQfinish), m_notices(std::make_unique<std::vector<std::string>>()) {
    std::string host, port;
    SplitServer(options.server, host, port);
    std::vector<const char*> keys, values;
    auto add = [&](const char* key, const std::string& value) {
        if (!value.empty()) {
            keys.push_back(key);
            values.push_back(value.c_str());
        }
    };
    add("host", host);
    add("port", port);
    add("user", options.user);
    add("dbname", database);
    keys.push_back("application_name");
    values.push_back("corvex-db");
    keys.push_back(nullptr);
    values.push_back(nullptr);
    m_conn.reset(PQconnectdbParams(keys.data(), values.data(), 0));
    if (!m_conn) throw DbError("Out of memory connecting to the database server");
    if (PQstatus(m_conn.get()) != CONNECTION_OK) {
        std::string message = PQerrorMessage(m_conn.get());
        while (!message.empty() && message.back() == '\n') message.pop_back();
        throw DbError("Cannot connect to database \"" + database + "\": " + message);
    }
    PQsetNoticeProcessor(m_conn.get(), &CollectNotice, m_notices.get());
}

PgResult PgConnection::Check(PGresult* raw, const std::string& sql) {
    PgResult result(raw);
    const ExecStatusType status = raw ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY) {
        return result;
    }
    std::string message = raw ? PQresultErrorMessage(raw) : PQerrorMessage(m_conn.get());
    while (!message.empty() && message.back() == '\n') message.pop_back();
    const char* state = raw ? PQresultErrorField(raw, PG_DIAG_SQLSTATE) : nullptr;
    throw DbError(message + " [in: " + FirstLine(sql) + "]", state ? state : "");
}

PgResult PgConnection::Exec(const std::string& sql) {
    return Check(PQexec(m_conn.get(), sql.c_str()), sql);
}

PgResult PgConnection::Exec(const std::string& sql, const std::vector<SqlValue>& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const SqlValue& p : params) values.push_back(p ? p->c_str() : nullptr);
    return Check(PQexecParams(m_conn.get(), sql.c_str(), static_cast<int>(values.size()), nullptr,
                              values.data(), nullptr, nullptr, 0),
                 sql);
}

namespace {

std::string Escape(PGconn* conn, const std::string& text, char* (*escape)(PGconn*, const char*, size_t)) {
    char* quoted = escape(conn, text.c_str(), text.size());
    if (!quoted) throw DbError(PQerrorMessage(conn));
    std::string result(quoted);
    PQfreemem(quoted);
    return result;
}

}  // namespace

std::string PgConnection::QuoteIdentifier(const std::string& name) const {
    return Escape(m_conn.get(), name, &PQescapeIdentifier);
}

std::string PgConnection::QuoteLiteral(const std::string& text) const {
    return Escape(m_conn.get(), text, &PQescapeLiteral);
}

std::vector<std::string> PgConnection::TakeNotices() {
    std::vector<std::string> taken;
    taken.swap(*m_notices);
    return taken;
}

}  // namespace corvexdb
