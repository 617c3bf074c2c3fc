#pragma once
// VARIANT with the VT_ types the system uses, DECIMAL, SAFEARRAY (one dimension), and the
// owning wrapper _variant_t.
#include <cstddef>
#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/WinTypes.h"

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

// 96-bit unsigned integer Hi32:Lo64 with a sign (0 or DECIMAL_NEG) and a power-of-ten scale 0..28.
struct DECIMAL
{
  USHORT wReserved;
  BYTE scale;
  BYTE sign;
  ULONG Hi32;
  ULONGLONG Lo64;
};
constexpr BYTE DECIMAL_NEG = 0x80;

struct SAFEARRAYBOUND
{
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY
{
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  VARTYPE vt;
  SAFEARRAYBOUND rgsabound[1];
};

struct VARIANT
{
  VARTYPE vt;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    SAFEARRAY* parray;
    signed char cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    int intVal;
    unsigned int uintVal;
    DECIMAL decVal;
  };
};

void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Converts src into dest (which is cleared first; dest may equal src). Numeric overflow gives
// DISP_E_OVERFLOW, impossible conversions (VT_NULL to anything but VT_NULL, non-numeric text)
// DISP_E_TYPEMISMATCH, unknown types DISP_E_BADVARTYPE.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

HRESULT VarDecFromI8(LONGLONG v, DECIMAL* out);
HRESULT VarDecFromR8(double v, DECIMAL* out);
HRESULT VarR8FromDec(const DECIMAL* d, double* out);
HRESULT VarI8FromDec(const DECIMAL* d, LONGLONG* out);  // rounds half to even, as the platform does
HRESULT VarDecFromStr(const std::wstring& text, DECIMAL* out);
std::wstring DecimalToString(const DECIMAL& d);

// SAFEARRAY of one dimension.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppv);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, unsigned dim, LONG* out);
HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, unsigned dim, LONG* out);
unsigned SafeArrayGetDim(const SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* vt);
// Element copies: BSTR and VARIANT elements are deep-copied in both directions.
HRESULT SafeArrayGetElement(const SAFEARRAY* psa, const LONG* index, void* out);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* index, const void* in);
HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** out);

// Owning VARIANT. Accessors convert with VariantChangeType and throw _com_error on failure.
class _variant_t : public VARIANT
{
public:
  _variant_t() noexcept;
  _variant_t(const VARIANT& v);
  _variant_t(const _variant_t& v);
  _variant_t(_variant_t&& v) noexcept;
  _variant_t(LONG v, VARTYPE vtSrc = VT_I4);  // VT_I4 or VT_ERROR
  _variant_t(ULONG v);
  _variant_t(LONGLONG v);
  _variant_t(double v, VARTYPE vtSrc = VT_R8);  // VT_R8 or VT_DATE
  _variant_t(bool v);
  _variant_t(const DECIMAL& v);
  _variant_t(const wchar_t* v);
  _variant_t(const std::wstring& v);
  _variant_t(const char* v);
  _variant_t(const _bstr_t& v);
  ~_variant_t();

  _variant_t& operator=(const _variant_t& v);
  _variant_t& operator=(_variant_t&& v) noexcept;

  static _variant_t Null();

  void Clear();
  void ChangeType(VARTYPE vt, const _variant_t* src = nullptr);
  void Attach(VARIANT& v);
  VARIANT Detach();

  bool IsNull() const { return vt == VT_NULL; }
  bool IsEmpty() const { return vt == VT_EMPTY; }

  LONG ToLong() const;
  ULONG ToULong() const;
  LONGLONG ToLongLong() const;
  double ToDouble() const;
  DATE ToDate() const;
  bool ToBool() const;
  std::wstring ToWString() const;
};
