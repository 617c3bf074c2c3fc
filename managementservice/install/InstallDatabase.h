#pragma once
// What the install queues write to the database: the pending and in-progress flags, the
// install result, the clearing of every flag at start-up, and the tick of the computer-state
// clock that tells consoles to look again. Failures come back as HRESULTs; the queues log them.
#include "platform/com/WinTypes.h"

// How far an install attempt has got, as consoles show it. Kept beside the flags and the result,
// which stay as they are: a stage is for watching, never for deciding.
enum class InstallStage : SHORT
{
  Queued = 1,      // waiting for its turn in the task queue
  Connecting = 2,  // reaching the target and logging on there
  Copying = 3,     // writing the setup task to the target and waiting for it to show
  Running = 4,     // the setup program was started; the result queue watches it
  Done = 5,        // result 0
  Failed = 6,      // any other result: the diagnosed cause
  Stopped = 7,     // taken off the queue before its turn (the console's Stop)
};
const char* InstallStageName(InstallStage stage);

class IInstallDatabase
{
public:
  virtual ~IInstallDatabase() = default;
  virtual HRESULT SetComputerInstallPendingFlag(LONG computerID, bool pending) = 0;
  virtual HRESULT SetComputerInstallInProgressFlag(LONG computerID, bool inProgress) = 0;
  // The result with the current local time to whole seconds.
  virtual HRESULT ComputerSetInstallResult(LONG computerID, LONG result) = 0;
  virtual HRESULT ClearComputerInstallFlags() = 0;
  // Records the stage an attempt reached (`result` for Done and Failed). Queued begins a new
  // attempt. Ticks no clock: callers write it next to a flag or result write that does, or tick.
  virtual HRESULT SetInstallStage(LONG /*computerID*/, InstallStage /*stage*/, LONG /*result*/) { return S_OK; }
  virtual void TickComputerStateClock() = 0;
};

// Writes the stage; a failure is traced and goes no further, since watching must never stop an
// installation.
void NoteInstallStage(IInstallDatabase& database, LONG computerID, InstallStage stage, LONG result = 0);

// The service's own: its database session and its change clocks. E_FAIL while the service has
// no open session.
IInstallDatabase& ServiceInstallDatabase();
