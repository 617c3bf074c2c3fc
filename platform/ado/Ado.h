#pragma once
// The data-access object model over the database server: a connection opened from its
// provider properties, stored-procedure commands whose parameters are read from the server's
// catalog, and row sets. Objects are shared (std::shared_ptr), as the interfaces they stand for
// are reference counted. Calls that can fail return an HRESULT and leave the failure's
// description in the thread's error information (ErrorInfo.h); a connection also keeps the
// provider's errors of its last failure.
//
// Procedures are server functions dbo."<Name>" whose parameter names carry the "@"; the first
// OUT parameter "@RETURN_VALUE" is the return value; a procedure that returns rows opens a
// cursor it hands back in a last OUT parameter of type refcursor, read within the same
// transaction. Row sets are read completely when the command runs, so no transaction stays open
// while the caller walks the rows.
#include <memory>
#include <string>
#include <vector>

#include "platform/ado/AdoTypes.h"
#include "platform/ado/PgLink.h"
#include "platform/ado/PgValue.h"
#include "platform/com/Variant.h"

namespace ado {

class Connection;
class Command;
class Parameters;
class Recordset;
using ConnectionPtr = std::shared_ptr<Connection>;
using CommandPtr = std::shared_ptr<Command>;
using ParametersPtr = std::shared_ptr<Parameters>;
using RecordsetPtr = std::shared_ptr<Recordset>;

bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

struct Property
{
  std::wstring Name;
  _variant_t Value;
};

struct Error
{
  HRESULT Number;
  std::wstring Description;
  std::wstring SQLState;
};

class Connection
{
public:
  static ConnectionPtr Create();

  // "sqloledb" (any case, with or without a version suffix) is the provider this layer offers;
  // setting it gives the connection its dynamic properties.
  HRESULT put_Provider(const std::wstring& provider);
  const std::wstring& Provider() const { return m_provider; }
  // Dynamic properties: "Data Source", "Initial Catalog", "Integrated Security",
  // "Persist Security Info", "Packet Size", "Connect Timeout", "Application Name".
  const std::vector<Property>& Properties() const { return m_properties; }
  // adErrItemNotFound when the connection has no property of that name.
  HRESULT PutProperty(const std::wstring& name, const _variant_t& value);
  HRESULT GetProperty(const std::wstring& name, _variant_t& value) const;

  void put_CursorLocation(CursorLocationEnum location) { m_cursorLocation = location; }
  CursorLocationEnum CursorLocation() const { return m_cursorLocation; }
  void put_ConnectionTimeout(long seconds) { m_connectionTimeout = seconds; }
  long ConnectionTimeout() const { return m_connectionTimeout; }
  // Default time limit of the commands run on this connection (seconds, 0 = none).
  void put_CommandTimeout(long seconds) { m_commandTimeout = seconds; }
  long CommandTimeout() const { return m_commandTimeout; }

  // Opens the connection with integrated security: the server sees this process's OS user.
  // A connection string may give "Key=Value" pairs for the properties; a user name or password
  // is refused. Opening an open connection replaces its server connection.
  HRESULT Open(const std::wstring& connectionString, const std::wstring& user, const std::wstring& password,
               long options);
  void Close();
  // adStateOpen while the server connection is usable; adStateClosed before Open, after Close,
  // and once the server connection was lost.
  HRESULT get_State(long* state) const;
  long State() const;
  // The provider's errors of the last failed call on this connection.
  std::vector<Error> Errors() const;

  // For the objects of this layer.
  std::shared_ptr<PgLink> Link() const;
  HRESULT Failure(const PgError& error);

private:
  Connection() = default;
  std::wstring m_provider;
  std::vector<Property> m_properties;
  CursorLocationEnum m_cursorLocation = adUseServer;
  long m_connectionTimeout = 15;
  long m_commandTimeout = 30;
  mutable std::mutex m_mutex;  // guards m_link and m_errors
  std::shared_ptr<PgLink> m_link;
  std::vector<Error> m_errors;
};

class Parameter
{
public:
  const std::wstring& Name() const { return m_name; }
  ParameterDirectionEnum Direction() const { return m_direction; }
  DataTypeEnum Type() const { return m_type; }
  // The declared size: characters for text, bytes for the other types.
  long Size() const { return m_size; }
  const _variant_t& Value() const { return m_value; }
  // Checks that the value can be sent as the parameter's type (DISP_E_TYPEMISMATCH,
  // DISP_E_OVERFLOW) and keeps it.
  HRESULT put_Value(const VARIANT& value);

private:
  friend class Parameters;
  friend class Command;
  std::wstring m_name;
  ParameterDirectionEnum m_direction = adParamInput;
  DataTypeEnum m_type = adEmpty;
  long m_size = 0;
  PgKind m_kind = PgKind::Other;
  _variant_t m_value;
  std::optional<std::string> m_text;  // the value as sent
  int m_column = -1;                  // result column of an output, -1 for an input
};

class Parameters
{
public:
  // Reads the procedure's parameter list from the server: name, direction, type, declared size.
  HRESULT Refresh();
  long Count() const { return static_cast<long>(m_items.size()); }
  // adErrItemNotFound for an unknown name (names compare without regard to case).
  HRESULT Item(std::wstring_view name, Parameter** out);
  Parameter& Item(long index) { return m_items.at(static_cast<std::size_t>(index)); }

private:
  friend class Command;
  explicit Parameters(Command& owner) : m_owner(owner) {}
  Command& m_owner;
  std::vector<Parameter> m_items;
  bool m_refreshed = false;
};

class Command
{
public:
  static CommandPtr Create();

  void put_CommandText(const std::wstring& text);
  const std::wstring& CommandText() const { return m_text; }
  void put_CommandType(CommandTypeEnum type) { m_type = type; }
  CommandTypeEnum CommandType() const { return m_type; }
  HRESULT put_ActiveConnection(const ConnectionPtr& connection);
  const ConnectionPtr& ActiveConnection() const { return m_connection; }
  // Time limit of one execution in seconds (0 = none); set from the connection's default when
  // the connection is given.
  void put_CommandTimeout(long seconds) { m_timeout = seconds; }
  long CommandTimeout() const { return m_timeout; }
  // The parameter collection; it keeps the command alive.
  ParametersPtr GetParameters();

  // Runs the procedure with the parameters' values; afterwards the output parameters and the
  // return value hold what the procedure delivered, even when the call failed after delivering
  // them. With adExecuteNoRecords no row set is read; otherwise *records receives the row set
  // (closed when the procedure returned none). recordsAffected and parameters must be null.
  HRESULT Execute(long* recordsAffected, const VARIANT* parameters, long options, RecordsetPtr* records);

private:
  friend class Parameters;
  friend class Recordset;
  Command();
  HRESULT Run(bool withRows, Recordset* records);
  HRESULT ProcedureName(std::string& schema, std::string& name) const;
  void BuildCall();

  std::weak_ptr<Command> m_self;
  std::wstring m_text;
  CommandTypeEnum m_type = adCmdUnspecified;
  ConnectionPtr m_connection;
  long m_timeout = 30;
  Parameters m_parameters;
  std::string m_call;        // SELECT * FROM schema."name"($1::type, ...)
  int m_cursorColumn = -1;   // result column of the refcursor, -1 when there is none
};

class Recordset;

// One column of a row set's current row.
class Field
{
public:
  Field() = default;
  const std::wstring& Name() const;
  DataTypeEnum Type() const;
  // The value of the current row; adErrNoCurrentRecord at EOF.
  HRESULT get_Value(VARIANT* value) const;

private:
  friend class Recordset;
  friend class Fields;
  Field(const Recordset* rs, int column) : m_rs(rs), m_column(column) {}
  const Recordset* m_rs = nullptr;
  int m_column = -1;
};

// The columns of a row set, by name (without regard to case) or position.
class Fields
{
public:
  explicit Fields(const Recordset* rs) : m_rs(rs) {}
  long Count() const;
  HRESULT Item(std::wstring_view name, Field& out) const;
  HRESULT Item(long index, Field& out) const;

private:
  const Recordset* m_rs;
};

class Recordset
{
public:
  static RecordsetPtr Create();

  void put_CacheSize(long rows) { m_cacheSize = rows; }
  long CacheSize() const { return m_cacheSize; }
  void put_CursorType(CursorTypeEnum type) { m_cursorType = type; }
  CursorTypeEnum CursorType() const { return m_cursorType; }
  void put_Source(const CommandPtr& command) { m_source = command; }

  // Runs the source command (a command given here, else the one set as Source; a VARIANT of
  // VT_ERROR or VT_EMPTY means "omitted") and holds its rows. activeConnection must be omitted:
  // the command's connection is used.
  HRESULT Open(const VARIANT& source, const VARIANT& activeConnection, CursorTypeEnum cursorType, LockTypeEnum lockType,
               long options);
  HRESULT Open(const CommandPtr& source, CursorTypeEnum cursorType, LockTypeEnum lockType, long options);
  void Close();

  long State() const { return m_rows ? adStateOpen : adStateClosed; }
  bool IsEOF() const { return !m_rows || m_row >= m_rowCount; }
  long RecordCount() const { return m_rows ? m_rowCount : -1; }
  HRESULT MoveNext();
  Fields GetFields() const { return Fields(this); }

  // Values of one column for `rows` rows (adGetRowsRest: all) from the current row on, as a
  // one-dimensional VT_ARRAY | VT_VARIANT; the current row moves past them. `fields` is the
  // column's index or name, or omitted when the row set has one column. `start` must be omitted.
  HRESULT GetRows(long rows, const VARIANT& start, const VARIANT& fields, VARIANT* out);

  // For Command.
  void Attach(PgResultPtr rows);

private:
  friend class Field;
  friend class Fields;
  Recordset() = default;
  HRESULT ColumnOf(const VARIANT& field, int& column) const;

  long m_cacheSize = 1;
  CursorTypeEnum m_cursorType = adOpenForwardOnly;
  CommandPtr m_source;
  PgResultPtr m_rows;
  int m_rowCount = 0;
  int m_row = 0;
  std::vector<std::wstring> m_names;
  std::vector<PgKind> m_kinds;
  bool m_uniqueNames = true;        // no two columns' names equal without regard to case
  mutable std::size_t m_nextField = 0;  // where a lookup by name starts
};

}  // namespace ado
