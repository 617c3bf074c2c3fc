#pragma once
// The console's account for remote work: "domain\user" or "user" (domain "." then, the local
// account database) with its password. The account is logged on where it is used, at the
// target's SSH server, so this object holds the credentials for that logon and wipes the
// password when it goes.
#include <string>

namespace remotetask {
class SshConnection;
}

class ScopedImpersonate
{
public:
  ScopedImpersonate(const std::wstring& user, const std::wstring& password);
  ~ScopedImpersonate();
  ScopedImpersonate(const ScopedImpersonate&) = delete;
  ScopedImpersonate& operator=(const ScopedImpersonate&) = delete;

  const std::wstring& UserName() const { return m_userName; }
  const std::wstring& Domain() const { return m_domain; }

  // Logs the account on over the connection; CProtectComputerException at step LogonUser with
  // the Win32 value when the target refuses it.
  void LogonAt(remotetask::SshConnection& connection) const;

  // The user name part of "domain\user" (the whole text without a backslash).
  static std::wstring UserPart(const std::wstring& user);

private:
  std::wstring m_userName;
  std::wstring m_domain;
  std::wstring m_password;
};
