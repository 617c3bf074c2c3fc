#include "businesslogic/entities/AlertDetails.h"

#include "businesslogic/LocalisationFactory.h"
#include "businesslogic/TraceComponent.h"
#include "platform/text/Language.h"
#include "platform/trace/Trace.h"

namespace {

// Where the virus information pages are.
constexpr wchar_t kVirusInfoAddress[] = L"http://www.corvex.example/virusinfo/analyses/svl.cgi?virus=";

}  // namespace

std::wstring CAlertDetailsBase::ErrorDetails::GetLocalisedString() const
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, L"std::wstring ErrorDetails::GetLocalisedString(\"%s\", %i)", source, number);
  if (messageCode.empty())
    return {};
  std::wstring text;
  CLocalisationFactory::Instance().GetStrategy(source).GetAppEventMessage(text, entityInfo, number, messageCode, inserts);
  // One line of display text: line breaks and other control characters become spaces.
  for (wchar_t& c : text)
    if (c < 32)
      c = L' ';
  return text;
}

void CAlertDetailsBase::VirusNameToWebsite(const std::wstring& virusName, std::wstring& weblink)
{
  VirusNameToWebsite(virusName, weblink, GetUserDefaultLangID());
}

void CAlertDetailsBase::VirusNameToWebsite(const std::wstring& virusName, std::wstring& weblink, unsigned short language)
{
  weblink = kVirusInfoAddress + virusName + L"&lang=" + std::to_wstring(language & 0x3FF) + L"&sublang=" +
            std::to_wstring(language >> 10);
}

namespace Alerts {

void VirusAlertDetails::SetVirusDetails(DATE time, const std::wstring& user, const std::wstring& virus, LONG type,
                                        const std::wstring& item, LONG scanner, LONG action, bool isOutstanding)
{
  timeDetected = time;
  userName = user;
  virusName = virus;
  virusType = type;
  infectedItem = item;
  scannerType = scanner;
  actionTaken = action;
  outstanding = isOutstanding;
  detailsSet = true;
}

void VirusAlertDetails::SetErrorDetails(const ErrorDetails&)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "Alerts::VirusAlertDetails::SetErrorDetails()");
}

}  // namespace Alerts
