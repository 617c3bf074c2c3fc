#include "managementservice/letters/MsgTimeout.h"

#include "managementservice/TraceComponent.h"
#include "managementservice/host/ServiceModule.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"

int GetMsgTimeout()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "int __cdecl GetMsgTimeout(void)");
  int timeout = kDefaultMsgTimeoutSecs;
  CRegKey key;
  DWORD value = 0;
  if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), KEY_READ) == ERROR_SUCCESS &&
      key.QueryDWORDValue(L"MessageTimeoutSecs", value) == ERROR_SUCCESS)
    timeout = static_cast<int>(value);
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "GetMsgTimeout() returning %d", timeout);
  return timeout;
}
