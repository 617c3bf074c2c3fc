// CSV downloads: quoting that survives a round trip through a strict reader, the formula guard,
// paging by key, and that a download reads its pages only as the client takes them.
#include <gtest/gtest.h>

#include <httplib.h>

#include "web/CsvExport.h"

namespace {

using nlohmann::json;

// A strict reader of one CSV text (RFC 4180): lines of cells; a bare quote inside an unquoted
// cell or text after a closing quote fails the test.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text)
{
  std::vector<std::vector<std::string>> lines;
  std::vector<std::string> line;
  std::string cell;
  bool quoted = false, wasQuoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
        cell += '"', ++i;
      else if (c == '"')
        quoted = false;
      else
        cell += c;
    } else if (c == '"') {
      EXPECT_TRUE(cell.empty() && !wasQuoted) << "stray quote at " << i;
      quoted = wasQuoted = true;
    } else if (c == ',') {
      line.push_back(std::move(cell)), cell.clear(), wasQuoted = false;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      line.push_back(std::move(cell)), cell.clear(), wasQuoted = false;
      lines.push_back(std::move(line)), line.clear();
      ++i;
    } else {
      EXPECT_FALSE(wasQuoted) << "text after a closing quote at " << i;
      cell += c;
    }
  }
  EXPECT_FALSE(quoted) << "unterminated quote";
  EXPECT_TRUE(line.empty() && cell.empty()) << "last line without CRLF";
  return lines;
}

TEST(CsvExport, CellsSurviveAStrictReaderAndFormulasAreDefused)
{
  const std::vector<std::string> plain = {"PC1", "", "with space", "a,b", "say \"hi\"", "two\nlines", "cr\rhere",
                                          "\"", ",", "Zürich ✓", "1+1", "x=y"};
  std::vector<std::string> cells;
  for (const std::string& p : plain)
    cells.push_back(corvexweb::CsvText(p));
  const auto read = ReadCsv(corvexweb::CsvLine(cells));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0], plain);
  EXPECT_EQ(corvexweb::CsvText("PC1"), "PC1");  // nothing quoted that needs no quotes
  EXPECT_EQ(corvexweb::CsvText("a\"b"), "\"a\"\"b\"");

  // What a spreadsheet would evaluate starts with an apostrophe, and is otherwise kept whole.
  for (const std::string formula : {"=HYPERLINK(\"http://x\")", "+1", "-2+3", "@SUM(A1)", "\tx", "\r=1"}) {
    const auto back = ReadCsv(corvexweb::CsvLine({corvexweb::CsvText(formula)}));
    ASSERT_EQ(back.size(), 1u) << formula;
    EXPECT_EQ(back[0][0], "'" + formula);
  }
  EXPECT_EQ(corvexweb::CsvText("=1,2"), "\"'=1,2\"");
}

TEST(CsvExport, JsonValuesBecomeCellsByType)
{
  const json row = {{"ID", 7}, {"Name", "-dash"}, {"Negative", -5}, {"Big", 4294967294LL}, {"Ratio", 0.5},
                    {"Yes", true}, {"No", false}, {"None", nullptr}};
  const auto read = ReadCsv(corvexweb::CsvLine(row, {"ID", "Name", "Negative", "Big", "Ratio", "Yes", "No", "None", "Missing"}));
  ASSERT_EQ(read.size(), 1u);
  // Numbers are never guarded (a negative number stays a number); texts are.
  EXPECT_EQ(read[0], (std::vector<std::string>{"7", "'-dash", "-5", "4294967294", "0.5", "yes", "no", "", ""}));
}

// Three pages of rows with keys 1..n, n given; counts the database calls.
struct FakeTable
{
  int rows;
  int pageSize = 2;
  int calls = 0;
  std::vector<long long> afters;
  json Page(long long after)
  {
    ++calls;
    afters.push_back(after);
    json page = json::array();
    for (long long k = std::max(after + 1, 1LL); k <= rows && static_cast<int>(page.size()) < pageSize; ++k)
      page.push_back({{"Key", k}, {"Text", "row " + std::to_string(k)}});
    return page;
  }
};

// Drives a response's chunked provider as the server would, collecting what it writes.
std::string Drain(httplib::Response& res, bool& finished, int maxCalls = 1000)
{
  std::string body;
  finished = false;
  httplib::DataSink sink;
  sink.write = [&](const char* d, std::size_t n) { body.append(d, n); return true; };
  sink.done = [&] { finished = true; };
  sink.is_writable = [] { return true; };
  for (int i = 0; i < maxCalls && !finished; ++i)
    if (!res.content_provider_(body.size(), 0, sink))
      break;
  return body;
}

TEST(CsvExport, ADownloadReadsItsPagesAsTheClientTakesThem)
{
  FakeTable table{5, 2, 0, {}};
  httplib::Response res;
  corvexweb::StreamCsv(res, "rows.csv", {"Key", "Text"},
                       corvexweb::PagesByKey([&](long long after) { return table.Page(after); }, "Key", {"Key", "Text"}));
  // Only the first page before the answer begins.
  EXPECT_EQ(table.calls, 1);
  EXPECT_EQ(res.get_header_value("Content-Disposition"), "attachment; filename=\"rows.csv\"");
  EXPECT_TRUE(res.is_chunked_content_provider_);
  bool finished = false;
  const auto lines = ReadCsv(Drain(res, finished));
  EXPECT_TRUE(finished);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], (std::vector<std::string>{"Key", "Text"}));
  for (int k = 1; k <= 5; ++k)
    EXPECT_EQ(lines[k], (std::vector<std::string>{std::to_string(k), "row " + std::to_string(k)}));
  // Each page starts after the last key of the one before; an empty page ends it.
  EXPECT_EQ(table.afters, (std::vector<long long>{std::numeric_limits<long long>::min(), 2, 4, 5}));
}

TEST(CsvExport, AnErrorBeforeTheAnswerPropagatesAndOneLaterCutsTheTransferShort)
{
  int finished = 0;
  const auto done = [&] { ++finished; };
  {
    httplib::Response res;
    EXPECT_THROW(corvexweb::StreamCsv(res, "x.csv", {"Key"}, [](std::string&) -> bool { throw std::runtime_error("no database"); }, done),
                 std::runtime_error);
    EXPECT_FALSE(res.content_provider_);
  }
  EXPECT_EQ(finished, 1);  // the answer that never began is over too

  // A whole transfer is over once, when the server lets the answer go.
  {
    httplib::Response res;
    corvexweb::StreamCsv(res, "x.csv", {"Key"}, [](std::string& out) { out += "1\r\n"; return false; }, done);
    bool whole = false;
    EXPECT_EQ(Drain(res, whole), "Key\r\n1\r\n");
    EXPECT_TRUE(whole);
    EXPECT_EQ(finished, 1);
  }
  EXPECT_EQ(finished, 2);

  httplib::Response res;

  int calls = 0;
  corvexweb::StreamCsv(res, "x.csv", {"Key"}, [&](std::string& out) -> bool {
    if (++calls > 1)
      throw std::runtime_error("connection lost");
    out += "1\r\n";
    return true;
  });
  bool complete = false;
  const std::string body = Drain(res, complete);
  EXPECT_FALSE(complete);  // never marked complete: the client sees a broken transfer
  EXPECT_EQ(body, "Key\r\n1\r\n");

  // Keys that do not rise are a fault of the page's query, not data to repeat.
  auto pager = corvexweb::PagesByKey([&](long long) { return json::array({{{"Key", 1}}}); }, "Key", {"Key"});
  std::string out;
  EXPECT_TRUE(pager(out));
  EXPECT_THROW(pager(out), std::logic_error);
}

}  // namespace
