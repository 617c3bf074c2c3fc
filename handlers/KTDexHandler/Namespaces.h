#pragma once
// The namespaces of the managed-entity documents. Every document has its own URI on one web
// host; the paths are part of the wire format and never change, the host is ours.
#include <string>

#include "handlers/HandlerUtils/Namespaces.h"

namespace KTDexHandler {

using HandlerUtils::kEntityInfoNamespace;
using HandlerUtils::kSchemaHost;
using HandlerUtils::SelectionNamespace;

inline const std::wstring kStatusNamespace = kSchemaHost + L"/KT/KTDexStatus";
inline const std::wstring kEventNamespace = kSchemaHost + L"/KT/KTDexEvent";
inline const std::wstring kConfigurationNamespace = kSchemaHost + L"/KT/KTDexConfiguration";

}  // namespace KTDexHandler
