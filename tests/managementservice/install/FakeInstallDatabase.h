#pragma once
// Records what the install queues write, in order.
#include <mutex>
#include <string>
#include <vector>

#include "managementservice/install/InstallDatabase.h"

class FakeInstallDatabase : public IInstallDatabase
{
public:
  HRESULT SetComputerInstallPendingFlag(LONG id, bool pending) override { return Note("pending " + Of(id, pending)); }
  HRESULT SetComputerInstallInProgressFlag(LONG id, bool on) override { return Note("progress " + Of(id, on)); }
  HRESULT ComputerSetInstallResult(LONG id, LONG result) override
  {
    return Note("result " + std::to_string(id) + " " + std::to_string(result));
  }
  HRESULT ClearComputerInstallFlags() override { return Note("clear"); }
  // Stages apart from the flags, so that the flag sequences read as they always did.
  HRESULT SetInstallStage(LONG id, InstallStage stage, LONG result) override
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string what = std::to_string(id) + " " + InstallStageName(stage);
    if (stage == InstallStage::Done || stage == InstallStage::Failed)
      what += " " + std::to_string(result);
    stages.push_back(what);
    return S_OK;
  }
  std::vector<std::string> TakeStages()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(stages, {});
  }
  void TickComputerStateClock() override
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++ticks;
  }
  std::vector<std::string> Take()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(writes, {});
  }
  int ticks = 0;

private:
  static std::string Of(LONG id, bool flag) { return std::to_string(id) + (flag ? " on" : " off"); }
  HRESULT Note(const std::string& what)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    writes.push_back(what);
    return S_OK;
  }
  std::mutex m_mutex;
  std::vector<std::string> writes;
  std::vector<std::string> stages;
};
