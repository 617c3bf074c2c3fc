#include <gtest/gtest.h>

#include <set>

#include "dexhandler/DexLocalisation.h"

using DexHandler::DexLocalisation;

namespace {

std::wstring Text(LONG number, const std::wstring& code, const std::vector<std::wstring>& inserts)
{
  const DexLocalisation localisation;
  const CorvexManagedEntity::ILocalisation& localiser = localisation;
  std::wstring result = L"stale";
  localiser.GetAppEventMessage(result, L"DEX", number, code, inserts);
  return result;
}

}  // namespace

TEST(DexLocalisation, KnownMessageTakesItsInsertsByPosition)
{
  EXPECT_EQ(Text(2102, L"ScanItemUnreadable", {L"Weekly", L"C:\\pagefile.sys", L"in use"}),
            L"The scan \"Weekly\" could not read C:\\pagefile.sys: in use.");
  EXPECT_EQ(Text(0, L"scanitemunreadable", {L"Weekly", L"x", L"y"}), L"The scan \"Weekly\" could not read x: y.");
}

TEST(DexLocalisation, MissingInsertsLeaveTheirPlaceholdersAndInsertsAreNotRescanned)
{
  EXPECT_EQ(Text(2302, L"MoveFailed", {L"a.exe"}), L"a.exe could not be moved to %2: %3.");
  EXPECT_EQ(Text(2302, L"MoveFailed", {L"%2", L"Q:", L"denied", L"extra"}), L"%2 could not be moved to Q:: denied.");
}

TEST(DexLocalisation, UnknownCodeFallsBackToTheNumberThenToAGenericText)
{
  EXPECT_EQ(Text(2001, L"", {L"driver missing"}), L"On-access scanning could not be started: driver missing.");
  EXPECT_EQ(Text(9999, L"Mystery", {L"a", L"b"}), L"Anti-virus message Mystery (9999): a, b");
  EXPECT_EQ(Text(-5, L"Mystery", {}), L"Anti-virus message Mystery (-5)");
}

TEST(DexLocalisation, CatalogueCodesAndNumbersAreUnique)
{
  std::set<std::wstring> codes;
  std::set<LONG> numbers;
  for (const auto& m : DexLocalisation::Messages()) {
    EXPECT_TRUE(codes.insert(m.code).second) << m.number;
    EXPECT_TRUE(numbers.insert(m.number).second) << m.number;
  }
}
