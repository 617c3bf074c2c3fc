// The console's computer actions at the COM boundary: whichever allocation fails while letters
// are queued, the call answers with an HRESULT and no exception leaves it. The program replaces
// the global allocator so that a chosen allocation of the calling thread fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "managementservice/console/ComputerActions.h"
#include "managementservice/console/UpdateNowQueue.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "tests/managementservice/ServiceTestSupport.h"

namespace {
// Allocations of this thread still to succeed before one fails; negative: none fails.
thread_local long t_allocationsBeforeFailure = -1;
}  // namespace

void* operator new(std::size_t size)
{
  if (t_allocationsBeforeFailure >= 0 && t_allocationsBeforeFailure-- == 0)
    throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}

// The replaced new allocates with malloc, so free is its match; the compiler, seeing free
// called on what `new` returned, cannot tell the two are replaced together.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// Runs a call with its n-th allocation failing; false when the call let an exception out.
template <class Call>
bool FailingAllocation(long n, Call call, HRESULT& hr)
{
  t_allocationsBeforeFailure = n;
  bool escaped = false;
  try {
    hr = call();
  } catch (...) {
    escaped = true;
  }
  t_allocationsBeforeFailure = -1;
  return !escaped;
}

class ComputerActionsGuard : public ::testing::Test
{
protected:
  void SetUp() override
  {
    servicetest::DrainQueue();
    UpdateNowQueue::Instance().RemoveAll();
    m_actions = new CComputerActions;
    m_actions->AddRef();
  }
  void TearDown() override
  {
    m_actions->Release();
    servicetest::DrainQueue();
    UpdateNowQueue::Instance().RemoveAll();
  }

  // Every allocation of the call made to fail in turn.
  template <class Call>
  void Sweep(const char* name, Call call)
  {
    // Some allocations fail where the failure is absorbed (a trace line not written), so the
    // sweep goes on until many in a row leave the call unharmed.
    int outOfMemory = 0;
    int unharmed = 0;
    for (long n = 0; n < 1000 && unharmed < 50; ++n) {
      HRESULT hr = E_UNEXPECTED;
      ASSERT_TRUE(FailingAllocation(n, call, hr)) << name << ": an exception left the call at allocation " << n;
      servicetest::DrainQueue();
      UpdateNowQueue::Instance().RemoveAll();
      if (hr == S_OK) {
        ++unharmed;
        continue;
      }
      unharmed = 0;
      EXPECT_EQ(hr, E_OUTOFMEMORY) << name << " at allocation " << n;
      ++outOfMemory;
    }
    EXPECT_GT(outOfMemory, 0) << name << ": no allocation failed inside the call, the sweep proves nothing";
  }

  CComputerActions* m_actions = nullptr;
};

}  // namespace

TEST_F(ComputerActionsGuard, NoFailedAllocationLeavesTheRawMethodsAsAnException)
{
  LONG ids[] = {7, 8, 9};
  Sweep("Refresh", [&] { return m_actions->Refresh(3, ids); });
  // Enough computers that the update-now queue has to grow.
  std::vector<LONG> many(5000);
  for (std::size_t i = 0; i < many.size(); ++i)
    many[i] = static_cast<LONG>(i + 1);
  Sweep("UpdateNow", [&] { return m_actions->UpdateNow(static_cast<ULONG>(many.size()), many.data()); });
  Sweep("OverrideCentralConfiguration", [&] { return m_actions->OverrideCentralConfiguration(1, 3, ids); });
}

TEST_F(ComputerActionsGuard, LettersQueuedBeforeTheFailureStayQueued)
{
  LONG ids[] = {1, 2, 3};
  // Some allocation fails after the first letter went in: that letter stays queued.
  bool partial = false;
  for (long n = 0; n < 200 && !partial; ++n) {
    HRESULT hr = S_OK;
    ASSERT_TRUE(FailingAllocation(n, [&] { return m_actions->Refresh(3, ids); }, hr));
    const std::size_t queued = servicetest::DrainQueue().size();
    if (hr == S_OK) {
      EXPECT_EQ(queued, 3u);
      continue;
    }
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_LT(queued, 3u);
    partial = queued > 0;
  }
  EXPECT_TRUE(partial) << "no allocation failed between two letters";
}
