// rudadiz: the management service's executable.
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "managementservice/host/ServiceModule.h"
#include "managementservice/TraceComponent.h"
#include "platform/service/ServiceControl.h"
#include "platform/trace/Trace.h"
#include "security/Wipe.h"

namespace {

std::string CurrentDirectory()
{
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// An exit status carries eight bits: a failure whose low byte is zero must not read as success.
int ExitStatus(int code)
{
  if (code == 0)
    return 0;
  return (code & 0xFF) != 0 ? (code & 0xFF) : 1;
}

}  // namespace

int main(int argc, char** argv)
{
  // Only the control thread receives the stop signals; every thread started later inherits this.
  BlockControlSignals();
  // The install password passes through buffers of the ORB's that only the allocator can wipe.
  LanternSecurity::WipeFreedMemory();

  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Current dir [%s]\n", CurrentDirectory());
  const std::string exe = ExecutablePath();
  const std::string dir = exe.substr(0, exe.rfind('/') == std::string::npos ? 0 : exe.rfind('/'));
  if (!dir.empty() && ::chdir(dir.c_str()) != 0)
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "Could not change to the executable's directory %s\n", dir);
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Current dir [%s]\n", CurrentDirectory());

  CManagementServiceModule module;
  const int result = module.WinMain(std::vector<std::string>(argv + 1, argv + argc));
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "_AtlModule.WinMain returned %d (0x%p)\n", result, result);
  return ExitStatus(result);
}
