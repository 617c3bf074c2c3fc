// The business layer's clocks inside the service: through the internal broker, the service's
// own clocks object.
#include <gtest/gtest.h>

#include "businesslogic/Clocks.h"
#include "managementservice/host/Clocks.h"
#include "managementservice/host/InternalBroker.h"
#include "platform/com/ClassTable.h"
#include "platform/errortext/WinRuntimeError.h"

namespace {

// Registers the clocks class object for the test, as start-up does.
class ClocksClassObject
{
public:
  ClocksClassObject()
  {
    CComPtr<IUnknown> factory(new CComClassFactory<CClocks>);
    CoRegisterClassObject(CLSID_Clocks, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_cookie);
  }
  ~ClocksClassObject() { CoRevokeClassObject(m_cookie); }

private:
  DWORD m_cookie = 0;
};

}  // namespace

TEST(CServerBrokerRegistrar, IsEmptyUntilSetAndKeepsItsOwnClone)
{
  CServerBrokerRegistrar::Clear();
  try {
    CServerBrokerRegistrar::GetBroker();
    FAIL() << "no broker was set";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "CServerBrokerRegistrar::GetBroker: Broker is not set");
  }
  {
    CMSInternalBroker broker;
    CServerBrokerRegistrar::SetBroker(broker);
  }  // the caller's broker is gone; the registrar holds a clone
  EXPECT_NE(dynamic_cast<const CMSInternalBroker*>(&CServerBrokerRegistrar::GetBroker()), nullptr);
  CServerBrokerRegistrar::SetBroker(vrn::CManagementServiceClientBroker());
  EXPECT_NE(dynamic_cast<const vrn::CManagementServiceClientBroker*>(&CServerBrokerRegistrar::GetBroker()), nullptr);
  CServerBrokerRegistrar::Clear();
}

TEST(CMSInternalBroker, FailsWithTheHresultWhenTheClassObjectIsMissing)
{
  try {
    CMSInternalBroker().CreateServerClocks();
    FAIL() << "no class object is registered";
  } catch (const WinRuntimeError& e) {
    EXPECT_EQ(e.hr(), REGDB_E_CLASSNOTREG);
  }
}

TEST(VrnClocks, FireOnlyForTheClockTickedSinceTheLastSynchronisation)
{
  ClocksClassObject registered;
  CServerBrokerRegistrar::SetBroker(CMSInternalBroker());
  vrn::CClocks clocks;
  clocks.Syncronise();  // construction already synchronised: nothing fires
  for (VRN_Clock id = 0; id < 3; ++id)
    EXPECT_FALSE(clocks.GetClock(id).WasFired()) << id;

  vrn::CClocks other;  // a second client, as another console
  other.GetClock(2).Tick();
  clocks.Syncronise();
  EXPECT_FALSE(clocks.GetClock(0).WasFired());
  EXPECT_FALSE(clocks.GetClock(1).WasFired());
  EXPECT_TRUE(clocks.GetClock(2).WasFired());
  clocks.Syncronise();
  EXPECT_FALSE(clocks.GetClock(2).WasFired());

  EXPECT_THROW(clocks.GetClock(3), std::out_of_range);
  CServerBrokerRegistrar::Clear();
}
