#pragma once
// What the strategies make of an event's user and entity name for an alert.
#include <string>

namespace priv {

// "domain\userId", or the userId alone when the event names no domain.
inline std::wstring AlertUserName(const std::wstring& domain, const std::wstring& userId)
{
  return domain.empty() ? userId : domain + L"\\" + userId;
}

// The alert's source: the entity name, each character widened as it is.
inline std::wstring AlertSource(const std::string& entityName)
{
  std::wstring source;
  for (char c : entityName)
    source.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return source;
}

}  // namespace priv
