#include <gtest/gtest.h>

#include "managementservice/install/InstallTaskQueue.h"

namespace {

struct Row
{
  ProtectStep step;
  std::uint32_t error;
  LONG os;
  bool emptyPassword;
  int services;  // what the target's services check answers; -1: it must not be asked
  LONG expected;
};

LONG Diagnose(const Row& r, int& servicesAsked)
{
  InstallTaskEntry entry;
  entry.computerName = L"PC1";
  entry.username = L"CORP\\admin";
  entry.password = r.emptyPassword ? L"" : L"pw";
  entry.operatingSystem = r.os;
  DiagnosisProbes probes{[&](const InstallTaskEntry&) {
    ++servicesAsked;
    return r.services;
  }};
  return DiagnoseInstallFailure(CProtectComputerException(r.step, static_cast<LONG>(r.error)), entry, probes);
}

constexpr LONG Hr(std::uint32_t v) { return static_cast<LONG>(v); }

}  // namespace

TEST(DiagnoseInstallFailureTest, EveryRowOfTheTable)
{
  using S = ProtectStep;
  const Row rows[] = {
    // Logon refused: the target does not say whether the account exists, and the service's own
    // accounts are no answer for it, so the logon failure itself is the result.
    {S::LogonUser, 1326, 8, false, -1, Hr(0x8007052E)},
    {S::LogonUser, 0x8007052E, 8, false, -1, Hr(0x8007052E)},
    {S::LogonUser, 1327, 8, true, -1, 45},
    {S::LogonUser, 0x8007052F, 8, false, -1, Hr(0x8007052F)},
    {S::LogonUser, 1327, 8, false, -1, Hr(0x8007052F)},
    {S::LogonUser, 1380, 8, false, -1, 57},
    {S::LogonUser, 0x80070569, 2, false, -1, 57},
    {S::LogonUser, 0x80070005, 8, false, -1, 55},
    {S::LogonUser, 1722, 8, false, -1, Hr(0x800706BA)},
    {S::ImpersonateUser, 1326, 8, false, -1, Hr(0x8007052E)},
    // Target unreachable: 9x gives 50, NT asks the services, other systems keep the value.
    {S::SetTargetComputer, 53, 12, false, -1, 50},
    {S::SetTargetComputer, 0x80070035, 4, false, 0, 47},
    {S::SetTargetComputer, 53, 9, false, 1, 48},
    {S::SetTargetComputer, 53, 6, false, 2, 46},
    {S::SetTargetComputer, 53, 6, false, 3, 46},
    {S::SetTargetComputer, 53, 11, false, -1, Hr(0x80070035)},
    {S::SetTargetComputer, 53, 13, false, -1, Hr(0x80070035)},
    {S::SetTargetComputer, 0x80070005, 3, false, -1, 50},
    {S::SetTargetComputer, 0x80070005, 8, true, -1, 51},
    {S::SetTargetComputer, 0x80070005, 8, false, -1, 59},
    {S::SetTargetComputer, 0x80070005, 5, true, -1, 56},
    {S::SetTargetComputer, 0x80070005, 10, false, -1, 43},
    {S::SetTargetComputer, 1717, 1, false, -1, 50},
    {S::SetTargetComputer, 0x800706B5, 7, false, 0, 47},
    {S::SetTargetComputer, 1717, 7, false, 1, 48},
    {S::SetTargetComputer, 1717, 7, false, 2, Hr(0x800706B5)},
    {S::SetTargetComputer, 1717, 0, false, -1, Hr(0x800706B5)},
    {S::SetTargetComputer, 1722, 8, false, -1, Hr(0x800706BA)},
    // A host key nobody recorded: its own result, whatever the system, and no services probe.
    {S::SetTargetComputer, 0x800706FE, 8, false, -1, 60},
    {S::SetTargetComputer, 0x800706FE, 2, true, -1, 60},
    // Saving the task.
    {S::TaskSave, 1722, 2, false, -1, 50},
    {S::TaskSave, 0x800706BA, 8, false, 1, 48},
    {S::TaskSave, 1717, 8, false, 0, 47},
    {S::TaskSave, 0x800706B5, 8, false, 3, 46},
    {S::TaskSave, 1722, 11, false, -1, 46},
    {S::TaskSave, 1722, 14, false, -1, 46},
    {S::TaskSave, 0x80070005, 8, false, -1, 58},
    {S::TaskSave, 0x800705B4, 8, false, -1, Hr(0x800705B4)},
    // Creating the work item.
    {S::NewWorkItem, 67, 8, false, -1, 49},
    {S::NewWorkItem, 0x80070035, 2, false, -1, 49},
    {S::NewWorkItem, 0x80070005, 8, true, -1, 56},
    {S::NewWorkItem, 0x80070005, 8, false, -1, 43},
    {S::NewWorkItem, 0x80070050, 8, false, -1, Hr(0x80070050)},
    {static_cast<S>(5), 53, 8, false, -1, Hr(0x80070035)},
    {S::TaskSave, 0, 8, false, -1, 0},
  };
  for (const Row& r : rows) {
    int asked = 0;
    EXPECT_EQ(Diagnose(r, asked), r.expected)
        << "step " << static_cast<int>(r.step) << " error 0x" << std::hex << r.error << std::dec << " os " << r.os;
    EXPECT_EQ(asked, r.services < 0 ? 0 : 1) << "step " << static_cast<int>(r.step) << " os " << r.os;
  }
}

TEST(DiagnoseInstallFailureTest, ExceptionMessagesNameTheStepAndTheSystemText)
{
  EXPECT_STREQ(CProtectComputerException(ProtectStep::LogonUser, 1326).what(),
               "Call to LogonUser failed: \"The user name or password is incorrect.\"");
  EXPECT_STREQ(CProtectComputerException(ProtectStep::SetTargetComputer, Hr(0x80070035)).what(),
               "Call to SetTargetComputer failed: \"The network path was not found.\"");
  EXPECT_STREQ(CProtectComputerException(ProtectStep::NewWorkItem, Hr(0x80041234)).what(),
               "Call to NewWorkItem failed: \"\"");
  const CProtectComputerException e(ProtectStep::TaskSave, 1722);
  EXPECT_EQ(e.Step(), ProtectStep::TaskSave);
  EXPECT_EQ(e.Error(), 1722);
}
