#include "businesslogic/entities/AlertDetails.h"

#include "businesslogic/TraceComponent.h"
#include "platform/trace/Trace.h"

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
