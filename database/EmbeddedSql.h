#pragma once
// The database's SQL files, built into the program: schema steps ("schema/NNNN_*.sql", applied
// once each, in name order), procedure files ("procedures/*.sql", re-applied on every upgrade),
// "version.sql" and the procedure catalogue "catalogue.txt".
#include <span>
#include <string_view>

namespace corvexdb {

struct SqlFile {
    std::string_view path;  // relative to database/
    std::string_view text;
};

// Every file, sorted by path within each kind as listed above.
std::span<const SqlFile> EmbeddedSqlFiles();

// The embedded file of that path, or an empty text when there is none.
std::string_view EmbeddedSqlFile(std::string_view path);

}  // namespace corvexdb
