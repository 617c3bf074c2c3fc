// Status replies applied as a set against real databases: the same random sequences of replies,
// events and console changes applied set-wise and one at a time into two fresh databases store
// the same rows, tick the same clocks, send the same letters and report the same events; a
// database lost in the middle of a set stores nothing of the pass; the groups' configurations
// kept between passes are dropped when one changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/ThreadDatabase.h"
#include "dexhandler/DexConfiguration.h"
#include "dexhandler/DexEvent.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "managementservice/messages/ProcessingPass.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/Receiver.h"
#include "managementservice/messages/StatusMessage.h"
#include "managementservice/messages/StatusPass.h"
#include "platform/sync/Sync.h"
#include "platform/text/Unicode.h"
#include "tests/managementservice/ServiceDatabase.h"
#include "tests/managementservice/StatusReplies.h"

namespace {

using namespace servicetest;

// A console's change in the middle of the queue, run in the pass's transaction.
const char* const kTestProcedures = R"SQL(
CREATE FUNCTION dbo."TestPassSql"(OUT "@RETURN_VALUE" integer, "@Sql" text)
LANGUAGE plpgsql AS $$ BEGIN EXECUTE "@Sql"; "@RETURN_VALUE" := 0; END $$;
CREATE FUNCTION dbo."TestPassCut"(OUT "@RETURN_VALUE" integer)
LANGUAGE plpgsql AS $$ BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); "@RETURN_VALUE" := 0; END $$;
)SQL";

class SqlStep : public DecodedMessage
{
public:
  explicit SqlStep(std::string sql) : m_sql(std::move(sql)) {}
  HRESULT Process() override
  {
    COurCommand cmd(GetDatabaseConnection().GetADOPtr(), "TestPassSql");
    cmd.SetAttribute(L"@Sql", FromUtf8(m_sql));
    CSPException::Check(cmd.ExecuteCommand());
    return S_OK;
  }

private:
  std::string m_sql;
};

class CutStep : public DecodedMessage
{
public:
  HRESULT Process() override
  {
    COurCommand(GetDatabaseConnection().GetADOPtr(), "TestPassCut").ExecuteCommand();
    return S_OK;
  }
};

std::string Quoted(const std::string& text)
{
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string KTDex(const std::string& agentText)
{
  DexHandler::DexConfiguration c;
  c.Set(agentText);
  return ToUtf8(c.GetKTXML());
}

// The groups every run starts from: G1 with both configurations, G2 with the update one only.
std::string GroupsSql()
{
  return "INSERT INTO dbo.\"Groups\" (\"Name\", \"AUConfigXML\", \"DexConfigXML\") VALUES ('G1', " +
         Quoted(AUSample("AUConfigurations.xml")) + ", " + Quoted(KTDex(DexSample("configuration.xml"))) + "), ('G2', " +
         Quoted(AUSample("AUConfigurations.xml")) + ", NULL)";
}

std::string GroupDexSql(const std::string& group, const std::string& sample)
{
  return "UPDATE dbo.\"Groups\" SET \"DexConfigXML\" = " + Quoted(KTDex(DexSample(sample))) + " WHERE \"Name\" = '" + group + "'";
}

// One step of a sequence, made into a queue item when the sequence runs.
struct Step
{
  enum Kind { Reply, Event, Move, GroupConfig, Sql } kind = Reply;
  int computer = 1;
  AgentDetails agent;
  int alc = 0;  // none, the group's configuration for its platform, another one
  int dex = 0;  // none, not running, status and configuration, minimal configuration, configuration
                // alone, unreadable configuration, status the database refuses
  int vdl = 0;  // the virus data version the status names: texts 1 and 3 name the keys of 0 and 2
  std::string text;  // event delivery key; group name; SQL with "{a}" for the address
  bool eventNamesComputer = false;  // the event names the computer as its replies do, not by its address
};

// Addresses carry the run's prefix: some reports are made once per address and process.
std::unique_ptr<DecodedMessage> Item(const Step& s, const std::string& prefix)
{
  const std::string address = prefix + "PC" + std::to_string(s.computer);
  switch (s.kind) {
  case Step::Reply: {
    std::vector<std::pair<std::string, CORBA::Any>> entries{{"Agent", Agent(s.agent)}};
    if (s.alc == 1)
      entries.emplace_back("ALC", StatusAndConfig("", AUSample("AUConfig-Tandem.xml")));
    if (s.alc == 2) {
      std::string other = AUSample("AUConfig-Tandem.xml");
      other.replace(other.find("Frequency=\"60\""), 14, "Frequency=\"30\"");
      entries.emplace_back("ALC", StatusAndConfig("", other));
    }
    static const char* const versions[] = {"2024.03.14.002", "2024.3.14.2", "2024.03.15.001", "2024.3.15.01"};
    std::string status = DexSample("status.xml");
    status.replace(status.find("2024.03.14.002"), 14, versions[s.vdl]);
    std::string longVersion = status;
    if (const auto at = longVersion.find("4.2.1.318"); at != std::string::npos)
      longVersion.replace(at, 9, std::string(200, '7'));
    switch (s.dex) {
    case 1: entries.emplace_back("DEX", CORBA::Any()); break;
    case 2: entries.emplace_back("DEX", StatusAndConfig(status, DexSample("configuration.xml"))); break;
    case 3: entries.emplace_back("DEX", StatusAndConfig(status, DexSample("configuration-minimal.xml"))); break;
    case 4: entries.emplace_back("DEX", StatusAndConfig("", DexSample("configuration.xml"))); break;
    case 5: entries.emplace_back("DEX", StatusAndConfig("", "<config")); break;
    case 6: entries.emplace_back("DEX", StatusAndConfig(longVersion, DexSample("configuration.xml"))); break;
    default: break;
    }
    return std::make_unique<StatusMessage>(StatusReply(address, entries));
  }
  case Step::Event: {
    CorvexMessaging::Envelope e = MakeEnvelope("Tz-EntityEvent", (address + ".Agent").c_str());
    DEX_PTLMessages::AppEvent2 event;
    event.entity = "DEX";
    event.event = DexSample("event-virus-detected.xml").c_str();
    event.domain = L"CORP";
    event.computer_name = s.eventNamesComputer ? (L"PC" + std::to_wstring(s.computer)).c_str() : FromUtf8(address).c_str();
    e.client_info.custom_data <<= event;
    e.message_id = static_cast<CorvexMessaging::MessageId>(std::stoi(s.text));
    return std::make_unique<EntityEventMessage>(e);
  }
  case Step::Move:
    return std::make_unique<SqlStep>("UPDATE dbo.\"Computers\" SET \"GroupID\" = (SELECT \"GroupID\" FROM dbo.\"Groups\" WHERE \"Name\" = '" +
                                     s.text + "') WHERE \"MessageSystemAddress\" = '" + address + "'");
  case Step::GroupConfig:
    return std::make_unique<SqlStep>(GroupDexSql(s.text, s.computer % 2 ? "configuration-minimal.xml" : "configuration.xml"));
  case Step::Sql: {
    std::string sql = s.text;
    sql.replace(sql.find("{a}"), 3, address);
    return std::make_unique<SqlStep>(sql);
  }
  }
  return nullptr;
}

std::vector<Step> RandomSequence(unsigned seed, int length)
{
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  static const char* const systems[] = {"WINXP", "WIN2000", "WINNT4", "WIN98", "MACOSX", "LINUX"};
  std::vector<Step> steps;
  for (int i = 0; i < length; ++i) {
    Step s;
    s.computer = 1 + pick(5);
    const int what = pick(20);
    if (what < 13) {
      s.kind = Step::Reply;
      s.agent.name = L"PC" + std::to_wstring(s.computer) + (pick(8) == 0 ? L"-RENAMED" : L"");
      if (pick(12) == 0) {
        // Another address naming PC1: refused while PC1 has its own address (or made PC1 first).
        s.computer = 6;
        s.agent.name = L"PC1";
      }
      s.agent.os = systems[pick(6)];
      s.agent.comment = pick(2) ? L"front desk" : L"back office";
      s.agent.ip = 0x0A000000u + static_cast<CORBA::ULong>(s.computer);
      s.alc = pick(3);
      s.dex = pick(10);
      if (s.dex > 6)
        s.dex = 2;  // the everyday reply comes most often
    } else if (what < 17) {
      s.kind = Step::Event;
      s.text = std::to_string(1 + pick(4));  // the same envelope again now and then
    } else if (what < 19) {
      s.kind = Step::Move;
      s.text = pick(2) ? "G1" : "G2";
    } else {
      s.kind = Step::GroupConfig;
      s.text = "G1";
    }
    steps.push_back(s);
  }
  return steps;
}

// A steady fleet: every computer reports once, then again and again under its own name (its
// case changed now and then), each detail and document varying, with events that come twice,
// several a computer in one pass, and now and then a console change between them.
std::vector<Step> SteadySequence(unsigned seed, int computers, int length)
{
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  static const char* const systems[] = {"WINXP", "WIN2000", "LINUX"};
  std::vector<Step> steps;
  for (int i = 0; i < computers + length; ++i) {
    Step s;
    s.computer = i < computers ? 1 + i : 1 + pick(computers);
    const int what = i < computers ? 0 : pick(20);
    if (what < 12) {
      s.agent.name = (pick(6) == 0 ? L"pc" : L"PC") + std::to_wstring(s.computer);
      s.agent.os = systems[pick(3)];
      s.agent.comment = pick(2) ? L"front desk" : L"back office";
      s.agent.user = pick(2) ? L"jsmith" : L"";
      s.agent.servicePack = pick(4) ? "Service Pack 2" : "Service Pack 3";
      s.agent.ip = 0x0A000000u + static_cast<CORBA::ULong>(s.computer + 256 * pick(2));
      s.alc = pick(3);
      s.dex = pick(5);
      s.vdl = i < computers ? 0 : pick(4);  // new texts come to computers already known
    } else if (what < 18) {
      s.kind = Step::Event;
      s.computer = 1 + pick(3);  // several events of one computer in a pass
      s.text = std::to_string(1 + pick(12));
      s.eventNamesComputer = pick(8) != 0;
    } else if (what < 19) {
      s.kind = Step::Move;
      s.text = pick(2) ? "G1" : "G2";
    } else {
      s.kind = Step::GroupConfig;
      s.text = "G1";
    }
    steps.push_back(s);
  }
  return steps;
}

// What a run leaves: every table's rows (without the times of the run), the clocks each pass
// ticked, the letters sent and the events reported.
struct Outcome
{
  std::string tables;
  std::vector<std::set<VRN_Clock>> clocks;
  std::vector<std::string> letters;
  std::vector<std::string> events;
  std::uint64_t remembered = 0;
  std::uint64_t storedBySet = 0;
  std::uint64_t storedSteady = 0;
};

class StatusPassDb : public ::testing::Test
{
protected:
  StatusPassDb()
  {
    StatusMessage::SetAuthoriser([](const CorvexMessaging::Envelope&) { return true; });
    ReceivedMessage::SetDeliveryKeySource(
      [](const CorvexMessaging::Envelope& e) { return "CVX_INBOX/1/" + std::to_string(e.message_id); });
  }
  ~StatusPassDb() override
  {
    StatusMessage::SetAuthoriser({});
    ReceivedMessage::SetDeliveryKeySource({});
    DrainQueue();
  }

  static std::string Unprefixed(std::string text, const std::string& prefix)
  {
    for (auto at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at))
      text.erase(at, prefix.size());
    return text;
  }

  static std::string Tables(ServiceDatabase& service)
  {
    std::string all;
    for (const char* table : {"Computers", "Groups", "Alerts", "AppliedEnvelopes", "VirusDataVersions", "LibraryServers", "ConfigurationClock"}) {
      all += std::string(table) + ":\n";
      // Documents by their digest, so that a difference shows in a line of its own.
      all += service.Sql(std::string("SELECT COALESCE(string_agg(j, E'\\n' ORDER BY j), '') FROM (SELECT (to_jsonb(t) - 'Created' - "
                                     "'LastMessageTime' - 'AppliedAt' - 'FirstSeen' - 'AUConfigXML' - 'DexConfigXML' || "
                                     "jsonb_build_object('AU', md5(to_jsonb(t)->>'AUConfigXML'), 'Dex', "
                                     "md5(to_jsonb(t)->>'DexConfigXML')))::text AS j FROM dbo.\"") +
                         table + "\" t) s") +
             "\n";
    }
    return all;
  }

  Outcome Run(const std::vector<Step>& steps, bool setWise, std::size_t passMessages = 16)
  {
    static int runs = 0;
    const std::string prefix = "run" + std::to_string(++runs) + "-";
    Outcome outcome;
    ServiceDatabase service;
    CapturedEvents reports;
    service.Database().Exec(kTestProcedures);
    service.Database().Exec(GroupsSql());
    CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
    CThreadDatabase::Binding binding(database);
    for (const Step& s : steps)
      ProcessingQueue::Instance().Append(Item(s, prefix));
    PassLimits limits;
    limits.maxItems = passMessages;
    limits.maxMs = 600000;
    limits.setWise = setWise;
    ProcessingPass pass(&database, limits);
    service.clocks.Take();
    while (!ProcessingQueue::Instance().IsEmpty()) {
      pass.Run(ProcessingQueue::Instance());
      const auto ticks = service.clocks.Take();
      outcome.clocks.emplace_back(ticks.begin(), ticks.end());
    }
    outcome.tables = Unprefixed(Tables(service), prefix);
    for (const auto& letter : service.connection.Sent())
      outcome.letters.push_back(Unprefixed(std::string(letter.destination.in()) + " " + letter.type.in(), prefix));
    for (const auto& event : reports.All()) {
      std::wstring text = std::to_wstring(event.id);
      for (const auto& s : event.strings)
        text += L"|" + s;
      outcome.events.push_back(Unprefixed(ToUtf8(text), prefix));
    }
    outcome.remembered = pass.StatusSets() ? pass.StatusSets()->RememberedDecisions() : 0;
    outcome.storedBySet = pass.StatusSets() ? pass.StatusSets()->StoredReplies() : 0;
    outcome.storedSteady = pass.StatusSets() ? pass.StatusSets()->StoredSteady() : 0;
    return outcome;
  }
};

// The lines of one run's tables that the other run does not have, marked by the run.
std::string Differences(const std::string& single, const std::string& set)
{
  auto lines = [](const std::string& text) {
    std::multiset<std::string> out;
    std::string::size_type at = 0;
    while (at < text.size()) {
      const auto end = text.find('\n', at);
      out.insert(text.substr(at, end - at));
      at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
  };
  const auto a = lines(single);
  const auto b = lines(set);
  std::string out;
  for (const auto& line : a)
    if (!b.count(line))
      out += "one at a time: " + line + "\n";
  for (const auto& line : b)
    if (!a.count(line))
      out += "set-wise:      " + line + "\n";
  return out;
}

std::string Flags(ServiceDatabase& service, const std::string& address)
{
  return service.Sql("SELECT COALESCE(\"HasGroupAUConfig\"::text, 'null') || ' ' || COALESCE(\"HasGroupDexConfig\"::text, 'null') "
                     "FROM dbo.\"Computers\" WHERE \"MessageSystemAddress\" = '" +
                     address + "'");
}

}  // namespace

TEST_F(StatusPassDb, RandomSequencesStoreTheSameSetWiseAsOneAtATime)
{
  std::size_t reports = 0;
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<Step> steps = RandomSequence(seed, 70);
    const Outcome single = Run(steps, false);
    const Outcome set = Run(steps, true);
    EXPECT_EQ(Differences(single.tables, set.tables), "");
    // A set counts towards a pass's limit, so the passes end at other messages: the clocks are
    // compared over the run, and every pass of messages ticks the computers' state.
    auto ticked = [](const Outcome& o) {
      std::set<VRN_Clock> all;
      for (const auto& pass : o.clocks) {
        EXPECT_TRUE(pass.empty() || pass.count(1));  // a pass of console changes alone ticks nothing
        all.insert(pass.begin(), pass.end());
      }
      return all;
    };
    EXPECT_EQ(ticked(set), ticked(single));
    EXPECT_EQ(set.letters, single.letters);
    EXPECT_EQ(set.events, single.events);
    reports += single.events.size();
    // The sequences hold the everyday cases, which the set stores itself, and checks that were
    // decided before.
    EXPECT_GT(set.storedBySet, 20u);
    EXPECT_GT(set.storedSteady, 0u);
    EXPECT_GT(set.remembered, 0u);
    EXPECT_EQ(single.storedBySet, 0u);
  }
  EXPECT_GT(reports, 0u) << "a refused claim of another address's computer is among the messages";
}

TEST_F(StatusPassDb, ASteadyFleetIsStoredByTheSetStatementsAsOneAtATime)
{
  for (unsigned seed : {11u, 12u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<Step> steps = SteadySequence(seed, 12, 150);
    const Outcome single = Run(steps, false, 48);
    const Outcome set = Run(steps, true, 48);
    EXPECT_EQ(Differences(single.tables, set.tables), "");
    auto ticked = [](const Outcome& o) {
      std::set<VRN_Clock> all;
      for (const auto& pass : o.clocks)
        all.insert(pass.begin(), pass.end());
      return all;
    };
    EXPECT_EQ(ticked(set), ticked(single));
    EXPECT_EQ(set.letters, single.letters);
    EXPECT_EQ(set.events, single.events);
    // Apart from the first reports, which make the computers, nearly all of it goes the steady
    // statements' way.
    EXPECT_GT(set.storedSteady, 100u);
  }
}

TEST_F(StatusPassDb, TwoRepliesOfOneComputerInOnePassAndAFirstOneStoreWhatTheLastSays)
{
  // Written out rather than drawn: a new computer, its second reply changing the configuration
  // and the group, an event between them, a reply the set hands back in the middle.
  std::vector<Step> steps;
  Step first;
  first.computer = 3;
  first.agent.name = L"PC3";
  first.alc = 1;
  first.dex = 2;
  steps.push_back(first);
  Step event;
  event.kind = Step::Event;
  event.computer = 3;
  event.text = "9";
  steps.push_back(event);
  Step move;
  move.kind = Step::Move;
  move.computer = 3;
  move.text = "G1";
  steps.push_back(move);
  Step refused = first;
  refused.computer = 4;
  refused.agent.name = L"PC4";
  refused.dex = 6;
  steps.push_back(refused);
  Step second = first;
  second.dex = 3;
  second.agent.os = "WIN2000";
  steps.push_back(second);
  // A stored update report that does not read: the check of the next reply (which carries none)
  // fails, leaves the flag unknown and ends that reply's handling, letters and all.
  Step unreadable;
  unreadable.kind = Step::Sql;
  unreadable.computer = 3;
  unreadable.text = "UPDATE dbo.\"Computers\" SET \"AUConfigXML\" = '<AUConfig', \"DexConfigXML\" = NULL "
                    "WHERE \"MessageSystemAddress\" = '{a}'";
  steps.push_back(unreadable);
  Step third = first;
  third.alc = 0;
  third.dex = 4;
  steps.push_back(third);
  const Outcome single = Run(steps, false);
  const Outcome set = Run(steps, true);
  EXPECT_EQ(Differences(single.tables, set.tables), "");
  EXPECT_EQ(set.letters, single.letters);
  EXPECT_EQ(set.clocks, single.clocks);
  ASSERT_EQ(single.clocks.size(), 1u);
  EXPECT_EQ(single.clocks[0], (std::set<VRN_Clock>{1, 2}));
  // PC4's anti-virus status did not fit: its details are stored, its status is not.
  EXPECT_NE(set.tables.find("\"ComputerName\": \"PC4\""), std::string::npos);
}

TEST_F(StatusPassDb, VirusDataVersionsFirstSeenInASteadyRunKeepTheFirstTextOfTheirKey)
{
  // Three computers' first reports make them, then their steady replies bring a new version in
  // two spellings of one key and a new spelling of the version already stored: the first
  // spelling of the new key is kept, the stored one stays. In passes of one, and all in one.
  std::vector<Step> steps;
  for (int computer : {1, 2, 3}) {
    Step s;
    s.computer = computer;
    s.agent.name = L"PC" + std::to_wstring(computer);
    s.dex = 2;
    steps.push_back(s);
  }
  for (int vdl : {2, 3, 1}) {
    Step s = steps[steps.size() - 3];
    s.vdl = vdl;
    steps.push_back(s);
  }
  for (std::size_t passMessages : {std::size_t{1}, std::size_t{16}}) {
    SCOPED_TRACE("passes of " + std::to_string(passMessages));
    const Outcome single = Run(steps, false, passMessages);
    const Outcome set = Run(steps, true, passMessages);
    EXPECT_EQ(Differences(single.tables, set.tables), "");
    EXPECT_NE(set.tables.find("\"Version\": \"2024.03.15.001\""), std::string::npos) << set.tables;
    EXPECT_EQ(set.tables.find("\"Version\": \"2024.3.15.01\""), std::string::npos) << set.tables;
    EXPECT_EQ(set.tables.find("\"Version\": \"2024.3.14.2\""), std::string::npos) << set.tables;
    if (passMessages > 1)
      EXPECT_EQ(set.storedSteady, 3u);  // the steady replies went the set statement's way together
  }
}

TEST_F(StatusPassDb, AConfigurationChangeDropsWhatWasKeptInThePassAndAcrossPasses)
{
  ServiceDatabase service;
  service.Database().Exec(kTestProcedures);
  service.Database().Exec(GroupsSql());
  CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
  CThreadDatabase::Binding binding(database);
  ProcessingPass pass(&database, PassLimits{});
  auto reply = [](const std::string& address) {
    return std::make_unique<StatusMessage>(
      StatusReply(address, {{"Agent", Agent({L"N" + FromUtf8(address)})},
                            {"DEX", StatusAndConfig(DexSample("status.xml"), DexSample("configuration.xml"))}}));
  };
  auto& queue = ProcessingQueue::Instance();

  queue.Append(reply("A1"));
  pass.Run(queue);
  ASSERT_NE(pass.StatusSets(), nullptr);
  const StatusPass& kept = *pass.StatusSets();
  service.Database().Exec("UPDATE dbo.\"Computers\" SET \"GroupID\" = (SELECT \"GroupID\" FROM dbo.\"Groups\" WHERE \"Name\" = 'G1')");
  queue.Append(reply("A1"));
  pass.Run(queue);
  EXPECT_EQ(Flags(service, "A1"), "null true");

  // Steady: the same documents again cost no parse.
  const std::uint64_t parses = kept.GroupParses();
  const std::uint64_t remembered = kept.RememberedDecisions();
  queue.Append(reply("A1"));
  pass.Run(queue);
  EXPECT_EQ(kept.GroupParses(), parses);
  EXPECT_GT(kept.RememberedDecisions(), remembered);

  // Changed between passes.
  service.Database().Exec(GroupDexSql("G1", "configuration-minimal.xml"));
  queue.Append(reply("A1"));
  pass.Run(queue);
  EXPECT_EQ(Flags(service, "A1"), "null false");
  EXPECT_GT(kept.GroupParses(), parses);

  // Changed within a pass, between two replies: the second one sees the change.
  queue.Append(reply("A1"));
  queue.Append(std::make_unique<SqlStep>(GroupDexSql("G1", "configuration.xml")));
  queue.Append(reply("A1"));
  queue.Append(std::make_unique<SqlStep>(GroupDexSql("G1", "configuration-minimal.xml")));
  pass.Run(queue);
  EXPECT_EQ(Flags(service, "A1"), "null true") << "the last reply came before the last change";
  queue.Append(reply("A1"));
  pass.Run(queue);
  EXPECT_EQ(Flags(service, "A1"), "null false");
}

TEST_F(StatusPassDb, ADatabaseLostAfterASetStoresNothingOfThePassAndTheRepliesComeThroughAgain)
{
  ServiceDatabase service;
  service.Database().Exec(kTestProcedures);
  auto replies = [] {
    for (const char* address : {"B1", "B2", "B3"})
      ProcessingQueue::Instance().Append(
        std::make_unique<StatusMessage>(StatusReply(address, {{"Agent", Agent({L"N" + FromUtf8(address)})}})));
  };
  GTEST_FLAG_SET(death_test_style, "fast");  // the child must use this test's database
  EXPECT_EXIT(
    {
      Receiver receiver(true, [] { return nullptr; }, [] {}, [] { return std::make_unique<CThreadDatabase>(TRACE_MANAGEMENTSERVICE); });
      replies();
      ProcessingQueue::Instance().Append(std::make_unique<CutStep>());
      ProcessingQueue::Instance().Append(
        std::make_unique<StatusMessage>(StatusReply("B4", {{"Agent", Agent({L"NB4"})}})));
      Sleep(10000);
      std::_Exit(0);
    },
    ::testing::ExitedWithCode(kFatalExitCode & 0xFF), "ConnectToDatabaseFailed exception `[^`]*(terminat|lost)");
  EXPECT_EQ(service.Sql("SELECT count(*) FROM dbo.\"Computers\""), "0");

  // Delivered again after the restart, they are stored once each.
  CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
  CThreadDatabase::Binding binding(database);
  replies();
  replies();
  ProcessingPass(&database, PassLimits{}).Run(ProcessingQueue::Instance());
  EXPECT_EQ(service.Sql("SELECT string_agg(\"ComputerName\", ',' ORDER BY \"ComputerName\") FROM dbo.\"Computers\""), "NB1,NB2,NB3");
}

TEST_F(StatusPassDb, ADatabaseLostAfterSteadyRepliesAndEventsStoresNothingOfThemAndTheyComeThroughAgain)
{
  ServiceDatabase service;
  service.Database().Exec(kTestProcedures);
  auto reply = [](const char* address, const wchar_t* comment) {
    AgentDetails agent;
    agent.name = L"N" + FromUtf8(address);
    agent.comment = comment;
    return std::make_unique<StatusMessage>(StatusReply(address, {{"Agent", Agent(agent)}}));
  };
  auto event = [](const char* address, int id) {
    CorvexMessaging::Envelope e = MakeEnvelope("Tz-EntityEvent", (std::string(address) + ".Agent").c_str());
    DEX_PTLMessages::AppEvent2 content;
    content.entity = "DEX";
    content.event = DexSample("event-virus-detected.xml").c_str();
    content.domain = L"CORP";
    content.computer_name = (L"N" + FromUtf8(address)).c_str();
    e.client_info.custom_data <<= content;
    e.message_id = static_cast<CorvexMessaging::MessageId>(id);
    return std::make_unique<EntityEventMessage>(e);
  };
  auto steady = [&] {
    for (const char* address : {"S1", "S2", "S3"})
      ProcessingQueue::Instance().Append(reply(address, L"second"));
    for (int id : {1, 2})
      ProcessingQueue::Instance().Append(event("S1", id));
  };
  auto stored = [&] {
    return service.Sql("SELECT string_agg(\"ComputerName\" || ' ' || \"Description\" || ' ' || \"OutstandingVirusAlerts\", ',' "
                       "ORDER BY \"ComputerName\") || ' / ' || (SELECT count(*) FROM dbo.\"Alerts\") FROM dbo.\"Computers\"");
  };
  {
    // Known first: what follows is the steady fleet's road.
    CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
    CThreadDatabase::Binding binding(database);
    for (const char* address : {"S1", "S2", "S3"})
      ProcessingQueue::Instance().Append(reply(address, L"first"));
    ProcessingPass(&database, PassLimits{}).Run(ProcessingQueue::Instance());
  }
  const std::string before = stored();
  ASSERT_EQ(before, "NS1 first 0,NS2 first 0,NS3 first 0 / 0");
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
    {
      Receiver receiver(true, [] { return nullptr; }, [] {}, [] { return std::make_unique<CThreadDatabase>(TRACE_MANAGEMENTSERVICE); });
      steady();
      ProcessingQueue::Instance().Append(std::make_unique<CutStep>());
      Sleep(10000);
      std::_Exit(0);
    },
    ::testing::ExitedWithCode(kFatalExitCode & 0xFF), "ConnectToDatabaseFailed exception `[^`]*(terminat|lost)");
  EXPECT_EQ(stored(), before) << "nothing of the pass is half-stored";

  // Delivered again after the restart (and again, as a redelivery may), stored once each.
  CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
  CThreadDatabase::Binding binding(database);
  steady();
  steady();
  ProcessingPass pass(&database, PassLimits{});
  pass.Run(ProcessingQueue::Instance());
  EXPECT_EQ(stored(), "NS1 second 2,NS2 second 0,NS3 second 0 / 2");
  ASSERT_NE(pass.StatusSets(), nullptr);
  EXPECT_EQ(pass.StatusSets()->StoredSteady(), 10u);
}

TEST_F(StatusPassDb, APassOfRepliesCountsItsSetAgainstTheLimit)
{
  // Each reply is a block of its own in the set and the set one more: 63 replies and their set
  // make the 64 a pass may hold.
  ServiceDatabase service;
  CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
  CThreadDatabase::Binding binding(database);
  for (int i = 0; i < 70; ++i)
    ProcessingQueue::Instance().Append(std::make_unique<StatusMessage>(
      StatusReply("C" + std::to_string(i), {{"Agent", Agent({L"NC" + std::to_wstring(i)})}})));
  ProcessingPass pass(&database, PassLimits{});
  EXPECT_EQ(pass.Run(ProcessingQueue::Instance()).size(), 63u);
  EXPECT_EQ(pass.Run(ProcessingQueue::Instance()).size(), 7u);
  EXPECT_EQ(service.Sql("SELECT count(*) FROM dbo.\"Computers\""), "70");
  ASSERT_NE(pass.StatusSets(), nullptr);
  EXPECT_EQ(pass.StatusSets()->StoredReplies(), 70u);
}

// Virus events whose stored form is not written and read again must come out as if it were.
TEST(StatusPassEvents, AVirusEventReadsAsThroughItsStoredFormWhetherOrNotThatIsSkipped)
{
  const std::string sample = DexSample("event-virus-detected.xml");
  auto with = [&](const std::string& from, const std::string& to) {
    std::string text = sample;
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
      text.replace(at, from.size(), to);
    return text;
  };
  const std::vector<std::string> events = {
    sample,
    with("W32/Kellan.B", "Virus \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 &amp; <x>"),
    with("W32/Kellan.B", ""),
    with("W32/Kellan.B", "   "),
    with("C:\\Users", "  C:\\Users"),
    with("<domain>CORP</domain>", ""),
    with("<virusType>identity</virusType>", "<virusType>IDENTITY</virusType>"),
    with("<virusType>identity</virusType>", "<virusType>no such label</virusType>"),
    with("<scanType>onaccess</scanType>", ""),
    with("<actionTaken>move</actionTaken>", "<actionTaken>disinfected</actionTaken>"),
    with("jsmith</userId>", "j&#9;smith</userId>"),
    with("20240314 093015", "20241231 235959"),
  };
  std::size_t compared = 0;
  for (const std::string& text : events) {
    SCOPED_TRACE(text);
    DexHandler::DexEvent agentEvent;
    try {
      agentEvent.Set(text);
    } catch (const std::exception&) {
      continue;  // the agent's form does not read: neither road takes it
    }
    KTDexHandler::Event_t through;
    bool throughReads = true;
    try {
      KTDexHandler::KTDexEvent document;
      document.Set(agentEvent.GetKTXML());
      through = document.GetEventData();
    } catch (const std::exception&) {
      throughReads = false;
    }
    if (!throughReads) {
      EXPECT_ANY_THROW(StatusPass::VirusEventAsStored(agentEvent));
      continue;
    }
    const KTDexHandler::Event_t skipped = StatusPass::VirusEventAsStored(agentEvent);
    EXPECT_TRUE(skipped == through);
    EXPECT_EQ(ToUtf8(skipped.infectionInfo.virusName), ToUtf8(through.infectionInfo.virusName));
    EXPECT_EQ(ToUtf8(skipped.timestamp.ToString()), ToUtf8(through.timestamp.ToString()));
    ++compared;
  }
  EXPECT_GE(compared, 10u) << "the variants reach both roads";
}
