#include "businesslogic/OurCommand.h"

#include <stdexcept>

#include "businesslogic/AdoError.h"
#include "businesslogic/TraceComponent.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "platform/trace/Trace.h"

namespace {

[[noreturn]] void AssertionFailed(const char* text) { throw std::logic_error(text); }

_variant_t Converted(const _variant_t& value, VARTYPE vt)
{
  _variant_t out;
  ThrowIfAdoFailed(VariantChangeType(&out, &value, 0, vt));
  return out;
}

}  // namespace

COurCommand::COurCommand(const ado::ConnectionPtr& connection, const char* procedureName)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "COurCommand::COurCommand(conn,\"%s\")", procedureName);
  m_command = ado::Command::Create();
  m_command->put_CommandText(FromUtf8(procedureName ? procedureName : ""));
  m_command->put_CommandType(ado::adCmdStoredProc);
  ThrowIfAdoFailed(m_command->put_ActiveConnection(connection));
  m_parameters = m_command->GetParameters();
  const HRESULT hr = m_parameters->Refresh();
  if (FAILED(hr))
    throw vrn::Exceptions::ConnectToDatabaseFailed(hr, AdoErrorText(hr));
}

COurCommand::~COurCommand() = default;

ado::Parameter& COurCommand::Param(const wchar_t* name) const
{
  ado::Parameter* p = nullptr;
  ThrowIfAdoFailed(m_parameters->Item(name ? name : L"", &p));
  return *p;
}

void COurCommand::Assign(const wchar_t* name, const VARIANT& value) { ThrowIfAdoFailed(Param(name).put_Value(value)); }

void COurCommand::SetAttribute(const wchar_t* name, LONG value) { Assign(name, _variant_t(value)); }

void COurCommand::SetAttribute(const wchar_t* name, DATE value) { Assign(name, _variant_t(value, VT_DATE)); }

void COurCommand::SetAttribute(const wchar_t* name, ULONG value) { Assign(name, _variant_t(value)); }

void COurCommand::SetAttribute(const wchar_t* name, const std::wstring& value, bool* tooLong)
{
  SetText(name, value.c_str(), value.size(), tooLong);
}

void COurCommand::SetAttribute(const wchar_t* name, BSTR value) { SetText(name, value ? value : L"", SysStringLen(value), nullptr); }

void COurCommand::SetText(const wchar_t* name, const wchar_t* text, std::size_t length, bool* tooLong)
{
  if (tooLong)
    *tooLong = false;
  ado::Parameter& p = Param(name);
  const long size = p.Size();
  trace::Trace(TRACE_BUSINESSLOGIC, 2, "OurCommand::SetAttribute ADO[%i] <- Val[%i]", size, static_cast<long>(length));
  if (static_cast<std::size_t>(size) < length) {
    if (!tooLong) {
      trace::Trace(TRACE_BUSINESSLOGIC, 0, "COurCommand::SetAttribute Attribute too long");
      throw std::runtime_error("COurCommand::SetAttribute Attribute too long");
    }
    *tooLong = true;
    return;
  }
  ThrowIfAdoFailed(p.put_Value(_variant_t(std::wstring(text, length))));
}

void COurCommand::SetAttributeNull(const wchar_t* name) { Assign(name, _variant_t::Null()); }

LONG COurCommand::ExecuteCommand()
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "COurCommand::ExecuteCommand");
  const HRESULT hr = m_command->Execute(nullptr, nullptr, ado::adCmdStoredProc | ado::adExecuteNoRecords, nullptr);
  std::wstring failure;
  if (FAILED(hr)) {
    failure = AdoErrorText(hr);
    trace::Trace(TRACE_BUSINESSLOGIC, 1, "COurCommand::ExecuteCommand Execute returned 0x%X", hr);
  }
  const _variant_t& rv = Value(L"@RETURN_VALUE");
  if (rv.vt == VT_EMPTY || rv.vt == VT_NULL) {
    if (FAILED(hr))
      throw vrn::Exceptions::ConnectToDatabaseFailed(hr, failure);
    throw WinRuntimeError::FromHResult(E_UNEXPECTED);
  }
  return Converted(rv, VT_I4).lVal;
}

ado::RecordsetPtr COurCommand::ExecuteCommandWithRecordset()
{
  ado::RecordsetPtr records;
  ThrowIfAdoFailed(m_command->Execute(nullptr, nullptr, ado::adCmdStoredProc, &records));
  return records;
}

LONG COurCommand::GetReturnValue() const
{
  const _variant_t& rv = Value(L"@RETURN_VALUE");
  if (rv.vt == VT_EMPTY || rv.vt == VT_NULL)
    throw WinRuntimeError::FromHResult(E_UNEXPECTED);
  return Converted(rv, VT_I4).lVal;
}

bool COurCommand::IsAttributeNull(const wchar_t* name) const
{
  const _variant_t& v = Value(name);
  return v.vt == VT_NULL || v.vt == VT_EMPTY;
}

void COurCommand::GetAttribute(const wchar_t* name, LONG& value) const
{
  const _variant_t& v = Value(name);
  value = v.vt == VT_NULL ? 0 : Converted(v, VT_I4).lVal;
}

void COurCommand::GetAttribute(const wchar_t* name, DATE& value) const
{
  const _variant_t& v = Value(name);
  value = v.vt == VT_NULL ? 0.0 : Converted(v, VT_DATE).date;
}

void COurCommand::GetAttribute(const wchar_t* name, util::stdBSTR& value) const
{
  const _variant_t& v = Value(name);
  if (v.vt == VT_NULL) {
    value = util::stdBSTR();
    return;
  }
  _variant_t text = Converted(v, VT_BSTR);
  value = util::stdBSTR(text.bstrVal, true);
}

void COurCommand::GetAttribute(const wchar_t* name, std::wstring& value) const
{
  util::stdBSTR text;
  GetAttribute(name, text);
  value = text.wstr();
}

bool COurCommand::GetAttributeAsBool(const wchar_t* name) const
{
  const _variant_t& v = Value(name);
  if (v.vt != VT_NULL && v.vt != VT_BOOL)
    AssertionFailed(".\\OurCommand(301) : Assertion failed var.vt == VT_NULL || var.vt == VT_BOOL");
  return v.vt == VT_BOOL && v.boolVal != 0;
}

LONG COurCommand::GetAttributeAsInt(const wchar_t* name) const
{
  const _variant_t& v = Value(name);
  if (v.vt != VT_NULL && v.vt != VT_I4)
    AssertionFailed(".\\OurCommand(315) : Assertion failed var.vt == VT_NULL || var.vt == VT_I4");
  return v.vt == VT_I4 ? v.lVal : 0;
}

DATE COurCommand::GetAttributeAsDate(const wchar_t* name) const
{
  const _variant_t& v = Value(name);
  if (v.vt != VT_NULL && v.vt != VT_DATE)
    AssertionFailed(".\\OurCommand(329) : Assertion failed var.vt == VT_NULL || var.vt == VT_DATE");
  return v.vt == VT_DATE ? v.date : 0.0;
}

bool COurCommand::GetAttributeAsDate(const wchar_t* name, DATE& value) const
{
  const _variant_t& v = Value(name);
  if (v.vt != VT_NULL && v.vt != VT_DATE)
    AssertionFailed(".\\OurCommand(344) : Assertion failed var.vt == VT_NULL || var.vt == VT_DATE");
  value = v.vt == VT_DATE ? v.date : 0.0;
  return v.vt == VT_DATE;
}

std::wstring COurCommand::GetAttributeAsString(const wchar_t* name) const
{
  const _variant_t& v = Value(name);
  if (v.vt != VT_NULL && v.vt != VT_BSTR)
    AssertionFailed(".\\OurCommand(366) : Assertion failed var.vt == VT_NULL || var.vt == VT_BSTR");
  return v.vt == VT_BSTR ? std::wstring(v.bstrVal ? v.bstrVal : L"", SysStringLen(v.bstrVal)) : std::wstring();
}

ULONG COurCommand::GetAttributeAsULong(const wchar_t* name) const
{
  const _variant_t& v = Value(name);
  switch (v.vt) {
    case VT_NULL: return 0;
    case VT_UI4: return v.ulVal;
    case VT_DECIMAL: return static_cast<ULONG>(v.decVal.Lo64 & 0xFFFFFFFFu);
    default: AssertionFailed(".\\OurCommand(389) : Assertion failed FALSE");
  }
}
