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

// The file beside the router's socket that holds its full object reference: "<socket>.ior".
std::string RouterIorFile(const std::string& socketPath);

// The reference to use for a location now: for a socket path, the IOR in the file beside the
// socket when there is one (it names the code sets the router takes, which a corbaloc address
// cannot, so wide texts can be sent whatever the ORB was set up with); otherwise, and for
// other locations, RouterReference(location).
std::string CurrentRouterReference(const std::string& location);

}  // namespace messaging
