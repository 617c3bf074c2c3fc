#include "businesslogic/entities/Computer.h"

CComputer::CComputer(LONG id) : TDBEntity(id)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer::CComputer(%u)", static_cast<ULONG>(id));
}

CComputer::CComputer(const CComputer& right) : TDBEntity(right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer::CComputer(const CComputer(%u) &)", static_cast<ULONG>(GetID()));
}

CComputer& CComputer::operator=(const CComputer& right)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer& CComputer::operator=(const CComputer))");
  TDBEntity::operator=(right);
  return *this;
}

CComputer::~CComputer()
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CComputer::~CComputer(%u)", static_cast<ULONG>(GetID()));
}
