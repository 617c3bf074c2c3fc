#include "businesslogic/ObjectsFromADOFields.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "businesslogic/AdoError.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"

namespace priv {
namespace {

// The source positions the type assertions report.
[[noreturn]] void AssertionFailed(const char* text) { throw std::logic_error(text); }

// An optional argument left out.
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHr(0x80020004);

VARIANT Omitted()
{
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

void ThrowConnectFailed(HRESULT hr) { throw vrn::Exceptions::ConnectToDatabaseFailed(hr, AdoErrorText(hr)); }

}  // namespace

_variant_t GetFieldValue(const ado::Fields& fields, const wchar_t* name)
{
  ado::Field field;
  ThrowIfAdoFailed(fields.Item(name ? name : L"", field));
  _variant_t value;
  ThrowIfAdoFailed(field.get_Value(&value));
  return value;
}

std::wstring GetStringField(const ado::Fields& fields, const wchar_t* name)
{
  const _variant_t value = GetFieldValue(fields, name);
  if (value.vt == VT_NULL)
    return std::wstring();
  if (value.vt != VT_BSTR)
    AssertionFailed(".\\ObjectsFromADOFields(54) : Assertion failed value.vt == VT_BSTR");
  return std::wstring(value.bstrVal ? value.bstrVal : L"", SysStringLen(value.bstrVal));
}

std::wstring GetStringFieldNotNull(const ado::Fields& fields, const wchar_t* name)
{
  const _variant_t value = GetFieldValue(fields, name);
  if (value.vt != VT_BSTR)
    AssertionFailed(".\\ObjectsFromADOFields(60) : Assertion failed value.vt == VT_BSTR");
  return std::wstring(value.bstrVal ? value.bstrVal : L"", SysStringLen(value.bstrVal));
}

bool GetBoolField(const ado::Fields& fields, const wchar_t* name)
{
  const _variant_t value = GetFieldValue(fields, name);
  if (value.vt != VT_BOOL)
    AssertionFailed(".\\ObjectsFromADOFields(23) : Assertion failed value.vt == VT_BOOL");
  return value.boolVal != 0;
}

LONG GetIntField(const ado::Fields& fields, const wchar_t* name)
{
  const _variant_t value = GetFieldValue(fields, name);
  if (value.vt != VT_I4)
    AssertionFailed(".\\ObjectsFromADOFields(36) : Assertion failed value.vt == VT_I4");
  return value.lVal;
}

DATE GetDateField(const ado::Fields& fields, const wchar_t* name)
{
  const _variant_t value = GetFieldValue(fields, name);
  if (value.vt != VT_DATE)
    AssertionFailed(".\\ObjectsFromADOFields(74) : Assertion failed value.vt == VT_DATE");
  return value.date;
}

std::wstring TypeName(const std::type_info& type)
{
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  const char* name = status == 0 && demangled ? demangled.get() : type.name();
  return FromUtf8(name);
}

ado::RecordsetPtr OpenRecordset(const ado::CommandPtr& command)
{
  ado::RecordsetPtr records = ado::Recordset::Create();
  records->put_CacheSize(200);
  records->put_CursorType(ado::adOpenForwardOnly);
  records->put_Source(command);
  const VARIANT omitted = Omitted();
  const HRESULT hr = records->Open(omitted, omitted, ado::adOpenStatic, ado::adLockReadOnly, ado::adOptionUnspecified);
  if (FAILED(hr))
    ThrowConnectFailed(hr);
  return records;
}

void MoveNext(ado::Recordset& records)
{
  const HRESULT hr = records.MoveNext();
  if (FAILED(hr))
    ThrowConnectFailed(hr);
}

CFirstColumn::CFirstColumn(const ado::CommandPtr& command)
{
  ado::RecordsetPtr records = OpenRecordset(command);
  m_hasRowSet = records->State() == ado::adStateOpen;
  if (!m_hasRowSet || records->IsEOF())
    return;
  VARIANT column;
  VariantInit(&column);
  column.vt = VT_I4;
  column.lVal = 0;
  ThrowIfAdoFailed(records->GetRows(ado::adGetRowsRest, Omitted(), column, &m_rows));
  if (m_rows.vt != (VT_ARRAY | VT_VARIANT) || !m_rows.parray)
    throw std::logic_error("GetRows returned an unexpected type");
  LONG lower = 0;
  LONG upper = -1;
  ThrowIfAdoFailed(SafeArrayGetLBound(m_rows.parray, 1, &lower));
  ThrowIfAdoFailed(SafeArrayGetUBound(m_rows.parray, 1, &upper));
  void* data = nullptr;
  ThrowIfAdoFailed(SafeArrayAccessData(m_rows.parray, &data));
  m_cells = static_cast<VARIANT*>(data);
  m_count = upper >= lower ? static_cast<std::size_t>(upper - lower + 1) : 0;
}

CFirstColumn::~CFirstColumn()
{
  if (m_cells)
    SafeArrayUnaccessData(m_rows.parray);
}

LONG CFirstColumn::Converted(const VARIANT& cell)
{
  _variant_t value;
  ThrowIfAdoFailed(VariantChangeType(&value, &cell, 0, VT_I4));
  return value.lVal;
}

}  // namespace priv

std::wstring CIdeListFromADOFields::operator()(const ado::Fields& fields) const { return priv::GetStringField(fields, L"IdeList"); }

std::wstring CAUConfigXMLFromADOFields::operator()(const ado::Fields& fields) const
{
  return priv::GetStringField(fields, L"AUConfigXML");
}

std::wstring CDexConfigXMLFromADOFields::operator()(const ado::Fields& fields) const
{
  return priv::GetStringField(fields, L"DexConfigXML");
}

std::wstring CGroupDexConfigurationXMLFromADOFields::operator()(const ado::Fields& fields) const
{
  return priv::GetStringField(fields, L"DexConfigXML");
}

std::wstring CTzLibraryStatusXMLFromADOFields::operator()(const ado::Fields& fields) const
{
  return priv::GetStringField(fields, L"StatusXML");
}

std::pair<ULONG, ULONG> CPairOfGroupIds::operator()(const ado::Fields& fields) const
{
  const _variant_t parent = priv::GetFieldValue(fields, L"ParentID");
  const ULONG parentID = parent.vt == VT_I4 ? static_cast<ULONG>(parent.lVal) : 0xFFFFFFFFu;
  return {parentID, static_cast<ULONG>(priv::GetIntField(fields, L"ID"))};
}

Alerts::VirusAlertDetails CVirusAlertDetailsFromADOFields::operator()(const ado::Fields& fields) const
{
  Alerts::VirusAlertDetails details;
  const std::wstring infectedItem = priv::GetStringFieldNotNull(fields, L"InfectedItem");
  const std::wstring virusName = priv::GetStringFieldNotNull(fields, L"VirusName");
  const std::wstring userName = priv::GetStringFieldNotNull(fields, L"UserName");
  const bool outstanding = priv::GetBoolField(fields, L"Outstanding");
  const LONG actionTaken = priv::GetIntField(fields, L"ActionTaken");
  const LONG scannerType = priv::GetIntField(fields, L"ScannerType");
  const LONG virusType = priv::GetIntField(fields, L"VirusType");
  const DATE timeDetected = priv::GetDateField(fields, L"TimeDetected");
  details.SetVirusDetails(timeDetected, userName, virusName, virusType, infectedItem, scannerType, actionTaken, outstanding);
  return details;
}

CAlertDetailsBase::ErrorDetails CErrorDetailsFromADOFields::operator()(const ado::Fields& fields) const
{
  CAlertDetailsBase::ErrorDetails details;
  details.timeDetected = priv::GetDateField(fields, L"TimeDetected");
  details.userName = priv::GetStringFieldNotNull(fields, L"UserName");
  details.source = priv::GetStringFieldNotNull(fields, L"Source");
  details.entityInfo = priv::GetStringFieldNotNull(fields, L"EntityInfo");
  details.number = priv::GetIntField(fields, L"Number");
  details.messageCode = priv::GetStringFieldNotNull(fields, L"MessageCode");
  details.outstanding = priv::GetBoolField(fields, L"Outstanding");
  static const wchar_t* const kInserts[] = {L"Insert1", L"Insert2", L"Insert3", L"Insert4", L"Insert5"};
  details.inserts.reserve(std::size(kInserts));
  for (const wchar_t* insert : kInserts)
    details.inserts.push_back(priv::GetStringFieldNotNull(fields, insert));
  return details;
}
