#pragma once
// CComputerActionsKT: the console's request to push each computer's group configuration
// (update or anti-virus) to the computer. The requested computers are matched against every
// group's members; one letter per match is queued for the processing thread, which builds the
// document and sends it.
#include "idl/ManagementServiceInterfaces.h"

class CComputerActionsKT : public CComRefCounted<IComputerActionsKT>
{
public:
  HRESULT QueryInterface(const IID& iid, void** out) override;
  HRESULT SendAUConfig(ULONG count, LONG* computers) override;
  HRESULT SendDexConfig(ULONG count, LONG* computers) override;
};
