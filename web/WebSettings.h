#pragma once
// The web console's settings: registry values under
// HKLM\Software\Corvex\KT\Management Tools\Web Console, and the console administrators group of
// the service's own key, so that the web console admits exactly who may use the console socket.
#include <string>

namespace corvexweb {

inline const wchar_t* const kWebConsoleKey = L"Software\\Corvex\\KT\\Management Tools\\Web Console";
inline const wchar_t* const kServiceKey = L"Software\\Corvex\\KT\\Management Tools\\Management Service";

// An outbreak is a virus reported by `computers` computers or more within `minutes` minutes;
// the console looks every `checkSeconds` while no page asks.
struct OutbreakRule
{
  int computers = 10;
  int minutes = 60;
  int checkSeconds = 60;
};

struct WebSettings
{
  std::string listenAddress = "0.0.0.0";
  int port = 8443;
  std::string certificateFile = "/etc/corvex/web-certificate.pem";
  std::string keyFile = "/etc/corvex/web-key.pem";
  std::string administratorsGroup = "corvex-console-admins";
  // Members may log in and read everything but change nothing; administrators group
  // membership wins for an account in both.
  std::string viewersGroup = "corvex-console-viewers";
  std::string pamService = "corvex-web";
  int sessionIdleMinutes = 15;
  // The door's limits: threads that answer requests, connections per client address and in
  // all, the time a client has to send a whole request, and the keep-alive wait.
  int workers = 8;
  int connectionsPerAddress = 16;
  int connections = 512;
  int requestDeadlineSeconds = 10;
  int keepAliveSeconds = 30;
  // Log-in attempts per account from one address and from all addresses (then one per address)
  // in a lockout period.
  int loginAttempts = 5;
  int loginAccountAttempts = 20;
  int loginLockoutSeconds = 300;
  // OutbreakComputers (2-100000), OutbreakMinutes (1-10080), OutbreakCheckSeconds (5-3600).
  OutbreakRule outbreak;

  // Missing values keep their defaults; a value of the wrong type or out of range throws
  // std::runtime_error naming it.
  static WebSettings FromRegistry();
};

}  // namespace corvexweb
