// Group commit against a real database: a pass applies its items in one transaction, each in a
// savepoint of its own, so a failing item keeps what its other steps stored, as when every call
// committed on its own, while the others are stored in order;
// a database lost in the middle of a pass stores nothing of it and ends the process with 9999.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/SessionCommands.h"
#include "businesslogic/ThreadDatabase.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/MessageSession.h"
#include "managementservice/messages/ProcessingPass.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/Receiver.h"
#include "platform/sync/Sync.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

const char* const kPassProcedures = R"SQL(
CREATE TABLE dbo."TestPassLog" (n serial PRIMARY KEY, seq integer NOT NULL, xid bigint NOT NULL);
CREATE FUNCTION dbo."TestPassRecord"(OUT "@RETURN_VALUE" integer, "@Seq" integer)
LANGUAGE plpgsql AS $$
BEGIN INSERT INTO dbo."TestPassLog"(seq, xid) VALUES ("@Seq", txid_current()); "@RETURN_VALUE" := 0; END $$;
CREATE FUNCTION dbo."TestPassRefuse"(OUT "@RETURN_VALUE" integer)
LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION 'refused'; END $$;
CREATE FUNCTION dbo."TestPassCut"(OUT "@RETURN_VALUE" integer)
LANGUAGE plpgsql AS $$ BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); "@RETURN_VALUE" := 0; END $$;
)SQL";

// Session-channel calls of the test procedures, as the message processors make theirs.
struct CRefuseAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.TestPassRefuse }";
  std::vector<oledb::ParamBinding> Bindings() { return {ReturnBinding()}; }
};
struct CCutAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.TestPassCut }";
  std::vector<oledb::ParamBinding> Bindings() { return {ReturnBinding()}; }
};

// Records its number, then fails, or cuts the database connection, as told.
class Step : public DecodedMessage
{
public:
  enum class Then { Nothing, Refused, RefusedThenMore, RuntimeError, CutThroughCommand, CutThroughSession, RefusedAtOnce, NoDatabase };
  Step(int seq, Then then = Then::Nothing) : m_seq(seq), m_then(then) {}
  HRESULT Process() override
  {
    // The savepoint before an item travels with its first statement: refused at once, or no
    // statement at all (a letter that fails before sending), are units of their own too.
    if (m_then == Then::RefusedAtOnce) {
      TRecoverableCommand<TSessionCommand<CRefuseAccessor>> refuse;
      return refuse.Execute(MessageSession());
    }
    if (m_then == Then::NoDatabase)
      return E_FAIL;
    COurCommand record(GetDatabaseConnection().GetADOPtr(), "TestPassRecord");
    record.SetAttribute(L"@Seq", static_cast<LONG>(m_seq));
    CSPException::Check(record.ExecuteCommand());
    switch (m_then) {
    case Then::Nothing:
    case Then::RefusedAtOnce:
    case Then::NoDatabase:
      return S_OK;
    case Then::Refused: {
      TRecoverableCommand<TSessionCommand<CRefuseAccessor>> refuse;
      return refuse.Execute(MessageSession());
    }
    case Then::RefusedThenMore: {
      // A step after the refused one runs, as it did when each call stood alone.
      TRecoverableCommand<TSessionCommand<CRefuseAccessor>> refuse;
      const HRESULT hr = refuse.Execute(MessageSession());
      COurCommand more(GetDatabaseConnection().GetADOPtr(), "TestPassRecord");
      more.SetAttribute(L"@Seq", static_cast<LONG>(m_seq + 100));
      CSPException::Check(more.ExecuteCommand());
      return hr;
    }
    case Then::RuntimeError:
      throw std::runtime_error("bad row");
    case Then::CutThroughCommand:
      COurCommand(GetDatabaseConnection().GetADOPtr(), "TestPassCut").ExecuteCommand();
      return S_OK;
    case Then::CutThroughSession: {
      TRecoverableCommand<TSessionCommand<CCutAccessor>> cut;
      return cut.Execute(MessageSession());
    }
    }
    return S_OK;
  }

private:
  int m_seq;
  Then m_then;
};

class ProcessingPassDb : public ::testing::Test
{
protected:
  void SetUp() override
  {
    m_registry.SetLocation(L".", L"", m_db.WideName());
    m_db.Exec(kPassProcedures);
  }
  void TearDown() override
  {
    while (ProcessingQueue::Instance().RemoveFront()) {
    }
  }
  // The stored steps in the order they were stored, each with its transaction.
  std::vector<std::pair<int, std::string>> Stored()
  {
    const auto r = m_db.Exec("SELECT seq, xid::text FROM dbo.\"TestPassLog\" ORDER BY n");
    std::vector<std::pair<int, std::string>> rows;
    for (int i = 0; i < r.Rows(); ++i)
      rows.emplace_back(std::stoi(r.Text(i, 0)), r.Text(i, 1));
    return rows;
  }

  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
};

void Queue(std::initializer_list<Step> steps)
{
  for (const Step& s : steps)
    ProcessingQueue::Instance().Append(std::make_unique<Step>(s));
}

}  // namespace

TEST_F(ProcessingPassDb, FailingItemsAreRolledBackAloneAndTheOthersStoredInOneTransactionInOrder)
{
  testsupport::TraceCapture traces;
  CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
  CThreadDatabase::Binding binding(database);
  Queue({Step(1), Step(2, Step::Then::Refused), Step(20, Step::Then::NoDatabase), Step(3), Step(21, Step::Then::RefusedAtOnce),
         Step(4, Step::Then::RuntimeError), Step(9, Step::Then::RefusedThenMore), Step(5)});

  ProcessingPass pass(&database, PassLimits{});
  const auto done = pass.Run(ProcessingQueue::Instance());
  EXPECT_EQ(done.size(), 8u);
  EXPECT_TRUE(ProcessingQueue::Instance().IsEmpty());
  EXPECT_TRUE(traces.Has(3, "Processing failed: 0x80040E14"));
  EXPECT_TRUE(traces.Has(0, "processing: Caught runtime exception(bad row)"));
  EXPECT_TRUE(traces.Has(1, "processing: a statement was refused; applying the message again statement by statement"));

  // A refused statement stores nothing, while the item's steps before and after it stay; a
  // run-time error after a stored step keeps that step: as when every call committed on its own.
  const auto stored = Stored();
  std::vector<int> seqs;
  for (const auto& row : stored)
    seqs.push_back(row.first);
  EXPECT_EQ(seqs, (std::vector<int>{1, 2, 3, 4, 9, 109, 5}));
  ASSERT_EQ(stored.size(), 7u);
  EXPECT_EQ(stored[0].second, stored[6].second) << "one pass, one transaction";

  // A pass ends at its count limit; the next pass takes up where it stopped, in a new
  // transaction, and the order holds across passes.
  Queue({Step(6), Step(7), Step(8)});
  ProcessingPass small(&database, PassLimits{2, 1000});
  EXPECT_EQ(small.Run(ProcessingQueue::Instance()).size(), 2u);
  EXPECT_EQ(small.Run(ProcessingQueue::Instance()).size(), 1u);
  const auto more = Stored();
  ASSERT_EQ(more.size(), 10u);
  EXPECT_EQ(more[7].first, 6);
  EXPECT_EQ(more[9].first, 8);
  EXPECT_EQ(more[7].second, more[8].second);
  EXPECT_NE(more[8].second, more[9].second);
  EXPECT_NE(more[0].second, more[7].second);
}

TEST_F(ProcessingPassDb, AMessageArrivingWhileThePassWaitsForMoreJoinsItsTransaction)
{
  CThreadDatabase database(TRACE_MANAGEMENTSERVICE);
  CThreadDatabase::Binding binding(database);
  Queue({Step(1)});
  std::thread producer([] {
    Sleep(50);
    ProcessingQueue::Instance().Append(std::make_unique<Step>(2));
  });
  // The wait for more is far longer than the producer needs: the pass takes the late message.
  ProcessingPass pass(&database, PassLimits{64, 60000, 3000});
  const auto done = pass.Run(ProcessingQueue::Instance());
  producer.join();
  const auto stored = Stored();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(done.size(), 2u);
  EXPECT_EQ(stored[0].second, stored[1].second) << "one commit for both";
}

TEST_F(ProcessingPassDb, ADatabaseLostInThePassEndsTheProcessWith9999AndStoresNothingOfThePass)
{
  GTEST_FLAG_SET(death_test_style, "fast");  // the child must use this test's database
  for (Step::Then cut : {Step::Then::CutThroughCommand, Step::Then::CutThroughSession}) {
    EXPECT_EXIT(
      {
        Receiver receiver(true, [] { return nullptr; }, [] {},
                          [] { return std::make_unique<CThreadDatabase>(TRACE_MANAGEMENTSERVICE); });
        Queue({Step(1), Step(2), Step(3, cut), Step(4)});
        Sleep(10000);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(kFatalExitCode & 0xFF), "ConnectToDatabaseFailed exception `[^`]*(terminat|lost)");
    EXPECT_TRUE(Stored().empty());
  }
}
