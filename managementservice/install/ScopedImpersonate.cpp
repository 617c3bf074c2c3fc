#include "managementservice/install/ScopedImpersonate.h"

#include "managementservice/TraceComponent.h"
#include "managementservice/install/ProtectComputerException.h"
#include "platform/remotetask/SshConnection.h"
#include "platform/trace/Trace.h"
#include "security/Wipe.h"

std::wstring ScopedImpersonate::UserPart(const std::wstring& user)
{
  const auto slash = user.find(L'\\');
  return slash == std::wstring::npos ? user : user.substr(slash + 1);
}

ScopedImpersonate::ScopedImpersonate(const std::wstring& user, const std::wstring& password) : m_password(password)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "ScopedImpersonate::ScopedImpersonate()");
  const auto slash = user.find(L'\\');
  m_domain = slash == std::wstring::npos ? std::wstring(L".") : user.substr(0, slash);
  m_userName = UserPart(user);
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, L"Impersonating user \"%s\" on domain \"%s\"", m_userName, m_domain);
}

ScopedImpersonate::~ScopedImpersonate()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "ScopedImpersonate::~ScopedImpersonate()");
  LanternSecurity::Wipe(m_password);
}

void ScopedImpersonate::LogonAt(remotetask::SshConnection& connection) const
{
  const HRESULT hr = connection.Logon(m_userName, m_password);
  if (FAILED(hr)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "LogonUser failed");
    throw CProtectComputerException(ProtectStep::LogonUser, static_cast<LONG>(HRESULT_CODE(hr)));
  }
}
