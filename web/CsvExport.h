#pragma once
// CSV downloads that stream: rows are read from the database a page at a time and written as
// chunks, so that an export of 100,000 rows never holds them all in memory. Cells are quoted
// as spreadsheets expect, and a text that a spreadsheet would run as a formula is defused.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
struct Response;
}  // namespace httplib

namespace corvexweb {

// One text cell: quoted when it holds a quote, comma, CR or LF (quotes doubled); a text that
// begins with = + - @, TAB or CR gets a leading apostrophe, so that a spreadsheet shows it
// instead of evaluating it.
std::string CsvText(std::string_view text);
// One cell from a JSON value: texts as CsvText, numbers as they are, true/false as yes/no,
// null (or a missing column) empty.
std::string CsvValue(const nlohmann::json& value);
// A line of cells made with the functions above, ended with CRLF.
std::string CsvLine(const std::vector<std::string>& cells);
// A line of one row's columns, in the order given.
std::string CsvLine(const nlohmann::json& row, const std::vector<std::string>& columns);

// Appends the next page's lines to `out`; false once there are no more rows. It may throw.
using CsvPager = std::function<bool(std::string& out)>;

// Pages by a rising key: `fetch(after)` returns the rows whose key column `key` comes after
// `after` (a JSON array of objects, in key order, empty at the end); starts before any key.
CsvPager PagesByKey(std::function<nlohmann::json(long long after)> fetch, std::string key, std::vector<std::string> columns);

// Answers `res` with a CSV download named `fileName`: the header line, then every page of
// `next`. The first page is read before the answer begins, so that an error there (no
// database) propagates to the caller as an exception and can still be answered as an error;
// an error in a later page ends the transfer without its last chunk, so the client sees it
// incomplete instead of a file that looks whole. `finished`, when given, runs once when the
// answer is over: sent whole, cut short, or never begun (the first page threw).
void StreamCsv(httplib::Response& res, const std::string& fileName, const std::vector<std::string>& header, CsvPager next,
               std::function<void()> finished = nullptr);

}  // namespace corvexweb
