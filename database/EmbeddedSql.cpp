#include "database/EmbeddedSql.h"

namespace corvexdb {

std::string_view EmbeddedSqlFile(std::string_view path) {
    for (const SqlFile& file : EmbeddedSqlFiles()) {
        if (file.path == path) return file.text;
    }
    return {};
}

}  // namespace corvexdb
