#pragma once
// The messaging system's shared vocabulary: addresses, file names, prefixes, message and entity
// names. Message types are composed as prefix "-" name, or prefix "-" name "-" suffix
// (ComposeType below), e.g. "Tz-GetStatus-Reply".
#include <string>
#include <string_view>

namespace MessagingConstants {

// A message addressed to the local router goes to the router the client is connected to.
inline constexpr char LOCAL_ROUTER[] = ":";
inline constexpr char ADDRESS_SEPARATOR[] = ".";
inline constexpr char ROUTER_PATH_SEPARATOR[] = ":.:";

// The router's files, relative to its data directory.
inline constexpr char ROUTER_TABLE_FILE[] = "table_router.txt";
inline constexpr char ENVELOPES_FOLDER[] = "Envelopes/";
inline constexpr char LOGS_FOLDER[] = "Logs/";
inline constexpr char LOGICAL_TABLE[] = "LogicalTable";

// Entities.
inline constexpr char ENTITY_AGENT[] = "Agent";
inline constexpr char ENTITY_TZLIB[] = "TzLib";

// Management message names.
inline constexpr char MSG_APPLICATION_ERROR[] = "ApplicationError";
inline constexpr char MSG_VIRUS_DETECTED[] = "VirusDetected";
inline constexpr char MSG_APPLY_CENTRAL_CONFIG[] = "ApplyCentralConfig";
inline constexpr char MSG_SET_CONFIGURATION[] = "SetConfiguration";
inline constexpr char MSG_ENTITY_EVENT[] = "EntityEvent";
inline constexpr char MSG_DO_ACTION[] = "DoAction";

// Operating-system names as agents report them.
inline constexpr char OS_WIN95[] = "WIN95";
inline constexpr char OS_WIN98[] = "WIN98";
inline constexpr char OS_WINME[] = "WINME";
inline constexpr char OS_WINNT4[] = "WINNT4";
inline constexpr char OS_WINNT4SERVER[] = "WINNT4SERVER";
inline constexpr char OS_WIN2000[] = "WIN2000";
inline constexpr char OS_WIN2000SERVER[] = "WIN2000SERVER";
inline constexpr char OS_WINXP[] = "WINXP";
inline constexpr char OS_WIN2003[] = "WIN2003";
inline constexpr char OS_MACOSX[] = "MACOSX";

// Names of status values.
inline constexpr char STATUS_DEX_VERSION[] = "Dex Version";
inline constexpr char STATUS_VDL_VERSION[] = "VDL Version";
inline constexpr char STATUS_FILES_IN_QUARANTINE[] = "Files In Quarantine";

// Prefixes and the separator.
inline constexpr char PREFIX_MS[] = "MS";
inline constexpr char PREFIX_TZ[] = "Tz";
inline constexpr char PREFIX_CERTIFICATION[] = "Certification";
inline constexpr char TYPE_SEPARATOR[] = "-";

// Certification messages.
inline constexpr char CERT_REQUEST[] = "Certification.CertRequest";
inline constexpr char CERT_RESPONSE[] = "Certification.CertResponse";
inline constexpr char CERT_UNIQUE_TOKEN_REQUEST[] = "Certification.UniqueTokenRequest";
inline constexpr char CERT_UNIQUE_TOKEN_RESPONSE[] = "Certification.UniqueTokenResponse";

// The messaging system's own message names.
inline constexpr char MSG_DELIVERY_FAILED[] = "DeliveryFailed";
inline constexpr char MSG_UNKNOWN_MESSAGE_TYPE[] = "UnknownMessageType";
inline constexpr char MSG_ROUTER_SHUTDOWN_LOGOFF_FORCED[] = "RouterShutdown-LogoffForced";
inline constexpr char MSG_BAD_MESSAGE_FORMAT[] = "BadMessageFormat";
inline constexpr char MSG_GET_LOGICAL_ROUTERS[] = "GetLogicalRouters";
inline constexpr char MSG_GET_CONNECTED_ROUTERS[] = "GetConnectedRouters";
inline constexpr char MSG_LOGICAL_ROUTER_LIST[] = "LogicalRouterList";
inline constexpr char MSG_CONNECTED_ROUTER_LIST[] = "ConnectedRouterList";
inline constexpr char MSG_REGENERATE_LOGICAL_TABLE[] = "RegenerateLogicalTable";
inline constexpr char MSG_ROUTER_REGISTERED[] = "RouterRegistered";
inline constexpr char MSG_ROUTER_UNREGISTERED[] = "RouterUnregistered";
inline constexpr char MSG_LIST_CLIENTS[] = "ListClients";
inline constexpr char MSG_STOP[] = "Stop";
inline constexpr char MSG_RESTART[] = "Restart";
inline constexpr char MSG_GET_STATUS[] = "GetStatus";
inline constexpr char MSG_GET_CONFIGURATION[] = "GetConfiguration";
inline constexpr char MSG_SET_ROUTER_CONFIGURATION[] = "SetConfiguration";
inline constexpr char MSG_UNREGISTER[] = "Unregister";
inline constexpr char MSG_GET_CLIENT_STATUS[] = "GetClientStatus";
inline constexpr char MSG_HEARTBEAT[] = "Heartbeat";
inline constexpr char MSG_NO_OP[] = "NoOp";
inline constexpr char MSG_NOTIFY_ROUTER_UPDATES[] = "NotifyRouterUpdates";
inline constexpr char MSG_NOTIFY_CLIENT_UPDATES[] = "NotifyClientUpdates";
inline constexpr char MSG_CLIENT_UNREGISTERED[] = "ClientUnregistered";
inline constexpr char MSG_CLIENT_REGISTERED[] = "ClientRegistered";
inline constexpr char MSG_CLIENT_LOGON[] = "ClientLogon";
inline constexpr char MSG_CLIENT_LOGOFF[] = "ClientLogoff";
inline constexpr char MSG_ROUTER_LOGON[] = "RouterLogon";
inline constexpr char MSG_ROUTER_LOGOFF[] = "RouterLogoff";

// Suffixes.
inline constexpr char SUFFIX_REPLY[] = "Reply";
inline constexpr char SUFFIX_TIMEOUT[] = "Timeout";
inline constexpr char SUFFIX_UNROUTEABLE[] = "Unrouteable";
inline constexpr char SUFFIX_UNREGISTERED[] = "Unregistered";

// prefix "-" name, or prefix "-" name "-" suffix when a suffix is given.
inline std::string ComposeType(std::string_view prefix, std::string_view name, std::string_view suffix = {})
{
  std::string type;
  type.reserve(prefix.size() + name.size() + suffix.size() + 2);
  type.append(prefix).append(TYPE_SEPARATOR).append(name);
  if (!suffix.empty())
    type.append(TYPE_SEPARATOR).append(suffix);
  return type;
}

}  // namespace MessagingConstants
