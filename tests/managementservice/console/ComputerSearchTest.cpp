// The console's search object on a discovery engine whose network is scripted: domain lists,
// searches that overlap, stop, and the listener checks.
#include <gtest/gtest.h>

#include "businesslogic/DatabaseConnection.h"
#include "managementservice/console/ComputerSearch.h"
#include "platform/com/Memory.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/discovery/RecordingListener.h"

using namespace std::chrono_literals;

namespace {

class ComputerSearchTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
    auto net = std::make_shared<DiscoveryNetwork>();
    net->getChildEntities = [this](const std::wstring& parent, std::vector<std::wstring>& children) -> HRESULT {
      if (parent.empty()) {
        children = m_domains;
        return m_domainsResult;
      }
      for (int i = 0; i < m_computersPerDomain; ++i)
        children.push_back(L"\\\\" + parent + L"-PC" + std::to_wstring(i));
      return S_OK;
    };
    net->getComputerDescriptionAndOS = [this](const std::wstring&, std::wstring& comment, PTLDB::OperatingSystem& os,
                                              const wchar_t*, const wchar_t*) {
      std::this_thread::sleep_for(m_queryTime);
      os = 8;
      comment = L"desk";
      return true;
    };
    m_engine = std::make_unique<DiscoveryEngine>(net);
    for (int i = 0; i < 4; ++i)
      m_engine->discovery.AddDetailsHandler();
    m_engine->discovery.Start();
    m_search.Attach(new CKTComputerSearchImpl);
    m_search->AddRef();
    ASSERT_EQ(m_search->AddStatusListener(m_listener), S_OK);
  }
  void TearDown() override { m_engine->discovery.Stop(); }
  HRESULT Search(std::vector<std::wstring> domains)
  {
    std::vector<_bstr_t> owned(domains.begin(), domains.end());
    std::vector<BSTR> array;
    for (auto& d : owned)
      array.push_back(d.GetBSTR());
    return m_search->Search(static_cast<ULONG>(array.size()), array.data(), _bstr_t(L"CORP\\admin").GetBSTR(),
                            _bstr_t(L"pw").GetBSTR());
  }
  std::string Count(const std::string& where)
  {
    return m_db.Exec("SELECT count(*) FROM dbo.\"Computers\" WHERE " + where).Text(0, 0);
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
  std::vector<std::wstring> m_domains;
  HRESULT m_domainsResult = S_OK;
  int m_computersPerDomain = 2;
  std::chrono::milliseconds m_queryTime{0};
  std::unique_ptr<DiscoveryEngine> m_engine;
  CComPtr<IKTComputerSearch> m_search;
  CComPtr<RecordingListener> m_listener{new RecordingListener};
};

}  // namespace

TEST_F(ComputerSearchTest, DomainNamesAsAnArrayOfStringsOrNoneAtAll)
{
  ULONG count = 7;
  BSTR* names = reinterpret_cast<BSTR*>(1);
  ASSERT_EQ(m_search->GetDomainNames(&count, &names), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(names, nullptr);

  m_domains = {L"OFFICE", L"LAB"};
  ASSERT_EQ(m_search->GetDomainNames(&count, &names), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(names[0], L"OFFICE");
  EXPECT_STREQ(names[1], L"LAB");
  for (ULONG i = 0; i < count; ++i)
    SysFreeString(names[i]);
  CoTaskMemFree(names);

  m_domainsResult = HRESULT_FROM_WIN32(1222);
  EXPECT_EQ(m_search->GetDomainNames(&count, &names), HRESULT_FROM_WIN32(1222));
}

TEST_F(ComputerSearchTest, ASearchOfNothingFinishesThenStarts)
{
  ASSERT_EQ(m_search->Search(0, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(m_listener->Calls(), (std::vector<std::string>{"finished", "started"}));
}

TEST_F(ComputerSearchTest, ASecondSearchJoinsTheRunningOneAndAnotherObjectSharesIt)
{
  m_queryTime = 30ms;
  ASSERT_EQ(Search({L"A"}), S_OK);
  // A second console object on the same engine adds two domains to the running search.
  CComPtr<IKTComputerSearch> second;
  second.Attach(new CKTComputerSearchImpl);
  second->AddRef();
  const _bstr_t b(L"B"), c(L"C");  // the caller keeps what it passes in
  ASSERT_EQ(second->Search(2, std::vector<BSTR>{b.GetBSTR(), c.GetBSTR()}.data(), nullptr, nullptr), S_OK);
  // The search covers all three domains. (Its end may be announced while the last queries still
  // run: a details thread that finds the queue empty for a moment ends it.)
  ASSERT_TRUE(m_listener->WaitFor("finished"));
  for (int i = 0; i < 300 && Count("\"OperatingSystem\" = 8 AND \"Description\" = 'desk'") != "6"; ++i)
    std::this_thread::sleep_for(10ms);
  const auto calls = m_listener->Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "started"), 2);
  EXPECT_EQ(Count("\"OperatingSystem\" = 8 AND \"Description\" = 'desk'"), "6");
}

TEST_F(ComputerSearchTest, StopDropsUnbrowsedDomainsButFinishesQueuedComputers)
{
  m_queryTime = 50ms;
  m_computersPerDomain = 10;
  ASSERT_EQ(Search({L"FIRST", L"SECOND", L"THIRD", L"FOURTH"}), S_OK);
  ASSERT_TRUE(m_listener->WaitFor("status 0/10"));
  ASSERT_EQ(m_search->Stop(), S_OK);
  EXPECT_EQ(m_engine->browseQueue.size(), 0u);
  ASSERT_TRUE(m_listener->WaitFor("finished"));
  // Every computer that reached the details queue is still queried.
  for (int i = 0; i < 300 && Count("\"OperatingSystem\" = 0") != "0"; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(Count("\"OperatingSystem\" = 0"), "0");
  EXPECT_LT(std::stoi(Count("true")), 40);
}

TEST_F(ComputerSearchTest, ListenerPointersAreCheckedAndRemovalSaysWhetherItWasRegistered)
{
  CComPtr<RecordingListener> stranger(new RecordingListener);
  EXPECT_EQ(m_search->RemoveStatusListener(stranger), S_FALSE);
  EXPECT_EQ(m_search->AddStatusListener(nullptr), E_INVALIDARG);
  EXPECT_EQ(m_search->RemoveStatusListener(reinterpret_cast<IKTComputerSearchListener*>(16)), E_INVALIDARG);
  // Listeners outlive the object that added them.
  CComPtr<IKTComputerSearch> other;
  other.Attach(new CKTComputerSearchImpl);
  other->AddRef();
  EXPECT_EQ(other->RemoveStatusListener(m_listener), S_OK);
  EXPECT_EQ(m_search->RemoveStatusListener(m_listener), S_FALSE);
  ULONG a = 5, b = 6, c = 7;
  EXPECT_EQ(m_search->GetStatus(&a, &b, &c), S_OK);
  EXPECT_EQ(a + b + c, 18u);
}
