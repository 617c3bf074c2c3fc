#include "businesslogic/actions/ActionBase.h"

#include "businesslogic/TraceComponent.h"
#include "platform/trace/Trace.h"

namespace Actions {

void CActionBase::ApplyToComputerList(CComputerList&) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CActionBase::ApplyToComputerList"); }

void CActionBase::ApplyToAlertList(CAlertList&) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CActionBase::ApplyToAlertList"); }

void CActionBase::ApplyToComputer(CComputer&) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CActionBase::ApplyToComputer"); }

void CActionBase::ApplyToAlert(CAlert&) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CActionBase::ApplyToAlert"); }

void CActionBase::ApplyToFilter(CFilter&) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CActionBase::ApplyToFilter"); }

void CActionBase::ApplyToGroupList(CGroupList&) {}

void CActionBase::ApplyToGroup(CGroup&) {}

}  // namespace Actions
