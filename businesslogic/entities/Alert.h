#pragma once
// An alert (a virus detection or an error a computer reported) as the business layer holds it:
// its identity, and the lists of a computer's alerts.
#include "businesslogic/entities/DBEntity.h"
#include "platform/com/WinTypes.h"

class CAlert : public TDBEntity<CAlert, ULONG>
{
public:
  explicit CAlert(ULONG id);
  CAlert(const CAlert& right);
  CAlert& operator=(const CAlert& right);
  ~CAlert() override;
};

class CAlertList : public TList<CAlert>
{
public:
  CAlertList();
  CAlertList(const CAlertList& right) = default;
  CAlertList& operator=(const CAlertList& right);
  ~CAlertList();
};
