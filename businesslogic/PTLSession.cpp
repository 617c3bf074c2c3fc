#include "businesslogic/PTLSession.h"

#include "businesslogic/AdoError.h"
#include "businesslogic/SystemEnviroment.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/com/ComError.h"
#include "platform/registry/Registry.h"
#include "metrics/ServiceMetrics.h"
#include "platform/trace/Trace.h"

namespace {

[[noreturn]] void ThrowComError(HRESULT hr) { throw _com_error(hr, AdoErrorText(hr)); }

std::string ReadValue(const CRegKey& key, const wchar_t* name)
{
  std::wstring value;
  const LONG r = key.QueryStringValue(name, value);
  if (r != ERROR_SUCCESS)
    throw WinRuntimeError::FromWin32(r, "Registry value \"" + ToUtf8(name) + "\"");
  return ToUtf8(value);
}

}  // namespace

CPTLSession::CPTLSession(const GUID& traceGuid) : m_traceGuid(traceGuid) {}

CPTLSession::~CPTLSession() { Close(); }

DWORD CPTLSession::ReadRegistry(std::string& dataSource, std::string& catalog)
{
  trace::CFunctionTrace scope(m_traceGuid, "CPTLSession::ReadRegistry at [HKLM\\%s]", kManagementToolsKey);
  try {
    CRegKey key;
    const LONG r = key.Open(HKEY_LOCAL_MACHINE, kManagementToolsKey, KEY_QUERY_VALUE);
    if (r != ERROR_SUCCESS)
      throw WinRuntimeError::FromWin32(r, "HKLM\\" + ToUtf8(kManagementToolsKey));
    const std::string name = ReadValue(key, L"DatabaseName");
    const std::string location = ReadValue(key, L"ServerLocation");
    const std::string instance = ReadValue(key, L"DatabaseInstance");
    dataSource = location + instance;
    catalog = name;
    return 0;
  } catch (const WinRuntimeError& e) {
    trace::Trace(m_traceGuid, 0, "CPTLSession::ReadRegistry failed: %hs", e.what());
    return static_cast<DWORD>(e.win32() ? e.win32() : e.hr());
  } catch (const std::runtime_error& e) {
    trace::Trace(m_traceGuid, 0, "CPTLSession::ReadRegistry failed: %hs", e.what());
    return 0xFFFFFFFFu;
  } catch (...) {
    return 0xFFFFFFFFu;
  }
}

void CPTLSession::Open()
{
  trace::CFunctionTrace scope(m_traceGuid, "CPTLSession::Open");
  std::lock_guard reopen(m_reopenMutex);
  std::string dataSource, catalog;
  ReadRegistry(dataSource, catalog);  // on failure the texts stay empty and opening fails

  oledb::CDBPropSet props(oledb::DBPROPSET_DBINIT);
  if (!props.AddProperty(oledb::DBPROP_AUTH_INTEGRATED, _variant_t(L"SSPI")) ||
      !props.AddProperty(oledb::DBPROP_INIT_CATALOG, _variant_t(catalog.c_str())) ||
      !props.AddProperty(oledb::DBPROP_INIT_DATASOURCE, _variant_t(dataSource.c_str())) ||
      !props.AddProperty(oledb::DBPROP_INIT_LCID, _variant_t(static_cast<LONG>(oledb::GetSystemDefaultLCID()))) ||
      !props.AddProperty(oledb::DBPROP_INIT_PROMPT, _variant_t(static_cast<LONG>(oledb::DBPROMPT_NOPROMPT))))
    throw _com_error(E_FAIL, L"An initialisation property could not be added.");

  oledb::CDataSource source;
  HRESULT hr = source.Open(L"SQLOLEDB.1", &props);
  if (FAILED(hr))
    ThrowComError(hr);
  oledb::CSession session;
  hr = session.Open(source);
  if (FAILED(hr))
    ThrowComError(hr);
  std::lock_guard lock(m_mutex);
  m_session = session;
  m_attached = false;
  ++m_generation;
}

void CPTLSession::Attach(std::shared_ptr<ado::PgLink> link)
{
  std::lock_guard reopen(m_reopenMutex);
  std::lock_guard lock(m_mutex);
  m_session.Attach(std::move(link));
  m_attached = true;
  ++m_generation;
}

void CPTLSession::Close()
{
  std::lock_guard reopen(m_reopenMutex);
  oledb::CSession old;
  std::lock_guard lock(m_mutex);
  std::swap(old, m_session);
}

bool CPTLSession::IsOpen() const
{
  std::lock_guard lock(m_mutex);
  return m_session.IsOpen();
}

oledb::CSession CPTLSession::Current() const
{
  std::lock_guard lock(m_mutex);
  return m_session;
}

std::uint64_t CPTLSession::Generation() const
{
  std::lock_guard lock(m_mutex);
  return m_generation;
}

void CPTLSession::Recover(std::uint64_t generation)
{
  std::lock_guard reopen(m_reopenMutex);
  if (m_attached) {
    // The call failed on a connection that is still there (a refused statement): trying it
    // again on the same connection is all a recovery can do.
    const std::shared_ptr<ado::PgLink> link = Current().Link();
    if (link && link->IsOpen())
      return;
    throw vrn::Exceptions::ConnectToDatabaseFailed(E_FAIL, L"The database connection of this thread was lost.");
  }
  if (Generation() != generation && IsOpen())
    return;  // another thread reopened the session since this call began
  metrics::DatabaseReconnect();
  Close();
  Open();
}
