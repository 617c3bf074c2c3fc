#pragma once
// Install requests: works out for each requested computer whether it can be installed remotely
// and with which setup program and command line, marks it install-pending and queues it; a
// worker starts one queued installation per interval and hands a started one to the result
// queue, or turns a failed start into an install result at once.
#include <functional>
#include <mutex>
#include <string>

#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "managementservice/install/InstallDatabase.h"
#include "managementservice/install/InstallEntries.h"
#include "managementservice/install/InstallResultQueue.h"
#include "managementservice/install/InstallWorker.h"
#include "managementservice/install/ProtectComputerException.h"
#include "managementservice/install/InstallList.h"

// The update configuration's platform of an operating-system code, or null when such a computer
// cannot be installed remotely (`known` false for codes above 13 and below 0).
const wchar_t* InstallPlatform(LONG operatingSystem, bool& known);

// A location of the \\server\share form.
bool IsUncPath(const std::wstring& location);

// The setup program's parameters; nothing inside the quotes is escaped.
std::wstring BuildSetupParameters(const std::wstring& cidLocation, const std::wstring& obscuredUsername,
                                  const std::wstring& obscuredPassword);

// The parameters for an entry, its update-server credentials obscured; ObscurityException when
// they cannot be.
std::wstring MakeSetupParameters(const InstallTaskEntry& entry);

// What the diagnosis asks beyond the exception and the entry: the state of the target's services
// (0 remote registry not running, 1 scheduler not running, 2 both running, 3 cannot tell).
//
// Whether a refused account exists is the target's to say, and the target's SSH server answers
// a wrong password and an unknown account alike; the service's own accounts say nothing about
// the target's. So a refused logon stays what it is, "logon failure", and is never turned into
// "unknown account" or "wrong password" on a guess.
struct DiagnosisProbes
{
  std::function<int(const InstallTaskEntry& entry)> remoteServices;
};
DiagnosisProbes SystemDiagnosisProbes();

// The install result code of a failed start.
LONG DiagnoseInstallFailure(const CProtectComputerException& e, const InstallTaskEntry& entry,
                            const DiagnosisProbes& probes = SystemDiagnosisProbes());

// The target's services as the diagnosis needs them; 3 for computers outside OS 4 to 9.
int CheckRemoteServices(const InstallTaskEntry& entry);

class InstallTaskQueue : public InstallWorker
{
public:
  static constexpr LONG kResultObscuringFailed = 54;
  // Our own, beyond the failure codes 43 to 59: the target's host key is not recorded, so
  // nothing was sent to it. The trace names the key's fingerprint.
  static constexpr LONG kResultHostKeyNotTrusted = 60;

  // Reads "InstallTimeInterval" (default 12000) from the service's key.
  explicit InstallTaskQueue(IInstallDatabase& database = ServiceInstallDatabase(),
                            InstallResultQueue& results = InstallResultQueue::Instance());
  ~InstallTaskQueue() override;

  void AddComputers(ULONG count, const LONG* ids, const std::wstring& username, const std::wstring& password);
  void AddComputer(AUCoreHandler::AutoUpdateConfiguration& configuration, LONG computerID, const std::wstring& username,
                   const std::wstring& password);
  // Fills the entry from the computer's details and its group's configuration; false (logged
  // with the computer's name) when the computer cannot be installed that way.
  static bool BuildEntry(AUCoreHandler::AutoUpdateConfiguration& configuration, InstallTaskEntry& entry,
                         std::wstring& platform);
  // Queues the entry at the back (a waiting entry of the same computer leaves), marks it pending.
  void QueueEntry(const InstallTaskEntry& entry, const std::wstring& platform);

  bool PopComputer(InstallTaskEntry& entry);
  void RemoveAll();
  std::size_t GetQueueSize() const;
  bool IsInQueue(const InstallTaskEntry& entry) const;
  void UpdateDatabase(const InstallTaskEntry& entry);
  void SetThreadTimeout(DWORD ms);
  DWORD ThreadTimeout() const override;

  void Start();
  void Stop();

  void InstallComputer(const InstallTaskEntry& entry);

  static InstallTaskQueue& Instance();

protected:
  void WorkRound() override;

private:
  IInstallDatabase& m_database;
  InstallResultQueue& m_results;
  mutable std::mutex m_lock;  // the intervals
  InstallList<InstallTaskEntry> m_list;
  DWORD m_interval;
};
