#pragma once
// Calls a stored procedure the way the service's data-access layer does: named parameters, the
// return value and outputs from the result row, the row set fetched from the procedure's cursor,
// all in one transaction of its own.
#include "tools/corvex-db/PgConnection.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace corvexdb {

using ProcedureArgs = std::vector<std::pair<std::string, SqlValue>>;

struct ProcedureResult {
    int returnValue = 0;
    std::map<std::string, SqlValue> outputs;  // every OUT parameter but the return value and cursor
    bool hasRowSet = false;                   // false when the procedure opened no cursor
    std::vector<std::string> columns;
    std::vector<std::vector<SqlValue>> rows;

    // The output of that name; throws DbError when the procedure has no such output.
    const SqlValue& Output(const std::string& name) const;
    // Column 0 of every row as integers (the identity lists).
    std::vector<long long> Ids() const;
};

// Runs dbo."name"(args...) and fetches its row set; a server error rolls back and throws DbError.
ProcedureResult CallProcedure(PgConnection& conn, const std::string& name, const ProcedureArgs& args);

}  // namespace corvexdb
