// How the result queue reads a setup task's outcome (the mapping of the scheduler's answers to
// install statuses and results), and how the install workers end at shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "managementservice/install/InstallResultQueue.h"
#include "managementservice/install/InstallWorker.h"
#include "managementservice/install/ProtectComputerException.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/remotetask/RemoteTask.h"
#include "tests/managementservice/install/FakeInstallDatabase.h"

namespace {

using namespace std::chrono_literals;

enum class Throw { Nothing, OnOpen, OnStatus };

struct StatusRow
{
  const char* what;
  Throw thrown;
  std::uint32_t taskStatus;
  std::optional<std::uint32_t> exitHr;  // none: the exit code must not be asked
  DWORD exitCode;
  int expectedStatus;
  LONG expectedResult;  // what is left in exitCode; only looked at for statuses 2 and 3
};

class ScriptedTask : public IInstallTaskReader
{
public:
  ScriptedTask(const StatusRow& row, int& exitAsked) : m_row(row), m_exitAsked(exitAsked) {}
  void GetTaskStatus(HRESULT& status) override
  {
    if (m_row.thrown == Throw::OnStatus)
      throw WinRuntimeError::FromHResult(MakeHr(0x80070002), "Activate failed: ");
    status = MakeHr(m_row.taskStatus);
  }
  HRESULT GetExitCode(DWORD& code) override
  {
    ++m_exitAsked;
    code = m_row.exitCode;
    return MakeHr(m_row.exitHr.value_or(0x8000FFFF));
  }

private:
  const StatusRow& m_row;
  int& m_exitAsked;
};

constexpr LONG Hr(std::uint32_t v) { return static_cast<LONG>(v); }

}  // namespace

TEST(InstallStatusTest, EveryAnswerOfTheSchedulerMapsToItsStatusAndResult)
{
  const StatusRow rows[] = {
    {"running", Throw::Nothing, 0x00041301, std::nullopt, 0, 1, 0},
    {"finished, exit 0", Throw::Nothing, 0x00041307, 0, 0, 2, 0},
    {"not scheduled, exit 0", Throw::Nothing, 0x00041305, 0, 0, 2, 0},
    {"finished, exit 1603", Throw::Nothing, 0x00041307, 0, 1603, 3, 1603},
    {"finished, exit code read with S_FALSE", Throw::Nothing, 0x00041307, 1, 7, 3, 7},
    {"has not run yet", Throw::Nothing, 0x00041307, 0x00041303, 0, 1, 0},
    {"ready: not a status this reads", Throw::Nothing, 0x00041300, std::nullopt, 0, 0, 0},
    {"a failed status", Throw::Nothing, 0x80004005, std::nullopt, 0, 0, 0},
    {"exit code: access denied", Throw::Nothing, 0x00041307, 0x80070005, 0, 3, 52},
    // 3 among the access and path values is a success code as an HRESULT: the code read stands.
    {"exit code: 3", Throw::Nothing, 0x00041307, 3, 0, 2, 0},
    {"exit code: path not found", Throw::Nothing, 0x00041307, 0x80070003, 0, 3, 52},
    {"exit code: request not accepted", Throw::Nothing, 0x00041307, 0x80070047, 0, 3, 52},
    {"exit code: system access denied", Throw::Nothing, 0x00041307, 0xC0000022, 0, 3, 52},
    {"exit code: run ended unrecorded", Throw::Nothing, 0x00041307, 0x8007042B, 0, 3, Hr(0x8007042B)},
    {"exit code: any other failure", Throw::Nothing, 0x00041307, 0x80004005, 0, 3, Hr(0x80004005)},
    {"the task cannot be read", Throw::OnStatus, 0, std::nullopt, 0, 0, 0},
    {"the target cannot be logged on", Throw::OnOpen, 0, std::nullopt, 0, 0, 0},
  };
  for (const StatusRow& row : rows) {
    SCOPED_TRACE(row.what);
    int exitAsked = 0;
    LONG result = -12345;
    const int status = InstallStatusOf(
      [&]() -> std::unique_ptr<IInstallTaskReader> {
        if (row.thrown == Throw::OnOpen)
          throw CProtectComputerException(ProtectStep::LogonUser, 1326);
        return std::make_unique<ScriptedTask>(row, exitAsked);
      },
      result);
    EXPECT_EQ(status, row.expectedStatus);
    EXPECT_EQ(exitAsked, row.exitHr ? 1 : 0);
    if (status >= 2)
      EXPECT_EQ(result, row.expectedResult);
  }
}

namespace {

// A worker whose round takes a while and writes into the worker's own members at its end, so a
// round that outlives its worker is a use after free (and the flag below says so).
class SlowWorker : public InstallWorker
{
public:
  SlowWorker(std::atomic<bool>& roundEnded, std::atomic<bool>& destroyed)
      : InstallWorker("SlowWorker"), m_roundEnded(roundEnded), m_destroyed(destroyed)
  {
  }
  ~SlowWorker() override
  {
    FinishWorker();
    m_destroyed = true;
  }
  DWORD ThreadTimeout() const override { return 1; }
  void Start() { StartWorker(); }
  void Stop() { StopWorker(); }
  std::atomic<int> rounds{0};

protected:
  void WorkRound() override
  {
    ++rounds;
    std::this_thread::sleep_for(300ms);
    m_notes.push_back(rounds);
    m_roundEnded = !m_destroyed;
  }

private:
  std::atomic<bool>& m_roundEnded;
  std::atomic<bool>& m_destroyed;
  std::vector<int> m_notes;
};

}  // namespace

TEST(InstallWorkerTest, AThreadThatMissesTheStopWaitIsWaitedForNotLetLoose)
{
  std::atomic<bool> roundEnded{false};
  std::atomic<bool> destroyed{false};
  auto worker = std::make_unique<SlowWorker>(roundEnded, destroyed);
  worker->SetStopWait(20);
  worker->Start();
  for (int i = 0; i < 200 && worker->rounds == 0; ++i)
    std::this_thread::sleep_for(5ms);
  ASSERT_EQ(worker->rounds, 1);
  // The round outlasts the stop wait; the stop reports it and still returns only once the round
  // is over, so nothing the shutdown tears down next is used by it.
  worker->Stop();
  EXPECT_TRUE(roundEnded) << "the stop returned while a round was still running";
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_EQ(worker->rounds, 1) << "a round began after the stop was asked";
  worker.reset();
}

TEST(InstallWorkerTest, AWorkerDestroyedWithoutAStopEndsItsRoundFirst)
{
  std::atomic<bool> roundEnded{false};
  std::atomic<bool> destroyed{false};
  auto worker = std::make_unique<SlowWorker>(roundEnded, destroyed);
  worker->Start();
  for (int i = 0; i < 200 && worker->rounds == 0; ++i)
    std::this_thread::sleep_for(5ms);
  worker.reset();
  EXPECT_TRUE(roundEnded) << "the round ended after its worker was destroyed";

  // And a stopped worker starts again.
  std::atomic<bool> again{false};
  std::atomic<bool> notDestroyed{false};
  SlowWorker restarted(again, notDestroyed);
  restarted.Start();
  restarted.Stop();
  restarted.Start();
  EXPECT_TRUE(restarted.IsRunning());
}

namespace {

class SlowResultQueue : public InstallResultQueue
{
public:
  using InstallResultQueue::InstallResultQueue;
  int GetInstallStatus(const InstallResultEntry&, LONG&) override
  {
    ++asked;
    std::this_thread::sleep_for(100ms);
    return 1;
  }
  void DeleteRemoteTask(const InstallResultEntry&) override {}
  std::atomic<int> asked{0};
};

}  // namespace

TEST(InstallWorkerTest, TheResultQueueStopsBetweenTwoComputersOfAPass)
{
  FakeInstallDatabase db;
  SlowResultQueue queue(db);
  queue.SetThreadTimeout(1);
  queue.SetInstallTimeout(600000);
  for (LONG id = 1; id <= 20; ++id) {
    InstallResultEntry e;
    e.computerID = id;
    e.computerName = L"PC" + std::to_wstring(id);
    queue.AddComputer(e);
  }
  std::this_thread::sleep_for(5ms);
  queue.Start();
  for (int i = 0; i < 200 && queue.asked == 0; ++i)
    std::this_thread::sleep_for(5ms);
  queue.Stop();
  EXPECT_LE(queue.asked, 2) << "the pass went on after the stop";
  EXPECT_EQ(queue.GetQueueSize(), 20u) << "entries not looked at stay queued";
}
