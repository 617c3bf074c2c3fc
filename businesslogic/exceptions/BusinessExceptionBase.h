#pragma once
// The root of the managed-entity model's own exceptions: a std::runtime_error that keeps its
// message and its type name, and traces its throwing and its end.
#include <stdexcept>
#include <string>

namespace vrn::Exceptions {

class BusinessExceptionBase : public std::runtime_error
{
public:
  // Traces "-------> Throwing exception (<type>) : <message>" at level 2.
  BusinessExceptionBase(const std::wstring& message, const std::wstring& typeName);
  BusinessExceptionBase(const BusinessExceptionBase&) = default;
  BusinessExceptionBase& operator=(const BusinessExceptionBase&) = default;
  // Traces "<------- Caught exception (<type>)" at level 2.
  ~BusinessExceptionBase() override;

  const std::wstring& Message() const noexcept { return m_message; }
  const std::wstring& TypeName() const noexcept { return m_typeName; }

private:
  std::wstring m_message;
  std::wstring m_typeName;
};

}  // namespace vrn::Exceptions
