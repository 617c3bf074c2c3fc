#include <gtest/gtest.h>

#include <set>

#include "handlers/AUCoreHandler/AULocalisation.h"

using namespace AUCoreHandler;

namespace {

// Our table without the resources named.
StringResourceLoader Without(std::set<unsigned> missing)
{
  return [missing](unsigned id) -> std::optional<std::wstring> {
    if (missing.count(id))
      return std::nullopt;
    return LoadAUStringResource(id);
  };
}

std::wstring Message(const AULocalisation& localisation, LONG number, const std::vector<std::wstring>& inserts)
{
  std::wstring result = L"unset";
  localisation.GetAppEventMessage(result, L"ALC", number, L"ignored", inserts);
  return result;
}

}  // namespace

TEST(AULocalisation, KnownMessagesTakeTheirInserts)
{
  const AULocalisation localisation;
  EXPECT_EQ(Message(localisation, 106, {L"\\\\FILESRV01\\Updates"}), L"The update could not connect to the update location \\\\FILESRV01\\Updates.");
  EXPECT_EQ(Message(localisation, 200, {}), L"The update service started.");
  EXPECT_EQ(Message(localisation, 0, {L"4.87"}), L"The update completed successfully. Installed version: 4.87.");
}

TEST(AULocalisation, FailedUpdatesShowTheErrorCodesText)
{
  const AULocalisation localisation;
  EXPECT_EQ(Message(localisation, 103, {L"http://updates.hq.example", L"0x80041F00"}),
            L"The update from http://updates.hq.example failed: The update server could not be reached.");
  EXPECT_EQ(Message(localisation, 103, {L"\\\\srv\\share", L"80042f05"}),
            L"The update from \\\\srv\\share failed: The library server refused the connection.");
  EXPECT_EQ(Message(localisation, 103, {L"\\\\srv\\share", L"0x12345678"}), L"The update from \\\\srv\\share failed: 0x12345678")
      << "an unknown code stays as it came";
  EXPECT_EQ(Message(localisation, 103, {L"\\\\srv\\share", L"not a code"}), L"The update from \\\\srv\\share failed: not a code");
  EXPECT_EQ(Message(localisation, 103, {L"\\\\srv\\share"}), L"The update from \\\\srv\\share failed: %2");

  const AULocalisation noCodeText(Without({451}));
  EXPECT_EQ(Message(noCodeText, 103, {L"x", L"0x80041F00"}), L"The update from x failed: 0x80041F00");
  const AULocalisation noFormat(Without({161, 146}));
  EXPECT_EQ(Message(noFormat, 103, {L"x", L"0x80041F00"}), L"BRQ error 0x00000067");
}

TEST(AULocalisation, UnknownNumbers)
{
  EXPECT_EQ(Message(AULocalisation(Without({146})), 233, {L"a"}), L"BRQ error 0x000000E9");
  EXPECT_EQ(Message(AULocalisation(Without({146})), -1, {}), L"BRQ error 0xFFFFFFFF");
  EXPECT_EQ(Message(AULocalisation(Without({185, 146})), 212, {}), L"BRQ error 0x000000D4") << "a listed number without its text";
  EXPECT_EQ(Message(AULocalisation(), 233, {}), L"Unrecognised update message 0x000000E9");
}

TEST(AULocalisation, Substitution)
{
  EXPECT_EQ(AULocalisation::Substitute(L"%1 and %2 and %3", {L"a", L"b"}), L"a and b and %3") << "missing inserts leave placeholders";
  EXPECT_EQ(AULocalisation::Substitute(L"%1 %1", {L"a"}), L"a %1") << "only the first occurrence";
  EXPECT_EQ(AULocalisation::Substitute(L"%2 then %1", {L"one", L"two", L"three"}), L"two then one");
  EXPECT_EQ(AULocalisation::Substitute(L"no placeholders", {L"x"}), L"no placeholders");
}

TEST(AULocalisation, EveryListedResourceHasAText)
{
  EXPECT_EQ(AUMessageTable().size(), 16u);
  EXPECT_EQ(AUErrorCodeTable().size(), 32u);
  std::set<ULONG> codes;
  for (const auto& entry : AUErrorCodeTable()) {
    EXPECT_TRUE(LoadAUStringResource(entry.resource).has_value()) << entry.resource;
    EXPECT_TRUE(codes.insert(entry.code).second) << std::hex << entry.code;
  }
  for (const auto& entry : AUMessageTable())
    EXPECT_TRUE(LoadAUStringResource(entry.resource).has_value()) << entry.resource;
  EXPECT_FALSE(LoadAUStringResource(100).has_value());
}
