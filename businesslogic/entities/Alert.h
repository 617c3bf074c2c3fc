#pragma once
// An alert (a virus detection or an error a computer reported) as the business layer holds it:
// its identity, with the operations that create, read, mark and purge alerts; and the lists of a
// computer's alerts.
//
// Unmapped non-zero procedure return values throw CSPException. Creating alerts and marking them
// as dealt with tick the computer-state clock.
#include <optional>
#include <string>
#include <vector>

#include "businesslogic/actions/ActionBase.h"
#include "businesslogic/entities/DBEntity.h"
#include "platform/com/WinTypes.h"

class CComputer;
class CAlertDetailsBase;

namespace PTLDB {
// How old alerts are purged; the values are the database's (0 none, 1 by age, 2 by count, 3 both).
using AlertPurgeType = LONG;
}  // namespace PTLDB

class CAlert : public Actions::CActionableBase, public TDBEntity<CAlert, ULONG>
{
public:
  // The values of an alert's type.
  static constexpr LONG ErrorAlertType = 1;
  static constexpr LONG VirusAlertType = 2;

  explicit CAlert(ULONG id);
  CAlert(const CAlert& right);
  CAlert& operator=(const CAlert& right);
  ~CAlert() override;

  // Hands this alert to the action's alert operation.
  void Apply(Actions::CActionBase& action) override;
  // Hands the alert's details to the receiver: SetErrorDetails for an error alert,
  // SetVirusDetails for a virus alert; an alert of another type is traced and skipped.
  virtual void GetAlertDetails(CAlertDetailsBase& receiver) const;

  // Records an error the computer reported. User name, entity information and inserts are cut
  // to 256 characters, the source to 32; the message code is not cut (a longer one than the
  // procedure takes throws std::runtime_error). Inserts beyond the fifth are ignored, missing
  // ones are empty. vrn::Exceptions::ComputerDoesNotExist for a computer without a row.
  static void CreateErrorAlert(const CComputer& computer, DATE alertTime, const std::wstring& source,
                               const std::wstring& entityInfo, const std::wstring& userName, LONG number,
                               const std::wstring& messageCode, const std::vector<std::wstring>& inserts);
  // Records a virus the computer found. The virus name is cut to 32 characters, user name and
  // infected item to 256. vrn::Exceptions::ComputerDoesNotExist for a computer without a row.
  static void CreateVirusDetectedAlert(const CComputer& computer, DATE alertTime, const std::wstring& virusName, LONG virusType,
                                       const std::wstring& infectedItem, LONG scannerType, LONG actionTaken,
                                       const std::wstring& userName);

  // The company name printed on reports and the purge policy.
  static void GetPurgeDetails(std::wstring& companyName, PTLDB::AlertPurgeType& purgeType, int& months, int& numAlerts);
  // Stores both, and the database applies the policy at once. A company name over 256
  // characters throws vrn::Exceptions::InvalidCompanyNameLength before anything is stored; a
  // purge the database could not carry out throws vrn::Exceptions::PurgeFailed.
  static void SetPurgeDetails(const std::wstring& companyName, PTLDB::AlertPurgeType purgeType, int months, int numAlerts);
};

// Names the envelope whose event is being applied by its delivery key, for as long as the
// scope lasts: the alert it creates is stored together with a record of the key, and an
// envelope delivered again (after a crash) creates none. Without a scope, or with an empty key
// (an envelope the library did not authorise), alerts are always stored.
class CAlertEnvelopeScope
{
public:
  explicit CAlertEnvelopeScope(const std::string& deliveryKey);
  ~CAlertEnvelopeScope();
  CAlertEnvelopeScope(const CAlertEnvelopeScope&) = delete;
  CAlertEnvelopeScope& operator=(const CAlertEnvelopeScope&) = delete;
};

class CAlertList : public Actions::CActionableBase, public TList<CAlert>
{
public:
  CAlertList();
  CAlertList(const CAlertList& right) = default;
  CAlertList& operator=(const CAlertList& right);
  ~CAlertList() override;

  // Hands the whole list to the action's alert-list operation.
  void Apply(Actions::CActionBase& action) override;
};
