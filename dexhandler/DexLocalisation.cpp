#include "dexhandler/DexLocalisation.h"

#include <algorithm>
#include <cwctype>

#include "dexhandler/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace DexHandler {

namespace {

bool SameCode(const std::wstring& a, const wchar_t* b)
{
  const std::wstring other(b);
  return std::equal(a.begin(), a.end(), other.begin(), other.end(),
                    [](wchar_t x, wchar_t y) { return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y)); });
}

// Each placeholder %1 ... %9 takes its insert at its first occurrence; placeholders without an
// insert, repeats and the inserted texts themselves are left as they are.
std::wstring Substitute(const std::wstring& text, const std::vector<std::wstring>& inserts)
{
  std::wstring result;
  std::vector<bool> used(inserts.size(), false);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'%' && i + 1 < text.size() && text[i + 1] >= L'1' && text[i + 1] <= L'9') {
      const std::size_t n = static_cast<std::size_t>(text[i + 1] - L'1');
      if (n < inserts.size() && !used[n]) {
        used[n] = true;
        result += inserts[n];
        ++i;
        continue;
      }
    }
    result += text[i];
  }
  return result;
}

const DexMessage* Find(LONG number, const std::wstring& code)
{
  const auto& messages = DexLocalisation::Messages();
  auto it = std::find_if(messages.begin(), messages.end(), [&](const DexMessage& m) { return SameCode(code, m.code); });
  if (it == messages.end())
    it = std::find_if(messages.begin(), messages.end(), [&](const DexMessage& m) { return m.number == number; });
  return it == messages.end() ? nullptr : &*it;
}

}  // namespace

const std::vector<DexMessage>& DexLocalisation::Messages()
{
  static const std::vector<DexMessage> messages{
    {L"OnAccessStartFailed", 2001, L"On-access scanning could not be started: %1."},
    {L"OnAccessStopped", 2002, L"On-access scanning was stopped by %1."},
    {L"ScanAborted", 2101, L"The scan \"%1\" stopped before it finished: %2."},
    {L"ScanItemUnreadable", 2102, L"The scan \"%1\" could not read %2: %3."},
    {L"ScanScheduleMissed", 2103, L"The scheduled scan \"%1\" did not run at %2 because the computer was switched off."},
    {L"VirusDataOutOfDate", 2201, L"The virus data (version %1) is %2 days old."},
    {L"VirusDataLoadFailed", 2202, L"The virus identity file %1 could not be loaded: %2."},
    {L"EngineError", 2203, L"The virus detection engine reported error %1."},
    {L"QuarantineFull", 2301, L"The quarantine holds %1 items and is full; infected items can no longer be moved into it."},
    {L"MoveFailed", 2302, L"%1 could not be moved to %2: %3."},
    {L"ConfigurationRejected", 2401, L"The configuration sent by the management service was not applied: %1."},
    {L"AlertMailFailed", 2402, L"The alert e-mail could not be sent through %1: %2."},
  };
  return messages;
}

void DexLocalisation::GetAppEventMessage(std::wstring& result, const std::wstring& source, LONG number, const std::wstring& messageCode,
                                         const std::vector<std::wstring>& inserts) const
{
  trace::CFunctionTrace scope(TRACE_DEXHANDLER, L"void DexLocalisation::GetAppEventMessage(result, '%s', %d, '%s', inserts)", source,
                              number, messageCode);
  if (const DexMessage* message = Find(number, messageCode)) {
    result = Substitute(message->text, inserts);
    return;
  }
  trace::Trace(TRACE_DEXHANDLER, 1, L"No text for anti-virus message '%s' (%d)", messageCode, number);
  result = L"Anti-virus message " + messageCode + L" (" + std::to_wstring(number) + L")";
  for (std::size_t i = 0; i < inserts.size(); ++i)
    result += (i == 0 ? L": " : L", ") + inserts[i];
}

}  // namespace DexHandler
