// The console's computer actions: array checks, what each request queues, and the SAFEARRAY
// forms over the raw ones.
#include <sys/mman.h>

#include <gtest/gtest.h>

#include "managementservice/console/ComputerActions.h"
#include "managementservice/console/UpdateNowQueue.h"
#include "managementservice/letters/ComputerLetters.h"
#include "platform/com/Variant.h"
#include "tests/managementservice/ServiceTestSupport.h"

namespace {

// A page this process cannot read.
class UnreadablePage
{
public:
  UnreadablePage() : m_page(::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {}
  ~UnreadablePage() { ::munmap(m_page, 4096); }
  LONG* get() const { return static_cast<LONG*>(m_page); }

private:
  void* m_page;
};

class ComputerActionsTest : public ::testing::Test
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
  SAFEARRAY* Array(std::vector<LONG> ids)
  {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 1, static_cast<ULONG>(ids.size()));
    for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i) {
      const LONG index = i + 1;
      SafeArrayPutElement(psa, &index, &ids[static_cast<std::size_t>(i)]);
    }
    return psa;
  }

  CComputerActions* m_actions = nullptr;
};

}  // namespace

TEST_F(ComputerActionsTest, ACountOfZeroPassesWhateverThePointerAndAnUnreadableArrayIsRefused)
{
  UnreadablePage page;
  for (LONG* ids : {static_cast<LONG*>(nullptr), page.get()}) {
    EXPECT_EQ(m_actions->Refresh(0, ids), S_OK);
    EXPECT_EQ(m_actions->UpdateNow(0, ids), S_OK);
    EXPECT_EQ(m_actions->OverrideCentralConfiguration(1, 0, ids), S_OK);
  }
  EXPECT_EQ(m_actions->Refresh(1, page.get()), E_POINTER);
  EXPECT_EQ(m_actions->UpdateNow(3, page.get()), E_POINTER);
  EXPECT_EQ(m_actions->OverrideCentralConfiguration(0, 2, nullptr), E_POINTER);
  // The last element lies on the unreadable page.
  LONG* straddling = page.get() - 1;
  EXPECT_EQ(m_actions->Refresh(2, straddling), E_POINTER);
  EXPECT_TRUE(ProcessingQueue::Instance().IsEmpty());
  EXPECT_EQ(UpdateNowQueue::Instance().GetQueueSize(), 0u);
}

TEST_F(ComputerActionsTest, RefreshQueuesOneLetterPerIdWhileUpdateNowKeepsEachComputerOnce)
{
  LONG ids[] = {7, 7, 9};
  ASSERT_EQ(m_actions->Refresh(3, ids), S_OK);
  const auto items = servicetest::DrainQueue();
  ASSERT_EQ(items.size(), 3u);
  std::vector<long> computers;
  for (const auto& item : items) {
    const auto* letter = dynamic_cast<const Refresh_Now*>(item.get());
    ASSERT_NE(letter, nullptr);
    computers.push_back(letter->ComputerId());
  }
  EXPECT_EQ(computers, (std::vector<long>{7, 7, 9}));

  ASSERT_EQ(m_actions->UpdateNow(3, ids), S_OK);
  EXPECT_EQ(UpdateNowQueue::Instance().GetQueueSize(), 2u);
  EXPECT_TRUE(ProcessingQueue::Instance().IsEmpty());  // update-now letters never take this road
}

TEST_F(ComputerActionsTest, TheSafeArrayFormsPassTheirIdsAndTheLowByteOfTheOverride)
{
  struct Case
  {
    LONG override;
    bool apply;
  };
  for (const Case c : {Case{1, false}, Case{-1, false}, Case{0, true}, Case{0x100, true}}) {
    SAFEARRAY* psa = Array({4, 2});
    ASSERT_EQ(m_actions->put_OverrideCentralConfiguration(psa, c.override), S_OK);
    SafeArrayDestroy(psa);
    const auto items = servicetest::DrainQueue();
    ASSERT_EQ(items.size(), 2u) << c.override;
    const auto* first = dynamic_cast<const Override_Central_Config*>(items[0].get());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->ComputerId(), 4);
    EXPECT_EQ(first->ApplyCentralConfig(), c.apply) << c.override;
  }

  SAFEARRAY* psa = Array({11, 12});
  IComputerActions* dual = nullptr;
  ASSERT_EQ(m_actions->QueryInterface(IComputerActions::iid, reinterpret_cast<void**>(&dual)), S_OK);
  EXPECT_EQ(dual->Refresh(psa), S_OK);
  EXPECT_EQ(dual->UpdateNow(psa), S_OK);
  dual->Release();
  SafeArrayDestroy(psa);
  EXPECT_EQ(servicetest::DrainQueue().size(), 2u);
  EXPECT_TRUE(UpdateNowQueue::Instance().IsInQueue(12));

  SAFEARRAY* empty = SafeArrayCreateVector(VT_I4, 0, 0);
  EXPECT_EQ(m_actions->Refresh(empty), S_OK);
  SafeArrayDestroy(empty);
  UnreadablePage page;
  EXPECT_EQ(m_actions->Refresh(reinterpret_cast<SAFEARRAY*>(page.get())), E_POINTER);
  EXPECT_TRUE(ProcessingQueue::Instance().IsEmpty());
}

TEST_F(ComputerActionsTest, AnswersItsTwoInterfacesOnly)
{
  void* out = nullptr;
  EXPECT_EQ(m_actions->QueryInterface(IVRN_ComputerActions::iid, &out), S_OK);
  static_cast<IUnknown*>(out)->Release();
  const IID dispatch = MakeGuid("{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(m_actions->QueryInterface(dispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}
