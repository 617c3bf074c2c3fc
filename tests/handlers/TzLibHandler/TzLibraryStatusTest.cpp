#include <gtest/gtest.h>

#include <algorithm>

#include "handlers/AUCoreHandler/Namespaces.h"
#include "handlers/HandlerUtils/MEException.h"
#include "handlers/HandlerUtils/XMLException.h"
#include "handlers/TzLibHandler/Strategy.h"
#include "handlers/TzLibHandler/TraceComponent.h"
#include "handlers/TzLibHandler/TzLibraryStatus.h"
#include "tests/handlers/AUCoreHandler/TestSupport.h"
#include "tests/handlers/AUCoreHandler/TraceCapture.h"

using namespace TzLibHandler;
using CorvexManagedEntity::MEInvalidException;
using CorvexManagedEntity::MEUnknownEntityException;

namespace {

const std::string kV1 = "http://schemas.corvex.example/TzLibraryStatus.xsd";

}  // namespace

TEST(TzLibraryStatus, ReadsTheSample)
{
  TzLibraryStatusImpl status;
  status.Set(ReadSample("TzLibraryStatus.xml"));
  const UpdateLocations locations = status.GetUpdateLocations();
  ASSERT_EQ(locations.size(), 5u);
  EXPECT_EQ(locations[0], (UpdateLocation{DEXKTNT, L"4.87", true, L"\\\\LIBSRV01\\TzLib\\DEXKTNT\\latest"}));
  EXPECT_EQ(locations[1], (UpdateLocation{DEXKTNT, L"4.86", false, L"\\\\LIBSRV01\\TzLib\\DEXKTNT\\previous"}));
  EXPECT_EQ(locations[4].productID, DEXKTOSX);
  const Packages packages = status.GetPackages();
  ASSERT_EQ(packages.size(), 4u);
  EXPECT_EQ(packages[2], (Package{DEXKT9X, L"4.80", L"3.12.0", L"4.0.5012", L"9F3A21C0", 1188}));
  EntityInfo_t entity;
  status.GetEntityInfo(entity);
  EXPECT_EQ(entity, AUCoreHandler::TzLibraryStatusV1Format);
  EXPECT_NO_THROW(status.Validate());
}

TEST(TzLibraryStatus, RoundTripsInBothForms)
{
  TzLibraryStatusImpl original;
  original.Set(ReadSample("TzLibraryStatus.xml"));

  const std::string utf8 = original.ToXML_UTF8();
  EXPECT_EQ(utf8.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
  EXPECT_NE(utf8.find("<tzlib xmlns=\"http://schemas.corvex.example/TzLibraryStatus\" entity=\"" + kV1 + "\">"), std::string::npos) << utf8;
  EXPECT_NE(utf8.find("<loc latest=\"false\" version=\"4.86\" productID=\"DEXKTNT\"><path>\\\\LIBSRV01\\TzLib\\DEXKTNT\\previous</path></loc>"),
            std::string::npos)
      << utf8;
  EXPECT_NE(utf8.find("<package productID=\"DEXKT9X\" productVersion=\"4.80\" engineVersion=\"3.12.0\" virusdataVersion=\"4.0.5012\" "
                      "ideChecksum=\"9F3A21C0\" rolloutNumber=\"1188\"/>"),
            std::string::npos)
      << utf8;
  TzLibraryStatusImpl fromUtf8;
  fromUtf8.Set(utf8);
  EXPECT_TRUE(fromUtf8 == original);

  TzLibraryStatusImpl fromWide;
  const std::wstring wide = original.ToXML();
  EXPECT_EQ(wide.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>", 0), 0u);
  fromWide.Set(wide);
  EXPECT_TRUE(fromWide == original);
  EXPECT_EQ(original.ToXML_UTF8(AUCoreHandler::TzLibraryStatusV1Format), utf8);

  UpdateLocations changed = original.GetUpdateLocations();
  std::swap(changed[0], changed[1]);
  fromWide.SetUpdateLocations(changed);
  EXPECT_FALSE(fromWide == original) << "order matters";
}

TEST(TzLibraryStatus, EmptyListsAreWrittenAsEmptyContainers)
{
  TzLibraryStatusImpl status;
  status.Set(ReadSample("TzLibraryStatus.xml"));
  status.Set(std::string("<tzlib xmlns='http://schemas.corvex.example/TzLibraryStatus' entity='") + kV1 +
             "'><updateLocationList/><packageList></packageList></tzlib>");
  EXPECT_TRUE(status.GetUpdateLocations().empty());
  EXPECT_TRUE(status.GetPackages().empty());
  const std::string text = status.ToXML_UTF8();
  EXPECT_NE(text.find("<updateLocationList/><packageList/></tzlib>"), std::string::npos) << text;
  EXPECT_NO_THROW(status.Validate());

  TzLibraryStatusImpl fresh;
  EXPECT_TRUE(fresh == status) << "a new status is an empty one in the known format";
}

TEST(TzLibraryStatus, UnknownFormats)
{
  TzLibraryStatusImpl status;
  status.Set(ReadSample("TzLibraryStatus.xml"));
  TraceCapture traces(TRACE_TZLIBHANDLER, 0);
  const std::string v2 = Replace(ReadSample("TzLibraryStatus.xml"), "TzLibraryStatus.xsd", "TzLibraryStatus2.xsd");
  try {
    status.Set(v2);
    ADD_FAILURE() << "a second format was accepted";
  } catch (const MEUnknownEntityException& e) {
    EXPECT_EQ(std::string(e.what()), "Unknown entity info: http://schemas.corvex.example/TzLibraryStatus2.xsd");
    EXPECT_EQ(e.GetEntity(), "http://schemas.corvex.example/TzLibraryStatus2.xsd");
  }
  EXPECT_TRUE(traces.Contains("Caught an exception CorvexManagedEntity::MEUnknownEntityException: Unknown entity info: ", 0));
  EXPECT_EQ(status.GetUpdateLocations().size(), 5u) << "the held status stays";

  EXPECT_THROW(status.ToXML_UTF8(L"urn:other"), MEUnknownEntityException);
  EXPECT_THROW(StrategyBase::NewStrategy(L""), MEUnknownEntityException);
  EXPECT_NE(dynamic_cast<V1Strategy*>(StrategyBase::NewStrategy(AUCoreHandler::TzLibraryStatusV1Format).get()), nullptr);
}

TEST(TzLibraryStatus, BadElementsAreRefused)
{
  TzLibraryStatusImpl status;
  status.Set(ReadSample("TzLibraryStatus.xml"));
  {
    TraceCapture traces(TRACE_TZLIBHANDLER, 0);
    EXPECT_EQ(ErrorOf<std::runtime_error>([&] { status.Set(Replace(ReadSample("TzLibraryStatus.xml"), "\"DEXKTXP\"", "\"DEXKTLINUX\"")); }),
              "Invalid product id (DEXKTLINUX)");
    EXPECT_TRUE(traces.Contains("Transforming exception std::runtime_error: Invalid product id (DEXKTLINUX)", 0));
  }
  EXPECT_EQ(ErrorOf<std::runtime_error>([&] { status.Set(Replace(ReadSample("TzLibraryStatus.xml"), "productID=\"DEXKTNT\" productVersion", "productID=\"dexktnt\" productVersion")); }),
            "Invalid product id (dexktnt)")
      << "labels are exact";
  EXPECT_THROW(status.Set(Replace(ReadSample("TzLibraryStatus.xml"), "rolloutNumber=\"1203\"", "rolloutNumber=\"soon\"")),
               HandlerUtils::XMLException);
  EXPECT_EQ(ErrorOf<HandlerUtils::XMLException>([&] { status.Set(Replace(ReadSample("TzLibraryStatus.xml"), "latest=\"true\"", "latest=\"maybe\"")); }),
            "Failed to find boolean value from path: latest");
  EXPECT_THROW(status.Set(Replace(ReadSample("TzLibraryStatus.xml"), " entity=", " format=")), HandlerUtils::XMLException);
  EXPECT_THROW(status.Set(std::wstring(L"<tzlib")), HandlerUtils::XMLException);
  // Found by fuzzing: a mangled label in a later location, after good ones were read.
  EXPECT_EQ(ErrorOf<std::runtime_error>([&] {
              status.Set(Replace(ReadSample("TzLibraryStatus.xml"), "productID=\"DEXKT9X\"><path>", "productID=\"DK9XETX\"><path>"));
            }),
            "Invalid product id (DK9XETX)");
  EXPECT_EQ(status.GetPackages().size(), 4u);
  EXPECT_EQ(status.GetPackages()[0].rolloutNumber, 1203);
  ASSERT_EQ(status.GetUpdateLocations().size(), 5u) << "nothing of a refused document is taken";
  EXPECT_EQ(status.GetUpdateLocations()[3].productID, DEXKT9X);
}

TEST(TzLibraryStatus, ValidationWantsUncPaths)
{
  TzLibraryStatusImpl status;
  UpdateLocations locations{{DEXKTNT, L"4.87", true, L"\\\\LIBSRV01\\TzLib\\latest"}, {DEXKTXP, L"4.86", false, L"http://libsrv01/tzlib/previous"}};
  status.SetUpdateLocations(locations);
  TraceCapture traces(TRACE_TZLIBHANDLER, 3);
  EXPECT_EQ(ErrorOf<MEInvalidException>([&] { status.Validate(); }), "InvalidXML: Not a valid UNC path: http://libsrv01/tzlib/previous");
  EXPECT_TRUE(traces.Contains("void ThrowIfInvalid(http://libsrv01/tzlib/previous,1,4.86,nonLatest)"));
  EXPECT_TRUE(traces.Contains("Caught an exception CorvexManagedEntity::MEInvalidException", 0));

  locations[1].path = L"\\\\LIBSRV01\\TzLib\\previous";
  status.SetUpdateLocations(locations);
  EXPECT_NO_THROW(status.Validate());
  locations[0].path = L"C:\\TzLib";
  status.SetUpdateLocations(locations);
  EXPECT_THROW(status.Validate(), MEInvalidException);
}

TEST(TzLibraryStatus, AProductWithoutALabelCannotBeWritten)
{
  TzLibraryStatusImpl status;
  status.SetPackages({Package{static_cast<ProductID>(9), L"1", L"1", L"1", L"0", 1}});
  EXPECT_EQ(ErrorOf<HandlerUtils::XMLException>([&] { status.ToXML_UTF8(); }), "Enum specified does not exist");
}

TEST(TzLibraryTypes, OrderingPutsTheProductFirst)
{
  const UpdateLocation a{DEXKTNT, L"4.86", true, L"\\\\a"};
  const UpdateLocation b{DEXKTNT, L"4.87", false, L"\\\\a"};
  const UpdateLocation c{DEXKTXP, L"1.00", false, L"\\\\a"};
  UpdateLocations sorted{c, b, a};
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (UpdateLocations{a, b, c}));
  EXPECT_LT((Package{DEXKTNT, L"4.87", L"3.14", L"4.0", L"X", 1}), (Package{DEXKTNT, L"4.87", L"3.14", L"4.0", L"X", 2}));
}
