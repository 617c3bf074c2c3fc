#pragma once
// A scratch database reached through both of the service's channels: the process-wide
// connection of the business layer and a session for the session-channel commands, which the
// letters and messages find through their services, with a connection that keeps the letters.
#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/PTLSession.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/ServiceModule.h"
#include "managementservice/letters/LetterServices.h"
#include "managementservice/messages/MessageSession.h"
#include "platform/dcom/Dcom.h"
#include "tests/businesslogic/TestClocks.h"
#include "tests/businesslogic/TestSupport.h"
#include "tests/managementservice/ServiceTestSupport.h"

namespace servicetest {

class ServiceDatabase
{
public:
  ServiceDatabase()
  {
    ComOrb();  // payloads are encoded with the ORB's code sets
    m_registry.SetLocation(L".", L"", m_db.WideName());
    RenewDatabaseConnection();
    m_session.Open();
    letters::SetLetterConnection([this] { return &connection; });
    SetMessageSession(&m_session);
  }
  ~ServiceDatabase()
  {
    letters::SetLetterConnection({});
    SetMessageSession(nullptr);
  }
  ServiceDatabase(const ServiceDatabase&) = delete;
  ServiceDatabase& operator=(const ServiceDatabase&) = delete;

  void SetServiceValue(const wchar_t* name, DWORD value)
  {
    CRegKey key;
    key.Create(HKEY_LOCAL_MACHINE, kServiceKey.c_str());
    key.SetDWORDValue(name, value);
  }
  std::string Sql(const std::string& query) { return m_db.Exec(query).Text(0, 0); }
  testsupport::TestDatabase& Database() { return m_db; }

  KeepingConnection connection;
  testsupport::TestClocks clocks;

private:
  testsupport::TempRegistry m_registry;
  testsupport::TestDatabase m_db;
  CPTLSession m_session{TRACE_MANAGEMENTSERVICE};
};

}  // namespace servicetest
