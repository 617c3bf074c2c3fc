#pragma once
// The namespaces of the update and library documents: one web host, fixed paths per document.
#include <string>

#include "handlers/HandlerUtils/Namespaces.h"

namespace AUCoreHandler {

inline const std::wstring AUConfigNamespace = HandlerUtils::kSchemaHost + L"/KT/AUConfig";
inline const std::wstring AUEventNamespace = HandlerUtils::kSchemaHost + L"/KT/AUEvent";
inline const std::wstring& EntityInfoNamespace = HandlerUtils::kEntityInfoNamespace;
inline const std::wstring TzLibraryStatusNamespace = HandlerUtils::kSchemaHost + L"/TzLibraryStatus";
// The one library status format known: its identifier is the root's entity attribute.
inline const std::wstring TzLibraryStatusV1Format = HandlerUtils::kSchemaHost + L"/TzLibraryStatus.xsd";

// Our public update address, written into every platform of the built-in configuration.
inline constexpr wchar_t CorvexUpdateAddress[] = L"http://update.corvex.example/KT/AutoUpdate";

}  // namespace AUCoreHandler
