#pragma once
// The session channel of the data-access layer: a data source opened from a provider and an
// initialisation property set, a session on it, and commands given as call texts
// ("{ ? = CALL dbo.X(?,?) }") whose parameters are bound by position to the caller's
// variables through a binding list, each with its status.
#include <memory>
#include <string>
#include <vector>

#include "platform/ado/PgLink.h"
#include "platform/com/Guid.h"
#include "platform/com/Variant.h"

namespace oledb {

using DBSTATUS = DWORD;
constexpr DBSTATUS DBSTATUS_S_OK = 0;
constexpr DBSTATUS DBSTATUS_E_CANTCONVERTVALUE = 2;
constexpr DBSTATUS DBSTATUS_S_ISNULL = 3;
constexpr DBSTATUS DBSTATUS_S_TRUNCATED = 4;
constexpr DBSTATUS DBSTATUS_E_UNAVAILABLE = 8;

using DBTYPE = WORD;
constexpr DBTYPE DBTYPE_I2 = 2;
constexpr DBTYPE DBTYPE_I4 = 3;
constexpr DBTYPE DBTYPE_BOOL = 11;
constexpr DBTYPE DBTYPE_I8 = 20;
constexpr DBTYPE DBTYPE_STR = 129;   // char buffer, NUL-terminated, UTF-8
constexpr DBTYPE DBTYPE_WSTR = 130;  // wchar_t buffer, NUL-terminated
constexpr DBTYPE DBTYPE_DBTIMESTAMP = 135;

using DBPARAMIO = DWORD;
constexpr DBPARAMIO DBPARAMIO_INPUT = 1;
constexpr DBPARAMIO DBPARAMIO_OUTPUT = 2;

struct DBTIMESTAMP
{
  SHORT year;
  USHORT month;
  USHORT day;
  USHORT hour;
  USHORT minute;
  USHORT second;
  ULONG fraction;  // nanoseconds
};

using DBPROPID = DWORD;
constexpr DBPROPID DBPROP_AUTH_INTEGRATED = 0x07;
constexpr DBPROPID DBPROP_INIT_DATASOURCE = 0x3B;
constexpr DBPROPID DBPROP_INIT_PROMPT = 0x40;
constexpr DBPROPID DBPROP_INIT_LCID = 0xBA;
constexpr DBPROPID DBPROP_INIT_CATALOG = 0xE9;
constexpr DBPROPID DBPROP_INIT_TIMEOUT = 0x42;
constexpr SHORT DBPROMPT_NOPROMPT = 4;

constexpr GUID DBPROPSET_DBINIT = MakeGuid("{C8B522BC-5CF3-11CE-ADE5-00AA0044773D}");
constexpr GUID DBGUID_DEFAULT = MakeGuid("{C8B521FB-5CF3-11CE-ADE5-00AA0044773D}");

// The system's default locale identifier (English, United States, as the server's messages are).
DWORD GetSystemDefaultLCID();

class CDBPropSet
{
public:
  explicit CDBPropSet(const GUID& set) : m_set(set) {}
  // False when the property is already in the set or the value is empty.
  bool AddProperty(DBPROPID id, const _variant_t& value);
  const GUID& Set() const { return m_set; }
  const _variant_t* Find(DBPROPID id) const;
  std::size_t Count() const { return m_props.size(); }

private:
  GUID m_set;
  std::vector<std::pair<DBPROPID, _variant_t>> m_props;
};

class CDataSource
{
public:
  // Provider "SQLOLEDB" (any case and version suffix); the property set must be
  // DBPROPSET_DBINIT with integrated security "SSPI", the data source and the catalog.
  HRESULT Open(const wchar_t* provider, const CDBPropSet* props, ULONG propSetCount = 1);
  void Close() { m_link.reset(); }

private:
  friend class CSession;
  std::unique_ptr<ado::PgLink> m_link;
};

class CSession
{
public:
  // Takes over the data source's server connection; the data source is left closed.
  HRESULT Open(CDataSource& dataSource);
  // Shares a server connection opened elsewhere, so that calls on both run in one transaction.
  void Attach(std::shared_ptr<ado::PgLink> link) { m_link = std::move(link); }
  void Close() { m_link.reset(); }
  bool IsOpen() const { return m_link != nullptr; }
  const std::shared_ptr<ado::PgLink>& Link() const { return m_link; }

private:
  std::shared_ptr<ado::PgLink> m_link;
};

// One positional parameter: for DBTYPE_STR and DBTYPE_WSTR, maxLength is the buffer's size in
// bytes (the terminating NUL included); an input whose status is DBSTATUS_S_ISNULL is sent as
// NULL. After a successful call every output's status is set.
struct ParamBinding
{
  DBPARAMIO io;
  DBTYPE type;
  void* value;
  std::size_t maxLength;
  DBSTATUS* status;
};

struct CallText
{
  bool returnValue = false;
  std::string schema;
  std::string name;
  int parameters = 0;  // the "?" inside the parentheses
};
// Parses "{ [? =] CALL [schema.]name[(?, ...)] }"; false with an error text when malformed.
bool ParseCallText(const std::string& text, CallText& out, std::string& error);

// Runs the call text on the session. The bindings are the "?" in order: the return value first
// when the text has "? =". An output of the procedure comes back in the binding at its
// position. Inputs are sent as text and converted by the server to the procedure's types.
HRESULT ExecuteCall(const CSession& session, const std::string& text, const ParamBinding* bindings, std::size_t count,
                    unsigned timeoutSec = 30);

}  // namespace oledb
