#pragma once
// The details of alerts: a receiver that an alert hands its details to (virus or error), the
// record of an error alert, and the record of a virus alert.
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

class CAlertDetailsBase
{
public:
  struct ErrorDetails
  {
    DATE timeDetected = 0.0;
    std::wstring userName;
    std::wstring source;
    std::wstring entityInfo;
    LONG number = 0;
    std::wstring messageCode;
    std::vector<std::wstring> inserts;  // up to five, in insert order
    bool outstanding = false;

    // The message as display text, built by the localiser of the reporting entity (`source`)
    // with control characters shown as spaces; empty without a message code.
    // vrn::Exceptions::UnrecognisedEntity for an entity without a localiser.
    std::wstring GetLocalisedString() const;
  };

  // The page about a virus on our web site, in the user's language (GetUserDefaultLangID); the
  // name goes into the address as it is.
  static void VirusNameToWebsite(const std::wstring& virusName, std::wstring& weblink);
  static void VirusNameToWebsite(const std::wstring& virusName, std::wstring& weblink, unsigned short language);

  virtual ~CAlertDetailsBase() = default;
  virtual void SetVirusDetails(DATE time, const std::wstring& userName, const std::wstring& virusName, LONG virusType,
                               const std::wstring& infectedItem, LONG scannerType, LONG actionTaken, bool outstanding) = 0;
  virtual void SetErrorDetails(const ErrorDetails& details) = 0;
};

namespace Alerts {

class VirusAlertDetails : public CAlertDetailsBase
{
public:
  void SetVirusDetails(DATE time, const std::wstring& userName, const std::wstring& virusName, LONG virusType,
                       const std::wstring& infectedItem, LONG scannerType, LONG actionTaken, bool outstanding) override;
  // A virus record has no error details: traced and ignored.
  void SetErrorDetails(const ErrorDetails& details) override;

  bool detailsSet = false;
  DATE timeDetected = 0.0;
  std::wstring userName;
  std::wstring virusName;
  LONG virusType = 0;
  std::wstring infectedItem;
  LONG scannerType = 0;
  LONG actionTaken = 0;
  bool outstanding = false;
};

}  // namespace Alerts
