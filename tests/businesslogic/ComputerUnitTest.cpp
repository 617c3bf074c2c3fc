// CComputer without a database: addresses are checked before anything is asked of one, and
// computers and their lists hand themselves to the matching operation of an action.
#include <gtest/gtest.h>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "tests/businesslogic/TestSupport.h"

namespace {

// No database location: an operation that reaches for the database fails to connect.
TEST(ComputerAddressTest, OnlyAddressesOfAtMost255CharactersReachTheDatabase)
{
  testsupport::TempRegistry registry;
  const std::string over(256, 'x');
  try {
    CComputer::IsMessageSystemAddressRegistered(over);
    FAIL() << "256 characters were accepted";
  } catch (const vrn::Exceptions::InvalidMessageSystemAddress& e) {
    EXPECT_EQ(e.what(), "The address specified is too long it must be less than 255 chars address :" + over);
    EXPECT_EQ(e.Address(), over);
  }
  EXPECT_THROW(CComputer::GetFromMessageSystemAddress(over), vrn::Exceptions::InvalidMessageSystemAddress);
  EXPECT_THROW(CComputer::CreateComputer(over, L"PC", L"D"), vrn::Exceptions::InvalidMessageSystemAddress);

  const std::string at(255, 'x');
  EXPECT_THROW(CComputer::IsMessageSystemAddressRegistered(at), vrn::Exceptions::ConnectToDatabaseFailed);
  EXPECT_THROW(CComputer::GetFromMessageSystemAddress(at), vrn::Exceptions::ConnectToDatabaseFailed);
  EXPECT_THROW(CComputer::CreateComputer(at, L"PC", L"D"), vrn::Exceptions::ConnectToDatabaseFailed);
}

class RecordingAction : public Actions::CActionBase
{
public:
  void ApplyToComputer(CComputer& computer) override { calls.push_back("computer " + std::to_string(computer.GetID())); }
  void ApplyToComputerList(CComputerList& list) override
  {
    lists.push_back(&list);
    calls.push_back("list of " + std::to_string(list.size()));
  }
  std::vector<std::string> calls;
  std::vector<const CComputerList*> lists;
};

TEST(ComputerApplyTest, AComputerAndAListEachCallTheirOwnOperationOnce)
{
  CComputerList list{CComputer(3), CComputer(7)};
  RecordingAction action;
  list.Apply(action);
  list[1].Apply(action);
  Actions::CActionableBase& asBase = list[0];
  asBase.Apply(action);
  EXPECT_EQ(action.calls, (std::vector<std::string>{"list of 2", "computer 7", "computer 3"}));
  ASSERT_EQ(action.lists.size(), 1u);
  EXPECT_EQ(action.lists[0], &list);  // the list itself, not a copy

  // An action without the operations does nothing.
  Actions::CActionBase nothing;
  list.Apply(nothing);
  list[0].Apply(nothing);
}

}  // namespace
