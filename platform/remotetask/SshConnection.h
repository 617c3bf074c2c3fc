#pragma once
// One SSH session to a target computer: the connection, checked against the service's own
// known-hosts file; the password logon of the console's account; and the execs of the task
// scripts. Failures come back as the Win32 values (in HRESULT form) of the logon and scheduler
// calls they stand in for; the table is in README.md.
#include <istream>
#include <string>
#include <vector>

#include "platform/remotetask/RemoteTask.h"

struct ssh_session_struct;

namespace remotetask {

class SshConnection : public IExecutor
{
public:
  explicit SshConnection(Settings settings);
  ~SshConnection() override;
  SshConnection(const SshConnection&) = delete;
  SshConnection& operator=(const SshConnection&) = delete;

  // The computer's name, with or without leading backslashes. ERROR_BAD_NETPATH when the name
  // does not resolve or nothing listens; RPC_S_SERVER_UNAVAILABLE on a time-out or a peer that
  // does not speak SSH; E_ACCESSDENIED for a host key that changed, is of another type than the
  // recorded one, or is unknown while new keys are not accepted.
  HRESULT Connect(const std::wstring& computer);
  // Password logon, then one probe exec that the account can run the task shell.
  // ERROR_LOGON_FAILURE when refused; ERROR_ACCOUNT_RESTRICTION when the account is expired,
  // must change its password or has no usable shell; ERROR_LOGON_TYPE_NOT_GRANTED when the
  // server offers no password logon. The password's copy is wiped before this returns.
  HRESULT Logon(const std::wstring& user, const std::wstring& password);
  HRESULT Exec(const std::string& script, ExecResult& result) override;

  // Whether the computer's SSH port takes connections: S_OK with listening true or false;
  // a failure when that cannot be told (time-out, unresolvable name).
  static HRESULT ProbePort(const std::wstring& computer, const Settings& settings, bool& listening);

  // The key type and SHA256 fingerprint of the key the computer presented ("" before).
  const std::string& HostKeyFingerprint() const { return m_fingerprint; }

private:
  friend HRESULT TrustHostKey(const std::wstring&, const Settings&, const std::string&, std::string&, bool&);
  // TCP connection and key exchange, without any judgement of the host key.
  HRESULT Handshake(const std::wstring& computer);

  Settings m_settings;
  std::string m_host;
  std::string m_fingerprint;
  ssh_session_struct* m_session = nullptr;
  bool m_authenticated = false;
};

// Records the key the computer presents in the known-hosts file, deliberately: when
// `expectedFingerprint` is given it must be the presented key's ("SHA256:..." with or without
// the key type), else HOST_KEY_NOT_TRUSTED. A host whose recorded key differs is never
// changed here (E_ACCESSDENIED): the old entry must be removed by hand. `fingerprint` is the
// presented key's; `recorded` false when the key was already the recorded one.
HRESULT TrustHostKey(const std::wstring& computer, const Settings& settings, const std::string& expectedFingerprint,
                     std::string& fingerprint, bool& recorded);
// Whether a fingerprint an administrator gives names the presented one.
bool SameFingerprint(const std::string& given, const std::string& presented);

// Takes the entries of an existing known-hosts file into the service's own. Taken: plain host
// names and [host]:port with a valid public key. Refused, each with its line and reason: markers,
// wildcards, hashed names (they cannot be compared with what is recorded) and hosts whose
// recorded key is another one.
struct KnownHostsImport
{
  std::size_t imported = 0;
  std::size_t alreadyRecorded = 0;
  std::vector<std::string> refused;
  bool failed = false;  // the file could not be written: nothing was taken
};
KnownHostsImport ImportKnownHosts(std::istream& in, const Settings& settings);

// The computer's host name as the transport uses it: leading backslashes removed.
std::string HostOf(const std::wstring& computer);

}  // namespace remotetask
