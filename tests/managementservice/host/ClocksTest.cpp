#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "managementservice/host/Clocks.h"
#include "platform/com/Memory.h"

namespace {
std::vector<ClockValue> Fetched(IVRN_Clocks& clocks)
{
  ULONG size = 0;
  ClockValue* data = nullptr;
  EXPECT_EQ(clocks.Fetch(&size, &data), S_OK);
  std::vector<ClockValue> out(data, data + size);
  CoTaskMemFree(data);
  return out;
}
}  // namespace

TEST(CClocks, FetchReturnsEveryClockAndTicksOnlyKnownClocks)
{
  CComPtr<CClocks> clocks(new CClocks);
  const auto before = Fetched(*clocks);
  ASSERT_EQ(before.size(), 3u);
  for (ULONG i = 0; i < 3; ++i)
    EXPECT_EQ(before[i].identity, i);
  EXPECT_EQ(clocks->Fetch(1), S_OK);
  EXPECT_EQ(clocks->Fetch(3), E_INVALIDARG);
  EXPECT_EQ(clocks->Fetch(-1), E_INVALIDARG);
  const auto after = Fetched(*clocks);
  EXPECT_EQ(after[0].value, before[0].value);
  EXPECT_EQ(after[1].value, before[1].value + 1);
  EXPECT_EQ(after[2].value, before[2].value);

  ClockValue* data = nullptr;
  ULONG size = 0;
  EXPECT_EQ(clocks->Fetch(nullptr, &data), E_POINTER);
  EXPECT_EQ(clocks->Fetch(&size, nullptr), E_POINTER);
  EXPECT_EQ(clocks->Fetch(&size, reinterpret_cast<ClockValue**>(8)), E_POINTER);  // unmapped page
}

TEST(CClocks, ConcurrentTicksAreNeverLost)
{
  CComPtr<CClocks> clocks(new CClocks);
  const ULONG start = Fetched(*clocks)[2].value;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i)
        clocks->Fetch(2);
    });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(Fetched(*clocks)[2].value, start + 80000);
}

TEST(CClocks, DeferredTicksWaitForReleaseAndCountOncePerClock)
{
  MangementServiceClocks& clocks = MangementServiceClocks::Instance();
  const auto before = clocks.GetData();
  std::vector<ClockValue> seenByOtherThread;
  {
    MangementServiceClocks::CDeferredTicks held;
    clocks.Tick(0);
    clocks.Tick(0);
    clocks.Tick(2);
    std::thread([&] {
      clocks.Tick(1);  // another thread's ticks are not held
      seenByOtherThread = clocks.GetData();
    }).join();
    EXPECT_EQ(clocks.GetData()[0].value, before[0].value);
    EXPECT_EQ(clocks.GetData()[2].value, before[2].value);
    held.Release();
    EXPECT_EQ(clocks.GetData()[0].value, before[0].value + 1);
    EXPECT_EQ(clocks.GetData()[2].value, before[2].value + 1);
    clocks.Tick(2);  // held again until the scope ends
    EXPECT_EQ(clocks.GetData()[2].value, before[2].value + 1);
  }
  EXPECT_EQ(seenByOtherThread[1].value, before[1].value + 1);
  EXPECT_EQ(clocks.GetData()[2].value, before[2].value + 2);
  EXPECT_THROW(clocks.Tick(3), std::out_of_range);
}
