#pragma once
// Everything the database knows about one computer, as one read of its details returns it.
#include <string>
#include <vector>

#include "businesslogic/entities/AlertDetails.h"
#include "businesslogic/entities/FlagState.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/entities/OperatingSystem.h"
#include "platform/com/WinTypes.h"

// An OLE date with a status: a NULL in the database reads as status null.
struct DateTimeValue
{
  enum DateTimeStatus { valid = 0, invalid = 1, null = 2 };
  DATE date = 0.0;
  DateTimeStatus status = valid;
};

struct ComputerDetails
{
  // 1 January 1900 00:00:00, the out-of-date time of a computer that is not known to be out of date.
  static constexpr DATE kNotOutOfDate = 2.0;

  std::wstring name;
  std::wstring domainName;
  PTLDB::OperatingSystem operatingSystem = 0;
  std::wstring description;
  LONG alertState = 0;
  bool managed = false;
  FlagState dexInstalled = FlagUnknown;
  FlagState dexOnAccess = FlagUnknown;
  std::wstring dexVersion;
  std::wstring virusDataVersion;
  bool installPending = false;
  bool installInProgress = false;
  ULONG ipAddress = 0;
  std::wstring servicePack;
  std::wstring primaryCID;
  std::wstring secondaryCID;
  bool outOfDateKnown = false;
  DateTimeValue outOfDate;
  FlagState hasGroupAUConfig = FlagUnknown;
  FlagState hasGroupDexConfig = FlagUnknown;
  CGroupList group;  // one entry: the computer's group, or the unassigned group
  std::wstring ideList;
  std::wstring lastLoggedOnUser;
  LONG installFailureReason = 0;
  DateTimeValue installTime;
  LONG ideNumber = 0;
  FlagState connected = FlagUnknown;
  DateTimeValue lastScanDateTime;
  std::wstring lastScanName;
  std::vector<Alerts::VirusAlertDetails> virusAlerts;
  std::vector<CAlertDetailsBase::ErrorDetails> errorAlerts;
  DateTimeValue lastMessageTime;
};
