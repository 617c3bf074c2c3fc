#include "handlers/HandlerUtils/MEException.h"

#include "platform/text/Unicode.h"

namespace CorvexManagedEntity {

MEException::MEException(const std::string& text) : std::runtime_error(text) {}
MEException::MEException(const std::wstring& text) : MEException(ToUtf8(text)) {}

MEMalformedException::MEMalformedException(const std::string& text) : MEException("MalformedXML: " + text) {}
MEMalformedException::MEMalformedException(const std::wstring& text) : MEMalformedException(ToUtf8(text)) {}

MEInvalidException::MEInvalidException(const std::string& text) : MEException("InvalidXML: " + text) {}
MEInvalidException::MEInvalidException(const std::wstring& text) : MEInvalidException(ToUtf8(text)) {}

MECreateDOMFailed::MECreateDOMFailed() : MEException(std::string("Failed to create DOM object")) {}
MECreateDOMFailed::MECreateDOMFailed(const std::string& text) : MEException(text) {}

MEUnknownPlatform::MEUnknownPlatform(const std::string& text) : MEException(text) {}
MEUnknownPlatform::MEUnknownPlatform(const std::wstring& text) : MEException(text) {}

MEUnknownEntityException::MEUnknownEntityException(const std::string& text, const std::string& entity)
  : MEException(text), m_entity(entity)
{
}
MEUnknownEntityException::MEUnknownEntityException(const std::wstring& text, const std::wstring& entity)
  : MEUnknownEntityException(ToUtf8(text), ToUtf8(entity))
{
}

}  // namespace CorvexManagedEntity
