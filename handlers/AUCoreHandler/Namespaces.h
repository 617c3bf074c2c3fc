#pragma once
// The namespaces of the update and library documents: one web host, fixed paths per document.
#include <string>

namespace AUCoreHandler {

// The web host of every document namespace; the paths after it are fixed by the documents.
inline constexpr wchar_t SchemaHost[] = L"http://schemas.corvex.example";

inline const std::wstring AUConfigNamespace = std::wstring(SchemaHost) + L"/KT/AUConfig";
inline const std::wstring AUEventNamespace = std::wstring(SchemaHost) + L"/KT/AUEvent";
inline const std::wstring EntityInfoNamespace = std::wstring(SchemaHost) + L"/EntityInfo";
inline const std::wstring TzLibraryStatusNamespace = std::wstring(SchemaHost) + L"/TzLibraryStatus";
// The one library status format known: its identifier is the root's entity attribute.
inline const std::wstring TzLibraryStatusV1Format = std::wstring(SchemaHost) + L"/TzLibraryStatus.xsd";

// Our public update address, written into every platform of the built-in configuration.
inline constexpr wchar_t CorvexUpdateAddress[] = L"http://update.corvex.example/KT/AutoUpdate";

}  // namespace AUCoreHandler
