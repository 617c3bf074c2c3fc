#include "managementservice/messages/ConnectedState.h"

#include <cstdint>

#include "businesslogic/SessionCommands.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/EventLogger.h"
#include "managementservice/messages/MessageSession.h"
#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "resources/EventMessages.h"

namespace {

// The wrapper's codes for a return value the procedure delivered, as opposed to a failed call.
bool IsReturnValueCode(HRESULT hr)
{
  const auto code = static_cast<std::uint32_t>(hr);
  return hr == SP_S_RETURN_50 || (code & 0xFFFF0000u) == static_cast<std::uint32_t>(SP_E_RETURN_BASE);
}

}  // namespace

HRESULT UpdateComputerConnectedState(const std::string& address, bool connected)
{
  CUpdateComputerConnectedState cmd;
  CopyParameterText(cmd.m_MessageSystemAddress, address);
  cmd.m_ConnectedFlag = connected ? 1 : 0;
  const HRESULT hr = cmd.Execute(MessageSession());
  if (IsReturnValueCode(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateComputerConnectedState return value %d\n", static_cast<long>(cmd.m_RETURN_VALUE));
    return E_FAIL;
  }
  // Any other success (S_FALSE: the wrapper's answer to a refused statement that delivered 0)
  // is no failure of the call.
  if (SUCCEEDED(hr))
    return S_OK;
  trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateComputerConnectedState failed with 0x%p\n", hr);
  g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, FromUtf8(ErrorText(hr)));
  return hr;
}
