#include "managementservice/install/InstallDatabase.h"

#include <ctime>

#include "businesslogic/SessionCommands.h"
#include "platform/com/ComError.h"
#include "managementservice/host/Clocks.h"
#include "managementservice/host/ServiceModule.h"
#include "managementservice/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace {

constexpr VRN_Clock kComputerStateClock = 1;

struct CInstallStageSetAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.InstallStageSet(?,?,?) }";
  LONG m_ComputerID = 0;
  SHORT m_Stage = 0;
  LONG m_Result = 0;
  std::vector<oledb::ParamBinding> Bindings()
  {
    return {ReturnBinding(), sessionbind::In(m_ComputerID), sessionbind::In(m_Stage), sessionbind::In(m_Result)};
  }
};
using CInstallStageSet = TRecoverableCommand<TSessionCommand<CInstallStageSetAccessor>>;

class SessionInstallDatabase : public IInstallDatabase
{
public:
  HRESULT SetComputerInstallPendingFlag(LONG computerID, bool pending) override
  {
    CSetComputerInstallPendingFlag cmd;
    cmd.m_ComputerID = computerID;
    cmd.m_InstallPendingFlag = pending ? 1 : 0;
    return Run(cmd);
  }
  HRESULT SetComputerInstallInProgressFlag(LONG computerID, bool inProgress) override
  {
    CSetComputerInstallInProgressFlag cmd;
    cmd.m_ComputerID = computerID;
    cmd.m_InstallInProgressFlag = inProgress ? 1 : 0;
    return Run(cmd);
  }
  HRESULT ComputerSetInstallResult(LONG computerID, LONG result) override
  {
    CComputerSetInstallResult cmd;
    cmd.m_ComputerID = computerID;
    cmd.m_InstallResult = result;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    cmd.m_InstallTime = oledb::DBTIMESTAMP{static_cast<SHORT>(local.tm_year + 1900), static_cast<USHORT>(local.tm_mon + 1),
                                           static_cast<USHORT>(local.tm_mday), static_cast<USHORT>(local.tm_hour),
                                           static_cast<USHORT>(local.tm_min), static_cast<USHORT>(local.tm_sec), 0};
    return Run(cmd);
  }
  HRESULT ClearComputerInstallFlags() override
  {
    CClearComputerInstallFlags cmd;
    return Run(cmd);
  }
  HRESULT SetInstallStage(LONG computerID, InstallStage stage, LONG result) override
  {
    CInstallStageSet cmd;
    cmd.m_ComputerID = computerID;
    cmd.m_Stage = static_cast<SHORT>(stage);
    cmd.m_Result = result;
    return Run(cmd);
  }
  void TickComputerStateClock() override { MangementServiceClocks::Instance().Tick(kComputerStateClock); }

private:
  template <class Command>
  static HRESULT Run(Command& cmd)
  {
    CManagementServiceModule* module = CManagementServiceModule::Instance();
    CPTLSession* session = module ? module->Session() : nullptr;
    if (!session)
      return E_FAIL;
    try {
      return cmd.Execute(*session);
    } catch (const _com_error& e) {
      return e.Error();  // the session could not be reopened
    }
  }
};

}  // namespace

const char* InstallStageName(InstallStage stage)
{
  switch (stage) {
    case InstallStage::Queued: return "queued";
    case InstallStage::Connecting: return "connecting";
    case InstallStage::Copying: return "copying";
    case InstallStage::Running: return "running";
    case InstallStage::Done: return "done";
    case InstallStage::Failed: return "failed";
    case InstallStage::Stopped: return "stopped";
  }
  return "unknown";
}

void NoteInstallStage(IInstallDatabase& database, LONG computerID, InstallStage stage, LONG result)
{
  const HRESULT hr = database.SetInstallStage(computerID, stage, result);
  if (FAILED(hr))
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "SetInstallStage(%ld,%hs) failed with hr=0x%08X", static_cast<long>(computerID),
                 InstallStageName(stage), hr);
}

IInstallDatabase& ServiceInstallDatabase()
{
  static SessionInstallDatabase database;
  return database;
}
