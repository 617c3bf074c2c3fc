#pragma once
// CComputerActions: the console's requests to refresh computers' status, update them now and
// switch their central configuration off or on. Nothing is sent from here: each method checks
// the caller's array, then queues one letter per computer for the processing thread, or hands
// the IDs to the update-now queue, and returns at once.
#include "idl/ManagementServiceInterfaces.h"

class CComputerActions : public CComRefCounted<IVRN_ComputerActions>, public IComputerActions
{
public:
  // IUnknown, IVRN_ComputerActions and IComputerActions; IDispatch itself is refused.
  HRESULT QueryInterface(const IID& iid, void** out) override;
  ULONG AddRef() override { return CComRefCounted<IVRN_ComputerActions>::AddRef(); }
  ULONG Release() override { return CComRefCounted<IVRN_ComputerActions>::Release(); }

  HRESULT Refresh(ULONG count, LONG* computerIDs) override;
  HRESULT UpdateNow(ULONG num, LONG* computerIDs) override;
  HRESULT OverrideCentralConfiguration(BYTE override, ULONG count, LONG* computerIDs) override;

  HRESULT Refresh(SAFEARRAY* computerIDs) override;
  HRESULT UpdateNow(SAFEARRAY* computerIDs) override;
  HRESULT put_OverrideCentralConfiguration(SAFEARRAY* computerIDs, LONG override) override;
};

// The array test of the raw methods: count x 4 bytes must be readable; a count of 0 passes
// whatever the pointer.
bool IsComputerArrayReadable(ULONG count, const LONG* computerIDs);
