#include "businesslogic/exceptions/BusinessExceptionBase.h"

#include "businesslogic/TraceComponent.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace vrn::Exceptions {

BusinessExceptionBase::BusinessExceptionBase(const std::wstring& message, const std::wstring& typeName)
  : std::runtime_error(ToUtf8(message)), m_message(message), m_typeName(typeName)
{
  trace::Trace(TRACE_BUSINESSLOGIC, 2, "-------> Throwing exception (%S) : %S", m_typeName, m_message);
}

BusinessExceptionBase::~BusinessExceptionBase()
{
  trace::Trace(TRACE_BUSINESSLOGIC, 2, "<------- Caught exception (%S)", m_typeName);
}

}  // namespace vrn::Exceptions
