#include "managementservice/install/KTComputerInstall.h"

#include <new>
#include <typeinfo>

#include "managementservice/TraceComponent.h"
#include "managementservice/install/InstallTaskQueue.h"
#include "platform/com/Memory.h"
#include "platform/trace/Trace.h"
#include "security/Wipe.h"

namespace {

// A wide string whose every character up to its terminator can be read; null fails.
bool IsReadableWideString(const wchar_t* s)
{
  if (!s)
    return false;
  for (const wchar_t* p = s;; ++p) {
    if (IsBadReadPtr(p, sizeof(wchar_t)))
      return false;
    if (*p == L'\0')
      return true;
  }
}

}  // namespace

CKTComputerInstallImpl::CKTComputerInstallImpl() : m_queue(&InstallTaskQueue::Instance()) {}

HRESULT CKTComputerInstallImpl::QueryInterface(const IID& iid, void** out)
{
  return QueryInterfaceOf(static_cast<IKTComputerInstall*>(this), iid, out);
}

HRESULT CKTComputerInstallImpl::Install(ULONG num, LONG* computerIDs, BSTR username, BSTR password)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CKTComputerInstallImpl::Install(%lu,0x%08X,0x%08X,0x%08X)", num,
                              static_cast<const void*>(computerIDs), static_cast<const void*>(username),
                              static_cast<const void*>(password));
  if (num != 0 && (!computerIDs || IsBadReadPtr(computerIDs, static_cast<std::size_t>(num) * sizeof(LONG)))) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Invalid computer list pointer");
    return E_INVALIDARG;
  }
  if (!IsReadableWideString(username)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Invalid username.");
    return E_INVALIDARG;
  }
  if (!IsReadableWideString(password)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Invalid password.");
    return E_INVALIDARG;
  }
  if (*password != L'\0' && *username == L'\0') {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Blank username requires blank password.");
    return E_INVALIDARG;
  }
  try {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, L"Username: %s", username);
    const std::wstring user(username);
    std::wstring secret(password);
    try {
      m_queue->AddComputers(num, computerIDs, user, secret);
    } catch (...) {
      LanternSecurity::Wipe(secret);
      throw;
    }
    LanternSecurity::Wipe(secret);
    return S_OK;
  } catch (const std::bad_alloc&) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CKTComputerInstallImpl::Install Caught std::bad_alloc");
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CKTComputerInstallImpl::Install Caught %hs: %hs", typeid(e).name(), e.what());
    return E_FAIL;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CKTComputerInstallImpl::Install Caught unknown exception");
    return E_UNEXPECTED;
  }
}

HRESULT CKTComputerInstallImpl::Stop()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CKTComputerInstallImpl::Stop()");
  try {
    m_queue->RemoveAll();
    return S_OK;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CKTComputerInstallImpl::Stop Caught %hs: %hs", typeid(e).name(), e.what());
    return E_FAIL;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CKTComputerInstallImpl::Stop Caught unknown exception");
    return E_UNEXPECTED;
  }
}
