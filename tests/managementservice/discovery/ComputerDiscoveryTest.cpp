// The discovery pipeline against a real database, with the network replaced by a scripted one:
// what is entered and queried, in which order, with which account, and how it stops.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "managementservice/discovery/ComputerDiscovery.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/discovery/RecordingListener.h"

using namespace std::chrono_literals;

namespace {

// A network of domains and computers; each computer answers with an OS and comment, optionally
// only to an account.
struct ScriptedNetwork
{
  struct Answer
  {
    PTLDB::OperatingSystem os;
    std::wstring comment;
    std::wstring account;  // empty: answers an anonymous query
  };
  std::map<std::wstring, std::vector<std::wstring>> domains;
  std::map<std::wstring, Answer> computers;
  std::chrono::milliseconds delay{0};

  std::mutex mutex;
  std::vector<std::wstring> queries;  // "NAME as ACCOUNT" ("-" for anonymous)
  std::atomic<int> inside{0};

  std::shared_ptr<DiscoveryNetwork> Functions()
  {
    auto net = std::make_shared<DiscoveryNetwork>();
    net->getChildEntities = [this](const std::wstring& parent, std::vector<std::wstring>& children) -> HRESULT {
      const auto it = domains.find(parent);
      if (it == domains.end())
        return HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
      children.insert(children.end(), it->second.begin(), it->second.end());
      return S_OK;
    };
    net->getComputerDescriptionAndOS = [this](const std::wstring& name, std::wstring& comment, PTLDB::OperatingSystem& os,
                                              const wchar_t* user, const wchar_t* password) {
      ++inside;
      std::this_thread::sleep_for(delay);
      --inside;
      // Null credentials mean the thread's identity, which the handler set by impersonating.
      const std::wstring account = user ? user : (HasThreadNetworkIdentity() ? L"(impersonated)" : L"(none)");
      (void)password;
      {
        std::lock_guard lock(mutex);
        queries.push_back(name + L" as " + (account.empty() ? L"-" : account));
      }
      const auto it = computers.find(name);
      if (it == computers.end())
        return false;
      if (!it->second.account.empty() && account != L"(impersonated)")
        return false;
      os = it->second.os;
      comment = it->second.comment;
      return true;
    };
    return net;
  }
  std::vector<std::wstring> Queries()
  {
    std::lock_guard lock(mutex);
    return queries;
  }
};

class ComputerDiscoveryTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
  }
  std::string Row(const std::string& name)
  {
    const auto r = m_db.Exec("SELECT \"OperatingSystem\", \"Description\", \"DomainName\" FROM dbo.\"Computers\" WHERE \"ComputerName\" = '" +
                             name + "'");
    if (r.Rows() == 0)
      return "(none)";
    return r.Text(0, 0) + "|" + r.Text(0, 1) + "|" + r.Text(0, 2);
  }
  void Browse(const std::wstring& domain, const std::wstring& user = L"", const std::wstring& password = L"")
  {
    m_engine->state.IncreaseDomainsFound(1);
    m_engine->browseQueue.push(BrowseDomainInfo{domain, AccountCredentials(user, password)});
  }
  void StartEngine()
  {
    m_engine = std::make_unique<DiscoveryEngine>(m_network.Functions());
    for (int i = 0; i < 4; ++i)
      m_engine->discovery.AddDetailsHandler();
    m_engine->state.AddStatusListener(m_listener);
    m_engine->discovery.Start();
  }
  void TearDown() override
  {
    if (m_engine)
      m_engine->discovery.Stop();
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  testsupport::TestClocks m_clocks;
  ScriptedNetwork m_network;
  CComPtr<RecordingListener> m_listener{new RecordingListener};
  std::unique_ptr<DiscoveryEngine> m_engine;
};

}  // namespace

TEST_F(ComputerDiscoveryTest, ComputersOfADomainReachTheDetailsQueueInReverseOrder)
{
  m_network.domains[L"OFFICE"] = {L"\\\\PC1", L"\\\\PC2", L"\\\\PC3"};
  BrowseQueue browse;
  DetailsQueue details;
  DiscoveryState state;
  // Only the browse thread runs, so the details queue keeps what it was given.
  BrowseHandler handler(browse, details, state, m_network.Functions());
  state.IncreaseDomainsFound(1);
  browse.push(BrowseDomainInfo{L"OFFICE", AccountCredentials(L"CORP\\admin", L"pw")});
  ASSERT_TRUE(handler.Start());
  for (int i = 0; i < 200 && details.size() < 3; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(state.GetComputersFound(), 3u);
  EXPECT_EQ(state.GetStatus().domainsBrowsed, 1u);
  handler.Stop();
  DWORD error = 0;
  ASSERT_TRUE(handler.Wait(10000, error));
  ASSERT_EQ(details.size(), 3u);
  std::vector<std::wstring> order;
  for (int i = 0; i < 3; ++i) {
    DetailComputerInfo info = details.pop();
    ComputerDetails d;
    info.computer.GetComputerDetails(d);
    order.push_back(d.name + L"." + d.domainName);
    EXPECT_EQ(info.account.username, L"CORP\\admin");
  }
  EXPECT_EQ(order, (std::vector<std::wstring>{L"PC3.OFFICE", L"PC2.OFFICE", L"PC1.OFFICE"}));
}

TEST_F(ComputerDiscoveryTest, ASearchEntersEveryComputerAndQueriesOnlyThoseOfUnknownSystem)
{
  m_network.domains[L"OFFICE"] = {L"\\\\SAMBA", L"\\\\XP", L"\\\\LOCKED", L"\\\\GONE"};
  m_network.computers[L"SAMBA"] = {13, L"file server", L""};
  m_network.computers[L"XP"] = {8, L"reception", L""};
  m_network.computers[L"LOCKED"] = {9, L"accounts", L"needs an account"};
  StartEngine();
  Browse(L"OFFICE", L"CORP\\admin", L"secret");
  m_engine->state.SearchStarted();
  ASSERT_TRUE(m_listener->WaitFor("finished"));
  // The end may be announced while the last queries still run.
  for (int i = 0; i < 300 && (m_network.Queries().size() < 6 || Row("LOCKED") != "9|accounts|OFFICE"); ++i)
    std::this_thread::sleep_for(10ms);

  EXPECT_EQ(Row("SAMBA"), "13|file server|OFFICE");
  EXPECT_EQ(Row("XP"), "8|reception|OFFICE");
  EXPECT_EQ(Row("LOCKED"), "9|accounts|OFFICE");  // answered the account after refusing the null session
  EXPECT_EQ(Row("GONE"), "0||OFFICE");  // never answered: entered, system still unknown
  auto queries = m_network.Queries();
  std::sort(queries.begin(), queries.end());
  EXPECT_EQ(queries, (std::vector<std::wstring>{L"GONE as (impersonated)", L"GONE as -", L"LOCKED as (impersonated)",
                                                L"LOCKED as -", L"SAMBA as -", L"XP as -"}));
  EXPECT_FALSE(HasThreadNetworkIdentity());
  const auto calls = m_listener->Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "status 0/4"), calls.end());

  // A second search asks again only the computers still of unknown system (the one that never
  // answered); without an account a failed anonymous query is not retried, yet counts.
  m_network.computers[L"XP"].os = 4;
  Browse(L"OFFICE");
  m_engine->state.SearchStarted();
  for (int i = 0; i < 500 && m_network.Queries().size() < 7; ++i)
    std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(200ms);  // time for a wrong extra query to show
  queries = m_network.Queries();
  ASSERT_EQ(queries.size(), 7u);
  EXPECT_EQ(queries.back(), L"GONE as -");
  EXPECT_EQ(Row("XP"), "8|reception|OFFICE");
}

TEST_F(ComputerDiscoveryTest, UnknownDomainsEndTheSearchAndStopLeavesQueuedWork)
{
  StartEngine();
  Browse(L"NOWHERE");
  ASSERT_TRUE(m_listener->WaitFor("finished"));
  EXPECT_EQ(m_db.Exec("SELECT count(*) FROM dbo.\"Computers\"").Text(0, 0), "0");

  // Slow computers: a stop while they are queued ends every thread and leaves the rest queued.
  for (int i = 0; i < 40; ++i) {
    const std::wstring name = L"SLOW" + std::to_wstring(i);
    m_network.domains[L"BIG"].push_back(L"\\\\" + name);
    m_network.computers[name] = {6, L"", L""};
  }
  m_network.delay = 100ms;
  testsupport::TraceCapture traces;
  Browse(L"BIG");
  for (int i = 0; i < 500 && m_engine->detailsQueue.size() == 0 && m_network.Queries().empty(); ++i)
    std::this_thread::sleep_for(10ms);
  // All five threads take work at once. The scripted network shows the handlers' side only; that
  // the real network calls then run side by side is SambaNetworkTest's
  // FiveDetailsThreadsQueryFiveLateComputersAtOnce.
  for (int i = 0; i < 300 && m_network.inside < 5; ++i)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(m_network.inside.load(), 5);
  m_engine->discovery.Stop();
  EXPECT_GT(m_engine->detailsQueue.size(), 0u);
  EXPECT_TRUE(traces.Has(2, "BrowseHandler::ThreadFunc() shutting down"));
  EXPECT_TRUE(traces.Has(2, "Closed the BrowseHandler"));
  EXPECT_TRUE(traces.Has(2, "Closed a DetailsHandler"));
  EXPECT_FALSE(traces.Has(0, "Failed to close"));
  // Every computer browsed is entered; each is either queried or still waiting, nothing between.
  EXPECT_EQ(m_db.Exec("SELECT count(*) FROM dbo.\"Computers\" WHERE \"ComputerName\" LIKE 'SLOW%'").Text(0, 0), "40");
  EXPECT_EQ(m_db.Exec("SELECT count(*) FROM dbo.\"Computers\" WHERE \"OperatingSystem\" NOT IN (0, 6)").Text(0, 0), "0");
  m_engine.reset();
}
