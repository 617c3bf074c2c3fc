#include "businesslogic/DatabaseConnection.h"

#include <malloc.h>

#include <utility>

#include "businesslogic/AdoError.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/ProcessSingleton.h"
#include "businesslogic/SPException.h"
#include "businesslogic/SystemEnviroment.h"
#include "businesslogic/TraceComponent.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/trace/Trace.h"

namespace {

void PutProperty(ado::Connection& connection, const wchar_t* name, const _variant_t& value)
{
  ThrowIfAdoFailed(connection.PutProperty(name, value));
}

std::wstring ValueText(const _variant_t& value)
{
  try {
    return value.vt == VT_EMPTY || value.vt == VT_NULL ? std::wstring() : value.ToWString();
  } catch (...) {
    return L"?";
  }
}

// A list of every computer of the network allocates and frees megabytes per read (the fetched
// rows, the array of values, the list itself). Handed back to the system after each read, every
// page costs a fault again on the next; kept in the process, they are reused.
void KeepLargeBuffersInProcess()
{
  static std::once_flag once;
  std::call_once(once, [] {
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
  });
}

}  // namespace

CDatabaseConnection::CDatabaseConnection()
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CDatabaseConnection::CDatabaseConnection");
  KeepLargeBuffersInProcess();
  m_ADOConnection = ado::Connection::Create();
  Reestablish();
}

CDatabaseConnection::CDatabaseConnection(std::wstring dataSource) : m_dataSource(std::move(dataSource))
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CDatabaseConnection::CDatabaseConnection(dataSource)");
  KeepLargeBuffersInProcess();
  m_ADOConnection = ado::Connection::Create();
  Reestablish();
}

CDatabaseConnection::~CDatabaseConnection() = default;

void CDatabaseConnection::Reestablish()
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "bool CDatabaseConnection::Reestablish()");
  ado::Connection& conn = *m_ADOConnection;
  try {
    ThrowIfAdoFailed(conn.put_Provider(L"sqloledb"));
    std::wstring dataSource, databaseName;
    {
      CSystemEnviroment environment;
      if (m_dataSource.empty())
        environment.GetDataSource(dataSource);
      else
        dataSource = m_dataSource;
      environment.GetDatabaseName(databaseName);
    }
    PutProperty(conn, L"Data Source", _variant_t(dataSource));
    PutProperty(conn, L"Initial Catalog", _variant_t(databaseName));
    PutProperty(conn, L"Integrated Security", _variant_t(L"SSPI"));
    PutProperty(conn, L"Persist Security Info", _variant_t(true));
    PutProperty(conn, L"Packet Size", _variant_t(static_cast<LONG>(1024)));
    for (const ado::Property& p : conn.Properties())
      trace::Trace(TRACE_BUSINESSLOGIC, 2, L"Record set: \"%s\" = \"%s\"", p.Name, ValueText(p.Value));
    conn.put_CursorLocation(ado::adUseClient);
    ThrowIfAdoFailed(conn.Open(L"", L"", L"", ado::adOptionUnspecified));

    if (m_commands)
      trace::Trace(TRACE_BUSINESSLOGIC, 2, "Commands alreay exists and will be deleted");

    COurCommand version(m_ADOConnection, "GetInterfaceVersion");
    CSPException::Check(version.ExecuteCommand());
    DatabaseVersion actual;
    version.GetAttribute(L"@MajorVersion", actual.major);
    version.GetAttribute(L"@MinorVersion", actual.minor);
    if (!kRequiredDatabaseVersion.IsCompatibleWith(actual))
      throw vrn::Exceptions::IncompatableDatabaseVersion(kRequiredDatabaseVersion, actual);

    m_commands = std::make_unique<Commands>(m_ADOConnection);
  } catch (const WinRuntimeError& e) {
    const std::wstring text = FromUtf8(e.what());
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "CDatabaseConnection::Reestablish caught error %S, hr=0x%X", text, e.hr());
    for (const ado::Error& error : conn.Errors())
      trace::Trace(TRACE_BUSINESSLOGIC, 0, L"ADO Reports: 0x%X, %s", error.Number, error.Description);
    throw vrn::Exceptions::ConnectToDatabaseFailed(e.hr(), text);
  }
}

void CDatabaseConnection::swap(CDatabaseConnection& other)
{
  if (this == &other)
    return;
  std::swap(m_ADOConnection, other.m_ADOConnection);
  std::swap(m_commands, other.m_commands);
}

namespace {
thread_local CDatabaseConnection* t_threadConnection = nullptr;
}

CDatabaseConnection& GetDatabaseConnection()
{
  if (t_threadConnection)
    return *t_threadConnection;
  return TProcessSingleton<CDatabaseConnection>::Instance();
}

CDatabaseConnection* BindThreadDatabaseConnection(CDatabaseConnection* connection) noexcept
{
  return std::exchange(t_threadConnection, connection);
}

void RenewDatabaseConnection()
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "RenewDatabaseConnection");
  CDatabaseConnection fresh;
  GetDatabaseConnection().swap(fresh);
}

bool IsDatabaseConnectionAlive() noexcept
{
  try {
    CDatabaseConnection* connection = TProcessSingleton<CDatabaseConnection>::Peek();
    if (!connection || !connection->GetADO())
      return false;
    long state = 0;
    if (FAILED(connection->GetADO()->get_State(&state)))
      return false;
    return state != ado::adStateClosed;
  } catch (...) {
    return false;
  }
}
