#pragma once
// One SSH session to a target computer: the connection, checked against the service's own
// known-hosts file; the password logon of the console's account; and the execs of the task
// scripts. Failures come back as the Win32 values (in HRESULT form) of the logon and scheduler
// calls they stand in for; the table is in README.md.
#include <string>

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

private:
  Settings m_settings;
  std::string m_host;
  ssh_session_struct* m_session = nullptr;
  bool m_authenticated = false;
};

// The computer's host name as the transport uses it: leading backslashes removed.
std::string HostOf(const std::wstring& computer);

}  // namespace remotetask
