#include "businesslogic/entities/Group.h"

CGroup::CGroup(ULONG id) : TDBEntity(id) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CGroup::CGroup("); }

CGroup::CGroup(const CGroup& right) : TDBEntity(right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CGroup::CGroup(const CGroup & right)");
}

CGroup& CGroup::operator=(const CGroup& right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CGroup & CGroup::operator=(const CGroup & right)");
  TDBEntity::operator=(right);
  return *this;
}

CGroup::~CGroup() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CGroup::~CGroup()"); }
