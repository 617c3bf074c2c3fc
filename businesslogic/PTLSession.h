#pragma once
// CPTLSession: the service's database session, opened from the registry's database location
// with integrated security. Commands of the session channel run on it; when one fails, the
// session is closed and reopened once (Recover), exclusively between threads.
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/ado/OleDb.h"
#include "platform/com/Guid.h"
#include "platform/com/WinTypes.h"

class CPTLSession
{
public:
  explicit CPTLSession(const GUID& traceGuid);
  ~CPTLSession();
  CPTLSession(const CPTLSession&) = delete;
  CPTLSession& operator=(const CPTLSession&) = delete;

  // Reads the registry and opens the data source and the session; a failed step throws
  // _com_error with its HRESULT and error text.
  void Open();
  // Runs the session on a server connection its owner opened and keeps (a thread's own
  // database). Such a session is never reopened by Recover: a lost connection there throws
  // vrn::Exceptions::ConnectToDatabaseFailed, as what its owner's open transaction held is gone.
  void Attach(std::shared_ptr<ado::PgLink> link);
  // Releases the session; a closed session stays closed.
  void Close();
  // dataSource = "ServerLocation" + "DatabaseInstance", catalog = "DatabaseName". Returns 0,
  // the Win32 code of a failed registry call, or 0xFFFFFFFF on any other failure.
  DWORD ReadRegistry(std::string& dataSource, std::string& catalog);

  bool IsOpen() const;
  // The session as it is now, for one call; a concurrent reopen does not disturb that call.
  oledb::CSession Current() const;
  // Counts the opens, so that a failed call can tell whether the session was reopened since.
  std::uint64_t Generation() const;
  // Closes and reopens the session unless another thread already did so since `generation`
  // was read. Exclusive between threads; a failed reopen throws as Open does.
  void Recover(std::uint64_t generation);

private:
  GUID m_traceGuid;
  mutable std::mutex m_mutex;           // guards m_session and m_generation
  std::recursive_mutex m_reopenMutex;   // one open, close or recovery at a time
  oledb::CSession m_session;
  std::uint64_t m_generation = 0;
  bool m_attached = false;
};
