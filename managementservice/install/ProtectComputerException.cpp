#include "managementservice/install/ProtectComputerException.h"

#include "platform/errortext/ErrorText.h"

namespace {
// The system's text for a Win32 code or HRESULT, at most 255 characters, on one line; empty
// when there is none.
std::string SystemText(LONG error)
{
  std::string text;
  if (error > 0)
    text = Win32ErrorText(static_cast<DWORD>(error));
  else if (error < 0) {
    text = ErrorText(static_cast<HRESULT>(error));
    if (text.rfind("Unknown error", 0) == 0)
      text.clear();
  }
  for (auto& c : text)
    if (c == '\r' || c == '\n')
      c = ' ';
  if (text.size() > 255)
    text.resize(255);
  return text;
}
}  // namespace

const char* CProtectComputerException::StepName(ProtectStep step)
{
  switch (step) {
    case ProtectStep::LogonUser: return "LogonUser";
    case ProtectStep::ImpersonateUser: return "ImpersonateUser";
    case ProtectStep::SetTargetComputer: return "SetTargetComputer";
    case ProtectStep::TaskSave: return "TaskSave";
    case ProtectStep::NewWorkItem: return "NewWorkItem";
  }
  return "?";
}

CProtectComputerException::CProtectComputerException(ProtectStep step, LONG error)
    : m_message(std::string("Call to ") + StepName(step) + " failed: \"" + SystemText(error) + "\""), m_step(step),
      m_error(error)
{
}
