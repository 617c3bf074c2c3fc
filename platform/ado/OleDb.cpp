#include "platform/ado/OleDb.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <limits>
#include <optional>

#include "platform/ado/AdoTypes.h"
#include "platform/ado/ErrorInfo.h"
#include "platform/ado/PgValue.h"
#include "platform/text/Unicode.h"

namespace oledb {
namespace {

bool ProviderIsOurs(const wchar_t* provider)
{
  if (!provider)
    return false;
  std::wstring base(provider);
  base = base.substr(0, base.find(L'.'));
  if (base.size() != 8)
    return false;
  for (std::size_t i = 0; i < base.size(); ++i)
    if (std::towlower(base[i]) != static_cast<wint_t>(L"sqloledb"[i]))
      return false;
  return true;
}

std::string Text(const _variant_t* v)
{
  if (!v || v->vt == VT_EMPTY || v->vt == VT_NULL)
    return {};
  try {
    return ToUtf8(v->ToWString());
  } catch (...) {
    return {};
  }
}

void SkipSpaces(const std::string& s, std::size_t& i)
{
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
    ++i;
}

bool Expect(const std::string& s, std::size_t& i, char c)
{
  SkipSpaces(s, i);
  if (i < s.size() && s[i] == c) {
    ++i;
    return true;
  }
  return false;
}

std::optional<std::string> InputText(const ParamBinding& b)
{
  if (b.status && *b.status == DBSTATUS_S_ISNULL)
    return std::nullopt;
  switch (b.type) {
    case DBTYPE_I2: return std::to_string(*static_cast<const SHORT*>(b.value));
    case DBTYPE_I4: return std::to_string(*static_cast<const LONG*>(b.value));
    case DBTYPE_I8: return std::to_string(*static_cast<const LONGLONG*>(b.value));
    case DBTYPE_BOOL: return std::string(*static_cast<const VARIANT_BOOL*>(b.value) ? "1" : "0");
    case DBTYPE_STR: {
      const char* p = static_cast<const char*>(b.value);
      return std::string(p, strnlen(p, b.maxLength));
    }
    case DBTYPE_WSTR: {
      const wchar_t* p = static_cast<const wchar_t*>(b.value);
      return ToUtf8(std::wstring_view(p, wcsnlen(p, b.maxLength / sizeof(wchar_t))));
    }
    case DBTYPE_DBTIMESTAMP: {
      const auto* t = static_cast<const DBTIMESTAMP*>(b.value);
      char buf[48];
      std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%06lu", t->year, t->month, t->day, t->hour, t->minute,
                    t->second, static_cast<unsigned long>(t->fraction / 1000));
      return std::string(buf);
    }
    default: return std::nullopt;
  }
}

DBSTATUS SetOutput(const ParamBinding& b, const char* text)
{
  if (!text)
    return DBSTATUS_S_ISNULL;
  long long n = 0;
  switch (b.type) {
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_I8: {
      if (!ado::ParseInteger(text, n))
        return DBSTATUS_E_CANTCONVERTVALUE;
      if (b.type == DBTYPE_I2) {
        if (n < -32768 || n > 32767)
          return DBSTATUS_E_CANTCONVERTVALUE;
        *static_cast<SHORT*>(b.value) = static_cast<SHORT>(n);
      } else if (b.type == DBTYPE_I4) {
        if (n < std::numeric_limits<LONG>::min() || n > std::numeric_limits<LONG>::max())
          return DBSTATUS_E_CANTCONVERTVALUE;
        *static_cast<LONG*>(b.value) = static_cast<LONG>(n);
      } else {
        *static_cast<LONGLONG*>(b.value) = n;
      }
      return DBSTATUS_S_OK;
    }
    case DBTYPE_BOOL:
      *static_cast<VARIANT_BOOL*>(b.value) =
        (text[0] == 't' || (ado::ParseInteger(text, n) && n != 0)) ? VARIANT_TRUE : VARIANT_FALSE;
      return DBSTATUS_S_OK;
    case DBTYPE_STR: {
      if (b.maxLength == 0)
        return DBSTATUS_E_CANTCONVERTVALUE;
      const std::size_t len = std::strlen(text);
      const std::size_t copy = std::min(len, b.maxLength - 1);
      std::memcpy(b.value, text, copy);
      static_cast<char*>(b.value)[copy] = '\0';
      return copy < len ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK;
    }
    case DBTYPE_WSTR: {
      const std::size_t cap = b.maxLength / sizeof(wchar_t);
      if (cap == 0)
        return DBSTATUS_E_CANTCONVERTVALUE;
      const std::wstring w = FromUtf8(text);
      const std::size_t copy = std::min(w.size(), cap - 1);
      std::wmemcpy(static_cast<wchar_t*>(b.value), w.data(), copy);
      static_cast<wchar_t*>(b.value)[copy] = L'\0';
      return copy < w.size() ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK;
    }
    case DBTYPE_DBTIMESTAMP: {
      auto* t = static_cast<DBTIMESTAMP*>(b.value);
      int y = 0;
      unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
      double frac = 0;
      const int got = std::sscanf(text, "%d-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s);
      if (got != 3 && got != 6)
        return DBSTATUS_E_CANTCONVERTVALUE;
      if (const char* dot = std::strchr(text, '.'))
        frac = std::strtod(dot, nullptr);
      *t = DBTIMESTAMP{static_cast<SHORT>(y), static_cast<USHORT>(mo), static_cast<USHORT>(d), static_cast<USHORT>(h),
                       static_cast<USHORT>(mi), static_cast<USHORT>(s), static_cast<ULONG>(frac * 1e9 + 0.5)};
      return DBSTATUS_S_OK;
    }
    default: return DBSTATUS_E_CANTCONVERTVALUE;
  }
}

}  // namespace

DWORD GetSystemDefaultLCID() { return 0x0409; }

bool CDBPropSet::AddProperty(DBPROPID id, const _variant_t& value)
{
  if (value.vt == VT_EMPTY || Find(id))
    return false;
  m_props.emplace_back(id, value);
  return true;
}

const _variant_t* CDBPropSet::Find(DBPROPID id) const
{
  for (const auto& [pid, v] : m_props)
    if (pid == id)
      return &v;
  return nullptr;
}

HRESULT CDataSource::Open(const wchar_t* provider, const CDBPropSet* props, ULONG propSetCount)
{
  Close();
  if (!ProviderIsOurs(provider))
    return ado::Fail(REGDB_E_CLASSNOTREG, L"The provider \"" + std::wstring(provider ? provider : L"") + L"\" is not registered.");
  const CDBPropSet* init = nullptr;
  for (ULONG i = 0; props && i < propSetCount; ++i)
    if (props[i].Set() == DBPROPSET_DBINIT)
      init = &props[i];
  if (!init)
    return ado::Fail(E_INVALIDARG, L"No initialisation properties were given.");
  if (Text(init->Find(DBPROP_AUTH_INTEGRATED)) != "SSPI")
    return ado::Fail(ado::DB_SEC_E_AUTH_FAILED, L"Only integrated security (\"SSPI\") is supported: no password is kept anywhere.");
  ado::ConnectParams params;
  params.dataSource = Text(init->Find(DBPROP_INIT_DATASOURCE));
  params.catalog = Text(init->Find(DBPROP_INIT_CATALOG));
  if (const _variant_t* t = init->Find(DBPROP_INIT_TIMEOUT)) {
    try {
      params.connectTimeoutSec = static_cast<unsigned>(std::max<LONG>(0, t->ToLong()));
    } catch (...) {
      return ado::Fail(E_INVALIDARG, L"The connection time-out must be a number of seconds.");
    }
  }
  ado::PgError error;
  m_link = ado::PgLink::Connect(params, error);
  if (!m_link)
    return ado::Fail(error.hr, error.message);
  return S_OK;
}

HRESULT CSession::Open(CDataSource& dataSource)
{
  if (!dataSource.m_link)
    return ado::Fail(E_UNEXPECTED, L"The data source is not open.");
  m_link = std::shared_ptr<ado::PgLink>(std::move(dataSource.m_link));
  return S_OK;
}

bool ParseCallText(const std::string& s, CallText& out, std::string& error)
{
  out = CallText{};
  std::size_t i = 0;
  auto bad = [&](const char* why) {
    error = std::string("Malformed call text \"") + s + "\": " + why;
    return false;
  };
  if (!Expect(s, i, '{'))
    return bad("expected '{'");
  std::size_t save = i;
  if (Expect(s, i, '?')) {
    if (!Expect(s, i, '='))
      return bad("expected '=' after the return value");
    out.returnValue = true;
  } else {
    i = save;
  }
  SkipSpaces(s, i);
  if (s.size() < i + 4 || strncasecmp(s.c_str() + i, "call", 4) != 0)
    return bad("expected CALL");
  i += 4;
  SkipSpaces(s, i);
  std::size_t start = i;
  while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' || s[i] == '.'))
    ++i;
  const std::string full = s.substr(start, i - start);
  const auto dot = full.find('.');
  out.schema = dot == std::string::npos ? "dbo" : full.substr(0, dot);
  out.name = dot == std::string::npos ? full : full.substr(dot + 1);
  if (out.schema.empty() || out.name.empty() || out.name.find('.') != std::string::npos)
    return bad("expected a procedure name");
  if (Expect(s, i, '(')) {
    if (!Expect(s, i, ')')) {
      do {
        if (!Expect(s, i, '?'))
          return bad("expected '?'");
        ++out.parameters;
      } while (Expect(s, i, ','));
      if (!Expect(s, i, ')'))
        return bad("expected ')'");
    }
  }
  if (!Expect(s, i, '}'))
    return bad("expected '}'");
  SkipSpaces(s, i);
  if (i != s.size())
    return bad("text after '}'");
  return true;
}

HRESULT ExecuteCall(const CSession& session, const std::string& text, const ParamBinding* bindings, std::size_t count,
                    unsigned timeoutSec)
{
  CallText call;
  std::string error;
  if (!ParseCallText(text, call, error))
    return ado::Fail(ado::DB_E_ERRORSINCOMMAND, error);
  const std::size_t expected = static_cast<std::size_t>(call.parameters) + (call.returnValue ? 1 : 0);
  if (count != expected)
    return ado::Fail(E_INVALIDARG, "\"" + text + "\" has " + std::to_string(expected) + " parameters but " +
                                     std::to_string(count) + " are bound.");
  std::shared_ptr<ado::PgLink> link = session.Link();
  if (!link)
    return ado::Fail(E_UNEXPECTED, L"The session is not open.");

  const std::size_t first = call.returnValue ? 1 : 0;
  std::vector<std::optional<std::string>> texts;
  std::string sql = "SELECT * FROM " + ado::QuoteIdentifier(call.schema) + "." + ado::QuoteIdentifier(call.name) + "(";
  for (std::size_t i = first; i < count; ++i) {
    if (!(bindings[i].io & DBPARAMIO_INPUT))
      continue;
    texts.push_back(InputText(bindings[i]));
    sql += (texts.size() > 1 ? ", $" : "$") + std::to_string(texts.size());
  }
  sql += ")";
  std::vector<const char*> values;
  for (const auto& t : texts)
    values.push_back(t ? t->c_str() : nullptr);

  ado::PgResultPtr rows;
  ado::PgError failure;
  {
    std::lock_guard lock(link->Mutex());
    link->Run(sql, values, true, timeoutSec, rows, failure);
  }
  // Values delivered before a failure (a deferred constraint failing at the end of the call)
  // are kept, as the wrapper judges the return value together with the failure.
  if (rows && PQntuples(rows.get()) > 0) {
    PGresult* r = rows.get();
    int column = 0;
    if (call.returnValue) {
      const bool has = PQnfields(r) > 0 && std::strcmp(PQfname(r, 0), "@RETURN_VALUE") == 0;
      DBSTATUS st = DBSTATUS_E_UNAVAILABLE;
      if (has) {
        st = SetOutput(bindings[0], PQgetisnull(r, 0, 0) ? nullptr : PQgetvalue(r, 0, 0));
        column = 1;
      }
      if (bindings[0].status)
        *bindings[0].status = st;
    }
    for (std::size_t i = first; i < count; ++i) {
      if (!(bindings[i].io & DBPARAMIO_OUTPUT))
        continue;
      DBSTATUS st = DBSTATUS_E_UNAVAILABLE;
      if (column < PQnfields(r)) {
        st = SetOutput(bindings[i], PQgetisnull(r, 0, column) ? nullptr : PQgetvalue(r, 0, column));
        ++column;
      }
      if (bindings[i].status)
        *bindings[i].status = st;
    }
  } else if (!failure.failed() && call.returnValue && bindings[0].status) {
    *bindings[0].status = DBSTATUS_E_UNAVAILABLE;
  }
  if (failure.failed())
    return ado::Fail(failure.hr, failure.message);
  return S_OK;
}

}  // namespace oledb
