#pragma once
// Watches each started setup task until it has finished or taken too long, writes the outcome
// as the computer's install result, deletes the task, and keeps the computer's in-progress flag
// true exactly while it waits here.
#include <functional>
#include <memory>
#include <mutex>

#include "managementservice/install/InstallDatabase.h"
#include "managementservice/install/InstallEntries.h"
#include "managementservice/install/InstallWorker.h"
#include "managementservice/install/InstallList.h"

// What reading a setup task's outcome needs of the task on the target.
class IInstallTaskReader
{
public:
  virtual ~IInstallTaskReader() = default;
  // The scheduler's task status; WinRuntimeError when the task cannot be read.
  virtual void GetTaskStatus(HRESULT& status) = 0;
  // The scheduler's answer unchanged, with the exit code when it is a success.
  virtual HRESULT GetExitCode(DWORD& code) = 0;
};

// The install status of the task that `open` reaches: 0 not available, 1 in progress,
// 2 succeeded, 3 failed, with the result to record in exitCode. A task that cannot be opened
// (CProtectComputerException) or read (WinRuntimeError) is logged and gives 0.
int InstallStatusOf(const std::function<std::unique_ptr<IInstallTaskReader>()>& open, LONG& exitCode);

class InstallResultQueue : public InstallWorker
{
public:
  // Install results of our own besides the setup program's exit code.
  static constexpr LONG kResultTimedOut = -1;
  static constexpr LONG kResultUnexpectedStatus = 99;
  static constexpr LONG kResultExitCodeUnreadable = 52;

  // Reads "InstallResultTimeInterval" (default 12000) and "MaximumInstallTimeInterval"
  // (default 600000) from the service's key.
  explicit InstallResultQueue(IInstallDatabase& database = ServiceInstallDatabase());
  ~InstallResultQueue() override;

  void AddComputer(const InstallResultEntry& entry);
  bool PopComputer(InstallResultEntry& entry);
  void RemoveAll();
  std::size_t GetQueueSize() const;
  bool IsInQueue(const InstallResultEntry& entry) const;
  void SetThreadTimeout(DWORD ms);
  void SetInstallTimeout(DWORD ms);
  DWORD ThreadTimeout() const override;
  DWORD InstallTimeout() const;

  void UpdateDatabase(const InstallResultEntry& entry);
  void RecordInstallResult(LONG computerID, LONG result);

  void Start();
  void Stop();

  // One step of a polling pass: false when the pass is over.
  bool ProcessComputer(DWORD passStart);
  // 0 not available, 1 in progress, 2 succeeded, 3 failed (with the exit code).
  virtual int GetInstallStatus(const InstallResultEntry& entry, LONG& exitCode);
  virtual void DeleteRemoteTask(const InstallResultEntry& entry);

  // The process's queue.
  static InstallResultQueue& Instance();

protected:
  void WorkRound() override;

private:
  class ScopedInstallCheck;
  void ReturnToQueue(InstallResultEntry entry, DWORD passStart, ScopedInstallCheck& check);

  IInstallDatabase& m_database;
  mutable std::mutex m_lock;  // the intervals
  InstallList<InstallResultEntry> m_list;
  DWORD m_interval = 12000;
  DWORD m_installTimeout = 600000;
};

// A REG_DWORD under the service's key, or the default when the key or value is missing;
// traced at level 2 as "<owner>::GetRegistryValue(<name>) returning <value>".
DWORD ReadInstallRegistryValue(const char* owner, const wchar_t* name, DWORD defaultValue);
