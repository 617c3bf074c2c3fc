#include <gtest/gtest.h>

#include "TestSupport.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "handlers/KTDexHandler/Namespaces.h"
#include "platform/text/Unicode.h"

using namespace KTDexHandler;
using HandlerUtils::XMLException;

namespace {

std::string Status(const std::string& body)
{
  return "<?xml version=\"1.0\"?><status xmlns=\"" + ToUtf8(kStatusNamespace) + "\">" + body + "</status>";
}

const std::string kEntity = "<entity><productId>DEX</productId><product-version>4.2</product-version></entity>";
const std::string kVdlHead = "<virus-engine-version>3.1</virus-engine-version><virus-data-version>2024.1</virus-data-version>"
                             "<ideChecksum>ABCD</ideChecksum>";

}  // namespace

TEST(KTDexStatus, ReadsEveryFieldInDocumentOrder)
{
  KTDexStatus status;
  status.Set(Status(kEntity + "<vdl-info>" + kVdlHead + "<idelist><ide>b.ide</ide><ide>a.ide</ide></idelist></vdl-info>"
                    "<on-access>Yes</on-access><quarantine>17</quarantine>"));
  const auto& d = status.GetDetails();
  EXPECT_EQ(d.productId, L"DEX");
  EXPECT_EQ(d.productVersion, L"4.2");
  EXPECT_EQ(d.virusEngineVersion, L"3.1");
  EXPECT_EQ(d.virusDataVersion, L"2024.1");
  EXPECT_EQ(d.ideChecksum, L"ABCD");
  EXPECT_EQ(d.ideList, (std::vector<std::wstring>{L"b.ide", L"a.ide"}));
  EXPECT_TRUE(d.onAccess);
  EXPECT_EQ(d.quarantine, 17);
}

TEST(KTDexStatus, AbsentQuarantineAndIdelistReadAsZeroAndEmptyAndAreWrittenBack)
{
  for (const std::string idelist : {"", "<idelist/>"}) {
    KTDexStatus status;
    status.Set(Status(kEntity + "<vdl-info>" + kVdlHead + idelist + "</vdl-info><on-access>false</on-access>"));
    EXPECT_EQ(status.GetDetails().quarantine, 0);
    EXPECT_TRUE(status.GetDetails().ideList.empty());
    const std::string written = status.ToXML_UTF8();
    EXPECT_NE(written.find("<quarantine>0</quarantine>"), std::string::npos) << written;
    EXPECT_NE(written.find("<idelist/>"), std::string::npos) << written;
  }
}

TEST(KTDexStatus, WritesTheElementsInOrderInOneDefaultNamespace)
{
  KTDexStatusDetails details;
  details.productId = L"DEX";
  details.productVersion = L"4.2";
  details.onAccess = true;
  details.quarantine = 2;
  details.virusEngineVersion = L"3.1";
  details.virusDataVersion = L"2024.1";
  details.ideChecksum = L"ABCD";
  details.ideList = {L"x.ide", L"y.ide"};
  KTDexStatus status;
  status.SetDetails(details);

  const std::string text = status.ToXML_UTF8();
  EXPECT_TRUE(InOrder(text, {"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<status xmlns=\"http://schemas.corvex.example/KT/KTDexStatus\">",
                             "<entity>", "<productId>DEX</productId>", "<product-version>4.2</product-version>", "</entity>",
                             "<on-access>true</on-access>", "<quarantine>2</quarantine>", "<vdl-info>",
                             "<virus-engine-version>3.1</virus-engine-version>", "<virus-data-version>2024.1</virus-data-version>",
                             "<ideChecksum>ABCD</ideChecksum>", "<idelist><ide>x.ide</ide><ide>y.ide</ide></idelist>", "</vdl-info>"}))
    << text;
  EXPECT_EQ(Occurrences(text, "xmlns"), 1u);

  KTDexStatus wide;
  wide.Set(status.ToXML());
  EXPECT_EQ(wide.GetDetails(), details);
  KTDexStatus narrow;
  narrow.Set(text);
  EXPECT_EQ(narrow.GetDetails(), details);
}

TEST(KTDexStatus, FailingSetKeepsTheHeldDetails)
{
  KTDexStatus status;
  status.Set(Status(kEntity + "<vdl-info>" + kVdlHead + "</vdl-info><on-access>true</on-access><quarantine>5</quarantine>"));
  const KTDexStatusDetails before = status.GetDetails();

  EXPECT_EQ(MessageOf<XMLException>([&] { status.Set(Status(kEntity + "<on-access>true</on-access>")); }),
            "Failed to find node from path: s:vdl-info");
  EXPECT_EQ(MessageOf<XMLException>([&] {
              status.Set(Status(kEntity + "<vdl-info>" + kVdlHead + "</vdl-info><on-access>maybe</on-access>"));
            }),
            "Failed to find boolean value from path: s:on-access");
  EXPECT_EQ(MessageOf<XMLException>([&] { status.Set(std::string("<status")); }), "Load failed: ");
  EXPECT_EQ(status.GetDetails(), before);
}
