#pragma once
// A failure reading or loading a document. Carries a copy of the document and its parse error.
#include <stdexcept>
#include <string>

#include "handlers/HandlerUtils/XMLDocument.h"

namespace HandlerUtils {

class XMLException : public std::runtime_error
{
public:
  XMLException(const XMLDocument& document, const std::string& text);
  XMLException(const XMLDocument& document, const std::wstring& text);

  const XMLDocument& GetDocument() const noexcept { return m_document; }

  // The document's parse-error reason when the exception was made (UTF-8).
  std::string parseError;

private:
  XMLDocument m_document;
};

}  // namespace HandlerUtils
