#pragma once
// A managed computer as the business layer holds it: only its database identity; everything
// else is read from the database on demand through the process-wide connection. Also the
// ordered lists of computers that procedures return and actions work on.
//
// Unmapped non-zero procedure return values throw CSPException; connection failures pass
// through as they are. Operations that change what a console shows tick the change clocks.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "businesslogic/actions/ActionBase.h"
#include "businesslogic/entities/DBEntity.h"
#include "businesslogic/entities/OperatingSystem.h"
#include "platform/com/WinTypes.h"

struct ComputerDetails;
class CAlert;
class CAlertList;

class CComputer : public Actions::CActionableBase, public TDBEntity<CComputer, LONG>
{
public:
  explicit CComputer(LONG id);
  CComputer(const CComputer& right);
  CComputer& operator=(const CComputer& right);
  ~CComputer() override;

  // Addresses longer than 255 characters throw vrn::Exceptions::InvalidMessageSystemAddress
  // before the database is asked.

  // False for an address no computer has and for one whose computer was deleted.
  static bool IsMessageSystemAddressRegistered(const std::string& address);
  // The computer of an address: vrn::Exceptions::UnknownMessageSystemAddress when no computer
  // has it, vrn::Exceptions::ComputerDoesNotExist when its computer was deleted.
  static CComputer GetFromMessageSystemAddress(const std::string& address);

  // Creates a computer by name (cut to 31 characters) and domain (cut to 128), or gives the
  // one of that name; only a new computer ticks the membership and computer-state clocks.
  static CComputer CreateComputer(const std::wstring& name, const std::wstring& domain);
  // Creates a computer with a description (cut to 512 characters) and operating system, or
  // gives the one of that name; both clocks tick however the creation ends once it ran.
  static CComputer CreateComputer(const std::wstring& name, const std::wstring& domain, const std::wstring& description,
                                  LONG os);
  // As above, but a name that is taken throws vrn::Exceptions::ComputerAlreadyInAnotherGroup.
  static CComputer CreateComputerUnique(const std::wstring& name, const std::wstring& domain,
                                        const std::wstring& description, LONG os);
  // The computer that sends from an address: the one registered with it, the computer of that
  // name (which gets the address), a deleted one brought back, or a new one. Both clocks tick
  // unless the address was registered to a computer that stayed.
  static CComputer CreateComputer(const std::string& address, const std::wstring& name, const std::wstring& domain);

  // Everything the database knows about this computer, with its virus and error alerts;
  // vrn::Exceptions::ComputerDoesNotExist when it has no row.
  void GetComputerDetails(ComputerDetails& details) const;
  // Stores the description and operating system, then ticks the computer-state clock. A
  // description over 512 characters throws std::runtime_error and changes nothing.
  void UpdateComputerDescriptionAndOS(PTLDB::OperatingSystem os, std::wstring description) const;
  // Stores the time and name (cut to 64 characters) of the last scan, then ticks the
  // computer-state clock; vrn::Exceptions::ComputerDoesNotExist for a computer without a row.
  void SetLastScanTime(DATE when, const std::wstring& scanName) const;
  // vrn::Exceptions::ComputerDoesNotExist for an unknown computer, ComputerNotManaged for one
  // without an address.
  void GetMessageSystemAddress(std::string& address) const;
  // The computer's alerts; the list is empty when anything fails.
  void GetAlertList(CAlertList& alerts) const;
  // The configuration documents the computer last reported; empty when it reported none, when
  // the procedure fails (traced at level 1) or when it returns other than one row.
  std::wstring GetAUConfigXML() const;
  std::wstring GetDexConfigXML() const;
  // Records that a message from the computer arrived now (local time).
  void MessageRecieved() const;

  // Alerts of this computer: see CAlert::CreateErrorAlert and CAlert::CreateVirusDetectedAlert.
  void CreateErrorAlert(DATE alertTime, const std::wstring& source, const std::wstring& entityInfo, const std::wstring& userName,
                        LONG number, const std::wstring& messageCode, const std::vector<std::wstring>& inserts) const;
  void CreateVirusDetectedAlert(DATE alertTime, const std::wstring& virusName, LONG virusType, const std::wstring& infectedItem,
                                LONG scannerType, LONG actionTaken, const std::wstring& userName) const;
  // The alert (or, without one, every alert of this computer) stops being outstanding; then the
  // computer-state clock ticks. vrn::Exceptions::ComputerDoesNotExist for an unknown computer,
  // CSPException 22 for an alert that is not this computer's.
  void MarkAlertsAsDealtWith(const CAlert* alert = nullptr) const;

  // Hands this computer to the action's computer operation.
  void Apply(Actions::CActionBase& action) override;
};

// While one lives on a thread, the computers' reported configurations that thread reads or
// writes are remembered, so that one message reads each at most once: a status reply reads
// what its computer had stored, stores what it reports, then checks the stored configurations
// against its group's. Only the messages of the processing thread write a computer's reported
// configurations, so within one message what was read or written is what a read would return.
class CReportedConfigurationScope
{
public:
  enum Kind { AutoUpdate, Dex };
  CReportedConfigurationScope();
  ~CReportedConfigurationScope();
  CReportedConfigurationScope(const CReportedConfigurationScope&) = delete;
  CReportedConfigurationScope& operator=(const CReportedConfigurationScope&) = delete;

  // What the computer holds now, as a read would return it (a stored empty text reads empty).
  // Nothing happens when no scope lives on the calling thread.
  static void Remember(LONG computer, Kind kind, const std::wstring& text);
  // The text remembered for the computer, null when none (or no scope).
  static const std::wstring* Known(LONG computer, Kind kind);

private:
  CReportedConfigurationScope* m_previous;
  std::map<std::pair<LONG, Kind>, std::wstring> m_known;
};

class CComputerList : public Actions::CActionableBase, public TList<CComputer>
{
public:
  using TList<CComputer>::TList;
  CComputerList() = default;
  CComputerList(const CComputerList&) = default;
  CComputerList& operator=(const CComputerList&) = default;

  // Hands the whole list to the action's computer-list operation.
  void Apply(Actions::CActionBase& action) override;
};
