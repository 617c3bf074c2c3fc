#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/sync/Sync.h"

TEST(Event, AutoResetReleasesOneWaiterPerSignal)
{
  Event e(false);
  EXPECT_EQ(e.Wait(0), WAIT_TIMEOUT);
  e.Set();
  e.Set();  // signals do not accumulate
  EXPECT_EQ(e.Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(e.Wait(0), WAIT_TIMEOUT);

  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (e.Wait(2000) == WAIT_OBJECT_0)
        ++woken;
    });
  Sleep(50);
  e.Set();
  Sleep(100);
  EXPECT_EQ(woken.load(), 1);
  e.Set();
  e.Set();
  Sleep(30);
  e.Set();
  for (auto& t : waiters)
    t.join();
  EXPECT_EQ(woken.load(), 3);
}

TEST(Event, ManualResetReleasesAllUntilReset)
{
  Event e(true, true);
  EXPECT_EQ(e.Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(e.Wait(0), WAIT_OBJECT_0);
  e.Reset();
  EXPECT_EQ(e.Wait(0), WAIT_TIMEOUT);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      if (e.Wait(2000) == WAIT_OBJECT_0)
        ++woken;
    });
  Sleep(30);
  e.Set();
  for (auto& t : waiters)
    t.join();
  EXPECT_EQ(woken.load(), 4);
}

TEST(Event, WaitTimesOutAfterAboutTheTimeGiven)
{
  Event e(false);
  const DWORD start = GetTickCount();
  EXPECT_EQ(e.Wait(120), WAIT_TIMEOUT);
  const DWORD elapsed = GetTickCount() - start;  // unsigned difference survives the wrap
  EXPECT_GE(elapsed, 119u);
}

TEST(Event, WaitForEitherTellsWhichAndPrefersTheFirst)
{
  Event stop(true), work(false);
  EXPECT_EQ(WaitForEither(stop, work, 10), WAIT_TIMEOUT);
  std::thread t([&] {
    Sleep(30);
    work.Set();
  });
  EXPECT_EQ(WaitForEither(stop, work, 2000), WAIT_OBJECT_0 + 1);
  t.join();
  EXPECT_EQ(work.Wait(0), WAIT_TIMEOUT);  // consumed by the wait
  stop.Set();
  work.Set();
  EXPECT_EQ(WaitForEither(stop, work, 0), WAIT_OBJECT_0);
  EXPECT_EQ(work.Wait(0), WAIT_OBJECT_0);  // the second was left signalled
}
