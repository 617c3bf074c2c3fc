#include <cwctype>

#include "platform/ado/Ado.h"
#include "platform/ado/ErrorInfo.h"
#include "platform/text/Unicode.h"

namespace ado {

bool EqualsNoCase(std::wstring_view a, std::wstring_view b)
{
  if (a.size() != b.size())
    return false;
  // Names are nearly always asked for as they are spelt: case is only looked at where they differ.
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && std::towlower(a[i]) != std::towlower(b[i]))
      return false;
  return true;
}

namespace {

std::wstring Trim(std::wstring s)
{
  while (!s.empty() && std::iswspace(s.back()))
    s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && std::iswspace(s[i]))
    ++i;
  return s.substr(i);
}

bool IsOurProvider(const std::wstring& provider)
{
  const std::wstring base = provider.substr(0, provider.find(L'.'));
  return EqualsNoCase(base, L"sqloledb");
}

std::string PropertyText(const std::vector<Property>& props, const wchar_t* name)
{
  for (const Property& p : props)
    if (EqualsNoCase(p.Name, name))
      return p.Value.vt == VT_EMPTY || p.Value.vt == VT_NULL ? std::string() : ToUtf8(p.Value.ToWString());
  return {};
}

}  // namespace

ConnectionPtr Connection::Create() { return ConnectionPtr(new Connection()); }

HRESULT Connection::put_Provider(const std::wstring& provider)
{
  if (!IsOurProvider(provider))
    return Fail(adErrProviderNotFound, L"Provider cannot be found: \"" + provider + L"\".");
  m_provider = provider;
  if (m_properties.empty()) {
    m_properties = {
      {L"Data Source", _variant_t(L"")},
      {L"Initial Catalog", _variant_t(L"")},
      {L"Integrated Security", _variant_t(L"")},
      {L"Persist Security Info", _variant_t(false)},
      {L"Packet Size", _variant_t(static_cast<LONG>(4096))},
      {L"Connect Timeout", _variant_t(static_cast<LONG>(15))},
      {L"Application Name", _variant_t(L"")},
    };
  }
  return S_OK;
}

HRESULT Connection::PutProperty(const std::wstring& name, const _variant_t& value)
{
  for (Property& p : m_properties) {
    if (EqualsNoCase(p.Name, name)) {
      p.Value = value;
      if (EqualsNoCase(name, L"Connect Timeout")) {
        try {
          m_connectionTimeout = value.ToLong();
        } catch (...) {
          return Fail(DISP_E_TYPEMISMATCH, L"\"Connect Timeout\" takes a number of seconds.");
        }
      }
      return S_OK;
    }
  }
  return Fail(adErrItemNotFound, L"Item cannot be found in the collection corresponding to the requested name or ordinal: \"" +
                                     name + L"\".");
}

HRESULT Connection::GetProperty(const std::wstring& name, _variant_t& value) const
{
  for (const Property& p : m_properties) {
    if (EqualsNoCase(p.Name, name)) {
      value = p.Value;
      return S_OK;
    }
  }
  return Fail(adErrItemNotFound, L"Item cannot be found in the collection corresponding to the requested name or ordinal: \"" +
                                     name + L"\".");
}

HRESULT Connection::Open(const std::wstring& connectionString, const std::wstring& user, const std::wstring& password,
                         long /*options*/)
{
  if (!user.empty() || !password.empty())
    return Fail(DB_SEC_E_AUTH_FAILED, L"Only integrated security is supported: no user name or password is accepted.");
  // "Key=Value;..." pairs set the provider and the properties.
  std::size_t pos = 0;
  while (pos < connectionString.size()) {
    std::size_t end = connectionString.find(L';', pos);
    if (end == std::wstring::npos)
      end = connectionString.size();
    const std::wstring pair = connectionString.substr(pos, end - pos);
    pos = end + 1;
    if (Trim(pair).empty())
      continue;
    const std::size_t eq = pair.find(L'=');
    if (eq == std::wstring::npos)
      return Fail(adErrInvalidArgument, L"Malformed connection string near \"" + pair + L"\".");
    const std::wstring key = Trim(pair.substr(0, eq));
    const std::wstring value = Trim(pair.substr(eq + 1));
    const HRESULT hr = EqualsNoCase(key, L"Provider") ? put_Provider(value) : PutProperty(key, _variant_t(value));
    if (FAILED(hr))
      return hr;
  }
  if (m_provider.empty())
    return Fail(adErrProviderNotFound, L"No provider is set.");
  if (!EqualsNoCase(Trim(FromUtf8(PropertyText(m_properties, L"Integrated Security"))), L"SSPI"))
    return Fail(DB_SEC_E_AUTH_FAILED,
                L"Only integrated security (\"Integrated Security\" = \"SSPI\") is supported: no password is kept anywhere.");
  Close();
  ConnectParams params;
  params.dataSource = PropertyText(m_properties, L"Data Source");
  params.catalog = PropertyText(m_properties, L"Initial Catalog");
  params.connectTimeoutSec = m_connectionTimeout < 0 ? 0 : static_cast<unsigned>(m_connectionTimeout);
  PgError error;
  std::unique_ptr<PgLink> link = PgLink::Connect(params, error);
  if (!link)
    return Failure(error);
  std::lock_guard lock(m_mutex);
  m_link = std::move(link);
  m_errors.clear();
  return S_OK;
}

void Connection::Close()
{
  std::shared_ptr<PgLink> old;
  std::lock_guard lock(m_mutex);
  old.swap(m_link);
}

HRESULT Connection::get_State(long* state) const
{
  if (!state)
    return E_POINTER;
  *state = State();
  return S_OK;
}

long Connection::State() const
{
  std::lock_guard lock(m_mutex);
  return m_link && m_link->IsOpen() ? adStateOpen : adStateClosed;
}

std::vector<Error> Connection::Errors() const
{
  std::lock_guard lock(m_mutex);
  return m_errors;
}

std::shared_ptr<PgLink> Connection::Link() const
{
  std::lock_guard lock(m_mutex);
  return m_link;
}

HRESULT Connection::Failure(const PgError& error)
{
  {
    std::lock_guard lock(m_mutex);
    m_errors = {Error{error.hr, FromUtf8(error.message), FromUtf8(error.sqlState)}};
  }
  return Fail(error.hr, error.message);
}

}  // namespace ado
