#pragma once
// The network search through the service's search object: the domains, starting and stopping a
// search, and its progress as the service's listener callbacks report it, kept here so that any
// number of browsers can follow it (server-sent events).
#include <condition_variable>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "idl/ComputerSearchInterfaces.h"
#include "platform/com/Unknown.h"

namespace corvexweb {

class ConsoleSearch
{
public:
  ConsoleSearch();
  ~ConsoleSearch();

  nlohmann::json Domains();
  // {"domains": [...], "user": text, "password": text}: the password goes only to the service.
  nlohmann::json Start(nlohmann::json& body);
  nlohmann::json Stop();
  // The progress after `seen` (0 for the first call): waits up to `wait` for a change and returns
  // {"seq": n, "running", "known", "found", "finished"}.
  nlohmann::json Progress(unsigned long long seen, std::chrono::milliseconds wait);

  // Ends every wait of Progress at once (the server is stopping); Progress then answers null.
  void Shutdown();

  // Called by the listener.
  void Changed(const char* what, ULONG known, ULONG found);

private:
  CComPtr<IKTComputerSearch> Object();

  std::mutex m_mutex;
  std::condition_variable m_changed;
  unsigned long long m_seq = 0;
  bool m_running = false;
  bool m_shutdown = false;
  ULONG m_known = 0, m_found = 0;
  std::string m_last = "idle";
  CComPtr<IKTComputerSearch> m_search;
  CComPtr<IKTComputerSearchListener> m_listener;
};

}  // namespace corvexweb
