// The task protocol run through a local shell in place of the SSH channel: the scripts are the
// ones the target runs, fed the same way (the fixed command, the script on standard input).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/remotetask/RemoteTask.h"
#include "platform/text/Unicode.h"
#include "tests/e2e/support/ProcessRunner.h"

using namespace remotetask;

namespace {

// Runs each script with HOME pointing into the scratch folder.
class LocalExecutor : public IExecutor
{
public:
  explicit LocalExecutor(std::string home) : m_home(std::move(home)) {}
  HRESULT Exec(const std::string& script, ExecResult& result) override
  {
    const std::string scriptFile = m_home + "/.script";
    const std::string outFile = m_home + "/.out";
    e2e::WriteFile(scriptFile, script);
    const std::string command = "HOME=" + ShellQuote(m_home) + " " + kExecCommand + " < " + ShellQuote(scriptFile) +
                                " > " + ShellQuote(outFile) + " 2>/dev/null";
    const int status = std::system(command.c_str());
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = e2e::ReadFile(outFile);
    ++execs;
    return result.exitStatus < 0 ? HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) : S_OK;
  }
  int execs = 0;

private:
  std::string m_home;
};

class RemoteTaskTest : public ::testing::Test
{
protected:
  RemoteTaskTest() : executor(dir.Path()), scheduler(executor, MakeSettings()) {}
  Settings MakeSettings()
  {
    Settings s;
    s.shareRoot = dir / "shares";
    return s;
  }
  // A program in the mapped share that writes its arguments, one per NUL-terminated record.
  std::wstring InstallRecorder(const std::string& body = "")
  {
    ::mkdir((dir / "shares").c_str(), 0700);
    ::mkdir((dir / "shares/srv").c_str(), 0700);
    ::mkdir((dir / "shares/srv/my share").c_str(), 0700);
    const std::string program = dir / "shares/srv/my share/set'up $x.sh";
    e2e::WriteFile(program, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + ShellQuote(dir / "args") +
                                "\n" + body);
    ::chmod(program.c_str(), 0700);
    return L"\"\\\\srv\\my share\\set'up $x.sh\"";
  }
  // The exit code once the task has finished; fails the test when it does not within 5 s.
  DWORD WaitFinished()
  {
    std::unique_ptr<ActivatedTask> task;
    DWORD code = 0;
    for (int i = 0; i < 200; ++i) {
      EXPECT_EQ(scheduler.Activate(L"Corvex_InstTask", task), S_OK);
      if (!task)
        return 0;
      if (task->GetExitCode(code) == S_OK) {
        EXPECT_EQ(task->GetStatus(), SCHED_S_TASK_NO_VALID_TRIGGERS);
        return code;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ADD_FAILURE() << "the task did not finish";
    return 0;
  }
  HRESULT SaveAndRun(const std::wstring& application, const std::wstring& parameters)
  {
    WorkItem item;
    HRESULT hr = scheduler.NewWorkItem(L"Corvex_InstTask", item);
    if (FAILED(hr))
      return hr;
    item.applicationName = application;
    item.parameters = parameters;
    item.accountName = L"CORP\\admin";
    hr = scheduler.Save(L"Corvex_InstTask", item);
    return FAILED(hr) ? hr : scheduler.Run(L"Corvex_InstTask");
  }

  e2e::ScratchDir dir{"corvex-remotetask"};
  LocalExecutor executor;
  TaskScheduler scheduler;
};

std::vector<std::string> Records(const std::string& text)
{
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto nul = text.find('\0', at);
    out.push_back(text.substr(at, nul - at));
    at = nul + 1;
  }
  return out;
}

}  // namespace

TEST(TaskScriptsTest, ParametersSplitAsTheSetupProgramReadsThem)
{
  const std::pair<std::wstring, std::vector<std::wstring>> cases[] = {
    {L"-updp \"http://srv:80/cid\" -ouser \"QUJD\r\nREVG\" -opwd \"\" -mng yes -s",
     {L"-updp", L"http://srv:80/cid", L"-ouser", L"QUJD\r\nREVG", L"-opwd", L"", L"-mng", L"yes", L"-s"}},
    {L"  a\tb  ", {L"a", L"b"}},
    {L"\"a b\"c d", {L"a bc", L"d"}},
    {L"a\\\\\"b c\"", {L"a\\b c"}},
    {L"a\\\"b", {L"a\"b"}},
    {L"a\\b\\\\c", {L"a\\b\\\\c"}},
    {L"\"say \"\"hi\"\"\"", {L"say \"hi\""}},
    {L"\"unterminated x", {L"unterminated x"}},
    {L"", {}},
  };
  for (const auto& [line, expected] : cases)
    EXPECT_EQ(SplitParameters(line), expected) << ToUtf8(line);
}

TEST(TaskScriptsTest, NamesQuotingPathsAndAnswers)
{
  EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
  EXPECT_TRUE(IsValidTaskName(L"Corvex_InstTask"));
  for (const wchar_t* bad : {L"", L".", L"..", L"a/b", L"a b", L"$(x)", L"a'b"})
    EXPECT_FALSE(IsValidTaskName(bad)) << ToUtf8(bad);

  EXPECT_EQ(UnquoteApplication(L"\"\\\\s\\x\\setup.exe\""), L"\\\\s\\x\\setup.exe");

  TaskSnapshot s;
  ASSERT_TRUE(ParseQueryAnswer("finished 3 1700000000\n\"\\\\s\\x\"", s));
  EXPECT_EQ(s.state, TaskRunState::Finished);
  EXPECT_EQ(s.exitCode, 3u);
  EXPECT_EQ(s.lastRun, 1700000000);
  EXPECT_EQ(s.applicationName, "\"\\\\s\\x\"");
  EXPECT_TRUE(ParseQueryAnswer("notrun - -\n", s));
  EXPECT_EQ(s.lastRun, 0);
  for (const char* bad : {"", "finished\n", "finished x 1\n", "sleeping - -\n", "notrun - 12z\n"})
    EXPECT_FALSE(ParseQueryAnswer(bad, s)) << bad;
}

TEST_F(RemoteTaskTest, HostileNamesAndParametersReachTheProgramUnchangedAndRunNothing)
{
  const std::wstring application = InstallRecorder();
  const std::string marker = dir / "ran";
  const std::wstring m = FromUtf8(marker);
  const std::wstring parameters = L"plain \"two words\" $(touch " + m + L") `touch " + m + L"` \"'single'\" \"a;b|c&d\" \"x\ny\" \"$HOME\"";
  ASSERT_EQ(SaveAndRun(application, parameters), S_OK);
  EXPECT_EQ(WaitFinished(), 0u);
  const std::vector<std::string> expected = {"plain", "two words", "$(touch", ToUtf8(m) + ")", "`touch", ToUtf8(m) + "`",
                                             "'single'", "a;b|c&d", "x\ny", "$HOME"};
  EXPECT_EQ(Records(e2e::ReadFile(dir / "args")), expected);
  EXPECT_NE(::access(marker.c_str(), F_OK), 0) << "a parameter was run by a shell";

  std::unique_ptr<ActivatedTask> task;
  ASSERT_EQ(scheduler.Activate(L"Corvex_InstTask", task), S_OK);
  EXPECT_EQ(task->ApplicationName(), application);
  std::time_t when = 0;
  EXPECT_EQ(task->GetMostRecentRunTime(when), S_OK);
  EXPECT_NEAR(static_cast<double>(when), static_cast<double>(std::time(nullptr)), 60.0);
  EXPECT_EQ(scheduler.NewWorkItem(L"Corvex_InstTask", *std::make_unique<WorkItem>()), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
  EXPECT_EQ(scheduler.Run(L"a b"), E_INVALIDARG);
}

TEST_F(RemoteTaskTest, TaskLifeFromSavedToDeleted)
{
  std::unique_ptr<ActivatedTask> task;
  EXPECT_EQ(scheduler.Activate(L"Corvex_InstTask", task), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(scheduler.Delete(L"Corvex_InstTask"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  // Saved, not run: no triggers, has not run.
  const std::wstring application = InstallRecorder("sleep 30 & echo $! > " + ShellQuote(dir / "child") + "\nwait\nexit 3\n");
  WorkItem item;
  ASSERT_EQ(scheduler.NewWorkItem(L"Corvex_InstTask", item), S_OK);
  item.applicationName = application;
  ASSERT_EQ(scheduler.Save(L"Corvex_InstTask", item), S_OK);
  ASSERT_EQ(scheduler.Activate(L"Corvex_InstTask", task), S_OK);
  DWORD code = 7;
  EXPECT_EQ(task->GetStatus(), SCHED_S_TASK_NO_VALID_TRIGGERS);
  EXPECT_EQ(task->GetExitCode(code), SCHED_S_TASK_HAS_NOT_RUN);
  std::time_t when = 1;
  EXPECT_EQ(task->GetMostRecentRunTime(when), SCHED_S_TASK_HAS_NOT_RUN);

  // Running, then deleted: the program's whole process group goes with it.
  ASSERT_EQ(scheduler.Run(L"Corvex_InstTask"), S_OK);
  ASSERT_TRUE(e2e::WaitForText(dir / "child", "\n"));
  const pid_t child = std::stoi(e2e::ReadFile(dir / "child"));
  ASSERT_EQ(scheduler.Activate(L"Corvex_InstTask", task), S_OK);
  EXPECT_EQ(task->GetStatus(), SCHED_S_TASK_RUNNING);
  EXPECT_EQ(task->GetExitCode(code), SCHED_S_TASK_HAS_NOT_RUN);
  ASSERT_EQ(scheduler.Delete(L"Corvex_InstTask"), S_OK);
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = ::kill(child, 0) != 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(gone) << "the task's program outlived its deletion";
  EXPECT_EQ(scheduler.Activate(L"Corvex_InstTask", task), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(RemoteTaskTest, ExitCodesOfFinishedAndMissingPrograms)
{
  InstallRecorder("exit 3\n");
  for (const auto& [application, expected] :
       {std::pair<std::wstring, DWORD>{L"\"\\\\srv\\my share\\set'up $x.sh\"", 3}, {L"\\\\srv\\nowhere\\setup.exe", 127}}) {
    scheduler.Delete(L"Corvex_InstTask");
    ASSERT_EQ(SaveAndRun(application, L"-s"), S_OK);
    EXPECT_EQ(WaitFinished(), expected) << ToUtf8(application);
  }
}
