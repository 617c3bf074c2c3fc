// The update-now queue: each computer waits once, in request order; the worker sends one per
// interval, stops promptly, and a failed send is neither retried nor the end of the worker.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "managementservice/console/UpdateNowQueue.h"
#include "platform/sync/Sync.h"
#include "tests/managementservice/ServiceTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sends
{
  std::mutex lock;
  std::vector<long> ids;
  std::vector<Clock::time_point> times;
  void Add(long id)
  {
    std::lock_guard l(lock);
    ids.push_back(id);
    times.push_back(Clock::now());
  }
  std::size_t Count()
  {
    std::lock_guard l(lock);
    return ids.size();
  }
};

void WaitFor(const std::function<bool()>& done)
{
  for (int i = 0; i < 400 && !done(); ++i)
    Sleep(10);
}

}  // namespace

TEST(UpdateNowQueue, AnIdAlreadyWaitingMovesToTheBack)
{
  UpdateNowQueue queue;
  queue.AddComputer(5);
  queue.AddComputer(7);
  queue.AddComputer(5);
  EXPECT_EQ(queue.GetQueueSize(), 2u);
  EXPECT_TRUE(queue.IsInQueue(5));
  long id = 0;
  ASSERT_TRUE(queue.PopComputer(id));
  EXPECT_EQ(id, 7);
  ASSERT_TRUE(queue.PopComputer(id));
  EXPECT_EQ(id, 5);
  EXPECT_FALSE(queue.PopComputer(id));
  queue.AddComputer(1);
  queue.RemoveAll();
  EXPECT_FALSE(queue.IsInQueue(1));
}

TEST(UpdateNowQueue, TheWorkerSendsOneComputerPerIntervalInOrder)
{
  UpdateNowQueue queue;
  queue.SetThreadTimeout(60);
  Sends sends;
  queue.SetSender([&](long id) { sends.Add(id); });
  for (long id : {3, 4, 5, 6})
    queue.AddComputer(id);
  const auto start = Clock::now();
  queue.Start();
  WaitFor([&] { return sends.Count() == 4; });
  queue.Stop();
  ASSERT_EQ(sends.ids, (std::vector<long>{3, 4, 5, 6}));
  // Each send waits a whole interval after the one before (and after the start).
  auto previous = start;
  for (const auto& t : sends.times) {
    EXPECT_GE(t - previous, std::chrono::milliseconds(59));
    previous = t;
  }
}

TEST(UpdateNowQueue, StopOnAnIdleWorkerEndsItAtOnceAndAFailedSendIsNotRetried)
{
  servicetest::TraceLines traces;
  UpdateNowQueue queue;
  queue.SetThreadTimeout(20);
  Sends sends;
  queue.SetSender([&](long id) {
    sends.Add(id);
    if (id == 1)
      throw std::runtime_error("send failed");
  });
  queue.AddComputer(1);
  queue.AddComputer(2);
  queue.Start();
  queue.Start();  // a running worker is left alone
  WaitFor([&] { return sends.Count() == 2; });
  EXPECT_EQ(sends.ids, (std::vector<long>{1, 2}));
  EXPECT_TRUE(traces.Has("UpdateNowQueue::ThreadWorker(): Caught std runtime_error(send failed)", 0));

  queue.SetThreadTimeout(60000);  // the worker is waiting on its 20 ms interval still
  const auto before = Clock::now();
  queue.Stop();
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
  EXPECT_FALSE(queue.IsRunning());
  EXPECT_TRUE(traces.Has("UpdateNowQueue::ThreadWorker(): thread stopping."));
  EXPECT_TRUE(traces.Has("UpdateNowQueue::Stop(): the thread successfully stopped."));
  EXPECT_EQ(sends.Count(), 2u);
}

TEST(UpdateNowQueue, AnUnknownFailureEndsTheWorkerWhichStartsAgainCleanly)
{
  servicetest::TraceLines traces;
  UpdateNowQueue queue;
  queue.SetThreadTimeout(20);
  Sends sends;
  queue.SetSender([&](long id) {
    sends.Add(id);
    if (id == 8)
      throw 8;
  });
  queue.AddComputer(8);
  queue.Start();
  WaitFor([&] { return traces.Has("UpdateNowQueue::UpdateNowThread(): Caught unknown exception"); });
  EXPECT_TRUE(traces.Has("UpdateNowQueue::UpdateNowThread(): Caught unknown exception", 0));
  queue.Stop();  // the worker is gone; its stop signal stays untaken

  queue.AddComputer(9);
  queue.Start();
  WaitFor([&] { return sends.Count() == 2; });
  queue.Stop();
  EXPECT_EQ(sends.ids, (std::vector<long>{8, 9}));
}
