#pragma once
// CDatabaseConnection: the process-wide database connection with its table of prepared
// stored-procedure commands, and the five locks that keep the shared commands of five groups of
// operations from being used by two threads at once. Nothing on this connection retries by
// itself: RenewDatabaseConnection rebuilds it, IsDatabaseConnectionAlive tests it.
#include <memory>
#include <mutex>
#include <string>

#include "businesslogic/Commands.h"
#include "businesslogic/DatabaseVersion.h"
#include "platform/ado/Ado.h"
#include "businesslogic/entities/ComputerDetails.h"

class CDatabaseConnection
{
public:
  // Creates the connection object, then Reestablish. The first connection also makes the
  // process keep freed large buffers (up to 64 MiB) for reuse, as whole-network row sets need.
  CDatabaseConnection();
  // The same on another server holding the same database (a streaming replica the consoles read
  // from): `dataSource` instead of the registry's "ServerLocation" and "DatabaseInstance".
  explicit CDatabaseConnection(std::wstring dataSource);
  ~CDatabaseConnection();
  CDatabaseConnection(const CDatabaseConnection&) = delete;
  CDatabaseConnection& operator=(const CDatabaseConnection&) = delete;

  // (Re)configures and opens the connection from the registry, checks the database interface
  // version and rebuilds the command table. Fails only by exception:
  // vrn::Exceptions::ConnectToDatabaseFailed, vrn::Exceptions::IncompatableDatabaseVersion, or
  // CSPException when the version procedure reports an error.
  void Reestablish();

  // The underlying connection (the object keeps its own reference).
  ado::Connection* GetADO() const { return m_ADOConnection.get(); }
  const ado::ConnectionPtr& GetADOPtr() const { return m_ADOConnection; }
  // Exchanges the connections and command tables of two objects.
  void swap(CDatabaseConnection& other);

#define CORVEX_CONNECTION_ACCESSOR(accessor, procedure) \
  const COurCommand& accessor() const { return m_commands->accessor(); }
  CORVEX_COMMAND_TABLE(CORVEX_CONNECTION_ACCESSOR)
#undef CORVEX_CONNECTION_ACCESSOR

  // Typed operations on the computer procedures whose shared commands the five locks guard.
  // Unmapped non-zero return values throw CSPException.

  // Lock 1. Every detail of the computer with its virus and error alerts; return value 22
  // throws vrn::Exceptions::ComputerDoesNotExist.
  void GetComputerDetails(LONG computerID, ComputerDetails& details);
  // Lock 1. Name, domain and whether the computer is managed (1) or not (0).
  void GetComputerDetails(LONG computerID, std::wstring& name, std::wstring& domainName, LONG& managed);
  // Lock 1. The computer's group (the unassigned group for none) and operating system, without
  // its alert lists; return value 22 throws vrn::Exceptions::ComputerDoesNotExist.
  void GetComputerGroupAndOS(LONG computerID, ULONG& group, PTLDB::OperatingSystem& os);
  // Lock 2, then ticks the computer-state clock. A description longer than the procedure takes
  // throws std::runtime_error "COurCommand::SetAttribute Attribute too long".
  void UpdateComputerDescriptionAndOS(LONG computerID, PTLDB::OperatingSystem os, const std::wstring& description);
  // Lock 3. Adds a computer by name (cut to 31 characters) and domain (cut to 128) and returns
  // its id, the existing one when the name is taken; a new computer ticks the membership and
  // then the computer-state clock.
  LONG CreateComputer(const std::wstring& name, const std::wstring& domain);
  // Lock 3. As CreateComputer, with a description (cut to 512 characters) and an operating
  // system; both clocks tick whatever happens once the procedure ran. A name that is taken
  // throws vrn::Exceptions::ComputerAlreadyInAnotherGroup when `unique`, else gives the id of
  // that computer (GetComputerID).
  LONG CreateComputerImpl(const std::wstring& name, const std::wstring& domain, const std::wstring& description, LONG os,
                          bool unique);
  // Lock 4. The id of the live computer of that name (cut to 31 characters).
  LONG GetComputerID(const std::wstring& name);
  // Lock 5. Records when the computer's last message arrived.
  void ComputerLastMessageTimeSet(LONG computerID, DATE lastMessageTime);

  // The five locks, each held for a whole group of operations.
  std::recursive_mutex& GetComputerDetailsLock() { return m_csGetComputerDetails; }
  std::recursive_mutex& UpdateComputerDescriptionAndOSLock() { return m_csUpdateComputerDescriptionAndOS; }
  std::recursive_mutex& CreateComputerLock() { return m_csCreateComputer; }
  std::recursive_mutex& GetComputerIDLock() { return m_csGetComputerID; }
  std::recursive_mutex& ComputerLastMessageTimeSetLock() { return m_csComputerLastMessageTimeSet; }

private:
  // The locks come first: created before anything else, deleted last.
  std::recursive_mutex m_csGetComputerDetails;
  std::recursive_mutex m_csUpdateComputerDescriptionAndOS;
  std::recursive_mutex m_csCreateComputer;
  std::recursive_mutex m_csGetComputerID;
  std::recursive_mutex m_csComputerLastMessageTimeSet;

  std::wstring m_dataSource;  // empty: the registry's
  ado::ConnectionPtr m_ADOConnection;
  std::unique_ptr<Commands> m_commands;
};

// The connection of the calling thread: the one bound to it (a thread's own database, see
// ThreadDatabase.h), else the process-wide connection, created on first use.
CDatabaseConnection& GetDatabaseConnection();
// Binds a connection to the calling thread (null unbinds); returns the one bound before.
CDatabaseConnection* BindThreadDatabaseConnection(CDatabaseConnection* connection) noexcept;
// Builds a new connection and command table and swaps them into the process-wide connection;
// an exception of the construction leaves the process-wide connection as it was.
void RenewDatabaseConnection();
// True when the process-wide connection exists and its connection is open. Never throws.
bool IsDatabaseConnectionAlive() noexcept;
