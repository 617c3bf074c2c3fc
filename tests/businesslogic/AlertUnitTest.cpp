// What alerts show without a database: the localised text of an error alert and the link to a
// virus's page in the user's language.
#include <gtest/gtest.h>

#include <cstdlib>

#include "businesslogic/entities/AlertDetails.h"
#include "businesslogic/exceptions/EntityExceptions.h"
#include "platform/text/Language.h"

namespace {

CAlertDetailsBase::ErrorDetails Error(const std::wstring& source, LONG number, const std::wstring& code,
                                      std::vector<std::wstring> inserts)
{
  CAlertDetailsBase::ErrorDetails details;
  details.source = source;
  details.number = number;
  details.messageCode = code;
  details.inserts = std::move(inserts);
  return details;
}

TEST(AlertDetails, ErrorTextsComeFromTheReportingProductsLocaliserOnOneLine)
{
  EXPECT_EQ(Error(L"DEX", 2101, L"ScanAborted", {L"Weekly", L"disk\r\nremoved"}).GetLocalisedString(),
            L"The scan \"Weekly\" stopped before it finished: disk  removed.");
  const std::wstring update = Error(L"ALC", 1, L"x", {L"a", L"b"}).GetLocalisedString();
  EXPECT_FALSE(update.empty());
  EXPECT_NE(update, Error(L"DEX", 1, L"x", {L"a", L"b"}).GetLocalisedString()) << "each product has its own texts";

  EXPECT_EQ(Error(L"DEX", 2101, L"", {L"Weekly"}).GetLocalisedString(), L"") << "no message code, no text";
  try {
    Error(L"Agent", 1, L"X", {}).GetLocalisedString();
    FAIL() << "no exception";
  } catch (const vrn::Exceptions::UnrecognisedEntity& e) {
    EXPECT_STREQ(e.what(), "Unrecognised Entity :Agent");
  }
}

TEST(AlertDetails, VirusLinksCarryTheNameAsItIsAndTheUsersLanguage)
{
  std::wstring link;
  CAlertDetailsBase::VirusNameToWebsite(L"W32/Nimda.A@mm", link, 0x0809);
  EXPECT_NE(link.find(L"/virusinfo/analyses/svl.cgi?virus=W32/Nimda.A@mm&lang=9&sublang=2"), std::wstring::npos) << link;
  EXPECT_EQ(link.rfind(L"http://", 0), 0u);

  EXPECT_EQ(LangIDFromLocaleName("en_GB.UTF-8"), 0x0809);
  EXPECT_EQ(LangIDFromLocaleName("C"), 0x0409);
  ::setenv("LC_ALL", "en_GB.UTF-8", 1);
  CAlertDetailsBase::VirusNameToWebsite(L"EICAR", link);
  ::unsetenv("LC_ALL");
  EXPECT_NE(link.find(L"virus=EICAR&lang=9&sublang=2"), std::wstring::npos) << link;
}

}  // namespace
