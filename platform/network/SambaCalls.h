#pragma once
// The calls into Samba's client libraries themselves, for Network.cpp and for corvex-netquery.
// libnetapi keeps one context per process (its sessions to every server it reached included),
// and libsmbclient's name and connection caches are process-wide too: a server query runs in a
// corvex-netquery process of its own, so queries run side by side and never share a session.
// Browsing stays in the calling process.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

namespace network::samba_calls {

// Credentials that are wiped when they go.
struct Credentials
{
  std::string user;
  std::string password;
  Credentials() = default;
  Credentials(std::string u, std::string p) : user(std::move(u)), password(std::move(p)) {}
  Credentials(const Credentials&) = default;
  Credentials& operator=(const Credentials&) = default;
  ~Credentials();
};

struct Settings
{
  std::string browseProtocol = "NT1";
  int timeoutMs = 10000;
  std::string clientConfiguration;
};

// The registry's values, read for each operation so that a change applies without a restart.
Settings ReadSettings();

struct BrowseEntry
{
  std::string name;
  std::string comment;
};

// The workgroups below smb:// (parent empty) or the servers of one workgroup. False with the
// errno of the failure (0 when Samba gave none).
bool Browse(const Settings& settings, const std::string& parent, std::vector<BrowseEntry>& entries, int& error);

// A session on the server's IPC$ share with the credentials (its share list is the cheapest
// call that needs one). False with the errno of the failure (0 when Samba gave none).
bool Connect(const Settings& settings, const std::string& server, const Credentials& creds, int& error);

struct ServerInfo
{
  DWORD platformId = 0;
  std::string name;
  DWORD versionMajor = 0;
  DWORD versionMinor = 0;
  DWORD type = 0;
  bool hasComment = false;
  std::string comment;
};

// libnetapi's NetServerGetInfo level 101 with the credentials; its status (0 on success). Only
// for a process of its own: libnetapi's context is process-wide.
DWORD ServerInfo101(const std::string& server, const Credentials& creds, ServerInfo& info);

}  // namespace network::samba_calls
