#include "platform/com/Variant.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <limits>
#include <new>

#include "platform/com/ComError.h"
#include "platform/oledate/OleDate.h"

namespace {

using u128 = unsigned __int128;
constexpr u128 kDecMax = (u128(1) << 96) - 1;

u128 Mantissa(const DECIMAL& d) { return (u128(d.Hi32) << 64) | d.Lo64; }
void SetMantissa(DECIMAL& d, u128 m)
{
  d.Hi32 = static_cast<ULONG>(m >> 64);
  d.Lo64 = static_cast<ULONGLONG>(m);
}

// Round-half-to-even of x to an integer, as the platform's numeric conversions do.
double RoundEven(double x) { return std::nearbyint(x); }

// The value of a source variant, reduced to one of a few kinds.
struct Value
{
  enum Kind { Empty, Null, Int, UInt, Real, Bool, Text, Dec, Bad } kind = Bad;
  LONGLONG i = 0;
  ULONGLONG u = 0;
  double r = 0;
  bool b = false;
  bool isDate = false;
  std::wstring text;
  DECIMAL dec;
};

Value Read(const VARIANT& v)
{
  Value x;
  switch (v.vt) {
    case VT_EMPTY: x.kind = Value::Empty; break;
    case VT_NULL: x.kind = Value::Null; break;
    case VT_I1: x.kind = Value::Int; x.i = v.cVal; break;
    case VT_I2: x.kind = Value::Int; x.i = v.iVal; break;
    case VT_I4: case VT_ERROR: x.kind = Value::Int; x.i = v.lVal; break;
    case VT_INT: x.kind = Value::Int; x.i = v.intVal; break;
    case VT_I8: x.kind = Value::Int; x.i = v.llVal; break;
    case VT_UI1: x.kind = Value::UInt; x.u = v.bVal; break;
    case VT_UI2: x.kind = Value::UInt; x.u = v.uiVal; break;
    case VT_UI4: x.kind = Value::UInt; x.u = v.ulVal; break;
    case VT_UINT: x.kind = Value::UInt; x.u = v.uintVal; break;
    case VT_UI8: x.kind = Value::UInt; x.u = v.ullVal; break;
    case VT_R4: x.kind = Value::Real; x.r = v.fltVal; break;
    case VT_R8: x.kind = Value::Real; x.r = v.dblVal; break;
    case VT_DATE: x.kind = Value::Real; x.r = v.date; x.isDate = true; break;
    case VT_BOOL: x.kind = Value::Bool; x.b = v.boolVal != VARIANT_FALSE; break;
    case VT_BSTR: x.kind = Value::Text; x.text.assign(v.bstrVal ? v.bstrVal : L"", SysStringLen(v.bstrVal)); break;
    case VT_DECIMAL: x.kind = Value::Dec; x.dec = v.decVal; break;
    default: x.kind = Value::Bad; break;
  }
  return x;
}

std::wstring Trim(const std::wstring& s)
{
  std::size_t b = 0, e = s.size();
  while (b < e && std::iswspace(s[b])) ++b;
  while (e > b && std::iswspace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Text to a number: integers exactly, anything else as a double. False when not numeric.
bool ParseNumber(const std::wstring& raw, Value& out)
{
  const std::wstring s = Trim(raw);
  if (s.empty())
    return false;
  wchar_t* end = nullptr;
  errno = 0;
  const long long ll = std::wcstoll(s.c_str(), &end, 10);
  if (*end == L'\0' && errno == 0) {
    out.kind = Value::Int;
    out.i = ll;
    return true;
  }
  errno = 0;
  const double d = std::wcstod(s.c_str(), &end);
  if (*end != L'\0' || errno == ERANGE || !std::isfinite(d))
    return false;
  out.kind = Value::Real;
  out.r = d;
  return true;
}

// Reduces text, bool and decimal to a number kind; Empty becomes 0.
HRESULT ToNumber(Value& x)
{
  switch (x.kind) {
    case Value::Empty: x.kind = Value::Int; x.i = 0; return S_OK;
    case Value::Null: return DISP_E_TYPEMISMATCH;
    case Value::Bool: x.kind = Value::Int; x.i = x.b ? -1 : 0; return S_OK;
    case Value::Text: {
      const std::wstring t = Trim(x.text);
      if (wcscasecmp(t.c_str(), L"true") == 0) { x.kind = Value::Int; x.i = -1; return S_OK; }
      if (wcscasecmp(t.c_str(), L"false") == 0) { x.kind = Value::Int; x.i = 0; return S_OK; }
      return ParseNumber(x.text, x) ? S_OK : DISP_E_TYPEMISMATCH;
    }
    case Value::Dec: {
      if (x.dec.scale == 0) {
        const u128 m = Mantissa(x.dec);
        if (x.dec.sign) {
          if (m <= u128(std::numeric_limits<LONGLONG>::max()) + 1) {
            x.kind = Value::Int;
            x.i = static_cast<LONGLONG>(-static_cast<__int128>(m));
            return S_OK;
          }
        } else if (m <= std::numeric_limits<ULONGLONG>::max()) {
          x.kind = Value::UInt;
          x.u = static_cast<ULONGLONG>(m);
          return S_OK;
        }
      }
      double r;
      VarR8FromDec(&x.dec, &r);
      x.kind = Value::Real;
      x.r = r;
      return S_OK;
    }
    case Value::Int: case Value::UInt: case Value::Real: return S_OK;
    default: return DISP_E_BADVARTYPE;
  }
}

// The number as an integer in [lo, hi], rounding reals half to even.
HRESULT ToInteger(Value x, __int128 lo, __int128 hi, __int128& out)
{
  HRESULT hr = ToNumber(x);
  if (FAILED(hr))
    return hr;
  __int128 v;
  if (x.kind == Value::Int) {
    v = x.i;
  } else if (x.kind == Value::UInt) {
    v = x.u;
  } else {
    const double r = RoundEven(x.r);
    if (!(r >= -1.8e19 && r <= 1.9e19))
      return DISP_E_OVERFLOW;
    v = static_cast<__int128>(r);
  }
  if (v < lo || v > hi)
    return DISP_E_OVERFLOW;
  out = v;
  return S_OK;
}

HRESULT ToReal(Value x, double& out)
{
  HRESULT hr = ToNumber(x);
  if (FAILED(hr))
    return hr;
  out = x.kind == Value::Int ? static_cast<double>(x.i) : x.kind == Value::UInt ? static_cast<double>(x.u) : x.r;
  return S_OK;
}

std::wstring FormatReal(double r)
{
  wchar_t buf[64];
  std::swprintf(buf, 64, L"%.15g", r);
  return buf;
}

HRESULT ToText(const Value& x, std::wstring& out)
{
  switch (x.kind) {
    case Value::Empty: out.clear(); return S_OK;
    case Value::Null: return DISP_E_TYPEMISMATCH;
    case Value::Int: out = std::to_wstring(x.i); return S_OK;
    case Value::UInt: out = std::to_wstring(x.u); return S_OK;
    case Value::Real:
      if (x.isDate) {
        { const std::string t = FormatOleDate(x.r); out.assign(t.begin(), t.end()); }
        return S_OK;
      }
      out = FormatReal(x.r);
      return S_OK;
    case Value::Bool: out = x.b ? L"True" : L"False"; return S_OK;
    case Value::Text: out = x.text; return S_OK;
    case Value::Dec: out = DecimalToString(x.dec); return S_OK;
    default: return DISP_E_BADVARTYPE;
  }
}

}  // namespace

void VariantInit(VARIANT* v)
{
  std::memset(static_cast<void*>(v), 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v)
{
  if (!v)
    return E_INVALIDARG;
  if (v->vt == VT_BSTR) {
    SysFreeString(v->bstrVal);
  } else if (v->vt & VT_ARRAY) {
    HRESULT hr = SafeArrayDestroy(v->parray);
    if (FAILED(hr))
      return hr;
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src)
{
  if (!dest || !src)
    return E_INVALIDARG;
  if (dest == src)
    return S_OK;
  VARIANT tmp;
  VariantInit(&tmp);
  if (src->vt == VT_BSTR) {
    tmp.vt = VT_BSTR;
    if (src->bstrVal) {
      tmp.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
      if (!tmp.bstrVal)
        return E_OUTOFMEMORY;
    }
  } else if (src->vt & VT_ARRAY) {
    tmp.vt = src->vt;
    if (src->parray) {
      HRESULT hr = SafeArrayCopy(src->parray, &tmp.parray);
      if (FAILED(hr))
        return hr;
    }
  } else {
    std::memcpy(static_cast<void*>(&tmp), src, sizeof tmp);
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&tmp);
    return hr;
  }
  std::memcpy(static_cast<void*>(dest), &tmp, sizeof tmp);
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT /*flags*/, VARTYPE vt)
{
  if (!dest || !src)
    return E_INVALIDARG;
  const Value x = Read(*src);
  if (x.kind == Value::Bad)
    return DISP_E_BADVARTYPE;
  if (vt == src->vt) {
    if (dest == src)
      return S_OK;
    return VariantCopy(dest, src);
  }
  if (x.kind == Value::Null && vt != VT_EMPTY)
    return DISP_E_TYPEMISMATCH;

  VARIANT out;
  VariantInit(&out);
  out.vt = vt;
  HRESULT hr = S_OK;
  __int128 n = 0;
  double r = 0;
  switch (vt) {
    case VT_EMPTY: out.vt = VT_EMPTY; break;
    case VT_NULL: hr = DISP_E_TYPEMISMATCH; break;
    case VT_I1: if (SUCCEEDED(hr = ToInteger(x, -128, 127, n))) out.cVal = static_cast<signed char>(n); break;
    case VT_I2: if (SUCCEEDED(hr = ToInteger(x, -32768, 32767, n))) out.iVal = static_cast<SHORT>(n); break;
    case VT_I4: case VT_INT:
      if (SUCCEEDED(hr = ToInteger(x, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max(), n))) out.lVal = static_cast<LONG>(n);
      break;
    case VT_I8:
      if (SUCCEEDED(hr = ToInteger(x, std::numeric_limits<LONGLONG>::min(), std::numeric_limits<LONGLONG>::max(), n))) out.llVal = static_cast<LONGLONG>(n);
      break;
    case VT_UI1: if (SUCCEEDED(hr = ToInteger(x, 0, 255, n))) out.bVal = static_cast<BYTE>(n); break;
    case VT_UI2: if (SUCCEEDED(hr = ToInteger(x, 0, 65535, n))) out.uiVal = static_cast<USHORT>(n); break;
    case VT_UI4: case VT_UINT:
      if (SUCCEEDED(hr = ToInteger(x, 0, std::numeric_limits<ULONG>::max(), n))) out.ulVal = static_cast<ULONG>(n);
      break;
    case VT_UI8:
      if (SUCCEEDED(hr = ToInteger(x, 0, std::numeric_limits<ULONGLONG>::max(), n))) out.ullVal = static_cast<ULONGLONG>(n);
      break;
    case VT_R4:
      if (SUCCEEDED(hr = ToReal(x, r))) {
        if (std::fabs(r) > std::numeric_limits<float>::max())
          hr = DISP_E_OVERFLOW;
        else
          out.fltVal = static_cast<float>(r);
      }
      break;
    case VT_R8: if (SUCCEEDED(hr = ToReal(x, r))) out.dblVal = r; break;
    case VT_DATE:
      if (SUCCEEDED(hr = ToReal(x, r))) {
        if (r < kOleDateMin || r > kOleDateMax)
          hr = DISP_E_OVERFLOW;
        else
          out.date = r;
      }
      break;
    case VT_BOOL:
      if (x.kind == Value::Bool) {
        out.boolVal = x.b ? VARIANT_TRUE : VARIANT_FALSE;
      } else if (SUCCEEDED(hr = ToReal(x, r))) {
        out.boolVal = r != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      }
      break;
    case VT_BSTR: {
      std::wstring t;
      if (SUCCEEDED(hr = ToText(x, t))) {
        out.bstrVal = SysAllocStringLen(t.data(), t.size());
        if (!out.bstrVal)
          hr = E_OUTOFMEMORY;
      }
      break;
    }
    case VT_DECIMAL: {
      Value y = x;
      if (y.kind == Value::Text) {
        hr = VarDecFromStr(y.text, &out.decVal);
        break;
      }
      if (FAILED(hr = ToNumber(y)))
        break;
      if (y.kind == Value::Int) {
        hr = VarDecFromI8(y.i, &out.decVal);
      } else if (y.kind == Value::UInt) {
        out.decVal = DECIMAL{};
        out.decVal.Lo64 = y.u;
      } else {
        hr = VarDecFromR8(y.r, &out.decVal);
      }
      out.vt = VT_DECIMAL;
      break;
    }
    default: hr = DISP_E_BADVARTYPE; break;
  }
  if (FAILED(hr))
    return hr;
  hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&out);
    return hr;
  }
  std::memcpy(static_cast<void*>(dest), &out, sizeof out);
  return S_OK;
}

HRESULT VarDecFromI8(LONGLONG v, DECIMAL* out)
{
  if (!out)
    return E_INVALIDARG;
  *out = DECIMAL{};
  if (v < 0) {
    out->sign = DECIMAL_NEG;
    out->Lo64 = static_cast<ULONGLONG>(-(v + 1)) + 1;
  } else {
    out->Lo64 = static_cast<ULONGLONG>(v);
  }
  return S_OK;
}

HRESULT VarDecFromStr(const std::wstring& text, DECIMAL* out)
{
  if (!out)
    return E_INVALIDARG;
  const std::wstring s = Trim(text);
  std::size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == L'-' || s[i] == L'+'))
    neg = s[i++] == L'-';
  u128 m = 0;
  int scale = 0;
  bool digits = false, point = false;
  for (; i < s.size(); ++i) {
    const wchar_t c = s[i];
    if (c == L'.' && !point) {
      point = true;
      continue;
    }
    if (c < L'0' || c > L'9')
      return DISP_E_TYPEMISMATCH;
    digits = true;
    const u128 next = m * 10 + static_cast<unsigned>(c - L'0');
    if (next > kDecMax) {
      if (point)
        break;  // further fraction digits are dropped
      return DISP_E_OVERFLOW;
    }
    if (point) {
      if (scale == 28)
        break;
      ++scale;
    }
    m = next;
  }
  if (!digits)
    return DISP_E_TYPEMISMATCH;
  *out = DECIMAL{};
  SetMantissa(*out, m);
  out->scale = static_cast<BYTE>(scale);
  out->sign = neg && m != 0 ? DECIMAL_NEG : 0;
  return S_OK;
}

HRESULT VarDecFromR8(double v, DECIMAL* out)
{
  if (!out)
    return E_INVALIDARG;
  if (!std::isfinite(v) || std::fabs(v) >= 7.9228162514264338e28)
    return DISP_E_OVERFLOW;
  // Fifteen significant digits, as the platform keeps of a double.
  wchar_t buf[64];
  std::swprintf(buf, 64, L"%.*f", std::max(0, 14 - static_cast<int>(std::floor(std::log10(std::fabs(v) + 1e-300)))), v);
  std::wstring s = buf;
  if (s.find(L'.') != std::wstring::npos) {
    while (!s.empty() && s.back() == L'0') s.pop_back();
    if (!s.empty() && s.back() == L'.') s.pop_back();
  }
  return VarDecFromStr(s, out);
}

HRESULT VarR8FromDec(const DECIMAL* d, double* out)
{
  if (!d || !out)
    return E_INVALIDARG;
  long double v = static_cast<long double>(Mantissa(*d));
  for (int k = 0; k < d->scale; ++k)
    v /= 10;
  *out = static_cast<double>(d->sign ? -v : v);
  return S_OK;
}

HRESULT VarI8FromDec(const DECIMAL* d, LONGLONG* out)
{
  if (!d || !out)
    return E_INVALIDARG;
  u128 m = Mantissa(*d);
  u128 rem = 0, div = 1;
  for (int k = 0; k < d->scale; ++k)
    div *= 10;
  rem = m % div;
  m /= div;
  const u128 half = div / 2;
  if (div > 1 && (rem > half || (rem == half && (m & 1))))
    ++m;
  if (d->sign) {
    if (m > u128(std::numeric_limits<LONGLONG>::max()) + 1)
      return DISP_E_OVERFLOW;
    *out = static_cast<LONGLONG>(-static_cast<__int128>(m));
  } else {
    if (m > u128(std::numeric_limits<LONGLONG>::max()))
      return DISP_E_OVERFLOW;
    *out = static_cast<LONGLONG>(m);
  }
  return S_OK;
}

std::wstring DecimalToString(const DECIMAL& d)
{
  u128 m = Mantissa(d);
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m);
  if (d.scale > 0) {
    while (digits.size() <= d.scale)
      digits.insert(digits.begin(), L'0');
    digits.insert(digits.end() - d.scale, L'.');
  }
  return (d.sign && Mantissa(d) != 0 ? L"-" : L"") + digits;
}

// ---- _variant_t -------------------------------------------------------------

_variant_t::_variant_t() noexcept { VariantInit(this); }
_variant_t::_variant_t(const VARIANT& v)
{
  VariantInit(this);
  ThrowIfFailed(VariantCopy(this, &v));
}
_variant_t::_variant_t(const _variant_t& v) : _variant_t(static_cast<const VARIANT&>(v)) {}
_variant_t::_variant_t(_variant_t&& v) noexcept
{
  std::memcpy(static_cast<void*>(static_cast<VARIANT*>(this)), static_cast<const VARIANT*>(&v), sizeof(VARIANT));
  VariantInit(&v);
}
_variant_t::_variant_t(LONG v, VARTYPE vtSrc)
{
  VariantInit(this);
  if (vtSrc != VT_I4 && vtSrc != VT_ERROR)
    _com_issue_error(E_INVALIDARG);
  vt = vtSrc;
  lVal = v;
}
_variant_t::_variant_t(ULONG v)
{
  VariantInit(this);
  vt = VT_UI4;
  ulVal = v;
}
_variant_t::_variant_t(LONGLONG v)
{
  VariantInit(this);
  vt = VT_I8;
  llVal = v;
}
_variant_t::_variant_t(double v, VARTYPE vtSrc)
{
  VariantInit(this);
  if (vtSrc != VT_R8 && vtSrc != VT_DATE)
    _com_issue_error(E_INVALIDARG);
  vt = vtSrc;
  dblVal = v;
}
_variant_t::_variant_t(bool v)
{
  VariantInit(this);
  vt = VT_BOOL;
  boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
}
_variant_t::_variant_t(const DECIMAL& v)
{
  VariantInit(this);
  decVal = v;
  vt = VT_DECIMAL;
}
_variant_t::_variant_t(const wchar_t* v) : _variant_t(_bstr_t(v)) {}
_variant_t::_variant_t(const std::wstring& v) : _variant_t(_bstr_t(std::wstring_view(v))) {}
_variant_t::_variant_t(const char* v) : _variant_t(_bstr_t(v)) {}
_variant_t::_variant_t(const _bstr_t& v)
{
  VariantInit(this);
  vt = VT_BSTR;
  bstrVal = v.copy();
  if (!bstrVal)
    bstrVal = SysAllocStringLen(L"", 0);
  if (!bstrVal)
    throw std::bad_alloc();
}
_variant_t::~_variant_t() { VariantClear(this); }

_variant_t& _variant_t::operator=(const _variant_t& v)
{
  ThrowIfFailed(VariantCopy(this, &v));
  return *this;
}
_variant_t& _variant_t::operator=(_variant_t&& v) noexcept
{
  if (this != &v) {
    VariantClear(this);
    std::memcpy(static_cast<void*>(static_cast<VARIANT*>(this)), static_cast<const VARIANT*>(&v), sizeof(VARIANT));
    VariantInit(&v);
  }
  return *this;
}

_variant_t _variant_t::Null()
{
  _variant_t v;
  v.vt = VT_NULL;
  return v;
}

void _variant_t::Clear() { ThrowIfFailed(VariantClear(this)); }

void _variant_t::ChangeType(VARTYPE type, const _variant_t* src)
{
  ThrowIfFailed(VariantChangeType(this, src ? src : this, 0, type));
}

void _variant_t::Attach(VARIANT& v)
{
  Clear();
  std::memcpy(static_cast<void*>(static_cast<VARIANT*>(this)), &v, sizeof(VARIANT));
  VariantInit(&v);
}

VARIANT _variant_t::Detach()
{
  VARIANT v;
  std::memcpy(static_cast<void*>(&v), static_cast<const VARIANT*>(this), sizeof(VARIANT));
  VariantInit(this);
  return v;
}

namespace {
_variant_t Converted(const _variant_t& v, VARTYPE type)
{
  _variant_t out;
  ThrowIfFailed(VariantChangeType(&out, &v, 0, type));
  return out;
}
}  // namespace

// A value already of the asked type is read as it is (rows are read field by field this way);
// anything else is converted.
LONG _variant_t::ToLong() const { return vt == VT_I4 ? lVal : Converted(*this, VT_I4).lVal; }
ULONG _variant_t::ToULong() const { return Converted(*this, VT_UI4).ulVal; }
LONGLONG _variant_t::ToLongLong() const { return Converted(*this, VT_I8).llVal; }
double _variant_t::ToDouble() const { return vt == VT_R8 ? dblVal : Converted(*this, VT_R8).dblVal; }
DATE _variant_t::ToDate() const { return Converted(*this, VT_DATE).date; }
bool _variant_t::ToBool() const { return Converted(*this, VT_BOOL).boolVal != VARIANT_FALSE; }
std::wstring _variant_t::ToWString() const
{
  if (vt == VT_BSTR)
    return std::wstring(bstrVal ? bstrVal : L"", SysStringLen(bstrVal));
  const _variant_t t = Converted(*this, VT_BSTR);
  return std::wstring(t.bstrVal ? t.bstrVal : L"", SysStringLen(t.bstrVal));
}
