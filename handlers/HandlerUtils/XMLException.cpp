#include "handlers/HandlerUtils/XMLException.h"

#include "handlers/HandlerUtils/TraceComponent.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace HandlerUtils {

XMLException::XMLException(const XMLDocument& document, const std::string& text)
  : std::runtime_error(text), parseError(ToUtf8(document.GetError().reason)), m_document(document)
{
  trace::Trace(TRACE_HANDLERUTILS, 0, "%s %s", text, parseError);
}

XMLException::XMLException(const XMLDocument& document, const std::wstring& text) : XMLException(document, ToUtf8(text)) {}

}  // namespace HandlerUtils
