#pragma once
// The failure of one step of a remote operation, with the step and the error value it gave (a
// Win32 code or an HRESULT), so that the installer can tell its causes apart.
#include <exception>
#include <string>

#include "platform/com/WinTypes.h"

enum class ProtectStep : int
{
  LogonUser = 0,
  ImpersonateUser = 1,
  SetTargetComputer = 2,
  TaskSave = 3,
  NewWorkItem = 4,
};

class CProtectComputerException : public std::exception
{
public:
  // The message: Call to <step name> failed: "<the system's text for the value>".
  CProtectComputerException(ProtectStep step, LONG error);
  const char* what() const noexcept override { return m_message.c_str(); }
  ProtectStep Step() const noexcept { return m_step; }
  LONG Error() const noexcept { return m_error; }

  static const char* StepName(ProtectStep step);

private:
  std::string m_message;
  ProtectStep m_step;
  LONG m_error;
};
