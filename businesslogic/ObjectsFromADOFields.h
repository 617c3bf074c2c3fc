#pragma once
// Row sets into containers. A builder makes one element from the fields of the current row;
// three forms fill a container:
//   1. PopulateListFromRowsetsFast(command, list): entity lists (computers, groups, alerts),
//      which carry identities only: column 0 of all rows in one GetRows call, the list reserved
//      once at its final size;
//   2. PopulateListFromRowsets<Container, Builder>(recordset, list): appends one element per
//      row of a row set the caller opened (and closes);
//   3. PopulateListFromRowsets<Container, Builder>(command, list): clears the list, opens a row
//      set on the command, then as form 2.
// A procedure that returned no row set leaves the list empty. The caller reads the procedure's
// return value afterwards.
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "businesslogic/BlockTimer.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/TraceComponent.h"
#include "platform/ado/Ado.h"
#include "businesslogic/entities/AlertDetails.h"
#include "platform/trace/Trace.h"

namespace priv {

// Field readers: the column is looked up by name in the current row (a failed lookup or read
// throws WinRuntimeError); a value of another type is an assertion failure, std::logic_error
// "<source position> : Assertion failed value.vt == VT_...".
std::wstring GetStringField(const ado::Fields& fields, const wchar_t* name);         // NULL gives ""
std::wstring GetStringFieldNotNull(const ado::Fields& fields, const wchar_t* name);
bool GetBoolField(const ado::Fields& fields, const wchar_t* name);
LONG GetIntField(const ado::Fields& fields, const wchar_t* name);
DATE GetDateField(const ado::Fields& fields, const wchar_t* name);
// The value as it is, of whatever type.
_variant_t GetFieldValue(const ado::Fields& fields, const wchar_t* name);

// The readable name of a type, for the traces.
std::wstring TypeName(const std::type_info& type);

// Runs the command into a new read-only static row set (cache of 200 rows); a failure throws
// vrn::Exceptions::ConnectToDatabaseFailed.
ado::RecordsetPtr OpenRecordset(const ado::CommandPtr& command);
// MoveNext; a failure throws vrn::Exceptions::ConnectToDatabaseFailed.
void MoveNext(ado::Recordset& records);

// Column 0 of every row of the command's row set, fetched in one call.
class CFirstColumn
{
public:
  // Empty when the procedure returned no row set or no rows. std::logic_error "GetRows
  // returned an unexpected type" when the rows do not come as an array of VARIANTs.
  explicit CFirstColumn(const ado::CommandPtr& command);
  ~CFirstColumn();
  CFirstColumn(const CFirstColumn&) = delete;
  CFirstColumn& operator=(const CFirstColumn&) = delete;

  bool HasRowSet() const noexcept { return m_hasRowSet; }
  std::size_t size() const noexcept { return m_count; }
  // The row's value as a 32-bit integer; a value that is not one throws WinRuntimeError.
  LONG IntAt(std::size_t row) const
  {
    const VARIANT& cell = m_cells[row];
    return cell.vt == VT_I4 ? cell.lVal : Converted(cell);
  }

private:
  static LONG Converted(const VARIANT& cell);
  _variant_t m_rows;
  VARIANT* m_cells = nullptr;
  std::size_t m_count = 0;
  bool m_hasRowSet = false;
};

// Form 2 steps after the scope trace: appends one element per row, the reservation growing by
// doubling from 10.
template <class Container, class Builder>
void AppendRows(ado::Recordset& records, Container& list, const std::wstring& containerName, const std::wstring& builderName)
{
  if (records.State() != ado::adStateOpen || records.IsEOF())
    return;
  std::size_t reserved = 10;
  list.reserve(reserved);
  const Builder build{};
  std::size_t count = 0;
  while (!records.IsEOF()) {
    list.push_back(build(records.GetFields()));
    if (++count == reserved) {
      reserved *= 2;
      list.reserve(reserved);
    }
    MoveNext(records);
  }
  trace::Trace(TRACE_BUSINESSLOGIC, 2, "PopulateListFromRowsets<%S,%S> %i items", containerName, builderName,
               static_cast<long>(count));
}

}  // namespace priv

// Form 1: the list gets one entity per row, its identity from column 0.
template <class List>
void PopulateListFromRowsetsFast(const ado::CommandPtr& command, List& list)
{
  const std::wstring typeName = priv::TypeName(typeid(List));
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "PopulateListFromRowsetsFast<%S>()", typeName);
  CBlockTimer timer(TRACE_BUSINESSLOGIC, "CGroup::PopulateListFromRowsetsFast");
  list.clear();
  const priv::CFirstColumn column(command);
  if (column.size() == 0)
    return;
  using Id = typename List::value_type::IdType;
  list.reserve(column.size());
  for (std::size_t row = 0; row < column.size(); ++row)
    list.emplace_back(static_cast<Id>(column.IntAt(row)));
  trace::Trace(TRACE_BUSINESSLOGIC, 2, "PopulateListFromRowsetsFast<%S> %i items", typeName, static_cast<long>(list.size()));
}

template <class List>
void PopulateListFromRowsetsFast(const COurCommand& command, List& list)
{
  PopulateListFromRowsetsFast(command.Command(), list);
}

// Form 2: an open row set; the list keeps what it held, the row set stays open.
template <class Container, class Builder>
void PopulateListFromRowsets(const ado::RecordsetPtr& records, Container& list)
{
  const std::wstring containerName = priv::TypeName(typeid(Container));
  const std::wstring builderName = priv::TypeName(typeid(Builder));
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "PopulateListFromRowsets<%S,%S>()", containerName, builderName);
  if (records)
    priv::AppendRows<Container, Builder>(*records, list, containerName, builderName);
}

// Form 3: the list is cleared and filled from a row set opened on the command.
template <class Container, class Builder>
void PopulateListFromRowsets(const ado::CommandPtr& command, Container& list)
{
  const std::wstring containerName = priv::TypeName(typeid(Container));
  const std::wstring builderName = priv::TypeName(typeid(Builder));
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "PopulateListFromRowsets<%S,%S>()", containerName, builderName);
  CBlockTimer timer(TRACE_BUSINESSLOGIC, "PopulateListFromRowsets");
  list.clear();
  ado::RecordsetPtr records = priv::OpenRecordset(command);
  priv::AppendRows<Container, Builder>(*records, list, containerName, builderName);
}

template <class Container, class Builder>
void PopulateListFromRowsets(const COurCommand& command, Container& list)
{
  PopulateListFromRowsets<Container, Builder>(command.Command(), list);
}

// Builders: one element from the fields of the current row.

struct CIdeListFromADOFields
{
  std::wstring operator()(const ado::Fields& fields) const;
};

struct CAUConfigXMLFromADOFields
{
  std::wstring operator()(const ado::Fields& fields) const;
};

struct CDexConfigXMLFromADOFields
{
  std::wstring operator()(const ado::Fields& fields) const;
};

struct CGroupDexConfigurationXMLFromADOFields
{
  std::wstring operator()(const ado::Fields& fields) const;
};

struct CTzLibraryStatusXMLFromADOFields
{
  std::wstring operator()(const ado::Fields& fields) const;
};

// (parent id, group id); a parent that is not an integer (NULL at the top of the tree) is the
// root, 0xFFFFFFFF.
struct CPairOfGroupIds
{
  std::pair<ULONG, ULONG> operator()(const ado::Fields& fields) const;
};

struct CVirusAlertDetailsFromADOFields
{
  Alerts::VirusAlertDetails operator()(const ado::Fields& fields) const;
};

struct CErrorDetailsFromADOFields
{
  CAlertDetailsBase::ErrorDetails operator()(const ado::Fields& fields) const;
};
