#include "web/CsvExport.h"

#include <httplib.h>

#include <limits>
#include <memory>

#include "platform/com/Guid.h"
#include "platform/trace/Trace.h"
#include "web/HttpsFront.h"

namespace corvexweb {

using nlohmann::json;

namespace {
// The web console's exports in the trace.
constexpr GUID kTraceExport = MakeGuid("{9C2E4B71-5D3A-4F86-B0E9-1A7C6D28F453}");
}  // namespace

std::string CsvText(std::string_view text)
{
  const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
  const bool quote = text.find_first_of("\",\r\n") != std::string_view::npos || formula;
  std::string out;
  out.reserve(text.size() + 3);
  if (quote)
    out += '"';
  if (formula)
    out += '\'';
  for (char c : text) {
    if (c == '"')
      out += '"';
    out += c;
  }
  if (quote)
    out += '"';
  return out;
}

std::string CsvValue(const json& value)
{
  if (value.is_string())
    return CsvText(value.get_ref<const std::string&>());
  if (value.is_boolean())
    return value.get<bool>() ? "yes" : "no";
  if (value.is_number())
    return value.dump();
  if (value.is_null())
    return {};
  return CsvText(value.dump());
}

std::string CsvLine(const std::vector<std::string>& cells)
{
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i)
      line += ',';
    line += cells[i];
  }
  line += "\r\n";
  return line;
}

std::string CsvLine(const json& row, const std::vector<std::string>& columns)
{
  std::vector<std::string> cells;
  cells.reserve(columns.size());
  for (const std::string& c : columns) {
    const auto it = row.find(c);
    cells.push_back(it == row.end() ? std::string() : CsvValue(*it));
  }
  return CsvLine(cells);
}

CsvPager PagesByKey(std::function<json(long long after)> fetch, std::string key, std::vector<std::string> columns)
{
  return [fetch = std::move(fetch), key = std::move(key), columns = std::move(columns),
          after = std::numeric_limits<long long>::min(), done = false](std::string& out) mutable {
    if (done)
      return false;
    const json rows = fetch(after);
    if (rows.empty()) {
      done = true;
      return false;
    }
    for (const json& row : rows) {
      const long long k = row.at(key).get<long long>();
      if (k <= after)
        throw std::logic_error("an export page did not come in rising key order");
      after = k;
      out += CsvLine(row, columns);
    }
    return true;
  };
}

void StreamCsv(httplib::Response& res, const std::string& fileName, const std::vector<std::string>& header, CsvPager next,
               std::function<void()> finished)
{
  std::vector<std::string> names;
  for (const std::string& h : header)
    names.push_back(CsvText(h));
  auto pending = std::make_shared<std::string>(CsvLine(names));
  bool more = false;
  try {
    more = next(*pending);
  } catch (...) {
    if (finished)
      finished();
    throw;
  }
  res.status = 200;
  res.set_header("Cache-Control", "no-store");
  res.set_header("Content-Disposition", "attachment; filename=\"" + fileName + "\"");
  res.set_chunked_content_provider(
    "text/csv; charset=utf-8",
    [pending, more, next = std::move(next)](std::size_t, httplib::DataSink& sink) mutable {
      if (pending->empty() && more) {
        try {
          more = next(*pending);
        } catch (const std::exception& e) {
          trace::Trace(kTraceExport, 1, "CSV export ended early: %hs", e.what());
          return false;
        }
      }
      if (!pending->empty()) {
        HttpsFront::RenewWriteDeadline();
        const bool written = sink.write(pending->data(), pending->size());
        pending->clear();
        if (!written)
          return false;
      }
      if (!more)
        sink.done();
      return true;
    },
    [finished = std::move(finished)](bool) {
      if (finished)
        finished();
    });
}

}  // namespace corvexweb
