#include "platform/ado/Ado.h"
#include "platform/ado/ErrorInfo.h"
#include "platform/text/Unicode.h"

namespace ado {
namespace {

bool Omitted(const VARIANT& v) { return v.vt == VT_EMPTY || v.vt == VT_ERROR; }

HRESULT NoCurrentRecord()
{
  return Fail(adErrNoCurrentRecord, L"Either BOF or EOF is True, or the current record has been deleted.");
}

}  // namespace

RecordsetPtr Recordset::Create() { return RecordsetPtr(new Recordset()); }

void Recordset::Attach(PgResultPtr rows)
{
  m_rows = std::move(rows);
  m_row = 0;
  m_nextField = 0;
  m_uniqueNames = true;
  m_rowCount = m_rows ? PQntuples(m_rows.get()) : 0;
  m_names.clear();
  m_kinds.clear();
  if (!m_rows)
    return;
  const int n = PQnfields(m_rows.get());
  for (int i = 0; i < n; ++i) {
    m_names.push_back(FromUtf8(PQfname(m_rows.get(), i)));
    m_kinds.push_back(KindOfType(PQftype(m_rows.get(), i)));
  }
  for (std::size_t i = 0; i < m_names.size() && m_uniqueNames; ++i)
    for (std::size_t j = i + 1; j < m_names.size() && m_uniqueNames; ++j)
      m_uniqueNames = !EqualsNoCase(m_names[i], m_names[j]);
}

HRESULT Recordset::Open(const VARIANT& source, const VARIANT& activeConnection, CursorTypeEnum cursorType,
                        LockTypeEnum lockType, long options)
{
  if (!Omitted(source))
    return Fail(adErrFeatureNotAvailable, L"A row set is opened on a command given as its Source.");
  if (!Omitted(activeConnection))
    return Fail(adErrFeatureNotAvailable, L"A row set uses its command's connection.");
  return Open(m_source, cursorType, lockType, options);
}

HRESULT Recordset::Open(const CommandPtr& source, CursorTypeEnum cursorType, LockTypeEnum /*lockType*/, long /*options*/)
{
  if (!source)
    return Fail(adErrInvalidArgument, L"The row set has no source command.");
  Close();
  m_source = source;
  m_cursorType = cursorType;
  return source->Run(true, this);
}

void Recordset::Close()
{
  m_rows.reset();
  m_rowCount = 0;
  m_row = 0;
  m_names.clear();
  m_kinds.clear();
}

HRESULT Recordset::MoveNext()
{
  if (IsEOF())
    return NoCurrentRecord();
  ++m_row;
  return S_OK;
}

HRESULT Recordset::ColumnOf(const VARIANT& field, int& column) const
{
  const int n = static_cast<int>(m_names.size());
  if (Omitted(field)) {
    if (n != 1)
      return Fail(adErrInvalidArgument, L"Name the column to read: the row set has " + std::to_wstring(n) + L" columns.");
    column = 0;
    return S_OK;
  }
  if (field.vt == VT_BSTR) {
    Field f;
    const HRESULT hr = Fields(this).Item(std::wstring_view(field.bstrVal ? field.bstrVal : L"", SysStringLen(field.bstrVal)), f);
    column = f.m_column;
    return hr;
  }
  _variant_t index;
  if (FAILED(VariantChangeType(&index, &field, 0, VT_I4)) || index.lVal < 0 || index.lVal >= n)
    return Fail(adErrItemNotFound, L"Item cannot be found in the collection corresponding to the requested name or ordinal.");
  column = index.lVal;
  return S_OK;
}

HRESULT Recordset::GetRows(long rows, const VARIANT& start, const VARIANT& fields, VARIANT* out)
{
  if (!out)
    return E_POINTER;
  if (!m_rows)
    return Fail(adErrObjectClosed, L"Operation is not allowed when the object is closed.");
  if (!Omitted(start))
    return Fail(adErrFeatureNotAvailable, L"GetRows reads from the current row.");
  int column = 0;
  HRESULT hr = ColumnOf(fields, column);
  if (FAILED(hr))
    return hr;
  if (IsEOF())
    return NoCurrentRecord();
  const int left = m_rowCount - m_row;
  const int count = rows < 0 || rows > left ? left : static_cast<int>(rows);
  SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
  if (!psa)
    return Fail(E_OUTOFMEMORY, L"Out of memory.");
  void* data = nullptr;
  SafeArrayAccessData(psa, &data);
  auto* cells = static_cast<VARIANT*>(data);
  PGresult* r = m_rows.get();
  const PgKind kind = m_kinds[static_cast<std::size_t>(column)];
  if (kind == PgKind::Int4) {
    // A column of identities, the usual reason to read rows in one go: the fresh cells are
    // written directly, without the general conversion's clearing of each one.
    for (int i = 0; i < count; ++i) {
      const int row = m_row + i;
      if (PQgetisnull(r, row, column)) {
        cells[i].vt = VT_NULL;
      } else if (ParseInt4(PQgetvalue(r, row, column), cells[i].lVal)) {
        cells[i].vt = VT_I4;
      } else {
        hr = DB_E_CANTCONVERTVALUE;
        break;
      }
    }
  } else {
    for (int i = 0; i < count && SUCCEEDED(hr); ++i) {
      const int row = m_row + i;
      hr = VariantFromPg(kind, PQgetisnull(r, row, column) ? nullptr : PQgetvalue(r, row, column), &cells[i]);
    }
  }
  SafeArrayUnaccessData(psa);
  if (FAILED(hr)) {
    SafeArrayDestroy(psa);
    return Fail(hr, L"A value of column \"" + m_names[static_cast<std::size_t>(column)] + L"\" cannot be converted.");
  }
  m_row += count;
  VariantClear(out);
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = psa;
  return S_OK;
}

long Fields::Count() const { return static_cast<long>(m_rs->m_names.size()); }

HRESULT Fields::Item(std::wstring_view name, Field& out) const
{
  const std::size_t n = m_rs->m_names.size();
  // Readers ask for the fields of each row in about the same order: when no two columns share
  // a name the search starts after the field found last, and usually ends at once.
  const std::size_t start = m_rs->m_uniqueNames ? m_rs->m_nextField : 0;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = start + k < n ? start + k : start + k - n;
    if (EqualsNoCase(m_rs->m_names[i], name)) {
      m_rs->m_nextField = i + 1 < n ? i + 1 : 0;
      out = Field(m_rs, static_cast<int>(i));
      return S_OK;
    }
  }
  return Fail(adErrItemNotFound, L"Item cannot be found in the collection corresponding to the requested name or ordinal: \"" +
                                     std::wstring(name) + L"\".");
}

HRESULT Fields::Item(long index, Field& out) const
{
  if (index < 0 || index >= Count())
    return Fail(adErrItemNotFound, L"Item cannot be found in the collection corresponding to the requested name or ordinal.");
  out = Field(m_rs, static_cast<int>(index));
  return S_OK;
}

const std::wstring& Field::Name() const
{
  static const std::wstring none;
  return m_rs ? m_rs->m_names[static_cast<std::size_t>(m_column)] : none;
}

DataTypeEnum Field::Type() const
{
  return m_rs ? DataTypeOf(m_rs->m_kinds[static_cast<std::size_t>(m_column)], false) : adEmpty;
}

HRESULT Field::get_Value(VARIANT* value) const
{
  if (!value)
    return E_POINTER;
  if (!m_rs || m_rs->IsEOF())
    return NoCurrentRecord();
  PGresult* r = m_rs->m_rows.get();
  const int row = m_rs->m_row;
  const HRESULT hr = VariantFromPg(m_rs->m_kinds[static_cast<std::size_t>(m_column)],
                                   PQgetisnull(r, row, m_column) ? nullptr : PQgetvalue(r, row, m_column), value);
  if (FAILED(hr))
    return Fail(hr, L"The value of column \"" + Name() + L"\" cannot be converted.");
  return S_OK;
}

}  // namespace ado
