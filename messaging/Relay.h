#pragma once
// The relay: the small process beside the messaging server that does what the server alone
// does not. It logs clients on and off (and tells the subscribers), keeps letters for agents
// that are offline and hands them over at logon in order, returns letters that expire or have
// nowhere to go, and answers the letters addressed to ":". Its state lives in the server's
// streams and key-value buckets; what it holds in memory is rebuilt from them at start, so it
// can be killed and restarted, and a second one waits while the first holds the lease.
#include <atomic>
#include <string>

namespace messaging {

struct RelaySettings
{
  std::string directory;              // the messaging directory (url, ca.pem, clients/)
  std::string name = "corvex-relay";  // the originator of its own letters
  long noticeTimeToLive = 1209600;    // seconds, of returned letters and replies
  int maxAckPending = 4096;           // letters a service may hold unconfirmed
  int agentWindow = 256;              // letters an agent may hold unconfirmed
  int redeliverSeconds = 30;          // an agent's unconfirmed letter is handed over again
  int logLevel = 2;                   // 0 errors, 1 warnings, 2 logons and returned letters, 3 every letter
  // Limits on letters for agents, which hold against a hostile but enrolled agent: a longer
  // time to live is cut to maxTimeToLive; letters from an agent past senderRate in one second
  // of acceptance, and letters for a destination that already has maxWaiting, are refused
  // (deleted, counted, logged once per sender). Services and the relay have no rate.
  long maxTimeToLive = 1209600;       // seconds
  int senderRate = 100;               // letters a second, per agent
  int maxWaiting = 10000;             // letters kept for one destination
};

// Runs until `stop` is set; returns the process's exit code (0, or 1 when the server cannot be
// reached at start).
int RunRelay(const RelaySettings& settings, const std::atomic<bool>& stop);

}  // namespace messaging
