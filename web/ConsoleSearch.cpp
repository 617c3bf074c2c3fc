#include "web/ConsoleSearch.h"

#include <cstring>

#include "businesslogic/SystemEnviroment.h"
#include "platform/com/Bstr.h"
#include "platform/com/Memory.h"
#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"
#include "web/ApiError.h"

namespace corvexweb {

using nlohmann::json;

namespace {

class Listener : public CComRefCounted<IKTComputerSearchListener>
{
public:
  explicit Listener(ConsoleSearch& owner) : m_owner(owner) {}
  HRESULT QueryInterface(const IID& iid, void** out) override
  {
    return QueryInterfaceOf(static_cast<IKTComputerSearchListener*>(this), iid, out);
  }
  HRESULT OnStarted() override { return m_owner.Changed("started", 0, 0), S_OK; }
  HRESULT OnStatusChange(ULONG known, ULONG found) override { return m_owner.Changed("progress", known, found), S_OK; }
  HRESULT OnFinished() override { return m_owner.Changed("finished", 0, 0), S_OK; }

private:
  ConsoleSearch& m_owner;
};

void Check(HRESULT hr)
{
  if (FAILED(hr))
    throw ApiError(502, "service_refused", "The management service refused: " + ErrorText(hr));
}

}  // namespace

ConsoleSearch::ConsoleSearch() : m_listener(new Listener(*this)) {}

ConsoleSearch::~ConsoleSearch()
{
  try {
    if (m_search)
      m_search->RemoveStatusListener(m_listener);
  } catch (...) {
  }
}

// One search object, with this process's listener on it, until the service is lost.
CComPtr<IKTComputerSearch> ConsoleSearch::Object()
{
  std::lock_guard lock(m_mutex);
  if (!m_search) {
    CComPtr<IKTComputerSearch> search = CreateObjectOnServer<IKTComputerSearch>(CLSID_KTComputerSearch);
    Check(search->AddStatusListener(m_listener));
    m_search = search;
  }
  return m_search;
}

json ConsoleSearch::Domains()
{
  ULONG count = 0;
  BSTR* names = nullptr;
  HRESULT hr;
  try {
    hr = Object()->GetDomainNames(&count, &names);
  } catch (...) {
    std::lock_guard lock(m_mutex);
    m_search = nullptr;
    throw;
  }
  Check(hr);
  json out = json::array();
  for (ULONG i = 0; i < count; ++i) {
    out.push_back(ToUtf8(std::wstring_view(names[i], SysStringLen(names[i]))));
    SysFreeString(names[i]);
  }
  CoTaskMemFree(names);
  return out;
}

json ConsoleSearch::Start(json& body)
{
  if (!body.contains("domains") || !body["domains"].is_array() || !body.value("user", json()).is_string() ||
      !body.value("password", json("")).is_string())
    throw ApiError(400, "bad_request", "give \"domains\" (a list), \"user\" and \"password\"");
  std::vector<_bstr_t> domains;
  for (const json& d : body["domains"]) {
    if (!d.is_string() || d.get<std::string>().empty())
      throw ApiError(400, "bad_request", "a domain is a name");
    domains.emplace_back(FromUtf8(d.get<std::string>()));
  }
  std::vector<BSTR> array;
  for (auto& d : domains)
    array.push_back(d.GetBSTR());
  std::string& password = body["password"].get_ref<std::string&>();
  _bstr_t user(FromUtf8(body["user"].get<std::string>())), secret(FromUtf8(password));
  explicit_bzero(password.data(), password.size());
  HRESULT hr;
  try {
    hr = Object()->Search(static_cast<ULONG>(array.size()), array.data(), user.GetBSTR(), secret.GetBSTR());
  } catch (...) {
    if (BSTR p = secret.GetBSTR())
      explicit_bzero(p, SysStringLen(p) * sizeof(wchar_t));
    std::lock_guard lock(m_mutex);
    m_search = nullptr;
    throw;
  }
  if (BSTR p = secret.GetBSTR())
    explicit_bzero(p, SysStringLen(p) * sizeof(wchar_t));
  Check(hr);
  return json{{"started", true}, {"domains", body["domains"]}};
}

json ConsoleSearch::Stop()
{
  Check(Object()->Stop());
  return json{{"stopping", true}};
}

void ConsoleSearch::Changed(const char* what, ULONG known, ULONG found)
{
  {
    std::lock_guard lock(m_mutex);
    ++m_seq;
    m_last = what;
    if (std::strcmp(what, "started") == 0)
      m_running = true, m_known = 0, m_found = 0;
    else if (std::strcmp(what, "finished") == 0)
      m_running = false;
    else
      m_known = known, m_found = found;
  }
  m_changed.notify_all();
}

void ConsoleSearch::Shutdown()
{
  {
    std::lock_guard lock(m_mutex);
    m_shutdown = true;
  }
  m_changed.notify_all();
}

json ConsoleSearch::Progress(unsigned long long seen, std::chrono::milliseconds wait)
{
  std::unique_lock lock(m_mutex);
  m_changed.wait_for(lock, wait, [&] { return m_seq != seen || m_shutdown; });
  if (m_shutdown)
    return nullptr;
  return json{{"seq", m_seq}, {"event", m_last}, {"running", m_running}, {"known", m_known}, {"found", m_found}};
}

}  // namespace corvexweb
