#include <cstdlib>

#include "platform/ado/Ado.h"
#include "platform/ado/ErrorInfo.h"
#include "platform/text/Unicode.h"

namespace ado {
namespace {

// One row per parameter of every function of that name (ord is null for a function without
// parameters), so that "no such procedure" and "several of that name" can be told apart.
const char* const kParameterQuery =
  "SELECT p.oid, x.ord, coalesce(x.name, ''), x.mode::text, format_type(x.typ, NULL),"
  " CASE WHEN t.typtype = 'd' THEN t.typbasetype ELSE t.oid END,"
  " CASE WHEN t.typtype = 'd' THEN t.typtypmod ELSE -1 END,"
  " CASE WHEN t.typtype = 'd' THEN t.typname::text END,"
  " (SELECT string_agg(pg_get_constraintdef(c.oid), ' ') FROM pg_catalog.pg_constraint c WHERE c.contypid = t.oid)"
  " FROM pg_catalog.pg_proc p"
  " JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace"
  " LEFT JOIN LATERAL unnest(coalesce(p.proallargtypes, p.proargtypes::oid[]),"
  "   coalesce(p.proargnames, array_fill(''::text, ARRAY[cardinality(coalesce(p.proallargtypes, p.proargtypes::oid[]))])),"
  "   coalesce(p.proargmodes, array_fill('i'::\"char\", ARRAY[cardinality(coalesce(p.proallargtypes, p.proargtypes::oid[]))])))"
  "   WITH ORDINALITY AS x(typ, name, mode, ord) ON true"
  " LEFT JOIN pg_catalog.pg_type t ON t.oid = x.typ"
  " WHERE n.nspname = $1 AND p.proname = $2 AND p.prokind = 'f'"
  " ORDER BY p.oid, x.ord";

// The declared length of a text domain: its type modifier (varchar(n)), else the bound of a
// "length(VALUE) <= n" check, else the n of a name ending in "_n" (dbo.nvarchar_255).
long DeclaredLength(Oid base, long typmod, const char* domainName, const char* checks)
{
  if (base != 1043 && base != 1042 && base != 25)
    return 0;
  if (typmod >= 4)
    return typmod - 4;
  const std::string c = checks ? checks : "";
  const auto len = c.find("length(");
  const auto le = len == std::string::npos ? std::string::npos : c.find("<= ", len);
  if (le != std::string::npos) {
    const long n = std::strtol(c.c_str() + le + 3, nullptr, 10);
    if (n > 0)
      return n;
  }
  const std::string name = domainName ? domainName : "";
  const auto us = name.rfind('_');
  if (us != std::string::npos && us + 1 < name.size() && name.find_first_not_of("0123456789", us + 1) == std::string::npos)
    return std::strtol(name.c_str() + us + 1, nullptr, 10);
  return 0;
}

std::string Unbracket(std::string s)
{
  if (s.size() >= 2 && ((s.front() == '[' && s.back() == ']') || (s.front() == '"' && s.back() == '"')))
    s = s.substr(1, s.size() - 2);
  return s;
}

}  // namespace

HRESULT Parameter::put_Value(const VARIANT& value)
{
  std::optional<std::string> text;
  if (m_direction != adParamOutput && m_direction != adParamReturnValue) {
    const HRESULT hr = PgFromVariant(m_kind, value, text);
    if (FAILED(hr))
      return Fail(hr, L"The value cannot be given to parameter \"" + m_name + L"\" of its type.");
  }
  m_value = _variant_t(value);
  m_text = std::move(text);
  return S_OK;
}

HRESULT Parameters::Item(std::wstring_view name, Parameter** out)
{
  for (Parameter& p : m_items) {
    if (EqualsNoCase(p.m_name, name)) {
      *out = &p;
      return S_OK;
    }
  }
  *out = nullptr;
  return Fail(adErrItemNotFound, L"Item cannot be found in the collection corresponding to the requested name or ordinal: \"" +
                                     std::wstring(name) + L"\".");
}

HRESULT Parameters::Refresh()
{
  Command& cmd = m_owner;
  if (!cmd.m_connection)
    return Fail(adErrInvalidConnection, L"The command has no connection.");
  std::string schema, name;
  HRESULT hr = cmd.ProcedureName(schema, name);
  if (FAILED(hr))
    return hr;
  std::shared_ptr<PgLink> link = cmd.m_connection->Link();
  if (!link)
    return Fail(adErrObjectClosed, L"Operation is not allowed when the object is closed.");
  PgResultPtr rows;
  PgError error;
  {
    std::lock_guard lock(link->Mutex());
    link->Run(kParameterQuery, {schema.c_str(), name.c_str()}, true, static_cast<unsigned>(std::max(0L, cmd.m_timeout)), rows,
              error);
  }
  if (error.failed())
    return cmd.m_connection->Failure(error);
  PGresult* r = rows.get();
  const int n = r ? PQntuples(r) : 0;
  if (n == 0)
    return cmd.m_connection->Failure({DB_E_NOTABLE, "42883", "Could not find stored procedure '" + schema + "." + name + "'."});
  if (std::string(PQgetvalue(r, 0, 0)) != PQgetvalue(r, n - 1, 0))
    return cmd.m_connection->Failure(
      {DB_E_ERRORSINCOMMAND, "42725", "Stored procedure '" + schema + "." + name + "' is defined more than once."});

  std::vector<Parameter> items;
  int outputs = 0;
  cmd.m_cursorColumn = -1;
  std::string call = "SELECT * FROM " + QuoteIdentifier(schema) + "." + QuoteIdentifier(name) + "(";
  int inputs = 0;
  for (int i = 0; i < n && !PQgetisnull(r, i, 1); ++i) {
    const std::string pname = PQgetvalue(r, i, 2);
    const char mode = PQgetvalue(r, i, 3)[0];
    const std::string typeName = PQgetvalue(r, i, 4);
    const Oid base = static_cast<Oid>(std::strtoul(PQgetvalue(r, i, 5), nullptr, 10));
    const long typmod = std::strtol(PQgetvalue(r, i, 6), nullptr, 10);
    const PgKind kind = KindOfType(base);
    const bool isOut = mode == 'o' || mode == 't';
    const bool isIn = mode == 'i' || mode == 'v';
    if (!isOut && !isIn && mode != 'b')
      continue;
    if (!isOut) {
      call += (inputs ? ", $" : "$") + std::to_string(inputs + 1) + "::" + typeName;
      ++inputs;
    }
    const int column = isIn ? -1 : outputs++;
    if (kind == PgKind::Refcursor && !isIn) {
      cmd.m_cursorColumn = column;
      continue;
    }
    Parameter p;
    p.m_name = FromUtf8(pname.empty() ? "@" + std::to_string(i + 1) : pname);
    p.m_kind = kind;
    p.m_column = column;
    const long declared = DeclaredLength(base, typmod, PQgetisnull(r, i, 7) ? nullptr : PQgetvalue(r, i, 7),
                                         PQgetisnull(r, i, 8) ? nullptr : PQgetvalue(r, i, 8));
    p.m_type = DataTypeOf(kind, declared > 0);
    p.m_size = SizeOf(kind, declared);
    if (isIn)
      p.m_direction = adParamInput;
    else if (mode == 'b')
      p.m_direction = adParamInputOutput;
    else if (column == 0 && pname == "@RETURN_VALUE")
      p.m_direction = adParamReturnValue;
    else
      p.m_direction = adParamOutput;
    items.push_back(std::move(p));
  }
  cmd.m_call = call + ")";
  m_items = std::move(items);
  m_refreshed = true;
  return S_OK;
}

CommandPtr Command::Create()
{
  CommandPtr p(new Command());
  p->m_self = p;
  return p;
}

Command::Command() : m_parameters(*this) {}

void Command::put_CommandText(const std::wstring& text)
{
  m_text = text;
  m_parameters.m_items.clear();
  m_parameters.m_refreshed = false;
}

HRESULT Command::put_ActiveConnection(const ConnectionPtr& connection)
{
  if (!connection)
    return Fail(adErrInvalidConnection, L"The connection cannot be used to perform this operation.");
  m_connection = connection;
  m_timeout = connection->CommandTimeout();
  return S_OK;
}

ParametersPtr Command::GetParameters() { return ParametersPtr(m_self.lock(), &m_parameters); }

HRESULT Command::ProcedureName(std::string& schema, std::string& name) const
{
  if (m_type != adCmdStoredProc)
    return Fail(adErrFeatureNotAvailable, L"Only stored-procedure commands are supported.");
  std::string text = ToUtf8(m_text);
  if (text.empty())
    return Fail(adErrInvalidArgument, L"The command has no procedure name.");
  const auto dot = text.find('.');
  schema = dot == std::string::npos ? "dbo" : Unbracket(text.substr(0, dot));
  name = Unbracket(dot == std::string::npos ? text : text.substr(dot + 1));
  if (schema.empty() || name.empty())
    return Fail(adErrInvalidArgument, L"Malformed procedure name \"" + m_text + L"\".");
  return S_OK;
}

HRESULT Command::Execute(long* recordsAffected, const VARIANT* parameters, long options, RecordsetPtr* records)
{
  if (parameters)
    return Fail(adErrFeatureNotAvailable, L"Parameter arrays are not supported; set the parameters by name.");
  if (recordsAffected)
    *recordsAffected = -1;
  const bool withRows = records && !(options & adExecuteNoRecords);
  if (!withRows)
    return Run(false, nullptr);
  RecordsetPtr rs = Recordset::Create();
  const HRESULT hr = Run(true, rs.get());
  *records = rs;
  return hr;
}

HRESULT Command::Run(bool withRows, Recordset* records)
{
  if (!m_connection)
    return Fail(adErrInvalidConnection, L"The command has no connection.");
  if (!m_parameters.m_refreshed) {
    const HRESULT hr = m_parameters.Refresh();
    if (FAILED(hr))
      return hr;
  }
  std::shared_ptr<PgLink> link = m_connection->Link();
  if (!link)
    return Fail(adErrObjectClosed, L"Operation is not allowed when the object is closed.");
  std::vector<const char*> values;
  values.reserve(m_parameters.m_items.size());
  for (Parameter& p : m_parameters.m_items) {
    if (p.m_direction == adParamInput || p.m_direction == adParamInputOutput)
      values.push_back(p.m_text ? p.m_text->c_str() : nullptr);
    if (p.m_direction != adParamInput)
      p.m_value.Clear();
  }
  const unsigned timeout = static_cast<unsigned>(std::max(0L, m_timeout));
  PgResultPtr result, fetched;
  PgError error;
  {
    std::lock_guard lock(link->Mutex());
    if (withRows && m_cursorColumn >= 0) {
      // The cursor lives until the end of the transaction: call and fetch inside one, the
      // caller's when it opened one (its end is then the caller's).
      const bool own = !link->InTransaction();
      PgResultPtr none;
      if (own)
        link->Run("BEGIN", timeout, none, error);
      if (!error.failed())
        link->Run(m_call, values, true, timeout, result, error);
      if (!error.failed() && result && PQntuples(result.get()) > 0 && !PQgetisnull(result.get(), 0, m_cursorColumn))
        link->Run("FETCH ALL FROM " + QuoteIdentifier(PQgetvalue(result.get(), 0, m_cursorColumn)), timeout, fetched, error);
      if (own && link->IsOpen()) {
        PgError end;
        link->Run(error.failed() ? "ROLLBACK" : "COMMIT", timeout, none, end);
        if (!error.failed())
          error = end;
      }
    } else {
      link->Run(m_call, values, true, timeout, result, error);
    }
  }
  // What the procedure delivered is kept even when the call failed afterwards.
  if (result && PQntuples(result.get()) > 0) {
    for (Parameter& p : m_parameters.m_items) {
      if (p.m_column < 0 || p.m_column >= PQnfields(result.get()))
        continue;
      const char* text = PQgetisnull(result.get(), 0, p.m_column) ? nullptr : PQgetvalue(result.get(), 0, p.m_column);
      if (FAILED(VariantFromPg(p.m_kind, text, &p.m_value)) && !error.failed())
        error = {DB_E_CANTCONVERTVALUE, "22000", "The value of parameter \"" + ToUtf8(p.m_name) + "\" cannot be converted."};
    }
  }
  if (records && fetched && !error.failed())
    records->Attach(fetched);
  if (error.failed())
    return m_connection->Failure(error);
  return S_OK;
}

}  // namespace ado
