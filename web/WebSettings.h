#pragma once
// The web console's settings: registry values under
// HKLM\Software\Corvex\KT\Management Tools\Web Console, and the console administrators group of
// the service's own key, so that the web console admits exactly who may use the console socket.
#include <string>

namespace corvexweb {

inline const wchar_t* const kWebConsoleKey = L"Software\\Corvex\\KT\\Management Tools\\Web Console";
inline const wchar_t* const kServiceKey = L"Software\\Corvex\\KT\\Management Tools\\Management Service";

struct WebSettings
{
  std::string listenAddress = "0.0.0.0";
  int port = 8443;
  std::string certificateFile = "/etc/corvex/web-certificate.pem";
  std::string keyFile = "/etc/corvex/web-key.pem";
  std::string administratorsGroup = "corvex-console-admins";
  std::string pamService = "corvex-web";
  int sessionIdleMinutes = 15;

  // Missing values keep their defaults; a value of the wrong type or out of range throws
  // std::runtime_error naming it.
  static WebSettings FromRegistry();
};

}  // namespace corvexweb
