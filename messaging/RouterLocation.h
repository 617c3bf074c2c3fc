#pragma once
// Where clients find the router: it serves one object under a fixed key on each of its
// endpoints, so a location text is enough to reach it.
#include <string>

namespace messaging {

inline constexpr char ROUTER_OBJECT_KEY[] = "CorvexRouter";
inline constexpr char DEFAULT_ROUTER_SOCKET[] = "/run/corvex/router.sock";

// The object reference text for a router location:
//   "/run/corvex/router.sock" -> "corbaloc:omniunix:/run/corvex/router.sock:/CorvexRouter"
//   "host:2809"               -> "corbaloc:iiop:host:2809/CorvexRouter"
//   "corbaloc:..." or "IOR:..." is taken as it is.
// std::invalid_argument for an empty text, a relative path or a missing or bad port.
std::string RouterReference(const std::string& location);

}  // namespace messaging
