#pragma once
// The session channel's commands: one class per procedure with its call text and its
// parameters bound by position (the return value RETURN_VALUE with its binding status first),
// run through the retry-and-recover wrapper, which reopens the session once when a call fails
// and turns the return value into an HRESULT.
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string_view>
#include <vector>

#include "businesslogic/PTLSession.h"
#include "businesslogic/TraceComponent.h"
#include "platform/ado/AdoTypes.h"
#include "platform/ado/OleDb.h"
#include "metrics/ServiceMetrics.h"
#include "platform/trace/Trace.h"

using oledb::DBSTATUS;

// The HRESULTs the wrapper makes of a return value: 50 is a success code, any other non-zero
// value a failure code carrying it.
constexpr HRESULT SP_S_RETURN_50 = 0x006B0032;
constexpr HRESULT SP_E_RETURN_BASE = MakeHr(0x806B0000);
// 20 (ErrorInUse) from a procedure that records a message: the name it carries belongs to a
// computer that another address manages, so the message was refused and nothing stored.
constexpr LONG SP_RETURN_CLAIM_REFUSED = 20;
constexpr HRESULT SP_E_CLAIM_REFUSED = MakeHr(0x806B0000 | SP_RETURN_CLAIM_REFUSED);

// Binding helpers for the accessors.
namespace sessionbind {
inline oledb::ParamBinding In(LONG& v, DBSTATUS* st = nullptr) { return {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_I4, &v, sizeof v, st}; }
inline oledb::ParamBinding In(SHORT& v, DBSTATUS* st = nullptr) { return {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_I2, &v, sizeof v, st}; }
inline oledb::ParamBinding In(LONGLONG& v, DBSTATUS* st = nullptr) { return {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_I8, &v, sizeof v, st}; }
inline oledb::ParamBinding In(oledb::DBTIMESTAMP& v, DBSTATUS* st = nullptr)
{
  return {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_DBTIMESTAMP, &v, sizeof v, st};
}
template <std::size_t N>
oledb::ParamBinding In(char (&v)[N], DBSTATUS* st = nullptr) { return {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_STR, v, N, st}; }
template <std::size_t N>
oledb::ParamBinding In(wchar_t (&v)[N], DBSTATUS* st = nullptr)
{
  return {oledb::DBPARAMIO_INPUT, oledb::DBTYPE_WSTR, v, N * sizeof(wchar_t), st};
}
inline oledb::ParamBinding Out(LONG& v, DBSTATUS* st = nullptr) { return {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &v, sizeof v, st}; }
template <std::size_t N>
oledb::ParamBinding Out(char (&v)[N], DBSTATUS* st = nullptr) { return {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_STR, v, N, st}; }
}  // namespace sessionbind

// Copies text into a fixed parameter buffer, cut to the buffer's capacity.
template <std::size_t N>
void CopyParameterText(wchar_t (&dest)[N], std::wstring_view text)
{
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::wmemcpy(dest, text.data(), n);
  dest[n] = L'\0';
}
template <std::size_t N>
void CopyParameterText(char (&dest)[N], std::string_view text)
{
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  text.copy(dest, n);
  dest[n] = '\0';
}

// The return value and its status, first in every accessor.
struct CReturnValueAccessor
{
  LONG m_RETURN_VALUE = 0;
  DBSTATUS m_RETURN_VALUE_status = oledb::DBSTATUS_S_OK;
  oledb::ParamBinding ReturnBinding()
  {
    return {oledb::DBPARAMIO_OUTPUT, oledb::DBTYPE_I4, &m_RETURN_VALUE, sizeof m_RETURN_VALUE, &m_RETURN_VALUE_status};
  }
};

struct CGetMessageSystemAddressAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.GetMessageSystemAddress(?,?) }";
  LONG m_ComputerID = 0;
  char m_MessageSystemAddress[256] = {};
  DBSTATUS m_MessageSystemAddress_status = oledb::DBSTATUS_S_OK;
  std::vector<oledb::ParamBinding> Bindings()
  {
    return {ReturnBinding(), sessionbind::In(m_ComputerID), sessionbind::Out(m_MessageSystemAddress, &m_MessageSystemAddress_status)};
  }
};

struct CUpdateComputerConnectedStateAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.UpdateComputerConnectedState(?,?) }";
  char m_MessageSystemAddress[256] = {};
  SHORT m_ConnectedFlag = 0;
  std::vector<oledb::ParamBinding> Bindings()
  {
    return {ReturnBinding(), sessionbind::In(m_MessageSystemAddress), sessionbind::In(m_ConnectedFlag)};
  }
};

struct CUpdateComputerStatusAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.UpdateComputerStatus(?,?,?,?,?,?,?,?) }";
  wchar_t m_ComputerName[32] = {};
  wchar_t m_DomainName[129] = {};
  char m_MessageSystemAddress[256] = {};
  LONG m_OperatingSystem = 0;
  wchar_t m_Description[513] = {};
  LONGLONG m_IPAddress = 0;
  wchar_t m_ServicePack[129] = {};
  wchar_t m_LastLoggedOnUser[257] = {};
  std::vector<oledb::ParamBinding> Bindings()
  {
    using namespace sessionbind;
    return {ReturnBinding(), In(m_ComputerName), In(m_DomainName), In(m_MessageSystemAddress), In(m_OperatingSystem),
            In(m_Description), In(m_IPAddress), In(m_ServicePack), In(m_LastLoggedOnUser)};
  }
};

struct CUpdateComputerAUConfigAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.UpdateComputerAUConfig(?,?,?,?) }";
  LONG m_ComputerID = 0;
  wchar_t m_AUConfigXML[16384] = {};
  wchar_t m_PrimaryCID[257] = {};
  wchar_t m_SecondaryCID[257] = {};
  std::vector<oledb::ParamBinding> Bindings()
  {
    using namespace sessionbind;
    return {ReturnBinding(), In(m_ComputerID), In(m_AUConfigXML), In(m_PrimaryCID), In(m_SecondaryCID)};
  }
};

struct CSetComputerInstallInProgressFlagAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.SetComputerInstallInProgressFlag(?,?) }";
  LONG m_ComputerID = 0;
  SHORT m_InstallInProgressFlag = 0;
  std::vector<oledb::ParamBinding> Bindings()
  {
    return {ReturnBinding(), sessionbind::In(m_ComputerID), sessionbind::In(m_InstallInProgressFlag)};
  }
};

struct CComputerSetInstallResultAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.ComputerSetInstallResult(?,?,?) }";
  LONG m_ComputerID = 0;
  LONG m_InstallResult = 0;
  oledb::DBTIMESTAMP m_InstallTime = {};
  std::vector<oledb::ParamBinding> Bindings()
  {
    using namespace sessionbind;
    return {ReturnBinding(), In(m_ComputerID), In(m_InstallResult), In(m_InstallTime)};
  }
};

struct CClearComputerInstallFlagsAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.ClearComputerInstallFlags }";
  std::vector<oledb::ParamBinding> Bindings() { return {ReturnBinding()}; }
};

struct CSetComputerInstallPendingFlagAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.SetComputerInstallPendingFlag(?,?) }";
  LONG m_ComputerID = 0;
  SHORT m_InstallPendingFlag = 0;
  std::vector<oledb::ParamBinding> Bindings()
  {
    return {ReturnBinding(), sessionbind::In(m_ComputerID), sessionbind::In(m_InstallPendingFlag)};
  }
};

struct CGetInterfaceVersionAccessor : CReturnValueAccessor
{
  static constexpr const char* kCommandText = "{ ? = CALL dbo.GetInterfaceVersion(?,?) }";
  LONG m_MajorVersion = 0;
  LONG m_MinorVersion = 0;
  std::vector<oledb::ParamBinding> Bindings()
  {
    return {ReturnBinding(), sessionbind::Out(m_MajorVersion), sessionbind::Out(m_MinorVersion)};
  }
};

// A command of the session channel: runs its accessor's call text on the session as it is now.
template <class TAccessor>
class TSessionCommand : public TAccessor
{
public:
  HRESULT Open(CPTLSession& session)
  {
    const std::vector<oledb::ParamBinding> bindings = this->Bindings();
    return oledb::ExecuteCall(session.Current(), TAccessor::kCommandText, bindings.data(), bindings.size());
  }
};

// The retry-and-recover wrapper. TCommand offers Open(session), m_RETURN_VALUE and
// m_RETURN_VALUE_status; the session offers Generation() and Recover(generation). Never throws
// by itself; an exception of the session's reopening passes.
template <class TCommand>
class TRecoverableCommand : public TCommand
{
public:
  template <class TSession>
  HRESULT Execute(TSession& session)
  {
    int attempts = 0;
    this->m_RETURN_VALUE = 0;
    this->m_RETURN_VALUE_status = oledb::DBSTATUS_S_OK;
    HRESULT hr = S_OK;
    for (;;) {
      const std::uint64_t generation = session.Generation();
      hr = this->Open(session);
      if (hr == ado::DB_E_INTEGRITYVIOLATION && this->m_RETURN_VALUE == 0)
        hr = S_FALSE;
      if (SUCCEEDED(hr) || attempts != 0)
        break;
      attempts = 1;
      trace::Trace(TRACE_BUSINESSLOGIC, 0, "Database failed(0x%p), Attempting recovery", hr);
      metrics::DatabaseError();
      session.Recover(generation);
    }
    if (SUCCEEDED(hr)) {
      if (this->m_RETURN_VALUE_status != oledb::DBSTATUS_S_OK) {
        trace::Trace(TRACE_BUSINESSLOGIC, 0, "There was no RETURN_VALUE !");
        hr = E_FAIL;
      } else if (this->m_RETURN_VALUE == 50) {
        hr = SP_S_RETURN_50;
      } else if (this->m_RETURN_VALUE != 0) {
        hr = static_cast<HRESULT>(static_cast<std::uint32_t>(SP_E_RETURN_BASE) | static_cast<std::uint32_t>(this->m_RETURN_VALUE));
      }
    }
    return hr;
  }
};

using CGetMessageSystemAddress = TRecoverableCommand<TSessionCommand<CGetMessageSystemAddressAccessor>>;
using CUpdateComputerConnectedState = TRecoverableCommand<TSessionCommand<CUpdateComputerConnectedStateAccessor>>;
using CUpdateComputerStatus = TRecoverableCommand<TSessionCommand<CUpdateComputerStatusAccessor>>;
using CUpdateComputerAUConfig = TRecoverableCommand<TSessionCommand<CUpdateComputerAUConfigAccessor>>;
using CSetComputerInstallInProgressFlag = TRecoverableCommand<TSessionCommand<CSetComputerInstallInProgressFlagAccessor>>;
using CComputerSetInstallResult = TRecoverableCommand<TSessionCommand<CComputerSetInstallResultAccessor>>;
using CClearComputerInstallFlags = TRecoverableCommand<TSessionCommand<CClearComputerInstallFlagsAccessor>>;
using CSetComputerInstallPendingFlag = TRecoverableCommand<TSessionCommand<CSetComputerInstallPendingFlagAccessor>>;
using CGetInterfaceVersion = TRecoverableCommand<TSessionCommand<CGetInterfaceVersionAccessor>>;
