#include "tools/corvex-db/ProcedureCall.h"

namespace corvexdb {

namespace {
const char kReturnValue[] = "@RETURN_VALUE";
const char kRowSet[] = "@RowSet";
}  // namespace

const SqlValue& ProcedureResult::Output(const std::string& name) const {
    const auto it = outputs.find(name);
    if (it == outputs.end()) throw DbError("The procedure has no output " + name);
    return it->second;
}

std::vector<long long> ProcedureResult::Ids() const {
    std::vector<long long> ids;
    ids.reserve(rows.size());
    for (const auto& row : rows) {
        if (row.empty() || !row[0]) throw DbError("A row set row has no id in column 0");
        ids.push_back(std::stoll(*row[0]));
    }
    return ids;
}

ProcedureResult CallProcedure(PgConnection& conn, const std::string& name, const ProcedureArgs& args) {
    std::string sql = "SELECT * FROM dbo." + conn.QuoteIdentifier(name) + "(";
    std::vector<SqlValue> values;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i) sql += ", ";
        sql += conn.QuoteIdentifier(args[i].first) + " => $" + std::to_string(i + 1);
        values.push_back(args[i].second);
    }
    sql += ")";

    conn.Exec("BEGIN");
    try {
        ProcedureResult result;
        const PgResult row = conn.Exec(sql, values);
        if (row.Rows() != 1) throw DbError(name + " returned no result row");
        const int rv = row.ColumnIndex(kReturnValue);
        if (rv < 0 || row.IsNull(0, rv)) throw DbError(name + " returned no " + kReturnValue);
        result.returnValue = std::stoi(row.Text(0, rv));
        SqlValue cursor;
        for (int c = 0; c < row.Columns(); ++c) {
            const std::string column = row.ColumnName(c);
            if (column == kRowSet) {
                cursor = row.Value(0, c);
            } else if (column != kReturnValue) {
                result.outputs[column] = row.Value(0, c);
            }
        }
        if (cursor) {
            const PgResult set = conn.Exec("FETCH ALL FROM " + conn.QuoteIdentifier(*cursor));
            result.hasRowSet = true;
            for (int c = 0; c < set.Columns(); ++c) result.columns.push_back(set.ColumnName(c));
            for (int r = 0; r < set.Rows(); ++r) {
                std::vector<SqlValue> values;
                for (int c = 0; c < set.Columns(); ++c) values.push_back(set.Value(r, c));
                result.rows.push_back(std::move(values));
            }
        }
        conn.Exec("COMMIT");
        return result;
    } catch (...) {
        try {
            conn.Exec("ROLLBACK");
        } catch (const DbError&) {
            // The connection is gone; the original error says why.
        }
        throw;
    }
}

}  // namespace corvexdb
