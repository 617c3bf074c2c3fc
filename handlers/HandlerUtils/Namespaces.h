#pragma once
// The namespaces of the managed-entity documents: every document has its own URI on one web
// host; the paths are part of the wire format and never change, the host is ours.
#include <string>

namespace HandlerUtils {

inline const std::wstring kSchemaHost = L"http://schemas.corvex.example";

// The entity information that accompanies configurations and events.
inline const std::wstring kEntityInfoNamespace = kSchemaHost + L"/EntityInfo";

// The selection-namespace text binding `prefix` to `uri` for XPath reads.
inline std::wstring SelectionNamespace(const std::wstring& prefix, const std::wstring& uri)
{
  return L"xmlns:" + prefix + L"='" + uri + L"'";
}

}  // namespace HandlerUtils
