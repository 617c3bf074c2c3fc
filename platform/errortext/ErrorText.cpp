#include "platform/errortext/ErrorText.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/text/Unicode.h"

namespace {

struct CodeText
{
  std::uint32_t code;
  const char* text;
};

const CodeText kWin32Texts[] = {
  {0, "The operation completed successfully."},
  {1, "Incorrect function."},
  {2, "The system cannot find the file specified."},
  {3, "The system cannot find the path specified."},
  {5, "Access is denied."},
  {6, "The handle is invalid."},
  {8, "Not enough memory resources are available to process this command."},
  {13, "The data is invalid."},
  {14, "Not enough memory resources are available to complete this operation."},
  {53, "The network path was not found."},
  {64, "The specified network name is no longer available."},
  {67, "The network name cannot be found."},
  {80, "The file exists."},
  {87, "The parameter is incorrect."},
  {122, "The data area passed to a system call is too small."},
  {234, "More data is available."},
  {259, "No more data is available."},
  {1056, "An instance of the service is already running."},
  {1060, "The specified service does not exist as an installed service."},
  {1061, "The service cannot accept control messages at this time."},
  {1062, "The service has not been started."},
  {1063, "The service process could not connect to the service controller."},
  {1067, "The process terminated unexpectedly."},
  {1073, "The specified service already exists."},
  {1326, "The user name or password is incorrect."},
  {1327, "Account restrictions are preventing this user from signing in."},
  {1332, "No mapping between account names and security IDs was done."},
  {1376, "The specified local group does not exist."},
  {1380, "Logon failure: the user has not been granted the requested logon type at this computer."},
  {1385, "Logon failure: the user has not been granted the requested logon type at this computer."},
  {1460, "This operation returned because the timeout period expired."},
  {1717, "The interface is unknown."},
  {1722, "The RPC server is unavailable."},
  {2250, "This network connection does not exist."},
};

const CodeText kHresultTexts[] = {
  {0x00000000u, "The operation completed successfully."},
  {0x00000001u, "The operation completed with a false result."},
  {0x80004001u, "Not implemented"},
  {0x80004002u, "No such interface supported"},
  {0x80004003u, "Invalid pointer"},
  {0x80004004u, "Operation aborted"},
  {0x80004005u, "Unspecified error"},
  {0x8000FFFFu, "Catastrophic failure"},
  {0x80040110u, "Class does not support aggregation (or class object is remote)"},
  {0x80040111u, "ClassFactory cannot supply requested class"},
  {0x80040154u, "Class not registered"},
  {0x80080005u, "Server execution failed"},
  {0x80020005u, "Type mismatch."},
  {0x80020008u, "Bad variable type."},
  {0x8002000Au, "Out of present range."},
  {0x8002000Bu, "Invalid index."},
  {0x8002000Du, "Memory is locked."},
  {0x80029C4Au, "Error loading type library/DLL."},
};

const char* Find(const CodeText* begin, const CodeText* end, std::uint32_t code)
{
  for (const CodeText* p = begin; p != end; ++p)
    if (p->code == code)
      return p->text;
  return nullptr;
}

char* Duplicate(const std::string& s)
{
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p)
    std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

}  // namespace

std::string Win32ErrorText(DWORD code)
{
  const char* t = Find(std::begin(kWin32Texts), std::end(kWin32Texts), code);
  return t ? t : std::string();
}

std::string ErrorText(HRESULT hr)
{
  const auto code = static_cast<std::uint32_t>(hr);
  if (const char* t = Find(std::begin(kHresultTexts), std::end(kHresultTexts), code))
    return t;
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && FAILED(hr)) {
    std::string t = Win32ErrorText(HRESULT_CODE(hr));
    if (!t.empty())
      return t;
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
  return buf;
}

char* FormatMessageFromErrorR(HRESULT hr)
{
  return Duplicate(ErrorText(hr));
}

char* FormatMessageFromErrorInfoExR(HRESULT hr, const wchar_t* description)
{
  if (description && *description)
    return Duplicate(ToUtf8(description));
  return FormatMessageFromErrorR(hr);
}

void* LocalFree(void* p)
{
  std::free(p);
  return nullptr;
}

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }
