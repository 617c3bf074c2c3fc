#pragma once
// The console's install object: validates a request and hands it to the install task queue;
// the queue's worker does the slow work. Stop empties the queue of waiting computers.
#include "idl/ManagementServiceInterfaces.h"

class InstallTaskQueue;

class CKTComputerInstallImpl : public CComRefCounted<IKTComputerInstall>
{
public:
  CKTComputerInstallImpl();
  // For tests: a queue other than the process's.
  explicit CKTComputerInstallImpl(InstallTaskQueue& queue) : m_queue(&queue) {}

  HRESULT QueryInterface(const IID& iid, void** out) override;
  HRESULT Install(ULONG num, LONG* computerIDs, BSTR username, BSTR password) override;
  HRESULT Stop() override;

private:
  InstallTaskQueue* m_queue;
};
