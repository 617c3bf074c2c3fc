// The thread wrapper's life: a thread never outlives its object, a restart never runs two at
// once, and the discovery handlers end their threads before their members go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "managementservice/Thread.h"
#include "managementservice/discovery/ComputerDiscovery.h"
#include "tests/businesslogic/TestSupport.h"

using namespace std::chrono_literals;

namespace {

// Runs for a while, counting how many of its runs overlap, and marks its end outside itself.
class SlowWorker : public Thread
{
public:
  SlowWorker(std::atomic<int>& inside, std::atomic<int>& most, std::atomic<int>& ended)
    : m_inside(inside), m_most(most), m_ended(ended)
  {
  }

protected:
  void ThreadFunc() override
  {
    // The counters are taken while the object is whole: a test destroys it while this runs, and
    // its members are gone (only the base's destructor is left waiting) by the time it ends.
    std::atomic<int>& inside = m_inside;
    std::atomic<int>& most = m_most;
    std::atomic<int>& ended = m_ended;
    const int now = ++inside;
    for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    std::this_thread::sleep_for(200ms);
    --inside;
    ++ended;
  }

private:
  std::atomic<int>& m_inside;
  std::atomic<int>& m_most;
  std::atomic<int>& m_ended;
};

class Waiter : public Thread, public StoppableHandler
{
protected:
  void ThreadFunc() override { m_Stop->Wait(INFINITE); }
};

}  // namespace

TEST(Thread, ANeverStartedOrFinishedThreadCannotBeWaitedFor)
{
  Waiter waiter;
  DWORD error = 7;
  EXPECT_FALSE(waiter.HasThread());
  EXPECT_FALSE(waiter.Wait(0, error));
  ASSERT_TRUE(waiter.Start());
  EXPECT_TRUE(waiter.HasThread());
  error = 7;
  EXPECT_FALSE(waiter.Wait(20, error));
  EXPECT_EQ(error, 0u);  // a time-out, not a failure
  waiter.Stop();
  ASSERT_TRUE(waiter.Wait(5000, error));
  // Once it ended and was waited for, the thread is forgotten.
  EXPECT_FALSE(waiter.HasThread());
  EXPECT_FALSE(waiter.Wait(0, error));
}

TEST(Thread, DestroyingTheObjectWaitsForItsRunningThread)
{
  std::atomic<int> inside{0}, most{0}, ended{0};
  testsupport::TraceCapture traces;
  {
    SlowWorker worker(inside, most, ended);
    ASSERT_TRUE(worker.Start());
    for (int i = 0; i < 100 && inside == 0; ++i)
      std::this_thread::sleep_for(2ms);
  }
  // A thread cut loose would still be sleeping on its destroyed object.
  EXPECT_EQ(ended.load(), 1);
  EXPECT_TRUE(traces.Has(0, "A thread is still running as its object is destroyed"));
}

TEST(Thread, StartingAgainWaitsForThePreviousRunToEnd)
{
  std::atomic<int> inside{0}, most{0}, ended{0};
  SlowWorker worker(inside, most, ended);
  ASSERT_TRUE(worker.Start());
  for (int i = 0; i < 100 && inside == 0; ++i)
    std::this_thread::sleep_for(2ms);
  ASSERT_TRUE(worker.Start());
  DWORD error = 0;
  ASSERT_TRUE(worker.Wait(5000, error));
  EXPECT_EQ(ended.load(), 2);
  EXPECT_EQ(most.load(), 1) << "two runs of one object overlapped";
}

TEST(Thread, DiscoveryHandlersEndTheirThreadsWhenDestroyedWithoutStop)
{
  BrowseQueue browse;
  DetailsQueue details;
  DiscoveryState state;
  std::atomic<int> browsed{0};
  auto network = std::make_shared<DiscoveryNetwork>();
  network->getChildEntities = [&browsed](const std::wstring&, std::vector<std::wstring>&) -> HRESULT {
    ++browsed;
    return S_OK;
  };
  {
    BrowseHandler browser(browse, details, state, network);
    DetailsHandler detailer(details, state, network);
    ASSERT_TRUE(browser.Start());
    ASSERT_TRUE(detailer.Start());
    browse.push(BrowseDomainInfo{L"EMPTY", AccountCredentials()});
    for (int i = 0; i < 500 && browsed == 0; ++i)
      std::this_thread::sleep_for(2ms);
    ASSERT_EQ(browsed.load(), 1);
  }
  // Nothing is left to take work: a domain queued now stays queued.
  browse.push(BrowseDomainInfo{L"LATE", AccountCredentials()});
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(browsed.load(), 1);
  EXPECT_EQ(browse.size(), 1u);
}
