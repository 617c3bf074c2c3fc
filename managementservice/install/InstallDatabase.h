#pragma once
// What the install queues write to the database: the pending and in-progress flags, the
// install result, the clearing of every flag at start-up, and the tick of the computer-state
// clock that tells consoles to look again. Failures come back as HRESULTs; the queues log them.
#include "platform/com/WinTypes.h"

class IInstallDatabase
{
public:
  virtual ~IInstallDatabase() = default;
  virtual HRESULT SetComputerInstallPendingFlag(LONG computerID, bool pending) = 0;
  virtual HRESULT SetComputerInstallInProgressFlag(LONG computerID, bool inProgress) = 0;
  // The result with the current local time to whole seconds.
  virtual HRESULT ComputerSetInstallResult(LONG computerID, LONG result) = 0;
  virtual HRESULT ClearComputerInstallFlags() = 0;
  virtual void TickComputerStateClock() = 0;
};

// The service's own: its database session and its change clocks. E_FAIL while the service has
// no open session.
IInstallDatabase& ServiceInstallDatabase();
