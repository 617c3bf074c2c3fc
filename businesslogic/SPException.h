#pragma once
// A stored procedure's non-zero return value, with the name of its error code as message.
#include <stdexcept>

#include "platform/com/WinTypes.h"

class CSPException : public std::runtime_error
{
public:
  explicit CSPException(LONG returnValue);
  LONG ReturnValue() const noexcept { return m_value; }

  // The error-code name of a return value; "Unknown" for a value without one.
  static const char* CodeName(LONG returnValue);
  // The return-value check after every execution: 0 passes, anything else throws.
  static void Check(LONG returnValue);

private:
  LONG m_value;
};
