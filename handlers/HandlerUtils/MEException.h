#pragma once
// The exception family of the managed-entity documents. what() is the message.
#include <stdexcept>
#include <string>

namespace CorvexManagedEntity {

class MEException : public std::runtime_error
{
public:
  explicit MEException(const std::string& text);
  explicit MEException(const std::wstring& text);
};

// A document that is not well-formed: "MalformedXML: " + text.
class MEMalformedException : public MEException
{
public:
  explicit MEMalformedException(const std::string& text);
  explicit MEMalformedException(const std::wstring& text);
};

// A well-formed document whose content is wrong: "InvalidXML: " + text.
class MEInvalidException : public MEException
{
public:
  explicit MEInvalidException(const std::string& text);
  explicit MEInvalidException(const std::wstring& text);
};

class MECreateDOMFailed : public MEException
{
public:
  MECreateDOMFailed();  // "Failed to create DOM object"
  explicit MECreateDOMFailed(const std::string& text);
};

class MEUnknownPlatform : public MEException
{
public:
  explicit MEUnknownPlatform(const std::string& text);
  explicit MEUnknownPlatform(const std::wstring& text);
};

class MEUnknownEntityException : public MEException
{
public:
  MEUnknownEntityException(const std::string& text, const std::string& entity);
  MEUnknownEntityException(const std::wstring& text, const std::wstring& entity);
  virtual const std::string& GetEntity() const noexcept { return m_entity; }

private:
  std::string m_entity;
};

}  // namespace CorvexManagedEntity
