#include "tools/corvex-db/Catalogue.h"

#include <sstream>
#include <stdexcept>

namespace corvexdb {

namespace {

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> SplitList(std::string_view text) {
    std::vector<std::string> items;
    if (Trim(text).empty()) return items;
    std::size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        items.push_back(Trim(text.substr(start, comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return items;
}

ParameterEntry ParseParameter(const std::string& item) {
    std::istringstream words(item);
    std::vector<std::string> parts;
    for (std::string w; words >> w;) parts.push_back(w);
    ParameterEntry entry;
    if (parts.size() == 3 && parts[0] == "out") {
        entry.output = true;
        parts.erase(parts.begin());
    }
    if (parts.size() != 2 || parts[0].size() < 2 || parts[0][0] != '@') {
        throw std::runtime_error("bad parameter \"" + item + "\"");
    }
    entry.name = parts[0];
    entry.type = parts[1];
    return entry;
}

}  // namespace

std::vector<ProcedureEntry> ParseCatalogue(std::string_view text) {
    std::vector<ProcedureEntry> procedures;
    std::istringstream lines{std::string(text)};
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        try {
            const auto open = trimmed.find('(');
            const auto close = trimmed.find(')', open);
            if (open == std::string::npos || close == std::string::npos || open == 0) {
                throw std::runtime_error("expected Name(parameters)");
            }
            ProcedureEntry entry;
            entry.name = Trim(std::string_view(trimmed).substr(0, open));
            for (const std::string& item : SplitList(std::string_view(trimmed).substr(open + 1, close - open - 1))) {
                entry.parameters.push_back(ParseParameter(item));
            }
            const std::string rest = Trim(std::string_view(trimmed).substr(close + 1));
            if (!rest.empty()) {
                if (rest.rfind("->", 0) != 0) throw std::runtime_error("unexpected \"" + rest + "\"");
                entry.columns = SplitList(std::string_view(rest).substr(2));
                if (entry.columns.empty() || entry.parameters.empty() ||
                    entry.parameters.back().type != "refcursor") {
                    throw std::runtime_error("row-set columns need a last refcursor output");
                }
            }
            procedures.push_back(std::move(entry));
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("catalogue line " + std::to_string(number) + ": " + e.what());
        }
    }
    return procedures;
}

}  // namespace corvexdb
