#pragma once
// An answer the API gives instead of data: the HTTP status that fits, a short machine-readable
// code and the text shown to the administrator.
#include <stdexcept>
#include <string>

namespace corvexweb {

class ApiError : public std::runtime_error
{
public:
  ApiError(int status, std::string code, const std::string& message)
    : std::runtime_error(message), m_status(status), m_code(std::move(code))
  {
  }
  int Status() const { return m_status; }
  const std::string& Code() const { return m_code; }

private:
  int m_status;
  std::string m_code;
};

}  // namespace corvexweb
