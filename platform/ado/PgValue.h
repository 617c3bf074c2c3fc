#pragma once
// Values between the server's text form and VARIANTs, by the kind of the declared type.
#include <libpq-fe.h>

#include <optional>
#include <string>

#include "platform/ado/AdoTypes.h"
#include "platform/com/Variant.h"

namespace ado {

enum class PgKind {
  Int2,
  Int4,
  Int8,
  Oid,
  Bool,
  Numeric,
  Float4,
  Float8,
  Text,
  Timestamp,    // also timestamp with time zone: the wall-clock time the server shows
  Date,
  Refcursor,
  Other,        // shown as text
};

PgKind KindOfType(Oid baseType);
DataTypeEnum DataTypeOf(PgKind kind, bool declaredLength);
// Size of a value of the kind; text gives its declared length, else kUnlimitedTextSize.
long SizeOf(PgKind kind, long declaredLength);

// Server text -> VARIANT (VT_I2, VT_I4, VT_DECIMAL for bigint and numeric, VT_UI4, VT_BOOL, VT_R4,
// VT_R8, VT_BSTR, VT_DATE). A null pointer is VT_NULL. DB_E_CANTCONVERTVALUE when the text
// does not fit (a date outside the DATE range, say).
HRESULT VariantFromPg(PgKind kind, const char* text, VARIANT* out);

// VARIANT -> server text for a parameter of the kind; nullopt for VT_EMPTY and VT_NULL.
// DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW when the value cannot become that kind. A VT_UI4
// given to a 32-bit integer keeps its bit pattern (0xFFFFFFFF is -1), as identities are.
HRESULT PgFromVariant(PgKind kind, const VARIANT& value, std::optional<std::string>& out);

// A whole decimal number filling the text.
bool ParseInteger(const char* text, long long& value);
// The same, within the range of a 32-bit integer.
bool ParseInt4(const char* text, LONG& value);
// A name quoted for the server's SQL ("a""b").
std::string QuoteIdentifier(const std::string& name);

// "YYYY-MM-DD HH:MM:SS[.ffffff][+zz[:zz]]" or "YYYY-MM-DD" -> DATE (to the nearest second).
bool ParsePgTimestamp(const char* text, DATE& out);
std::string FormatPgTimestamp(DATE d);

}  // namespace ado
