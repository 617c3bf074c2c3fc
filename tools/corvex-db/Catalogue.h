#pragma once
// The procedure contract of database/catalogue.txt.
#include <string>
#include <string_view>
#include <vector>

namespace corvexdb {

struct ParameterEntry {
    std::string name;  // "@ComputerID"
    bool output = false;
    std::string type;  // "integer", "nvarchar_31", "timestamp", "refcursor", ...
};

struct ProcedureEntry {
    std::string name;
    std::vector<ParameterEntry> parameters;  // after "@RETURN_VALUE", in call order
    std::vector<std::string> columns;       // row-set columns, empty without a row set
};

// Parses the catalogue; a malformed line throws std::runtime_error naming the line.
std::vector<ProcedureEntry> ParseCatalogue(std::string_view text);

}  // namespace corvexdb
