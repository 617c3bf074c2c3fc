#include "managementservice/host/EventLogger.h"

#include <unistd.h>

#include <mutex>
#include <unordered_set>

#include "managementservice/TraceComponent.h"
#include "platform/com/ComError.h"
#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "resources/EventMessages.h"
#include "resources/StringTable.h"

namespace {

// The account's SID as the platform writes a Unix account: S-1-22-1-<uid>.
std::wstring ProcessUserSid()
{
  return L"S-1-22-1-" + std::to_wstring(::geteuid());
}

}  // namespace

CEventLogger::CEventLogger(const wchar_t* sourceName, WORD category) noexcept : m_category(category)
{
  try {
    trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, L"CEventLogger::CEventLogger(`%s`, %d)", sourceName, category);
    m_name = sourceName ? sourceName : L"";
    try {
      // The installer registers the message file with the source; the texts ship with the program.
      RegisterEventMessages(m_name, EventMessageTexts());
      m_source = RegisterEventSource(nullptr, m_name.c_str());
      if (!m_source)
        throw _com_error(HRESULT_FROM_WIN32(static_cast<long>(GetLastError())));
    } catch (const _com_error& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"RegisterEventSource failed: %ls, hr=0x%p", e.ErrorMessage(), e.Error());
    } catch (...) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Unknown exception caught while registering event source");
    }
    try {
      m_userSid = ProcessUserSid();
    } catch (...) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Unknown exception caught while getting access token");
    }
  } catch (...) {
    // The logger must exist even when nothing else works.
  }
}

CEventLogger::~CEventLogger()
{
  if (m_source)
    DeregisterEventSource(m_source);
}

void CEventLogger::Write(DWORD eventId, WORD type, const std::vector<std::wstring>& strings) const noexcept
{
  if (!m_source)
    return;
  try {
    ReportEvent(m_source, type, m_category, eventId, m_userSid.empty() ? nullptr : m_userSid.c_str(), strings);
  } catch (...) {
  }
}

void CEventLogger::Report(DWORD eventId, WORD type) const noexcept { Write(eventId, type, {}); }

void CEventLogger::Report(DWORD eventId, WORD type, const std::wstring& s1) const noexcept
{
  try {
    Write(eventId, type, {s1});
  } catch (...) {
  }
}

void CEventLogger::Report(DWORD eventId, WORD type, const std::wstring& s1, const std::wstring& s2) const noexcept
{
  try {
    Write(eventId, type, {s1, s2});
  } catch (...) {
  }
}

void CEventLogger::Report(DWORD eventId, WORD type, const std::wstring& s1, const std::wstring& s2,
                          const std::wstring& s3) const noexcept
{
  try {
    Write(eventId, type, {s1, s2, s3});
  } catch (...) {
  }
}

CEventLogger g_EventLogger(LoadResourceString(IDS_SERVICENAME).c_str(), 2);

void ReportRefusedAddressClaim(const std::string& address, const std::wstring& computerName) noexcept
{
  // Enough for every address of a large network; past it, refusals are only traced.
  constexpr std::size_t kMaxReportedAddresses = 4096;
  try {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, L"Refused a message from `%S` naming the computer `%s` of another address", address,
                 computerName);
    static std::mutex lock;
    static std::unordered_set<std::string> reported;
    {
      std::lock_guard guard(lock);
      if (reported.size() >= kMaxReportedAddresses || !reported.insert(address).second)
        return;
    }
    g_EventLogger.Report(EVMSG_GENERIC, EVENTLOG_WARNING_TYPE,
                         L"A message from the messaging address " + FromUtf8(address) + L" names the computer " + computerName +
                             L", which another address manages; the message was refused and nothing was stored. "
                             L"Further refusals of this address are not reported.");
  } catch (...) {
  }
}
