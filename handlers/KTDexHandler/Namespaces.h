#pragma once
// The namespaces of the managed-entity documents. Every document has its own URI on one web
// host; the paths are part of the wire format and never change, the host is ours.
#include <string>

namespace KTDexHandler {

inline const std::wstring kSchemaHost = L"http://schemas.corvex.example";

inline const std::wstring kStatusNamespace = kSchemaHost + L"/KT/KTDexStatus";
inline const std::wstring kEventNamespace = kSchemaHost + L"/KT/KTDexEvent";
inline const std::wstring kConfigurationNamespace = kSchemaHost + L"/KT/KTDexConfiguration";
// The entity information that may accompany an event.
inline const std::wstring kEntityInfoNamespace = kSchemaHost + L"/EntityInfo";

// The selection-namespace text binding `prefix` to `uri` for XPath reads.
inline std::wstring SelectionNamespace(const std::wstring& prefix, const std::wstring& uri)
{
  return L"xmlns:" + prefix + L"='" + uri + L"'";
}

}  // namespace KTDexHandler
