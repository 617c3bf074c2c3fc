// The flagged queue's event and the discovery state's counters and listener calls.
#include <gtest/gtest.h>

#include <thread>

#include "managementservice/discovery/DiscoveryState.h"
#include "managementservice/ProtectedFlaggedQueue.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/discovery/RecordingListener.h"

using Calls = std::vector<std::string>;

TEST(ProtectedFlaggedQueue, SignalledExactlyWhileNotEmptyAndFirstInFirstOut)
{
  tProtectedFlaggedQueue<int> queue;
  Event other(false);
  EXPECT_EQ(queue.wait(0), WAIT_TIMEOUT);
  EXPECT_EQ(queue.wait(other, 0), WAIT_TIMEOUT);
  queue.push(1);
  queue.push(2);
  EXPECT_EQ(queue.size(), 2u);
  // The event is manual-reset: waiting does not take the signal away.
  EXPECT_EQ(queue.wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(queue.wait(other, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(queue.pop(), 1);
  EXPECT_EQ(queue.wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(queue.pop(), 2);
  EXPECT_EQ(queue.wait(0), WAIT_TIMEOUT);
  try {
    queue.pop();
    ADD_FAILURE() << "popping an empty queue";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "tProtEventQueue: Popping empty queue");
  }
  // The other event wins a tie.
  queue.push(3);
  other.Set();
  EXPECT_EQ(queue.wait(other, 0), WAIT_OBJECT_0);
  queue.clear();
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_EQ(queue.wait(0), WAIT_TIMEOUT);
}

TEST(ProtectedFlaggedQueue, AWaiterWakesForAPushFromAnotherThread)
{
  tProtectedFlaggedQueue<std::string> queue;
  Event stop(false);
  std::thread pusher([&] { queue.push("domain"); });
  EXPECT_EQ(queue.wait(stop, 10000), WAIT_OBJECT_0 + 1);
  pusher.join();
  EXPECT_EQ(queue.pop(), "domain");
}

class DiscoveryStateTest : public ::testing::Test
{
protected:
  void SetUp() override { m_state.AddStatusListener(m_listener); }
  DiscoveryState m_state;
  CComPtr<RecordingListener> m_listener{new RecordingListener};
};

TEST_F(DiscoveryStateTest, ASearchOfTwoDomainsReportsProgressAndEndsWhenBothAreBrowsedAndQueried)
{
  m_state.IncreaseDomainsFound(2);  // both counters 0: a finished check that finds 2 of 0 browsed
  m_state.SearchStarted();
  m_state.IncreaseComputersFound(3);
  m_state.IncreaseDomainsBrowsed(1);
  m_state.IncreaseComputersKnown(1);
  m_state.SearchFinished();  // one domain is still to browse: nothing happens
  m_state.IncreaseComputersFound(0);
  m_state.IncreaseDomainsBrowsed(1);
  m_state.IncreaseComputersKnown(2);
  m_state.SearchFinished();
  EXPECT_EQ(m_listener->Calls(), (Calls{"started", "status 0/3", "status 0/3", "status 1/3", "status 1/3", "status 1/3",
                                        "status 3/3", "finished"}));
  // The end starts the counters again from zero.
  const DiscoveryState::Status s = m_state.GetStatus();
  EXPECT_EQ(s.computersFound + s.computersKnown + s.domainsFound + s.domainsBrowsed, 0u);
  EXPECT_FALSE(s.stop);
}

TEST_F(DiscoveryStateTest, ASearchOfNoDomainsFinishesBeforeItStarts)
{
  m_state.IncreaseDomainsFound(0);
  m_state.SearchStarted();
  EXPECT_EQ(m_listener->Calls(), (Calls{"finished", "started"}));
}

TEST_F(DiscoveryStateTest, AStopEndsTheSearchAtTheNextCheckWhateverIsLeft)
{
  m_state.IncreaseDomainsFound(3);
  m_state.IncreaseComputersFound(5);
  m_state.IncreaseDomainsBrowsed(1);
  m_state.SearchFinished();
  EXPECT_EQ(m_state.GetComputersFound(), 5u);
  m_state.StoppingSearch();
  m_state.SearchFinished();
  EXPECT_EQ(m_listener->Calls().back(), "finished");
  EXPECT_EQ(m_state.GetComputersFound(), 0u);
  EXPECT_FALSE(m_state.GetStatus().stop);
}

TEST_F(DiscoveryStateTest, ListenersAcrossAddRemoveAndFailingCalls)
{
  testsupport::TraceCapture traces;
  CComPtr<RecordingListener> failing(new RecordingListener);
  failing->FailCalls(true);
  m_state.AddStatusListener(failing);
  m_state.SearchStarted();
  m_state.IncreaseComputersFound(1);
  m_state.IncreaseDomainsFound(1);
  m_state.IncreaseDomainsBrowsed(1);
  m_state.IncreaseComputersKnown(1);
  m_state.SearchFinished();
  // A failing listener is logged and the others still hear everything.
  EXPECT_TRUE(traces.Has(0, "Listener OnStarted() call failed : 0x80004005"));
  EXPECT_TRUE(traces.Has(0, "Listener OnStatusChange() call failed : 0x80004005"));
  EXPECT_TRUE(traces.Has(0, "Listener OnFinished() call failed : 0x80004005"));
  EXPECT_EQ(failing->Calls(), m_listener->Calls());
  EXPECT_EQ(m_listener->Calls().back(), "finished");

  EXPECT_TRUE(m_state.RemoveStatusListener(failing));
  EXPECT_FALSE(m_state.RemoveStatusListener(failing));
  CComPtr<RecordingListener> stranger(new RecordingListener);
  EXPECT_FALSE(m_state.RemoveStatusListener(stranger));
  m_state.SearchStarted();
  EXPECT_EQ(failing->Calls().back(), "finished");
  EXPECT_EQ(m_listener->Calls().back(), "started");
}

TEST_F(DiscoveryStateTest, AssignmentCopiesCountersAndListeners)
{
  m_state.IncreaseDomainsFound(4);
  m_state.IncreaseComputersFound(2);
  DiscoveryState copy;
  copy = m_state;
  copy = copy;
  EXPECT_EQ(copy.GetStatus().domainsFound, 4u);
  EXPECT_EQ(copy.GetComputersFound(), 2u);
  copy.SearchStarted();
  EXPECT_EQ(m_listener->Calls().back(), "started");
}
