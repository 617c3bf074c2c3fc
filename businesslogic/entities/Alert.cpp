#include "businesslogic/entities/Alert.h"

CAlert::CAlert(ULONG id) : TDBEntity(id) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlert::CAlert(%ul)", id); }

CAlert::CAlert(const CAlert& right) : TDBEntity(right) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlert::CAlert"); }

CAlert& CAlert::operator=(const CAlert& right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlert::operator=");
  TDBEntity::operator=(right);
  return *this;
}

CAlert::~CAlert() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlert::~CAlert"); }

CAlertList::CAlertList() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlertList::CAlertList() :AlertList()"); }

CAlertList& CAlertList::operator=(const CAlertList& right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlertList& CAlertList::operator=(");
  TList<CAlert>::operator=(right);
  return *this;
}

CAlertList::~CAlertList() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CAlertList::~CAlertList()"); }
