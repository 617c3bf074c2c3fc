// corvexctl's install progress on a terminal and into a file or pipe, from stages stored in a
// database of the test's own: a bar redrawn in place only on a terminal, plain lines otherwise;
// computers without a new attempt reported as not queued; Ctrl-C leaves the installs alone.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/businesslogic/TestSupport.h"
#include "tools/corvexctl/InstallProgress.h"

namespace {

class InstallProgressTest : public ::testing::Test
{
protected:
  void SetUp() override { m_registry.SetLocation(L".", L"", m_db.WideName()); }

  LONG Computer(const std::string& name)
  {
    return std::stol(m_db.Exec("SELECT \"@ComputerID\" FROM dbo.\"AddComputer\"('" + name + "', 'CORP', 8, '')").Text(0, 0));
  }
  void Reach(LONG id, int stage, int result = 0, bool pending = true)
  {
    ASSERT_EQ(m_db.Exec("SELECT \"@RETURN_VALUE\" FROM dbo.\"InstallStageSet\"(" + std::to_string(id) + ", " +
                        std::to_string(stage) + "::smallint, " + std::to_string(result) + ")")
                .Text(0, 0),
              "0");
    m_db.Exec("SELECT dbo.\"SetComputerInstallPendingFlag\"(" + std::to_string(id) + ", " + (pending ? "1" : "0") +
              "::smallint)");
  }
  // FollowInstalls' output and answer.
  std::pair<std::string, int> Follow(const std::vector<LONG>& ids, const std::map<LONG, long long>& before, bool terminal,
                                     bool stop)
  {
    std::FILE* out = std::tmpfile();
    const std::atomic<bool> stopFlag{stop};
    const int rc = corvexctl::FollowInstalls(ids, before, terminal, stopFlag, out, 10);
    std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    return {text, rc};
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
};

}  // namespace

TEST_F(InstallProgressTest, ATerminalGetsABarInPlaceAPipePlainLinesAndAnInterruptionLeavesTheInstalls)
{
  const LONG done = Computer("DONE"), failed = Computer("FAILED"), busy = Computer("BUSY"), never = Computer("NEVER"),
             stale = Computer("STALE");
  for (int s : {1, 2, 3, 4})
    Reach(done, s);
  Reach(done, 5, 0, false);
  Reach(failed, 1);
  Reach(failed, 2);
  Reach(failed, 6, 47, false);
  Reach(busy, 1);
  Reach(busy, 2);
  Reach(busy, 3);
  Reach(stale, 1);
  Reach(stale, 6, 3, false);
  // STALE's attempt is the one it had before the request: the service did not queue it again.
  const std::map<LONG, long long> before{{stale, corvexctl::ReadInstallProgress({stale}).at(stale).attempt}};
  const std::vector<LONG> ids{done, failed, busy, never, stale};

  auto [tty, ttyRc] = Follow(ids, before, true, true);
  EXPECT_EQ(ttyRc, 130);
  EXPECT_NE(tty.find("install: DONE (id " + std::to_string(done) + ") done\n"), std::string::npos) << tty;
  EXPECT_NE(tty.find("install: FAILED (id " + std::to_string(failed) + ") failed: 47 the target computer accepts no remote"),
            std::string::npos)
    << tty;
  EXPECT_NE(tty.find("install: computer (id " + std::to_string(never) + ") not queued"), std::string::npos) << tty;
  EXPECT_NE(tty.find("install: STALE (id " + std::to_string(stale) + ") not queued"), std::string::npos) << tty;
  // Two of three queued computers finished, one copying: the bar is redrawn over its own line.
  EXPECT_NE(tty.find("\r[################........] 2/3 finished  copying 1\033[K"), std::string::npos) << tty;
  EXPECT_NE(tty.find("\r\033[Kinstall: stopped watching; the installs go on in the service"), std::string::npos) << tty;
  EXPECT_EQ(tty.find("BUSY"), std::string::npos) << "an attempt under way is in the bar, not on a line: " << tty;

  auto [plain, plainRc] = Follow(ids, before, false, true);
  EXPECT_EQ(plainRc, 130);
  EXPECT_EQ(plain.find('\r'), std::string::npos) << plain;
  EXPECT_EQ(plain.find('\033'), std::string::npos) << plain;
  const std::string busyLines = "install: BUSY (id " + std::to_string(busy) + ") queued\ninstall: BUSY (id " + std::to_string(busy) +
                                ") connecting\ninstall: BUSY (id " + std::to_string(busy) + ") copying\n";
  EXPECT_NE(plain.find(busyLines), std::string::npos) << plain;
  EXPECT_NE(plain.find("install: stopped watching"), std::string::npos) << plain;

  // The attempt under way ends; followed to the end, the answer says whether all were installed.
  Reach(busy, 4);
  Reach(busy, 5, 0, false);
  auto [end, endRc] = Follow({done, busy}, {}, false, false);
  EXPECT_EQ(endRc, 0) << end;
  EXPECT_NE(end.find("install: 2 computer(s) finished, 0 not queued, all installed\n"), std::string::npos) << end;
  EXPECT_EQ(Follow({done, failed}, {}, false, false).second, 1);

  // Taken off the queue by the console's Stop before its turn: an outcome, not installed.
  const LONG dropped = Computer("DROPPED");
  Reach(dropped, 1);
  Reach(dropped, 7);
  auto [dropText, dropRc] = Follow({dropped}, {}, false, false);
  EXPECT_EQ(dropRc, 1);
  EXPECT_NE(dropText.find("install: DROPPED (id " + std::to_string(dropped) + ") stopped: taken off the queue before its turn"),
            std::string::npos)
    << dropText;

  // Stopped short by a restart of the service: an outcome of its own, not a wait for ever.
  const LONG cut = Computer("CUT");
  Reach(cut, 1);
  Reach(cut, 2, 0, false);
  auto [cutText, cutRc] = Follow({cut}, {}, false, false);
  EXPECT_EQ(cutRc, 1);
  EXPECT_NE(cutText.find("interrupted at connecting"), std::string::npos) << cutText;
}
