#include "platform/ado/PgValue.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/oledate/OleDate.h"
#include "platform/text/Unicode.h"

namespace ado {
namespace {

bool Digits(const char*& p, int count, int& value)
{
  value = 0;
  for (int i = 0; i < count; ++i, ++p) {
    if (*p < '0' || *p > '9')
      return false;
    value = value * 10 + (*p - '0');
  }
  return true;
}

}  // namespace

bool ParseInteger(const char* text, long long& v)
{
  // The server writes an integer as an optional minus and digits, read here directly (whole
  // row sets of identities pass through); anything else (spaces, a plus sign, 19 digits or
  // more) goes the general way, with the same results.
  const char* p = text;
  const bool negative = *p == '-';
  if (negative)
    ++p;
  long long n = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9' && digits < 18; ++p, ++digits)
    n = n * 10 + (*p - '0');
  if (digits > 0 && *p == '\0') {
    v = negative ? -n : n;
    return true;
  }
  errno = 0;
  char* end = nullptr;
  v = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

bool ParseInt4(const char* text, LONG& value)
{
  long long n = 0;
  if (!ParseInteger(text, n) || n < std::numeric_limits<LONG>::min() || n > std::numeric_limits<LONG>::max())
    return false;
  value = static_cast<LONG>(n);
  return true;
}

std::string QuoteIdentifier(const std::string& name)
{
  std::string out = "\"";
  for (char c : name) {
    if (c == '"')
      out += '"';
    out += c;
  }
  return out + '"';
}

PgKind KindOfType(Oid t)
{
  switch (t) {
    case 21: return PgKind::Int2;
    case 23: return PgKind::Int4;
    case 20: return PgKind::Int8;
    case 26: return PgKind::Oid;
    case 16: return PgKind::Bool;
    case 1700: return PgKind::Numeric;
    case 700: return PgKind::Float4;
    case 701: return PgKind::Float8;
    case 25: case 1043: case 1042: case 19: return PgKind::Text;
    case 1114: case 1184: return PgKind::Timestamp;
    case 1082: return PgKind::Date;
    case 1790: return PgKind::Refcursor;
    default: return PgKind::Other;
  }
}

DataTypeEnum DataTypeOf(PgKind kind, bool declaredLength)
{
  switch (kind) {
    case PgKind::Int2: return adSmallInt;
    case PgKind::Int4: return adInteger;
    case PgKind::Int8: return adBigInt;
    case PgKind::Oid: return adUnsignedInt;
    case PgKind::Bool: return adBoolean;
    case PgKind::Numeric: return adNumeric;
    case PgKind::Float4: return adSingle;
    case PgKind::Float8: return adDouble;
    case PgKind::Timestamp: return adDBTimeStamp;
    case PgKind::Date: return adDBDate;
    case PgKind::Text: return declaredLength ? adVarWChar : adLongVarWChar;
    default: return adVarWChar;
  }
}

long SizeOf(PgKind kind, long declaredLength)
{
  switch (kind) {
    case PgKind::Int2: return 2;
    case PgKind::Int4: case PgKind::Oid: case PgKind::Float4: return 4;
    case PgKind::Int8: case PgKind::Float8: return 8;
    case PgKind::Bool: return 2;
    case PgKind::Numeric: return 19;
    case PgKind::Timestamp: case PgKind::Date: return 16;
    default: return declaredLength > 0 ? declaredLength : kUnlimitedTextSize;
  }
}

bool ParsePgTimestamp(const char* text, DATE& out)
{
  const char* p = text;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (!Digits(p, 4, y))
    return false;
  while (*p >= '0' && *p <= '9')  // years past 9999 are out of range anyway
    y = y * 10 + (*p++ - '0');
  if (*p++ != '-' || !Digits(p, 2, mo) || *p++ != '-' || !Digits(p, 2, d))
    return false;
  double fraction = 0;
  if (*p == ' ' || *p == 'T') {
    ++p;
    if (!Digits(p, 2, h) || *p++ != ':' || !Digits(p, 2, mi) || *p++ != ':' || !Digits(p, 2, s))
      return false;
    if (*p == '.') {
      double scale = 0.1;
      for (++p; *p >= '0' && *p <= '9'; ++p, scale /= 10)
        fraction += (*p - '0') * scale;
    }
    if (*p == '+' || *p == '-') {  // the zone of the shown wall-clock time; the time is kept as shown
      ++p;
      while ((*p >= '0' && *p <= '9') || *p == ':')
        ++p;
    }
  }
  if (*p != '\0')  // " BC", "infinity" and anything else unexpected
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
    return false;
  long long days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) - DaysFromCivil(1899, 12, 30);
  long long secs = h * 3600LL + mi * 60LL + s + (fraction >= 0.5 ? 1 : 0);
  if (secs >= 86400) {
    secs -= 86400;
    ++days;
  }
  // Before the epoch day the integer part counts back and the fraction still runs forward.
  const double value = days >= 0 ? days + secs / 86400.0 : days - secs / 86400.0;
  if (value < kOleDateMin || value > kOleDateMax)
    return false;
  out = value;
  return true;
}

std::string FormatPgTimestamp(DATE d)
{
  const auto tm = TmFromOleDate(d);
  if (!tm)
    return {};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday,
                tm->tm_hour, tm->tm_min, tm->tm_sec);
  return buf;
}

HRESULT VariantFromPg(PgKind kind, const char* text, VARIANT* out)
{
  VariantClear(out);
  if (!text) {
    out->vt = VT_NULL;
    return S_OK;
  }
  long long i = 0;
  switch (kind) {
    case PgKind::Int2:
    case PgKind::Int4: {
      LONG n = 0;
      if (!ParseInt4(text, n))
        return DB_E_CANTCONVERTVALUE;
      if (kind == PgKind::Int2) {
        out->vt = VT_I2;
        out->iVal = static_cast<SHORT>(n);
      } else {
        out->vt = VT_I4;
        out->lVal = n;
      }
      return S_OK;
    }
    case PgKind::Oid:
      if (!ParseInteger(text, i) || i < 0 || i > std::numeric_limits<ULONG>::max())
        return DB_E_CANTCONVERTVALUE;
      out->vt = VT_UI4;
      out->ulVal = static_cast<ULONG>(i);
      return S_OK;
    case PgKind::Int8:
    case PgKind::Numeric: {
      DECIMAL dec{};
      if (FAILED(VarDecFromStr(FromUtf8(text), &dec)))
        return DB_E_CANTCONVERTVALUE;
      out->vt = VT_DECIMAL;
      out->decVal = dec;
      return S_OK;
    }
    case PgKind::Bool:
      out->vt = VT_BOOL;
      out->boolVal = (text[0] == 't') ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case PgKind::Float4:
    case PgKind::Float8: {
      char* end = nullptr;
      const double v = std::strtod(text, &end);
      if (end == text || *end != '\0')
        return DB_E_CANTCONVERTVALUE;
      if (kind == PgKind::Float4) {
        out->vt = VT_R4;
        out->fltVal = static_cast<float>(v);
      } else {
        out->vt = VT_R8;
        out->dblVal = v;
      }
      return S_OK;
    }
    case PgKind::Timestamp:
    case PgKind::Date: {
      DATE d = 0;
      if (!ParsePgTimestamp(text, d))
        return DB_E_CANTCONVERTVALUE;
      out->vt = VT_DATE;
      out->date = d;
      return S_OK;
    }
    default: {
      const std::wstring w = FromUtf8(text);
      out->bstrVal = SysAllocStringLen(w.data(), w.size());
      if (!out->bstrVal)
        return E_OUTOFMEMORY;
      out->vt = VT_BSTR;
      return S_OK;
    }
  }
}

HRESULT PgFromVariant(PgKind kind, const VARIANT& value, std::optional<std::string>& out)
{
  out.reset();
  if (value.vt == VT_EMPTY || value.vt == VT_NULL)
    return S_OK;
  _variant_t v;
  HRESULT hr = S_OK;
  switch (kind) {
    case PgKind::Int2:
    case PgKind::Int4:
    case PgKind::Int8:
    case PgKind::Oid: {
      if (FAILED(hr = VariantChangeType(&v, &value, 0, VT_I8)))
        return hr;
      long long n = v.llVal;
      if (kind == PgKind::Int4 && value.vt == VT_UI4)
        n = static_cast<LONG>(value.ulVal);
      const bool fits = kind == PgKind::Int2 ? (n >= -32768 && n <= 32767)
                        : kind == PgKind::Int4 ? (n >= std::numeric_limits<LONG>::min() && n <= std::numeric_limits<LONG>::max())
                        : kind == PgKind::Oid ? (n >= 0 && n <= std::numeric_limits<ULONG>::max())
                        : true;
      if (!fits)
        return DISP_E_OVERFLOW;
      out = std::to_string(n);
      return S_OK;
    }
    case PgKind::Bool:
      if (FAILED(hr = VariantChangeType(&v, &value, 0, VT_BOOL)))
        return hr;
      out = v.boolVal ? "true" : "false";
      return S_OK;
    case PgKind::Numeric:
      if (FAILED(hr = VariantChangeType(&v, &value, 0, VT_DECIMAL)))
        return hr;
      out = ToUtf8(DecimalToString(v.decVal));
      return S_OK;
    case PgKind::Float4:
    case PgKind::Float8: {
      if (FAILED(hr = VariantChangeType(&v, &value, 0, VT_R8)))
        return hr;
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.dblVal);
      out = buf;
      return S_OK;
    }
    case PgKind::Timestamp:
    case PgKind::Date: {
      if (value.vt == VT_BSTR)
        return DISP_E_TYPEMISMATCH;
      if (FAILED(hr = VariantChangeType(&v, &value, 0, VT_DATE)))
        return hr;
      std::string text = FormatPgTimestamp(v.date);
      if (text.empty())
        return DISP_E_OVERFLOW;
      out = std::move(text);
      return S_OK;
    }
    case PgKind::Refcursor:
      return DISP_E_TYPEMISMATCH;
    default:
      if (value.vt == VT_BSTR) {
        out = ToUtf8(std::wstring_view(value.bstrVal ? value.bstrVal : L"", SysStringLen(value.bstrVal)));
        return S_OK;
      }
      if (FAILED(hr = VariantChangeType(&v, &value, 0, VT_BSTR)))
        return hr;
      out = ToUtf8(std::wstring_view(v.bstrVal ? v.bstrVal : L"", SysStringLen(v.bstrVal)));
      return S_OK;
  }
}

}  // namespace ado
