#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <string>
#include <vector>

#include "platform/com/Bstr.h"
#include "platform/trace/Trace.h"

namespace {
constexpr GUID kComponent = MakeGuid("{11111111-2222-3333-4444-555555555555}");

template <class Ch, class... A>
std::string F(const Ch* fmt, const A&... args)
{
  return trace::Format(std::basic_string_view<Ch>(fmt), std::vector<trace::Arg>{trace::MakeArg(args)...});
}
}  // namespace

TEST(TraceFormat, WindowsStringConventions)
{
  const wchar_t* wide = L"w\u00e9";
  const char* narrow = "n";
  EXPECT_EQ(F("%s|%S|%hs|%ls", narrow, wide, narrow, wide), "n|w\xc3\xa9|n|w\xc3\xa9");
  EXPECT_EQ(F(L"%s|%S|%hs|%ls", wide, narrow, narrow, wide), "w\xc3\xa9|n|n|w\xc3\xa9");
  EXPECT_EQ(F(L"`%s`, %d", std::wstring(L"Corvex"), 2), "`Corvex`, 2");
  EXPECT_EQ(F("%s", _bstr_t(L"bstr")), "bstr");
  EXPECT_EQ(F("%-5s|%5s|%.2s", "ab", "cd", "xyz"), "ab   |   cd|xy");
}

TEST(TraceFormat, NumbersAndPointers)
{
  EXPECT_EQ(F("%d %u %ld %lu %x %08X", -5, 7u, 123456789L, 4000000000ul, 255, 0xBEEF), "-5 7 123456789 4000000000 ff 0000BEEF");
  // An HRESULT shown with %x or %p keeps its 32 bits.
  EXPECT_EQ(F("hr=0x%08x", static_cast<std::int32_t>(0x80004005)), "hr=0x80004005");
  EXPECT_EQ(F("hr=0x%p", static_cast<std::int32_t>(0x80004005)), "hr=0x80004005");
  EXPECT_EQ(F("%p", reinterpret_cast<void*>(0x1234)), "0000000000001234");
  EXPECT_EQ(F("%.2f %%", 1.005), "1.00 %");
  EXPECT_EQ(F("%*d", 4, 7), "   7");
  EXPECT_EQ(F("%I64d %c", 5LL, 'x'), "5 x");
}

TEST(TraceFormat, BadArgumentsNeverCrash)
{
  EXPECT_EQ(F("%s %d"), "<missing> <missing>");
  EXPECT_EQ(F("%d", "text"), "<bad arg>");
  EXPECT_EQ(F("%s", 5), "<bad arg>");
  EXPECT_EQ(F("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(F("%n", 1), "<bad format>");
  EXPECT_EQ(F("trailing %", 1), "trailing <bad format>");
  EXPECT_EQ(F("%99999999d", 1).size(), 256u);  // width is capped
  EXPECT_EQ(F("%d", 1, 2, 3), "1");             // extra arguments are ignored
}

TEST(Trace, LevelsCaptureAndScopes)
{
  std::vector<std::pair<int, std::string>> lines;
  trace::SetCapture([&](int level, const GUID& g, const std::string& text) {
    EXPECT_EQ(g, kComponent);
    lines.emplace_back(level, text);
  });
  const int saved = trace::Level();
  trace::SetLevel(2);
  trace::Trace(kComponent, 2, "Connect done.\n");
  trace::Trace(kComponent, 3, "too detailed");
  {
    trace::CFunctionTrace scope(kComponent, "CComputer::CComputer(%u)", 7u);
  }
  trace::SetLevel(3);
  {
    trace::CFunctionTrace scope(kComponent, L"Scope(%s)", L"x");
    trace::Trace(kComponent, 3, L"inside %d", 1);
  }
  trace::SetLevel(saved);
  trace::SetCapture(nullptr);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::make_pair(2, std::string("Connect done.")));
  EXPECT_EQ(lines[1], std::make_pair(3, std::string("> Scope(x)")));
  EXPECT_EQ(lines[2], std::make_pair(3, std::string("inside 1")));
  EXPECT_EQ(lines[3], std::make_pair(3, std::string("< Scope(x)")));
}

// Standard error under systemd: each line carries its syslog priority, and only there.
class TraceJournal : public ::testing::Test
{
protected:
  void SetUp() override
  {
    char path[] = "/tmp/corvex-trace-journal-XXXXXX";
    m_fd = ::mkstemp(path);
    ASSERT_GE(m_fd, 0);
    m_path = path;
    m_savedStderr = ::dup(STDERR_FILENO);
    ASSERT_GE(m_savedStderr, 0);
    std::fflush(stderr);
    ASSERT_EQ(::dup2(m_fd, STDERR_FILENO), STDERR_FILENO);
    m_level = trace::Level();
    trace::SetLevel(3);
  }
  void TearDown() override
  {
    std::fflush(stderr);
    if (m_savedStderr >= 0) {
      ::dup2(m_savedStderr, STDERR_FILENO);
      ::close(m_savedStderr);
    }
    ::unsetenv("JOURNAL_STREAM");
    trace::SetOutputFile("");
    trace::SetLevel(m_level);
    if (m_fd >= 0)
      ::close(m_fd);
    if (!m_path.empty())
      ::unlink(m_path.c_str());
  }
  std::string StreamName(int fd) const
  {
    struct stat st{};
    ::fstat(fd, &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
  std::vector<std::string> Lines() const
  {
    std::fflush(stderr);
    std::ifstream in(m_path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

  int m_fd = -1;
  int m_savedStderr = -1;
  int m_level = 1;
  std::string m_path;
};

TEST_F(TraceJournal, EachLevelGetsItsPriorityWhenStderrIsTheJournal)
{
  ::setenv("JOURNAL_STREAM", StreamName(STDERR_FILENO).c_str(), 1);
  ASSERT_TRUE(trace::SetOutputFile(""));
  trace::Trace(kComponent, 0, "broken");
  trace::Trace(kComponent, 1, "doubtful");
  trace::Trace(kComponent, 2, "news");
  trace::Trace(kComponent, 3, "detail");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(0, 3), "<3>");
  EXPECT_EQ(lines[1].substr(0, 3), "<4>");
  EXPECT_EQ(lines[2].substr(0, 3), "<6>");
  EXPECT_EQ(lines[3].substr(0, 3), "<7>");
  EXPECT_NE(lines[0].find("broken"), std::string::npos);
}

TEST_F(TraceJournal, NoPrefixWhenStderrIsSomethingElse)
{
  // The variable is inherited from a parent whose stream was the journal; ours was redirected.
  ::setenv("JOURNAL_STREAM", "1:1", 1);
  ASSERT_TRUE(trace::SetOutputFile(""));
  trace::Trace(kComponent, 0, "plain");
  ::setenv("JOURNAL_STREAM", "garbage", 1);
  ASSERT_TRUE(trace::SetOutputFile(""));
  trace::Trace(kComponent, 0, "still plain");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines)
    EXPECT_NE(line.front(), '<') << line;
}

TEST_F(TraceJournal, TraceFileNeverGetsPrefixes)
{
  ::setenv("JOURNAL_STREAM", StreamName(STDERR_FILENO).c_str(), 1);
  const std::string file = m_path + ".file";
  ASSERT_TRUE(trace::SetOutputFile(file));
  trace::Trace(kComponent, 0, "to a file");
  ASSERT_TRUE(trace::SetOutputFile(""));
  std::ifstream in(file);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_NE(line.front(), '<');
  ::unlink(file.c_str());
}
