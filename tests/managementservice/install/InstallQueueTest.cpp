#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "managementservice/install/InstallTaskQueue.h"
#include "managementservice/install/KTComputerInstall.h"
#include "platform/remotetask/TaskScripts.h"
#include "platform/sync/Sync.h"
#include "platform/text/Unicode.h"
#include "security/Obscurer.h"
#include "tests/managementservice/install/FakeInstallDatabase.h"

namespace {

InstallTaskEntry Entry(LONG id, LONG os = 8)
{
  InstallTaskEntry e;
  e.computerID = id;
  e.computerName = L"PC" + std::to_wstring(id);
  e.operatingSystem = os;
  return e;
}

// A configuration whose platform has the given update server and bootstrap location.
AUCoreHandler::AutoUpdateConfiguration Configuration(const wchar_t* platform, const std::wstring& address,
                                                     const std::wstring& bootstrap)
{
  AUCoreHandler::AutoUpdateConfiguration c;
  c.CreateConfig();
  AUCoreHandler::IAUConfig& config = c.GetConfig(platform);
  AUCoreHandler::IServer& server = config.GetPrimaryLocation().GetServer();
  server.SetAddress(address);
  server.SetUserName(L"upd");
  server.SetUserPassword(L"s3cret");
  config.GetBootstrap().SetUsePrimaryServerAddress(false);
  config.GetBootstrap().SetLocation(bootstrap);
  return c;
}

// Result queue whose remote task answers from a script of statuses.
class ScriptedResultQueue : public InstallResultQueue
{
public:
  using InstallResultQueue::InstallResultQueue;
  int GetInstallStatus(const InstallResultEntry& entry, LONG& exitCode) override
  {
    ++asked[entry.computerID];
    exitCode = exitCodes[entry.computerID];
    return statuses[entry.computerID];
  }
  void DeleteRemoteTask(const InstallResultEntry& entry) override { deleted.push_back(entry.computerID); }
  std::map<LONG, int> statuses;
  std::map<LONG, LONG> exitCodes;
  std::map<LONG, int> asked;
  std::vector<LONG> deleted;
};

InstallResultEntry Watched(LONG id)
{
  InstallResultEntry e;
  e.computerID = id;
  e.computerName = L"PC" + std::to_wstring(id);
  return e;
}

// A pass that begins after everything queued so far.
DWORD NextPass()
{
  Sleep(3);
  return GetTickCount();
}

}  // namespace

TEST(InstallEntryTest, PlatformsAndTheConfigurationDecideWhatCanBeInstalled)
{
  const std::pair<LONG, const wchar_t*> platforms[] = {{1, L"DEX95"}, {3, L"DEX95"}, {12, L"DEX95"}, {4, L"DEXNT"},
                                                       {5, L"DEXNT"}, {6, L"Tandem"}, {9, L"Tandem"}};
  for (const auto& [os, platform] : platforms) {
    bool known = false;
    EXPECT_STREQ(InstallPlatform(os, known), platform) << os;
    EXPECT_TRUE(known);
  }
  for (LONG os : {0, 10, 11, 13, 14, -1}) {
    bool known = true;
    EXPECT_EQ(InstallPlatform(os, known), nullptr) << os;
    EXPECT_EQ(known, os >= 0 && os <= 13) << os;
  }

  auto config = Configuration(L"Tandem", L"http://cid.corp:8080/", L"\\\\server\\share");
  InstallTaskEntry entry = Entry(7, 8);
  std::wstring platform;
  ASSERT_TRUE(InstallTaskQueue::BuildEntry(config, entry, platform));
  EXPECT_EQ(platform, L"Tandem");
  EXPECT_EQ(entry.setupPath, L"\\\\server\\share\\setup.exe");
  EXPECT_EQ(entry.cidLocation, L"http://cid.corp:8080/");
  EXPECT_EQ(entry.cidUsername, L"upd");
  EXPECT_EQ(entry.cidPassword, L"s3cret");

  InstallTaskEntry notInstallable = Entry(8, 10);
  EXPECT_FALSE(InstallTaskQueue::BuildEntry(config, notInstallable, platform));
  auto onDrive = Configuration(L"Tandem", L"http://cid/", L"C:\\share");
  EXPECT_FALSE(InstallTaskQueue::BuildEntry(onDrive, entry, platform));
  auto noServer = Configuration(L"Tandem", L"", L"\\\\server\\share");
  EXPECT_FALSE(InstallTaskQueue::BuildEntry(noServer, entry, platform));
  for (const wchar_t* unc : {L"\\\\server\\share", L"\\\\s\\x\\deeper"})
    EXPECT_TRUE(IsUncPath(unc)) << ToUtf8(unc);
  for (const wchar_t* other : {L"C:\\share", L"\\\\server", L"\\\\server\\", L"\\\\\\share", L"\\server\\share", L""})
    EXPECT_FALSE(IsUncPath(other)) << ToUtf8(other);
}

TEST(InstallEntryTest, SetupCommandLineForEachCredentialCase)
{
  InstallTaskEntry entry = Entry(1);
  entry.cidLocation = L"http://cid:80/x y";
  Obscurity::Obscurer obscurer;

  entry.cidUsername = L"CORP\\upd";
  entry.cidPassword = L"p\"w";
  std::vector<std::wstring> args = remotetask::SplitParameters(MakeSetupParameters(entry));
  ASSERT_EQ(args.size(), 9u);
  EXPECT_EQ(args[0], L"-updp");
  EXPECT_EQ(args[1], L"http://cid:80/x y");
  EXPECT_EQ(args[2], L"-ouser");
  EXPECT_EQ(obscurer.reveal(ToUtf8(args[3])), L"CORP\\upd");
  EXPECT_EQ(args[4], L"-opwd");
  EXPECT_EQ(obscurer.reveal(ToUtf8(args[5])), L"p\"w");
  EXPECT_EQ(std::vector<std::wstring>(args.begin() + 6, args.end()), (std::vector<std::wstring>{L"-mng", L"yes", L"-s"}));

  entry.cidPassword.clear();
  const std::wstring noPassword = MakeSetupParameters(entry);
  EXPECT_NE(noPassword.find(L"\" -opwd \"\" -mng yes -s"), std::wstring::npos);
  EXPECT_EQ(noPassword.rfind(L"-updp \"http://cid:80/x y\" -ouser \"", 0), 0u);

  entry.cidUsername.clear();
  entry.cidPassword = L"ignored";
  EXPECT_EQ(MakeSetupParameters(entry), L"-updp \"http://cid:80/x y\" -ouser \"\" -opwd \"\" -mng yes -s");
}

TEST(InstallTaskQueueTest, RequeuedComputerMovesToTheBackAndPendingFollowsTheList)
{
  FakeInstallDatabase db;
  ScriptedResultQueue results(db);
  InstallTaskQueue queue(db, results);
  queue.QueueEntry(Entry(1), L"Tandem");
  queue.QueueEntry(Entry(2), L"Tandem");
  queue.QueueEntry(Entry(1), L"Tandem");
  EXPECT_EQ(queue.GetQueueSize(), 2u);
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"pending 1 on", "pending 2 on", "pending 1 on"}));

  InstallTaskEntry popped;
  ASSERT_TRUE(queue.PopComputer(popped));
  EXPECT_EQ(popped.computerID, 2);
  EXPECT_FALSE(queue.IsInQueue(popped));
  queue.UpdateDatabase(popped);
  // Queued again while its attempt runs: the flag stays on.
  queue.QueueEntry(Entry(2), L"Tandem");
  queue.UpdateDatabase(popped);
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"pending 2 off", "pending 2 on", "pending 2 on"}));

  // Stop empties the list without touching the flags; the stages say the waiting attempts will
  // not come.
  EXPECT_EQ(db.TakeStages(), (std::vector<std::string>{"1 queued", "2 queued", "1 queued", "2 queued"}));
  queue.RemoveAll();
  EXPECT_EQ(queue.GetQueueSize(), 0u);
  EXPECT_FALSE(queue.PopComputer(popped));
  EXPECT_TRUE(db.Take().empty());
  EXPECT_EQ(db.TakeStages(), (std::vector<std::string>{"1 stopped", "2 stopped"}));
  EXPECT_EQ(db.ticks, 7);  // one per flag write, one for the stopped attempts
  queue.RemoveAll();
  EXPECT_TRUE(db.TakeStages().empty());
  EXPECT_EQ(db.ticks, 7);
}

TEST(InstallTaskQueueTest, StartClearsEveryFlagAndAFailedStartBecomesAResultAtOnce)
{
  FakeInstallDatabase db;
  ScriptedResultQueue results(db);
  InstallTaskQueue queue(db, results);
  queue.SetThreadTimeout(60000);
  queue.Start();
  queue.Start();
  EXPECT_TRUE(queue.IsRunning());
  queue.Stop();
  EXPECT_FALSE(queue.IsRunning());
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"clear"}));

  // A computer whose name does not resolve: the target cannot be reached (NT class, so the
  // services are asked, and cannot tell either), and the entry never reaches the result queue.
  InstallTaskEntry entry = Entry(5, 8);
  entry.computerName = L"no-such-host.invalid";
  entry.username = L"nobody";
  entry.cidLocation = L"http://cid/";
  entry.setupPath = L"\\\\s\\x\\setup.exe";
  queue.QueueEntry(entry, L"Tandem");
  ASSERT_TRUE(queue.PopComputer(entry));
  db.Take();
  queue.InstallComputer(entry);
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"result 5 46", "pending 5 off"}));
  EXPECT_EQ(results.GetQueueSize(), 0u);
  // The stages a console follows: the attempt got as far as reaching the target, and ended with
  // the diagnosed cause; the stage before the result was written while the computer was pending.
  EXPECT_EQ(db.TakeStages(), (std::vector<std::string>{"5 queued", "5 connecting", "5 failed 46"}));
}

TEST(InstallResultQueueTest, OnePassAsksEachComputerOnceAndOutcomesAreWritten)
{
  FakeInstallDatabase db;
  ScriptedResultQueue queue(db);
  queue.SetInstallTimeout(600000);
  queue.statuses = {{1, 1}, {2, 0}, {3, 2}, {4, 3}, {5, 7}};
  queue.exitCodes = {{4, 1603}};
  for (LONG id : {1, 2, 3, 4, 5})
    queue.AddComputer(Watched(id));
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"progress 1 on", "progress 2 on", "progress 3 on", "progress 4 on",
                                                 "progress 5 on"}));

  const DWORD pass = NextPass();
  while (queue.ProcessComputer(pass)) {
  }
  for (LONG id : {1, 2, 3, 4, 5})
    EXPECT_EQ(queue.asked[id], 1) << id;
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"result 3 0", "progress 3 off", "result 4 1603", "progress 4 off",
                                                 "result 5 99", "progress 5 off"}));
  EXPECT_EQ(queue.deleted, (std::vector<LONG>{3, 4, 5}));
  EXPECT_EQ(queue.GetQueueSize(), 2u);

  // Past the time-out, waiting and unreachable computers both count as failed.
  queue.SetInstallTimeout(0);
  const DWORD late = NextPass();
  while (queue.ProcessComputer(late)) {
  }
  // The first pass ended on computer 1, which went back behind 2.
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"result 2 -1", "progress 2 off", "result 1 -1", "progress 1 off"}));
  EXPECT_EQ(db.TakeStages(), (std::vector<std::string>{"1 running", "2 running", "3 running", "4 running", "5 running",
                                                       "3 done 0", "4 failed 1603", "5 failed 99", "2 failed -1",
                                                       "1 failed -1"}));
  EXPECT_EQ(queue.deleted, (std::vector<LONG>{3, 4, 5, 2, 1}));
  EXPECT_EQ(queue.GetQueueSize(), 0u);
}

TEST(InstallResultQueueTest, ReaddingRestartsTheTimeoutAndAnEntryAddedDuringAPassWaitsForTheNext)
{
  FakeInstallDatabase db;
  ScriptedResultQueue queue(db);
  queue.statuses = {{1, 1}};
  queue.SetInstallTimeout(50);
  queue.AddComputer(Watched(1));
  Sleep(60);
  queue.AddComputer(Watched(1));
  EXPECT_EQ(queue.GetQueueSize(), 1u);
  const DWORD pass = NextPass();
  while (queue.ProcessComputer(pass)) {
  }
  EXPECT_EQ(queue.asked[1], 1);
  EXPECT_EQ(queue.GetQueueSize(), 1u) << "the re-added entry's time-out started again";

  // Added after the pass began: left for the next pass, and the pass ends at the first entry
  // it has already looked at.
  queue.SetInstallTimeout(600000);
  queue.statuses[2] = 2;
  Sleep(3);
  queue.AddComputer(Watched(2));
  db.Take();
  EXPECT_FALSE(queue.ProcessComputer(pass));
  EXPECT_EQ(queue.asked[1], 1);
  EXPECT_EQ(queue.asked[2], 0);
  EXPECT_EQ(queue.GetQueueSize(), 2u);
  const DWORD next = NextPass();
  while (queue.ProcessComputer(next)) {
  }
  EXPECT_EQ(queue.asked[1], 2);
  EXPECT_EQ(queue.asked[2], 1);
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"result 2 0", "progress 2 off"}));
}

TEST(KTComputerInstallTest, BadArgumentsAreRefusedBeforeAnythingIsQueued)
{
  FakeInstallDatabase db;
  ScriptedResultQueue results(db);
  InstallTaskQueue queue(db, results);
  CComPtr<CKTComputerInstallImpl> object(new CKTComputerInstallImpl(queue));
  _bstr_t user(L"CORP\\admin");
  _bstr_t empty(L"");
  _bstr_t password(L"pw");
  LONG ids[] = {1, 2};
  auto* unreadable = reinterpret_cast<LONG*>(16);
  EXPECT_EQ(object->Install(2, unreadable, user.GetBSTR(), password.GetBSTR()), E_INVALIDARG);
  EXPECT_EQ(object->Install(2, nullptr, user.GetBSTR(), password.GetBSTR()), E_INVALIDARG);
  EXPECT_EQ(object->Install(2, ids, nullptr, password.GetBSTR()), E_INVALIDARG);
  EXPECT_EQ(object->Install(2, ids, user.GetBSTR(), nullptr), E_INVALIDARG);
  EXPECT_EQ(object->Install(2, ids, reinterpret_cast<BSTR>(24), password.GetBSTR()), E_INVALIDARG);
  EXPECT_EQ(object->Install(2, ids, empty.GetBSTR(), password.GetBSTR()), E_INVALIDARG);
  // Nothing to do is no error, even with an unreadable array; a blank account is allowed.
  EXPECT_EQ(object->Install(0, unreadable, empty.GetBSTR(), empty.GetBSTR()), S_OK);
  EXPECT_EQ(queue.GetQueueSize(), 0u);
  EXPECT_TRUE(db.Take().empty());

  queue.QueueEntry(Entry(3), L"Tandem");
  EXPECT_EQ(object->Stop(), S_OK);
  EXPECT_EQ(queue.GetQueueSize(), 0u);
  EXPECT_EQ(db.Take(), (std::vector<std::string>{"pending 3 on"}));
}
